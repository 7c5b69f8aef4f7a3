// The driver as its users run it: the real paneldriver, libpanelif.so, panelsim and ordanectl
// as processes, on a temporary folder tree and a real SQLite file or PostgreSQL server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "db/pgtest.h"
#include "panelsim/process.h"
#include "syslib/seal.h"
#include "syslib/statement.h"
#include "syslib/syslib.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

class E2E : public e2e::SiteFixture {
 protected:
  E2E() : SiteFixture("driver_e2e") {}
};

TEST_F(E2E, ServiceSwitchesAndTheSingleInstance) {
  Child install({Bin("paneldriver"), "-install"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(install.Wait(20), 0);
  const fs::path unit = root_ / "units" / "11000.service";
  ASSERT_TRUE(fs::exists(unit));
  EXPECT_EQ(ReadProfileString(unit, "X-Parameters", "TimerInterval"), "1000");
  EXPECT_NE(ReadProfileString(unit, "Service", "ExecStart").find("paneldriver"), std::string::npos);

  Child uninstall({Bin("paneldriver"), "-UNINSTALL"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(uninstall.Wait(20), 0);
  EXPECT_FALSE(fs::exists(unit));

  // An unknown switch stops the driver through its service stop path.
  Child unknown({Bin("paneldriver"), "-restart"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(unknown.Wait(20), 0);

  // A second driver on the same lock ends at once while the first runs. The first has a
  // database without a driver record: it is held in its one-second start-up wait long enough.
  const std::string cxn = "sqlite:" + (root_ / "ordane.db").string();
  ASSERT_EQ(Tool({"init-db", "--db", cxn}), 0);
  ASSERT_EQ(Tool({"settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn, "--remote",
                  (root_ / "share").string()}),
            0);
  Env env = DriverEnv();
  Child first({Bin("paneldriver"), "-debug"}, env, root_ / "driver.log");
  ASSERT_TRUE(Eventually(
      [&] {  // the first driver holds the lock
        int fd = ::open(env["ORDANE_LOCK_FILE"].c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return held;
      },
      10));
  Child second({Bin("paneldriver"), "-debug"}, env, root_ / "driver.log");
  EXPECT_EQ(second.Wait(20), 1);
  EXPECT_EQ(first.Wait(20), 0);
}

// What a new user meets first: a driver that cannot start says why in its first line and ends
// with a non-zero code; a computer without a driver record ends quietly, naming the computer.
TEST_F(E2E, ADriverThatCannotStartSaysWhyFirst) {
  const fs::path settings = root_ / "ordane.ini";
  const std::string share = (root_ / "share").string();
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    std::string first_line;  // its start
  } cases[] = {
      {"no settings file", [] {}, 78, "the settings file " + settings.string() + " does not exist"},
      {"garbage", [&] { std::ofstream(settings) << "\x01\x02 not [an ini\n\xff\xfe=\n"; }, 78,
       "the settings file " + settings.string() + " holds no section [OS]"},
      {"database folder missing",
       [&] {
         fs::remove(settings);
         ASSERT_EQ(Tool({"settings", "--file", settings.string(), "--db",
                         "sqlite:" + (root_ / "nowhere" / "o.db").string(), "--remote", share}),
                   0);
       },
       1,
       "cannot open the database of Cxn_Access_Control (sqlite:" +
           (root_ / "nowhere" / "o.db").string() + "): "},
      {"no driver record",
       [&] {
         const std::string cxn = "sqlite:" + (root_ / "ordane.db").string();
         ASSERT_EQ(Tool({"init-db", "--db", cxn}), 0);
         ASSERT_EQ(Tool({"settings", "--file", settings.string(), "--db", cxn, "--remote", share}),
                   0);
       },
       0, "no driver record of type 11000 for computer "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const fs::path log = root_ / (std::string(c.name) + ".log");
    Child driver({Bin("paneldriver"), "-debug"}, DriverEnv(), log);
    EXPECT_EQ(driver.Wait(20), c.code);
    std::ifstream in(log);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.rfind(c.first_line, 0), 0u) << first;
  }
}

// A statement file as the event service opens it: the identity line, then the statement.
struct Statement {
  std::string file, identity, sql;
  std::map<std::string, std::string> values;  // column name (lower case, no brackets) -> value
};

// The column values of "INSERT INTO t (a, [b]) VALUES (1,'x''y')": quoted values unquoted.
std::map<std::string, std::string> InsertValues(const std::string& sql) {
  std::map<std::string, std::string> out;
  const std::size_t open = sql.find('('), values = sql.find(") VALUES (");
  if (open == std::string::npos || values == std::string::npos) return out;
  std::vector<std::string> columns;
  std::string col;
  for (char c : sql.substr(open + 1, values - open - 1) + ",") {
    if (c == ',') {
      columns.push_back(LCase(ReplaceAll(ReplaceAll(Trim(col), "[", ""), "]", "")));
      col.clear();
    } else {
      col += c;
    }
  }
  std::size_t i = values + 10;
  for (const std::string& name : columns) {
    std::string v;
    if (i < sql.size() && sql[i] == '\'') {
      for (++i; i < sql.size(); ++i) {
        if (sql[i] == '\'' && i + 1 < sql.size() && sql[i + 1] == '\'') {
          v += '\'';
          ++i;
        } else if (sql[i] == '\'') {
          ++i;
          break;
        } else {
          v += sql[i];
        }
      }
    } else {
      while (i < sql.size() && sql[i] != ',' && sql[i] != ')') v += sql[i++];
    }
    out[name] = v;
    if (i < sql.size() && sql[i] == ',') ++i;
  }
  return out;
}

std::vector<Statement> OpenStatements(const fs::path& folder, const SiteKey& key) {
  std::vector<Statement> out;
  std::vector<fs::path> files = ListMatching(folder, "*.evn");
  for (const auto& f : ListMatching(folder, "*.aln")) files.push_back(f);
  for (const auto& f : files) {
    Statement st;
    st.file = f.filename().string();
    const std::string text =
        Unseal(Trim(ReplaceAll(IniDocument::Load(f).Text(), "\n", "")), kDriverKey, key);
    if (auto t = UnpackStatement(text)) {
      st.identity = t->identity;
      st.sql = t->statement;
    }
    st.values = InsertValues(st.sql);
    out.push_back(std::move(st));
  }
  return out;
}

// One site: three polled panels on the simulator and one that is not polled.
class SiteTest : public E2E, public ::testing::WithParamInterface<const char*> {
 protected:
  void StartSite(const std::string& cxn) {
    cxn_ = cxn;
    ASSERT_TRUE(
        sim_.Start(Bin("panelsim"), {"--panels", "3", "--base-port", "0", "--first-address", "41"}))
        << sim_.error();
    MakeSite(cxn, sim_, 3, {"--status-timer", "500"});
    sql_->Execute(
        "insert into controllers (address, driver_id, controller_address, poll, "
        "Connection_Type, EC_1_Name, cstatus) values ('7.3', 7, 3, 0, '4', '127.0.0.99', 0)");
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"},
                                      DriverEnv(), root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
  }
  std::string Status(int slot, const char* key) {
    return ReadProfileString(Folder() / "Status" / ("Controller" + ZeroPad(slot, 3)),
                             "Status_Controllers", key);
  }
  long Requests(int panel) {
    std::string status = sim_.Command(std::to_string(panel) + " status");
    std::size_t at = status.find("requests=");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 9));
  }

  void RunSite() {
    // Every polled panel: linked in the database and a status file with live data.
    ASSERT_TRUE(Eventually([&] {
      for (int i = 0; i < 3; ++i)
        if (Status(i, "AreaStatus").size() < 3 || Status(i, "MonitorPoints").empty() ||
            Status(i, "PanelStatus").empty())
          return false;
      return true;
    })) << "status files with live data did not appear";
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Status(i, "Ver_Info").substr(0, 6), "017.06") << i;
      EXPECT_EQ(Status(i, "ControllerName"), sim_.panels()[static_cast<std::size_t>(i)].host);
      EXPECT_EQ(
          One("select cstatus from controllers where address = '7." + std::to_string(i) + "'"),
          "1");
    }
    EXPECT_EQ(Status(0, "AreaStatus").find(':'), 8u);
    // The panel that is not polled gets nothing.
    EXPECT_FALSE(fs::exists(Folder() / "Status" / "Controller003"));
    EXPECT_EQ(One("select cstatus from controllers where address = '7.3'"), "0");
    // The driver's own file and the start event.
    const fs::path driver_file = Folder() / "Status" / "Driver";
    EXPECT_TRUE(Eventually(
        [&] { return ReadProfileString(driver_file, "Status_Drivers", "Online_Count") == "3"; }));
    EXPECT_NE(ReadProfileString(driver_file, "Status_Drivers", "Version").find("   DLL:1."),
              std::string::npos);
    EXPECT_EQ(ReadProfileString(driver_file, "Status_Drivers", "DT_Info").size(), 23u);
    // The start event's file is taken in again and becomes its statement.
    const SiteKey key = LoadSiteKey(root_ / "ordane.key");
    EXPECT_TRUE(Eventually([&] {
      for (const auto& st : OpenStatements(root_ / "share" / "Events", key))
        if (st.values.count("event_id") && st.values.at("event_id") == "HS001") return true;
      return false;
    }));
    EXPECT_TRUE(ListMatching(ResolvePath(Folder(), "events"), "*.evt").empty());

    // A panel that says it is busy shows "Busy" after 40 busy answers, and is left alone.
    ASSERT_EQ(sim_.Command("3 busy 1").substr(0, 2), "ok");
    ASSERT_TRUE(Eventually([&] { return Status(2, "Ver_Info").find("Busy") != std::string::npos; }))
        << Status(2, "Ver_Info");
    const long busy_before = Requests(3), idle_before = Requests(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));  // more than 11 status ticks
    EXPECT_EQ(Requests(3), busy_before);
    EXPECT_GT(Requests(1), idle_before);

    // The service stop: the shutdown runs and the driver record is marked stopped.
    driver_->Signal(SIGTERM);
    EXPECT_EQ(driver_->Wait(30), 0);
    EXPECT_EQ(One("select status from drivers where driver_id = 7"), "0");
    // HS002, written after the timers stopped, waits for the next start.
    const auto stopped = ListMatching(ResolvePath(Folder(), "events"), "*.evt");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_NE(IniDocument::Load(stopped[0]).Text().find("HS002"), std::string::npos);
  }

  panelsim::SimProcess sim_;
  std::string cxn_;
  std::unique_ptr<Child> driver_;
};

TEST_F(SiteTest, SqliteSite) {
  StartSite("sqlite:" + (root_ / "ordane.db").string());
  RunSite();
}

TEST_F(SiteTest, PostgresSite) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  StartSite(pg->CreateDatabase("site"));
  RunSite();
}

