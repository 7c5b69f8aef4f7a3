#include "syslib/syslib.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "db/pgtest.h"
#include "schema/schema.h"
#include "syslib/seal.h"
#include "syslib/tsql.h"
#include "util/error.h"
#include "util/ini.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;
using db::Backend;

TEST(TranslateSqlTest, EachDialectOnEachBackend) {
  struct Case {
    int dialect;
    Backend target;
    const char* in;
    const char* out;
  } cases[] = {
      // Access-style date literals (their forms are the database layer's own cases).
      {0, Backend::kPostgres, "update p set [last_used] = #12/05/2026 10:11:12# where id = 1",
       "update p set last_used = '2026-12-05 10:11:12' where id = 1"},
      // SQL Server.
      {1, Backend::kPostgres, "select * from [cBuffer] where [Address] = '12.0'",
       "select * from cbuffer where address = '12.0'"},
      {1, Backend::kSqlite, "select * from [cBuffer] where [Address] = '12.0'",
       "select * from [cBuffer] where [Address] = '12.0'"},
      {1, Backend::kPostgres, "select isnull(a,'') from t where d < getdate()",
       "select COALESCE(a,'') from t where d < CURRENT_TIMESTAMP"},
      {1, Backend::kPostgres, "select 'getdate() [x]' from [T]", "select 'getdate() [x]' from t"},
      // Oracle-style times and dates.
      {2, Backend::kPostgres, "VALUES (0,'20261205',To_Date('10:11:12','HH24:MI:SS'),1011.12)",
       "VALUES (0,'20261205','10:11:12',1011.12)"},
      {2, Backend::kSqlite, "x = TO_DATE('12/05/2026 08:09:10','MM/DD/YYYY HH24:MI:SS')",
       "x = '2026-12-05 08:09:10'"},
      {2, Backend::kSqlite, "x = to_date('2026-12-05','YYYY-MM-DD') and y = nvl(z,0)",
       "x = '2026-12-05' and y = COALESCE(z,0)"},
      {2, Backend::kSqlite, "x = to_date('bad','HH24:MI:SS')", "x = to_date('bad','HH24:MI:SS')"},
      // Texts that look like the constructs are data: literals, quoted names and comments
      // stay as written, including neighbouring literals shaped like a To_Date call.
      {2, Backend::kPostgres, "values ('to_date(', ',', ')', 'getdate()', [Name])",
       "values ('to_date(', ',', ')', 'getdate()', name)"},
      {2, Backend::kSqlite, "values ('To_Date(''10:11:12'',''HH24:MI:SS'')', 'nvl(')",
       "values ('To_Date(''10:11:12'',''HH24:MI:SS'')', 'nvl(')"},
      {2, Backend::kPostgres, "select \"now()\" -- isnull(x) [A] 'it's\nfrom [T]",
       "select \"now()\" -- isnull(x) [A] 'it's\nfrom t"},
      {0, Backend::kPostgres, "select '#1/2/2026#', #1/2/2026# /* #1/2/2026# */",
       "select '#1/2/2026#', '2026-01-02' /* #1/2/2026# */"},
      // The call's own spacing does not matter; a call on something other than literals stays.
      {2, Backend::kPostgres, "x = To_Date ( '10:11:12' , 'HH24:MI:SS' ) and y = now ( )",
       "x = '10:11:12' and y = CURRENT_TIMESTAMP"},
      {2, Backend::kPostgres, "x = to_date(a, 'HH24:MI:SS')", "x = to_date(a, 'HH24:MI:SS')"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TranslateSql(c.in, c.dialect, c.target), c.out)
        << "dialect " << c.dialect << ": " << c.in;
  }
}

SiteKey KeyFrom(const fs::path& p) {
  std::string why;
  EXPECT_TRUE(CreateSiteKey(p, true, &why)) << why;
  return LoadSiteKey(p);
}

