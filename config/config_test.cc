#include "config/config.h"

#include <gtest/gtest.h>

#include <map>

#include "core/testing/fake_system_library.h"
#include "schema/schema.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/text.h"

namespace ordane {
namespace {

class Reporter : public ErrorReporter {
 public:
  void ReportError(std::int64_t number, std::string_view description) override {
    LastErrorNumber = number;
    errors.push_back(ErrorLabel + ":  " + std::string(description));
  }
  void DebugLine(std::string_view text) override { debug.emplace_back(text); }
  std::vector<std::string> errors, debug;
};

TEST(ReadSettingsTest, UserAndPasswordOnlyWithSqlServer) {
  struct Case {
    const char* sql_server;
    std::int16_t mode;
    const char* user;
    const char* password;
  } cases[] = {
      {"0", 0, "", ""},         {"", 0, "", ""},        {"abc", 0, "", ""},
      {"-1", 0, "", ""},        {"1", 1, "sa", "pw'1"}, {"2", 2, "sa", "pw'1"},
      {" 1 ", 1, "sa", "pw'1"}, {"99999", 0, "", ""},  // does not fit 16 bits: stays 0
  };
  for (const auto& c : cases) {
    FakeSystemLibrary lib;
    lib.settings = {{"OS/SQL_Server", c.sql_server},
                    {"OS/Database_UserName", "sa"},
                    {"OS/Database_Passwordn", "sealed:pw'1"}};
    Settings s = ReadSettings(lib);
    EXPECT_EQ(s.SqlServerMode, c.mode) << c.sql_server;
    EXPECT_EQ(s.DatabaseUser, c.user) << c.sql_server;
    EXPECT_EQ(s.DatabasePassword, c.password) << c.sql_server;
  }
}

TEST(ReadSettingsTest, NumbersFlagsAndSealedValues) {
  FakeSystemLibrary lib;
  lib.settings = {{"OS/Status_Timer", "1500ms"},  {"OS/SQL_AppRole", "1x"},
                  {"OS/Database_AppName", "drv"}, {"OS/Database_AppPassword", "sealed:role pw"},
                  {"OS/DriverDebug", "1"},        {"OS/RemotePath", "/srv/ordane"}};
  Settings s = ReadSettings(lib);
  EXPECT_EQ(s.StatusTimer, 1500);
  EXPECT_EQ(s.UseAppRole, 1);
  EXPECT_EQ(s.AppRoleName, "drv");
  EXPECT_EQ(s.AppRolePassword, "role pw");
  EXPECT_TRUE(s.DriverDebug);
  EXPECT_EQ(s.RemotePath, "/srv/ordane");

  EXPECT_TRUE(s.problems.empty());

  // A sealed password that does not open keeps its default and says which setting it was.
  lib.settings = {{"OS/Database_AppPassword", "sealed:broken"}, {"OS/DriverDebug", "0"}};
  s = ReadSettings(lib);
  EXPECT_EQ(s.AppRolePassword, "");
  EXPECT_FALSE(s.DriverDebug);
  EXPECT_EQ(s.StatusTimer, 0);
  ASSERT_EQ(s.problems.size(), 1u);
  EXPECT_EQ(s.problems[0].rfind("Database_AppPassword: the sealed password does not open and is taken as empty: tampered; seal it again", 0), 0u)
      << s.problems[0];
}

TEST(ReadSettingsTest, DriverDebugIsTheNumberOfZeroFollowedByTheText) {
  struct Case { const char* text; bool on; } cases[] = {
      {"1", true},  {"2", true},    {" 1", true},  {"1abc", true}, {"0", false}, {"", false},
      {"-1", false}, {"OS/True", false}, {"yes", false},
  };
  for (const auto& c : cases) {
    FakeSystemLibrary lib;
    lib.settings = {{"OS/DriverDebug", c.text}};
    EXPECT_EQ(ReadSettings(lib).DriverDebug, c.on) << "[" << c.text << "]";
  }
}

TEST(ConnectionStrings, PasswordsInTheClearAreFound) {
  struct Case { const char* cxn; bool holds; } cases[] = {
      {"postgresql://ordane:secret@db:5432/ordane", true},
      {"postgres://ordane@db/ordane?password=secret", true},
      {"postgresql://ordane@db/ordane?sslmode=require&password=x", true},
      {"postgresql://ordane@db:5432/ordane", false},
      {"postgresql://db/ordane?passwordfile=x", false},
      {"host=db user=ordane password=secret", true},
      {"host=db user=ordane password = secret", true},
      {"host=db user=ordane passfile=/x", false},
      {"sqlite:/srv/password=1/ordane.db", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectionHoldsPassword(c.cxn), c.holds) << c.cxn;
}

TEST(OpenDatabasesTest, AppRoleOnlyWhenBothAreExactlyOne) {
  struct Case {
    const char* sql_server;
    const char* app_role;
    int calls;
  } cases[] = {{"1", "1", 1}, {"1", "0", 0}, {"2", "1", 0}, {"0", "1", 0}, {"1", "2", 0}};
  for (const auto& c : cases) {
    FakeSystemLibrary lib;
    lib.settings = {{"OS/SQL_Server", c.sql_server},
                    {"OS/SQL_AppRole", c.app_role},
                    {"OS/Database_AppName", "drv"},
                    {"OS/Database_AppPassword", "sealed:rp"},
                    {"OS/Cxn_Access_Control", "sqlite::memory:"},
                    {"OS/Cxn_Hardware", "sqlite::memory:"}};
    Settings s = ReadSettings(lib);
    Databases d;
    Reporter rep;
    d.OpenDatabases(1, s, lib, rep);
    EXPECT_FALSE(d.DatabaseError);
    EXPECT_EQ(lib.app_roles, std::vector<std::string>(2 * c.calls, "drv/rp"))
        << c.sql_server << "/" << c.app_role;
    EXPECT_TRUE(d.AccessControlConnection->IsOpen());
    EXPECT_TRUE(d.HardwareConnection->IsOpen());
  }
}

std::int64_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(OpenDatabasesTest, FailureRules) {
  FakeSystemLibrary lib;
  lib.settings = {{"OS/Cxn_Access_Control", "sqlite:/no/such/dir/a.db"},
                  {"OS/Cxn_Hardware", "sqlite::memory:"},
                  {"OS/DriverDebug", "1"}};
  Settings s = ReadSettings(lib);
  Databases d;
  Reporter rep;
  d.OpenDatabases(1, s, lib, rep);
  EXPECT_TRUE(d.DatabaseError);
  ASSERT_EQ(rep.debug.size(), 1u);
  EXPECT_TRUE(rep.debug[0].starts_with("!!!!!!  Data Error 80004005- ")) << rep.debug[0];
  // The failure names the setting, its connection and the backend's own message.
  EXPECT_TRUE(d.OpenFailure.starts_with("Cxn_Access_Control (sqlite:/no/such/dir/a.db): "))
      << d.OpenFailure;
  EXPECT_NE(d.OpenFailure.find("unable to open database file"), std::string::npos)
      << d.OpenFailure;
  EXPECT_NE(rep.debug[0].find(d.OpenFailure), std::string::npos);
  // The failing access connection leaves the hardware connection unopened.
  EXPECT_FALSE(d.AccessControlConnection->IsOpen());
  EXPECT_FALSE(d.HardwareConnection->IsOpen());
  EXPECT_EQ(ErrorOf([&] { d.HardwareConnection->Execute("select 1"); }), kErrObjectNotSet);

  // Without debugging the same failure writes no line.
  lib.settings["OS/DriverDebug"] = "0";
  s = ReadSettings(lib);
  Databases quiet;
  rep.debug.clear();
  quiet.OpenDatabases(1, s, lib, rep);
  EXPECT_TRUE(quiet.DatabaseError);
  EXPECT_TRUE(rep.debug.empty());

  // The hardware connection failing leaves the access connection open.
  lib.settings = {{"OS/Cxn_Access_Control", "sqlite::memory:"}, {"OS/Cxn_Hardware", "bogus=1"}};
  s = ReadSettings(lib);
  Databases half;
  half.OpenDatabases(1, s, lib, rep);
  EXPECT_TRUE(half.DatabaseError);
  EXPECT_TRUE(half.AccessControlConnection->IsOpen());
  EXPECT_FALSE(half.HardwareConnection->IsOpen());
  EXPECT_TRUE(half.OpenFailure.starts_with("Cxn_Hardware (bogus=1): ")) << half.OpenFailure;

  // Closing goes on after a failure: a connection whose close fails does not keep the other
  // open.
  class FailingClose : public db::Connection {
   public:
    void Open(const std::string&, const std::string&, const std::string&) override {}
    void Execute(const std::string&) override {}
    db::ResultSet Query(const std::string&) override { return {}; }
    db::ResultSet QueryParams(const std::string&,
                              const std::vector<std::optional<std::string>>&) override {
      return {};
    }
    std::vector<std::string> PrimaryKey(const std::string&) override { return {}; }
    void Close() override { throw Error(kErrDbUnspecified, "close failed"); }
    bool IsOpen() const override { return true; }
    db::Backend backend() const override { return db::Backend::kSqlite; }
    std::string Prepare(std::string_view sql) const override { return std::string(sql); }
  };
  half.AccessControlConnection = std::make_unique<FailingClose>();
  half.HardwareConnection = db::NewConnection();
  half.HardwareConnection->Open("sqlite::memory:", "", "");
  half.OpenDatabases(0, s, lib, rep);
  EXPECT_TRUE(half.DatabaseError);
  EXPECT_FALSE(half.HardwareConnection->IsOpen());
  EXPECT_EQ(ErrorOf([&] { half.HardwareConnection->Execute("select 1"); }), kErrClosedObject);
}

class LoadRegionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c_ = db::NewConnection();
    c_->Open("sqlite::memory:", "", "");
    schema::CreateSchema(*c_);
  }
  std::unique_ptr<db::Connection> c_;
  FakeSystemLibrary lib_;
  Reporter rep_;
  Regions regions_;
};

TEST_F(LoadRegionsTest, MaxRegionsAbsentZeroOrUnreadableGivesTwenty) {
  for (const char* max : {"", "0", "abc", "throw"}) {
    lib_.max_regions = max;
    Regions regions;
    LoadRegions(regions, *c_, lib_, rep_);
    EXPECT_EQ(regions.MaxRegions, 20) << max;
    EXPECT_EQ(regions.RegionNames.size(), 22u) << max;
  }
}

TEST_F(LoadRegionsTest, NamesAndOutOfRangeRegions) {
  lib_.max_regions = "3";
  c_->Execute(
      "insert into region_descriptions values (-1, 'minus'), (0, 'Zero'), (2, 'North'), "
      "(4, 'Top'), (5, 'Beyond'), (3, NULL)");
  rep_.ErrorLabel = "ERR_Start_Up";
  LoadRegions(regions_, *c_, lib_, rep_);
  EXPECT_EQ(regions_.MaxRegions, 3);
  EXPECT_EQ(regions_.RegionNames, (std::vector<std::string>{"Zero", "", "North", "", "Top"}));
  // Both out-of-range rows are reported under the label last set, and loading went on.
  ASSERT_EQ(rep_.errors.size(), 2u);
  EXPECT_TRUE(rep_.errors[0].starts_with("ERR_Start_Up:  ")) << rep_.errors[0];
  EXPECT_EQ(rep_.LastErrorNumber, kErrSubscript);
}

TEST_F(LoadRegionsTest, LostConnectionEndsTheLoad) {
  lib_.max_regions = "3";
  c_->Close();
  LoadRegions(regions_, *c_, lib_, rep_);
  EXPECT_EQ(regions_.RegionNames.size(), 5u);
  ASSERT_FALSE(rep_.errors.empty());
  EXPECT_EQ(rep_.LastErrorNumber, 0);  // DatabaseLost() took it
}

TEST(ReadIniTest, AbsentGivesEmptyAndLongValuesAreCut) {
  auto file = std::filesystem::temp_directory_path() / "ordane-config-readini.ini";
  WriteProfileString(file, "S", "K", std::string(600, 'v'));
  EXPECT_EQ(ReadIni(file, "s", "k").size(), 511u);
  EXPECT_EQ(ReadIni(file, "S", "none"), "");
  EXPECT_EQ(ReadIni("/no/such/file.ini", "S", "K"), "");
  std::filesystem::remove(file);
}

TEST(ComputerNameTest, UpperCasedHostName) {
  std::string name = ComputerName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name, UCase(name));
  EXPECT_EQ(name.find('.'), std::string::npos);
}

}  // namespace
}  // namespace ordane