// Two panels raise events of every kind their model knows; each becomes exactly its statements.
class EventsTest : public E2E, public ::testing::WithParamInterface<const char*> {
 protected:
  bool OnPostgres() const { return std::string(GetParam()) == "postgresql"; }
  void StartSite(const std::string& cxn) {
    ASSERT_TRUE(
        sim_.Start(Bin("panelsim"), {"--panels", "2", "--base-port", "0", "--first-address", "51"}))
        << sim_.error();
    MakeSite(cxn, sim_, 2, {"--status-timer", "500"});
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"},
                                      DriverEnv(), root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
    const fs::path driver_file = Folder() / "Status" / "Driver";
    ASSERT_TRUE(Eventually([&] {
      return ReadProfileString(driver_file, "Status_Drivers", "Online_Count") == "2";
    })) << "the panels did not link";
    key_ = LoadSiteKey(root_ / "ordane.key");
  }
  fs::path StatementFolder() { return root_ / "share" / "Events"; }
  long Figure(int panel, const std::string& name) {
    const std::string status = sim_.Command(std::to_string(panel) + " status");
    const std::size_t at = status.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + name.size() + 2));
  }
  // The statements of panel events, by identity ("events"/"alarms" after the panel's part).
  std::map<std::string, Statement> PanelStatements() {
    std::map<std::string, Statement> out;
    for (auto& st : OpenStatements(StatementFolder(), key_))
      if (st.identity.rfind("7 ", 0) == 0) out[st.identity] = st;
    return out;
  }

  std::unique_ptr<db::TempPostgres> pg_;
  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_;
  SiteKey key_{};
};