TEST(SealTest, RoundTripAndRejections) {
  fs::path dir = fs::temp_directory_path() / ("ordane-seal-" + std::to_string(getpid()));
  fs::create_directories(dir);
  SiteKey site = KeyFrom(dir / "a.key");
  SiteKey other = KeyFrom(dir / "b.key");
  struct stat st {};
  ASSERT_EQ(stat((dir / "a.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string why;
  EXPECT_FALSE(CreateSiteKey(dir / "a.key", false, &why));  // never replaced by accident

  for (std::string plain : {std::string(""), std::string("s3cret"),
                            std::string("INSERT INTO events VALUES ('O''Brien', #12/05/2026#)\n"),
                            std::string(5000, 'x')}) {
    std::string sealed = Seal(plain, "PDX", site);
    EXPECT_TRUE(sealed.starts_with(kSealedPrefix));
    EXPECT_EQ(sealed.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Unseal(sealed, "PDX", site), plain);
    EXPECT_EQ(Unseal(sealed + "\r\n", "PDX", site), plain);
    EXPECT_NE(Seal(plain, "PDX", site), sealed);  // a fresh nonce every time
  }
  std::string sealed = Seal("s3cret", "PDX", site);
  std::string flipped = sealed;
  flipped[kSealedPrefix.size() + 40] = flipped[kSealedPrefix.size() + 40] == 'A' ? 'B' : 'A';
  EXPECT_THROW(Unseal(flipped, "PDX", site), Error);
  EXPECT_THROW(Unseal(sealed.substr(0, sealed.size() - 4), "PDX", site), Error);
  EXPECT_THROW(Unseal(std::string(kSealedPrefix) + "!!!", "PDX", site), Error);
  EXPECT_THROW(Unseal(sealed, "PDY", site), Error);
  EXPECT_THROW(Unseal(sealed, "PDX", other), Error);
  EXPECT_EQ(Unseal("plain text", "PDX", site), "plain text");
  fs::remove_all(dir);
}

// The real library over a settings file, a shared folder and a database of each backend.
class SyslibTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ordane-syslib-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "share" / "Resources");
    std::string cxn;
    if (GetParam() == Backend::kSqlite) {
      cxn = "sqlite:" + (dir_ / "db.sqlite").string();
    } else {
      ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
      pg_ = std::move(pg);
      cxn = pg_->uri();
    }
    settings_ = dir_ / "ordane.ini";
    WriteProfileString(settings_, "OS", "Cxn_Access_Control", cxn);
    WriteProfileString(settings_, "OS", "Cxn_Hardware", cxn);
    WriteProfileString(settings_, "OS", "KeyFile", (dir_ / "site.key").string());
    ASSERT_TRUE(CreateSiteKey(dir_ / "site.key", true, nullptr));
    WriteProfileString(dir_ / "share" / "Resources" / "strings.ini", "Strings", "21570",
                       "Panel Tamper");
    auto c = db::NewConnection();
    c->Open(cxn, "", "");
    schema::CreateSchema(*c);
    c->Execute(
        "insert into controllers (address, driver_id, controller_address, region_id) values "
        "('12.3', 12, 3, 7)");
    c->Execute("insert into global_settings (id, Max_Regions) values (1, 30)");
    c->Execute(
        "insert into Secured_Areas (address, id, state) values ('12-3', 1, '1'), ('12-3', 3, '2')");
    lib_ = NewSystemLibrary(settings_);
    lib_->init();
    lib_->set_RemotePath((dir_ / "share").string());
    lib_->Init_CXN("access", 1, 1);
    lib_->Init_CXN("hardware", 1, 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_, settings_;
  std::unique_ptr<db::TempPostgres> pg_;
  std::unique_ptr<SystemLibrary> lib_;
};

TEST_P(SyslibTest, DatabaseMembers) {
  EXPECT_EQ(lib_->Region_Return("12.3"), 7);
  EXPECT_EQ(lib_->Region_Return("12.3.2.I17"), 7);
  EXPECT_EQ(lib_->Region_Return("12.9"), 0);
  EXPECT_EQ(lib_->Region_Return("x'y"), 0);  // a quote in the address is data, not SQL
  EXPECT_EQ(lib_->Read_Data("global_settings", 1, "Max_Regions"), "30");
  EXPECT_THROW(lib_->Read_Data("global_settings; drop", 1, "x"), Error);
  EXPECT_EQ(lib_->GetSecuredAreas(12, 3), "201");
  EXPECT_EQ(lib_->GetSecuredAreas(12, 4), "");

  // The panel-user store: the last value written is the one read back, per region and user.
  std::int16_t region = 7, user = 5, other_region = 8;
  lib_->W_Panel(region, user, "Master", "1234");
  lib_->W_Panel(region, user, "Master", "4321");
  lib_->W_Panel(region, user, "Sub1", "O'Brien");
  lib_->W_Panel(other_region, user, "Master", "999");
  EXPECT_EQ(lib_->r_panel(7, user, "Master"), "4321");
  EXPECT_EQ(user, 5);
  EXPECT_EQ(lib_->r(7, 5, "Sub1"), "O'Brien");
  EXPECT_EQ(lib_->r(8, 5, "Master"), "999");
  EXPECT_EQ(lib_->r(7, 6, "Master"), "");

  lib_->Update_State("RD003", "12.3.2.I1");
  lib_->Update_State("RD004", "12.3.2.I1");
  db::Recordset rs;
  auto c = db::NewConnection();
  c->Open(lib_->ReadSys1("OS", "Cxn_Access_Control"), "", "");
  rs.Open("select * from device_state", *c);
  ASSERT_EQ(rs.RecordCount(), 1u);
  EXPECT_EQ(rs.Text("event_id"), "RD004");

  std::string pw = "x";
  if (GetParam() == Backend::kPostgres) {
    c->Execute("CREATE ROLE driver_role");
    auto role = lib_->AppRole_Set(std::move(c), "driver_role", pw);
    rs.Open("select current_user as who", *role);
    EXPECT_EQ(rs.Text("who"), "driver_role");
  } else {
    EXPECT_NE(lib_->AppRole_Set(std::move(c), "driver_role", pw), nullptr);
  }
}

TEST_P(SyslibTest, FileAndTextMembers) {
  EXPECT_EQ(lib_->Resource_Str(21570), "Panel Tamper");
  EXPECT_EQ(lib_->Resource_Str(1), "");
  EXPECT_EQ(lib_->mHex2Dec("0A"), "10");
  EXPECT_EQ(lib_->mHex2Dec("aa"), "170");
  EXPECT_EQ(lib_->mHex2Dec(""), "0");
  EXPECT_EQ(lib_->mHex2Dec("zz"), "0");
  EXPECT_EQ(lib_->Get_Cnr("12.3.1.R2"), 3);
  EXPECT_EQ(lib_->Get_Sub("12.3.1.R2"), 1);
  EXPECT_EQ(lib_->Get_Sub("12"), 0);
  std::set<std::string> stamps;
  for (int i = 0; i < 1000; ++i) stamps.insert(lib_->lastmod());
  EXPECT_EQ(stamps.size(), 1000u);

  lib_->Write_EventAlarm("'2026-12-05 10:11:12'\t10:11:12\tNorth", 2);
  lib_->Write_EventAlarm("second\nline", 2);
  std::ifstream in(dir_ / "share" / "Integration" / "events.log");
  std::string line1, line2;
  std::getline(in, line1);
  std::getline(in, line2);
  EXPECT_EQ(line1, "2\t'2026-12-05 10:11:12'\t10:11:12\tNorth");
  EXPECT_EQ(line2, "2\tsecond line");

  WriteProfileString(dir_ / "share" / "sites.map", "Site3", "RemotePath", "/srv/site3/");
  EXPECT_EQ(lib_->read_info("sites.map", "Site3", "RemotePath", true), "/srv/site3");
  EXPECT_EQ(lib_->read_info("SITES.MAP", "site3", "remotepath", false), "/srv/site3/");

  std::string sealed = lib_->xKeyHide("INSERT INTO events VALUES (1)", kDriverKey);
  EXPECT_EQ(lib_->xKeyShow(sealed, kDriverKey), "INSERT INTO events VALUES (1)");
  EXPECT_EQ(lib_->xKeyShow("never sealed", kDriverKey), "never sealed");
  sealed[sealed.size() - 3] ^= 1;
  EXPECT_THROW(lib_->xKeyShow(sealed, kDriverKey), Error);
}

// The event statement of the SQL_Server 2 dialect, as the event logger builds it, runs on both
// backends once TSQL has translated it, with a name of a whole panel detail (1,000 characters)
// and texts shaped like the dialect's own constructs.
TEST_P(SyslibTest, ModeTwoEventInsertRunsThroughTsql) {
  lib_->set_SQL_Server(2);
  std::string name(1000, 'n');
  name.replace(0, 22, "Phone Line = to_date(,");
  std::string insert =
      "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, data2, log_type) "
      "VALUES (0,'20261205',To_Date('10:11:12','HH24:MI:SS'),1011.12,'10:11:12','12.3.2.I1',"
      "'O`Brien''s door',')','RD003','Opened:  ;delete from events;','" +
      name + "',' ',102) ";
  auto c = db::NewConnection();
  c->Open(lib_->ReadSys1("OS", "Cxn_Access_Control"), "", "");
  c->Execute(lib_->TSQL(insert));
  c->Execute(lib_->TSQL(insert));
  db::Recordset rs;
  rs.Open("select * from events", *c);
  ASSERT_EQ(rs.RecordCount(), 2u);
  EXPECT_EQ(rs.Text("name"), name);
  EXPECT_EQ(rs.Text("time_string"), "10:11:12");
  EXPECT_EQ(rs.Text("time").substr(0, 8), "10:11:12");
  EXPECT_EQ(rs.Text("address_description"), "O`Brien's door");
  EXPECT_EQ(rs.Text("device"), ")");
  EXPECT_EQ(rs.Text("event_description"), "Opened:  ;delete from events;");
  EXPECT_EQ(rs.Text("data2"), " ");
}

INSTANTIATE_TEST_SUITE_P(Backends, SyslibTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace ordane
