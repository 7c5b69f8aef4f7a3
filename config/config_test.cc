#include "config/config.h"

#include <gtest/gtest.h>

#include <map>

#include "schema/schema.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/text.h"

namespace ordane {
namespace {

// A system library whose settings are a map; "S:" marks a sealed value.
class FakeLibrary : public SystemLibrary {
 public:
  std::map<std::string, std::string> settings;
  std::string max_regions;
  int app_role_calls = 0;
  std::string app_role_name, app_role_password;

  void init() override {}
  std::string ReadSys1(std::string_view section, std::string_view key) override {
    auto it = settings.find(std::string(key));
    return it == settings.end() ? "" : it->second;
  }
  void set_SQL_Server(std::int16_t) override {}
  std::int16_t SQL_Server() const override { return 0; }
  void set_RemotePath(const std::string&) override {}
  std::string RemotePath() const override { return ""; }
  void set_LocalPath(const std::string&) override {}
  std::string LocalPath() const override { return ""; }
  void Init_CXN(std::string_view, int, int) override {}
  std::unique_ptr<db::Connection> AppRole_Set(std::unique_ptr<db::Connection> c,
                                              const std::string& name,
                                              std::string& password) override {
    ++app_role_calls;
    app_role_name = name;
    app_role_password = password;
    return c;
  }
  std::string xKeyHide(std::string_view p, std::string_view) override {
    return "S:" + std::string(p);
  }
  std::string xKeyShow(std::string_view t, std::string_view key) override {
    if (key != kDriverKey) throw Error(kErrGeneric, "wrong key");
    if (t == "S:broken") throw Error(kErrGeneric, "tampered");
    return t.starts_with("S:") ? std::string(t.substr(2)) : std::string(t);
  }
  std::string TSQL(std::string_view sql) override { return std::string(sql); }
  std::string Read_Data(std::string_view, int, std::string_view) override {
    if (max_regions == "throw") throw Error(kErrDbCommand, "no table");
    return max_regions;
  }
  std::int32_t Region_Return(std::string_view) override { return 0; }
  std::string Resource_Str(std::int32_t) override { return ""; }
  std::string mHex2Dec(std::string_view) override { return "0"; }
  std::string lastmod() override { return "1"; }
  std::int32_t Get_Sub(std::string_view) override { return 0; }
  std::int32_t Get_Cnr(std::string_view) override { return 0; }
  std::string GetSecuredAreas(std::int32_t, std::int32_t) override { return ""; }
  void Write_EventAlarm(std::string_view, int) override {}
  void Alarm_Refresh_ALM() override {}
  void Update_State(std::string_view, std::string_view) override {}
  std::string read_info(std::string_view, std::string_view, std::string_view, bool) override {
    return "";
  }
  void W_Panel(std::int16_t&, std::int16_t&, std::string_view, std::string_view) override {}
  std::string r(std::int32_t, std::int32_t, std::string_view) override { return ""; }
  std::string r_panel(std::int32_t, std::int16_t&, std::string_view) override { return ""; }
};

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
    FakeLibrary lib;
    lib.settings = {{"SQL_Server", c.sql_server},
                    {"Database_UserName", "sa"},
                    {"Database_Passwordn", "S:pw'1"}};
    Settings s = ReadSettings(lib);
    EXPECT_EQ(s.SqlServerMode, c.mode) << c.sql_server;
    EXPECT_EQ(s.DatabaseUser, c.user) << c.sql_server;
    EXPECT_EQ(s.DatabasePassword, c.password) << c.sql_server;
  }
}

TEST(ReadSettingsTest, NumbersFlagsAndSealedValues) {
  FakeLibrary lib;
  lib.settings = {{"Status_Timer", "1500ms"},  {"SQL_AppRole", "1x"},
                  {"Database_AppName", "drv"}, {"Database_AppPassword", "S:role pw"},
                  {"DriverDebug", "1"},        {"RemotePath", "/srv/ordane"}};
  Settings s = ReadSettings(lib);
  EXPECT_EQ(s.StatusTimer, 1500);
  EXPECT_EQ(s.UseAppRole, 1);
  EXPECT_EQ(s.AppRoleName, "drv");
  EXPECT_EQ(s.AppRolePassword, "role pw");
  EXPECT_TRUE(s.DriverDebug);
  EXPECT_EQ(s.RemotePath, "/srv/ordane");

  EXPECT_TRUE(s.problems.empty());

  // A sealed password that does not open keeps its default and says which setting it was.
  lib.settings = {{"Database_AppPassword", "S:broken"}, {"DriverDebug", "0"}};
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
      {"-1", false}, {"True", false}, {"yes", false},
  };
  for (const auto& c : cases) {
    FakeLibrary lib;
    lib.settings = {{"DriverDebug", c.text}};
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
    FakeLibrary lib;
    lib.settings = {{"SQL_Server", c.sql_server},
                    {"SQL_AppRole", c.app_role},
                    {"Database_AppName", "drv"},
                    {"Database_AppPassword", "S:rp"},
                    {"Cxn_Access_Control", "sqlite::memory:"},
                    {"Cxn_Hardware", "sqlite::memory:"}};
    Settings s = ReadSettings(lib);
    Databases d;
    Reporter rep;
    d.OpenDatabases(1, s, lib, rep);
    EXPECT_FALSE(d.DatabaseError);
    EXPECT_EQ(lib.app_role_calls, 2 * c.calls) << c.sql_server << "/" << c.app_role;
    if (c.calls) {
      EXPECT_EQ(lib.app_role_name, "drv");
      EXPECT_EQ(lib.app_role_password, "rp");
    }
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
  FakeLibrary lib;
  lib.settings = {{"Cxn_Access_Control", "sqlite:/no/such/dir/a.db"},
                  {"Cxn_Hardware", "sqlite::memory:"},
                  {"DriverDebug", "1"}};
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
  lib.settings["DriverDebug"] = "0";
  s = ReadSettings(lib);
  Databases quiet;
  rep.debug.clear();
  quiet.OpenDatabases(1, s, lib, rep);
  EXPECT_TRUE(quiet.DatabaseError);
  EXPECT_TRUE(rep.debug.empty());

  // The hardware connection failing leaves the access connection open.
  lib.settings = {{"Cxn_Access_Control", "sqlite::memory:"}, {"Cxn_Hardware", "bogus=1"}};
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
  FakeLibrary lib_;
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