// Starts the site on the test's database: a SQLite file, or a database on a throw-away
// PostgreSQL server (which outlives the processes that use it).
#define START_EVENTS_SITE()                                     \
  std::string cxn = "sqlite:" + (root_ / "ordane.db").string(); \
  if (OnPostgres()) {                                           \
    ORDANE_TEMP_POSTGRES_OR_SKIP(pg);                           \
    cxn = pg->CreateDatabase("events");                         \
    pg_ = std::move(pg);                                        \
  }                                                             \
  StartSite(cxn)

// What each panel is made to do, in order: every kind of event the panel model raises.
const char* const kEveryKind[] = {"open 5",
                                  "close 5",
                                  "short 6",
                                  "missing 7",
                                  "arm 1 12",
                                  "disarm 1 12",
                                  "cmd ARMAREA 2 P 3",
                                  "cmd BYPASSPOINT 8 1",
                                  "cmd BYPASSPOINT 8 0",
                                  "cmd SETONBOARDRELAY 1 1",
                                  "cmd SETOFFBOARDRELAY 16 1",
                                  "cmd SETOFFBOARDRELAY 16 0",
                                  "cmd SILENCEBELL 4",
                                  "cmd DOORCOMMAND Unlock 3 12",
                                  "event point-user 04 01 02 03 0C 02",
                                  "event user-changed 0C",
                                  "event installer-logon 00",
                                  "event ac-fail",
                                  "event ac-restore",
                                  "event phone-line-fail 02",
                                  "event time-set 21 00"};

// The statements they give, by EVSEQ, for the panel in slot {S} of region {R}, after the
// columns and the event's date and time (D, 'T', N, 'T').
const std::string kEvents =
    "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
    "address_description, device, event_id, event_description, name, data2, log_type, data, "
    "group_id) VALUES ({R},D,'T',N,'T',";
const std::string kEventsShort =
    "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
    "address_description, device, event_id, event_description, name, log_type) VALUES "
    "({R},D,'T',N,'T',";
const std::string kAlarms =
    "INSERT INTO alarms ([region_id],[date], [time], time_num, time_string, address, "
    "address_description, device, event_id, event_description, name, data2, device_type,status,"
    "priority,data) VALUES ({R},D,'T',N,'T',";
const std::string kAlarmsShort =
    "INSERT INTO alarms ([region_id],[date], [time], time_num, time_string, address, "
    "address_description, device, event_id, event_description, name, device_type,status,"
    "priority) VALUES ({R},D,'T',N,'T',";
struct Expected {
  int evseq;
  const char* number;
  const std::string& head;
  const char* values;
};
const Expected kExpected[] = {
    {1, "01", kAlarms,
     "'7.{S}.2.I5','Panel {S} Point 5','Point 5','RD001','Burglary Alarm','',' "
     "','Point','Active',1,0)"},
    {1, "01", kEvents,
     "'7.{S}.2.I5','Panel {S} Point 5','Point 5','RD001','Burglary Alarm','',' ',111,0,0)"},
    {2, "02", kEvents,
     "'7.{S}.2.I5','Panel {S} Point 5','Point 5','RD002','Burglary Alarm Restore','',' ',101,0,0)"},
    {3, "04", kEvents,
     "'7.{S}.2.I6','Panel {S} Point 6','Point 6','RD004','Closing by User','',' ',101,0,0)"},
    {4, "07", kAlarms,
     "'7.{S}.2.I7','Panel {S} Point 7','Point 7','RD007','Panic Alarm','',' "
     "','Point','Active',1,0)"},
    {4, "07", kEvents,
     "'7.{S}.2.I7','Panel {S} Point 7','Point 7','RD007','Panic Alarm','',' ',111,0,0)"},
    {5, "10", kAlarms,
     "'7.{S}','Panel {S}','','RD016','Low Battery:  UserID=12(Area=1)','UserID not found in "
     "Database',' ',' ','Active',20,0)"},
    {5, "10", kEvents,
     "'7.{S}','Panel {S}','','RD016','Low Battery:  UserID=12(Area=1)','UserID not found in "
     "Database',' ',130,0,0)"},
    {6, "11", kEvents,
     "'7.{S}','Panel {S}','','RD017','Battery Restored:  UserID=12(Area=1)','UserID not found in "
     "Database',' ',101,0,0)"},
    {7, "12", kEvents,
     "'7.{S}','Panel {S}','','RD018','Relay Deactivated:  UserID=3(Area=2)','UserID not found in "
     "Database',' ',102,0,0)"},
    {8, "05", kAlarms,
     "'7.{S}.2.I8','Panel {S} Point 8','Point 8','RD005','Fire Alarm','',' "
     "','Point','Active',1,0)"},
    {8, "05", kEvents,
     "'7.{S}.2.I8','Panel {S} Point 8','Point 8','RD005','Fire Alarm','',' ',111,0,0)"},
    {9, "06", kEvents,
     "'7.{S}.2.I8','Panel {S} Point 8','Point 8','RD006','Fire Alarm Restore','',' ',101,0,0)"},
    {10, "14", kEvents,
     "'7.{S}.0.O1','Panel {S} Relay 1','Relay 1','RD020','Phone Line Restored','',' ',101,0,0)"},
    {11, "14", kEvents, "'7.{S}.1.O16','','','RD020','Phone Line Restored','',' ',101,0,0)"},
    {12, "15", kAlarms,
     "'7.{S}.1.O16','','','RD021','Communication Failure to Receiver','',' ','','Active',20,0)"},
    {12, "15", kEvents,
     "'7.{S}.1.O16','','','RD021','Communication Failure to Receiver','',' ',130,0,0)"},
    {13, "16", kEvents,
     "'7.{S}','Panel {S}','','RD022','Communication to Receiver Restored:  UserID=4','UserID not "
     "found in Database',' ',101,0,0)"},
    {14, "18", kEvents,
     "'7.{S}','Panel {S}','','RD024','Auxiliary Power Restored:  UserID=12.3','UserID not found in "
     "Database',' ',101,0,0)"},
    {15, "03", kEvents,
     "'7.{S}.2.I5','Panel {S} Point 5','Point 5','RD003','Opening by User:  UserID=12.2','UserID "
     "not found in Database',' ',101,0,0)"},
    {16, "1A", kEvents,
     "'7.{S}','Panel {S}','','RD026','Supervisory Restore:  UserID=12','UserID not found in "
     "Database',' ',101,0,0)"},
    {17, "1F", kEvents,
     "'7.{S}','Panel {S}','','RD031','User Code Entered:  UserID=0','Installer',' ',102,0,0)"},
    {18, "20", kEvents, "'7.{S}','Panel {S}','','RD032','Area Disarmed Late','',' ',102,0,0)"},
    {19, "21", kAlarms,
     "'7.{S}','Panel {S}','','RD033','Area Failed to Arm','',' ',' ','Active',20,0)"},
    {19, "21", kEvents, "'7.{S}','Panel {S}','','RD033','Area Failed to Arm','',' ',130,0,0)"},
    {20, "22", kAlarmsShort,
     "'7.{S}','Panel {S}','','RD034','Area Failed to Disarm','Phone Line = 02',' ','Active',20)"},
    {20, "22", kEventsShort,
     "'7.{S}','Panel {S}','','RD034','Area Failed to Disarm','Phone Line = 02',130)"},
    {21, "17", kAlarmsShort,
     "'7.{S}','Panel {S}','','RD023','Auxiliary Power Failure','New Time=21',' ','Active',20)"},
    {21, "17", kEventsShort,
     "'7.{S}','Panel {S}','','RD023','Auxiliary Power Failure','New Time=21',130)"},
};

// The statement with the event's own date and time, region and slot made the placeholders.
std::string Normalized(const Statement& st, int slot) {
  static const std::regex when(R"(VALUES \((\d+),[^,]+,'[^']*',[^,]+,'[^']*',)");
  std::string sql = std::regex_replace(Trim(st.sql), when, "VALUES ($1,D,'T',N,'T',");
  const std::string s = std::to_string(slot);
  return ReplaceAll(ReplaceAll(sql, "'7." + s, "'7.{S}"), "'Panel " + s, "'Panel {S}");
}

TEST_P(EventsTest, EveryKindOfPanelEventBecomesExactlyItsStatements) {
  START_EVENTS_SITE();
  const std::size_t kinds = std::size(kEveryKind);
  for (int panel = 1; panel <= 2; ++panel)
    for (const char* line : kEveryKind)
      ASSERT_EQ(sim_.Command(std::to_string(panel) + " " + line).substr(0, 2), "ok") << line;
  const std::size_t per_panel = std::size(kExpected);
  std::map<std::string, Statement> got;
  ASSERT_TRUE(Eventually([&] {
    got = PanelStatements();
    return got.size() >= 2 * per_panel && Figure(1, "pending") == 0 && Figure(2, "pending") == 0;
  })) << got.size()
      << " statements";
  ASSERT_EQ(Figure(1, "last_evseq"), static_cast<long>(kinds));

  for (int slot = 0; slot < 2; ++slot) {
    const std::string link = sim_.panels()[static_cast<std::size_t>(slot)].host;
    std::set<std::string> seen;
    for (const Expected& e : kExpected) {
      SCOPED_TRACE("panel " + link + " EVSEQ " + std::to_string(e.evseq));
      // The identity: driver, EVSEQ, the panel's date and time, event number, link name.
      const std::string prefix = "7 " + std::to_string(e.evseq) + " ";
      const std::string suffix =
          " " + std::string(e.number) + " " + link + "/" +
          (&e.head == &kAlarms || &e.head == &kAlarmsShort ? "alarms" : "events");
      const Statement* st = nullptr;
      for (const auto& [id, s] : got)
        if (id.rfind(prefix, 0) == 0 && id.size() > suffix.size() &&
            id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
          st = &s;
      ASSERT_NE(st, nullptr);
      seen.insert(st->identity);
      const std::string when = st->identity.substr(prefix.size(), 19);  // "mm/dd/yyyy hh:nn:ss"
      EXPECT_NE(st->sql.find("'" + when.substr(11) + "'"), std::string::npos) << st->sql;
      EXPECT_EQ(Normalized(*st, slot),
                ReplaceAll(e.head, "{R}", std::to_string(slot + 1)) + e.values);
    }
    EXPECT_EQ(seen.size(), per_panel);
  }
  // Nothing else, and nothing twice: one file per statement.
  std::size_t files = 0;
  for (const auto& st : OpenStatements(StatementFolder(), key_))
    files += st.identity.rfind("7 ", 0) == 0;
  EXPECT_EQ(files, 2 * per_panel);
  EXPECT_EQ(got.size(), 2 * per_panel);
  // The driver's own start event went through its event file: the file is taken in.
  EXPECT_TRUE(ListMatching(ResolvePath(Folder(), "events"), "*.evt").empty());
  bool started = false;
  for (const auto& st : OpenStatements(StatementFolder(), key_))
    started |= st.identity.rfind("file ", 0) == 0 && st.sql.find("'HS001'") != std::string::npos;
  EXPECT_TRUE(started);
}

// While the events folder cannot be written (it is a plain file), the panel's events stay
// unacknowledged in the panel; once it can, every one arrives, once.
TEST_P(EventsTest, NoEventIsLostWhileTheEventsFolderCannotBeWritten) {
  START_EVENTS_SITE();
  fs::rename(StatementFolder(), root_ / "share" / "Events.before");
  { std::ofstream(StatementFolder()) << "not a folder"; }
  constexpr int kEvents = 20;
  for (int i = 0; i < kEvents / 2; ++i) {
    ASSERT_EQ(sim_.Command("1 open 3").substr(0, 2), "ok");
    ASSERT_EQ(sim_.Command("1 close 3").substr(0, 2), "ok");
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Figure(1, "pending"), kEvents);  // none acknowledged, the held one included
  EXPECT_TRUE(fs::is_regular_file(StatementFolder()));

  ASSERT_TRUE(fs::remove(StatementFolder()));
  std::map<std::string, Statement> got;
  ASSERT_TRUE(Eventually([&] {
    got = PanelStatements();
    return Figure(1, "pending") == 0 && got.size() >= kEvents + kEvents / 2;
  })) << got.size()
      << " statements";
  std::map<int, int> events_of;  // EVSEQ -> events statements
  for (const auto& [id, st] : got)
    if (id.size() > 7 && id.compare(id.size() - 7, 7, "/events") == 0)
      ++events_of[std::stoi(id.substr(2))];
  EXPECT_EQ(events_of.size(), static_cast<std::size_t>(kEvents));
  for (int e = 1; e <= kEvents; ++e) EXPECT_EQ(events_of[e], 1) << "EVSEQ " << e;
  std::size_t files = 0;
  for (const auto& st : OpenStatements(StatementFolder(), key_))
    files += st.identity.rfind("7 ", 0) == 0;
  EXPECT_EQ(files, got.size());  // nothing twice
  // The failure was reported once, not on every tick.
  const std::string log = IniDocument::Load(root_ / "driver.log").Text();
  std::size_t held = 0;
  for (std::size_t at = log.find("panel event held"); at != std::string::npos;
       at = log.find("panel event held", at + 1))
    ++held;
  EXPECT_EQ(held, 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, EventsTest, ::testing::Values("sqlite", "postgresql"));

}  // namespace
}  // namespace ordane
