#include "events/event_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "core/testing/driver_fixture.h"
#include "events/actions.h"
#include "events/event_files.h"
#include "schema/demo.h"
#include "schema/share.h"
#include "syslib/seal.h"
#include "util/files.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kWhen = "12/05/2026;10:11:12";

std::string ReadText(const fs::path& p) { return ReadWholeFile(p).value_or("<missing>"); }

// The identity and statement of the one file in `folder`, sealed under the site key `key`.
std::pair<std::string, std::string> OnlyRouted(const fs::path& folder, const fs::path& key) {
  const auto files = FilesIn(folder);
  std::pair<std::string, std::string> out{"<none>", ""};
  EXPECT_EQ(files.size(), 1u) << folder;
  if (files.empty()) return out;
  std::string line = files.begin()->second;
  line.pop_back();
  EXPECT_TRUE(SplitStatementFileText(Unseal(line, kDriverKey, LoadSiteKey(key)), &out.first,
                                     &out.second));
  return out;
}

class LoggerTest : public DriverTest {
 protected:
  LoggerTest() {
    StartedDriver();
    d_.ComputerNameText = "HOST";
    d_.DriverDescription = "Panel driver";
    Sql("INSERT INTO devices (address, Description, Device, Device_Type, Event_Source, "
        "latch_mode) VALUES "
        "('12.0.2.I17', 'Lobby O''Brien door', 'PIR', 'Point', NULL, 0), "
        "('12.0.3.R1', 'Front reader', 'Reader', 'Reader', '30.2.1.R2', 1), "
        "('12.0.3.R2', 'Back reader', 'Reader', 'Reader', '12.0.1.R1', 0), "
        "('12.0.0.O2', 'Siren', 'Relay', 'Relay', NULL, 0)");
    Sql("INSERT INTO controllers (address, Description, connection_type, baud_rate) VALUES "
        "('12.0', 'Main panel', '0', 9600), ('20.1', 'Video switch', '0', 9600), "
        "('21.1', 'Video switch 2', '50', 19200)");
    Sql("INSERT INTO personnel (id, first_name, last_name, ai_id) VALUES (41, 'Ann', 'O''Lee', 0)");
    Sql("INSERT INTO credentials (record_id, credential_number) VALUES (41, 1234567), "
        "(41, 12345678901)");
    Sql("INSERT INTO area_control (controller_address, area_number, description) VALUES "
        "('12.0', 2, 'Warehouse')");
    lib_.region = 3;
    d_.regions.RegionNames = {"", "North", "South", "East"};
  }

  struct Statement {
    std::string identity, text;
  };
  // The statement files of the events folder, opened, by extension ("evn", "aln").
  std::multimap<std::string, Statement> Statements() {
    std::multimap<std::string, Statement> out;
    for (const auto& [name, content] : FilesIn(fs::path(d_.RemotePath) / "Events")) {
      EXPECT_EQ(name.rfind("12_", 0), 0u) << name;
      std::string line = content;
      EXPECT_EQ(line.back(), '\n');
      line.pop_back();
      Statement s;
      EXPECT_TRUE(SplitStatementFileText(lib_.xKeyShow(line, kDriverKey), &s.identity, &s.text));
      out.emplace(name.substr(name.size() - 3), s);
    }
    return out;
  }
  std::string Only(const std::string& kind) {
    auto all = Statements();
    auto [a, b] = all.equal_range(kind);
    if (a == b) return "<none>";
    EXPECT_EQ(std::distance(a, b), 1) << kind;
    return a->second.text;
  }
  void ClearEvents() { fs::remove_all(fs::path(d_.RemotePath) / "Events"); }
  // The events statement of one event logged on a cleared events folder.
  std::string Logged(const std::string& address, const std::string& code,
                     const std::string& detail, std::int16_t log_type,
                     const std::string& extra = "", const std::string& when = kWhen) {
    ClearEvents();
    Log(address, code, detail, log_type, extra, when);
    return Only("evn");
  }

  LogOutcome Log(const std::string& address, const std::string& code, const std::string& detail,
                 std::int16_t log_type, const std::string& extra = "",
                 const std::string& when = kWhen) {
    return I_logevent(d_, when, address, code, detail, log_type, extra, "panel-12-0-77");
  }
};

TEST_F(LoggerTest, StatementsOfAPointAlarmInFull) {
  ASSERT_EQ(Log("12.0.2.I17", "RD070", "", 150), LogOutcome::kTaken);
  EXPECT_EQ(Only("evn"),
            "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
            "address_description, device, event_id, event_description, name, log_type) VALUES "
            "(3,#2026-12-05#,'10:11:12',1011.12,'10:11:12','12.0.2.I17','Lobby O`Brien door',"
            "'PIR','RD070','resource 21570','',150) ");
  EXPECT_EQ(Only("aln"),
            "INSERT INTO alarms ([region_id],[date], [time], time_num, time_string, address, "
            "address_description, device, event_id, event_description, name, device_type,status,"
            "priority) VALUES (3,#2026-12-05#,'10:11:12',1011.12,'10:11:12','12.0.2.I17',"
            "'Lobby O`Brien door','PIR','RD070','resource 21570','','Point','Active',40) ");
  std::multiset<std::string> identities;
  for (const auto& [kind, s] : Statements()) identities.insert(s.identity);
  EXPECT_EQ(identities,
            (std::multiset<std::string>{"panel-12-0-77/events", "panel-12-0-77/alarms"}));
  ASSERT_EQ(lib_.event_alarms.size(), 1u);
  EXPECT_EQ(lib_.event_alarms[0],
            "#2026-12-05 10:11:12#\t10:11:12\tEast\t12.0.2.I17\tLobby O`Brien door\t"
            ";resource 21570;\t\t\t\tRD070");
  EXPECT_EQ(lib_.alarm_refreshes, 1);

  // Other dialects: quoted dates, and Oracle's To_Date for the time.
  d_.settings.SqlServerMode = 1;
  EXPECT_THAT(Logged("12.0.2.I17", "RD070", "", 102), HasSubstr("(3,'20261205','10:11:12',1011.12,"));
  d_.settings.SqlServerMode = 2;
  EXPECT_THAT(Logged("12.0.2.I17", "RD070", "", 102),
              HasSubstr("(3,'20261205',To_Date('10:11:12','HH24:MI:SS'),"));
}

TEST_F(LoggerTest, NowAndTheDebugLineOfAGivenTimestamp) {
  d_.settings.DriverDebug = true;
  d_.errors.debug = true;
  for (const char* when : {"", "0"}) {
    EXPECT_THAT(Logged("12.0", "PO001", "", 102, "", when),
                HasSubstr("(3,#2026-12-05#,'21:18:42',2118,'21:18:42','12.0'"));
  }
  EXPECT_EQ(d_.errors.Count(), 0u);
  Log("12.0", "PO001", "", 102);
  ASSERT_EQ(d_.errors.Count(), 1u);
  EXPECT_EQ(d_.errors.Lines()[0], "Event:  12/05/2026;10:11:12  (12.0)  (PO001)");
}

// The tail of each statement after the name, for each column-list case of both tables.
TEST_F(LoggerTest, ColumnListsAndTailsOfBothTables) {
  lib_.panel_users["3/12/Master"] = "1234567";
  struct Case {
    const char* what;
    std::string address, code, detail;
    std::string events_columns, events_tail, alarms_columns, alarms_tail;
  } cases[] = {
      {"detail with a blank", "12.0.2.I17", "RD070", "zone 5", "name, data2, log_type) ",
       "'',' ',150) ", "name, data2, device_type,status,priority) ",
       "'',' ','Point','Active',40) "},
      {"an equals sign moves the detail into the name", "12.0.2.I17", "RD070",
       "Phone Line = 5551234", "name, log_type) ", "'Phone Line = 5551234',150) ",
       "name, device_type,status,priority) ", "'Phone Line = 5551234','Point','Active',40) "},
      {"user detail, short credential", "12.0.2.I17", "RD070", "UserID=012",
       "name, data2, log_type, data, group_id) ", "'Ann O`Lee',' ',150,1234567,0) ",
       "name, data2, device_type,status,priority,data) ",
       "'Ann O`Lee',' ','Point','Active',40,1234567) "},
      {"card, long credential", "12.0.3.R2", "RO001", "12345678901",
       "name, data2, log_type, data, group_id) ", "'Ann O`Lee',' ',150,0,41) ",
       "name, data2, device_type,status,priority,data) ",
       "'Ann O`Lee',' ','Reader','Active',40,12345678901) "},
      {"unknown card", "12.0.3.R2", "RO001", "555", "name, data2, log_type, data, group_id) ",
       "'Not in Database','555',150,555,0) ", "name, data2, device_type,status,priority,data) ",
       "'Not in Database','555','Reader','Active',40,555) "},
      {"unknown long credential", "12.0.3.R2", "UC001", "98765432101",
       "name, data2, log_type, data, group_id) ", "'','98765432101',150,0,0) ",
       "name, data2, device_type,status,priority,data) ",
       "'','98765432101','Reader','Active',40,0) "},
  };
  for (const Case& c : cases) {
    ClearEvents();
    ASSERT_EQ(Log(c.address, c.code, c.detail, 150), LogOutcome::kTaken) << c.what;
    const std::string events = Only("evn"), alarms = Only("aln");
    auto columns = [](const std::string& s) {
      return s.substr(s.find("name, "), s.find("VALUES") - s.find("name, "));
    };
    auto tail = [](const std::string& s, const std::string& code) {
      // After "'<code>','<event description>',".
      std::size_t at = s.find("'" + code + "','");
      at = s.find("',", at + code.size() + 4);
      return s.substr(at + 2);
    };
    EXPECT_EQ(columns(events), c.events_columns) << c.what;
    EXPECT_EQ(tail(events, c.code), c.events_tail) << c.what << "\n" << events;
    EXPECT_EQ(columns(alarms), c.alarms_columns) << c.what;
    EXPECT_EQ(tail(alarms, c.code), c.alarms_tail) << c.what << "\n" << alarms;
  }
  // The user rule also put the user number into the detail and the name into the description.
  EXPECT_THAT(Logged("12.0.2.I17", "RD070", "UserID=012", 102),
              HasSubstr("'resource 21570:  UserID=012','Ann O`Lee'"));
  EXPECT_THAT(Logged("12.0.2.I17", "RD070", "UserID=000", 102),
              HasSubstr("'Installer',' ',102,0,0)"));
}

TEST_F(LoggerTest, LogTypeDispatchAndAlarmPriority) {
  struct Case {
    std::int16_t log_type;
    bool events, alarms, integration;
    std::string priority;
  } cases[] = {
      {1, true, true, false, "1"},    {99, true, true, false, "99"},
      {101, true, false, true, ""},   {102, true, false, false, ""},
      {103, true, false, true, ""},   {111, true, true, true, "1"},
      {150, true, true, true, "40"},  {208, true, true, true, "98"},
      {0, false, false, false, ""},   {100, false, false, false, ""},
      {104, false, false, false, ""}, {110, false, false, false, ""},
      {209, false, false, false, ""}, {-5, false, false, false, ""},
      {999, false, false, false, ""},
  };
  for (const Case& c : cases) {
    ClearEvents();
    lib_.event_alarms.clear();
    ASSERT_EQ(Log("12.0", "PO001", "", c.log_type), LogOutcome::kTaken) << c.log_type;
    auto all = Statements();
    EXPECT_EQ(all.count("evn"), c.events ? 1u : 0u) << c.log_type;
    EXPECT_EQ(all.count("aln"), c.alarms ? 1u : 0u) << c.log_type;
    EXPECT_EQ(lib_.event_alarms.size(), c.integration ? 1u : 0u) << c.log_type;
    if (c.events) {
      EXPECT_NE(Only("evn").find("''," + std::to_string(c.log_type) + ") "), std::string::npos)
          << c.log_type << Only("evn");
    }
    if (c.alarms) {
      const std::string a = Only("aln");
      EXPECT_EQ(a.substr(a.rfind(",") + 1), c.priority + ") ") << c.log_type;
    }
  }
}

TEST_F(LoggerTest, QuotesAndSqlInTextsFromOutsideCannotChangeTheStatement) {
  // The statements are run on the real database: each must insert exactly the texts given.
  const std::string nasty = "x'); DELETE FROM events; --";
  Log("12.0.9.I1" + nasty, "RO017", "a'b", 150, "Door 'A'");
  Log("12.0", "RO017", "", 102, "Door", kWhen);
  const auto all = Statements();
  for (const auto& [kind, s] : all) Sql(s.text);
  EXPECT_EQ(One("SELECT COUNT(*) FROM events"), "2");
  EXPECT_EQ(One("SELECT COUNT(*) FROM alarms"), "1");
  EXPECT_EQ(One("SELECT address FROM alarms"), "12.0.9.I1" + nasty);
  EXPECT_EQ(One("SELECT event_description FROM alarms"), "Door 'A'");
  // RO017 takes its name from the extra text; a quote there becomes a backquote.
  EXPECT_EQ(One("SELECT name FROM alarms"), "Door `A`");
  EXPECT_EQ(One("SELECT data2 FROM alarms"), " ");

  // A timestamp that is not a date and time is not written into the statement.
  EXPECT_THAT(Logged("12.0", "PO001", "", 102, "", "12/05/2026;10:11:1'"),
              HasSubstr("(3,#2026-12-05#,'21:18:42',2118,'21:18:42'"));
  EXPECT_THAT(d_.errors.Lines()[0], HasSubstr("logged at the current time"));
}

TEST_F(LoggerTest, AnEventThatCannotBeStoredIsKeptAndReportedOnce) {
  const fs::path events = fs::path(d_.RemotePath) / "Events";
  const fs::path intercom = fs::path(d_.RemotePath) / "Drivers" / "199" / "commands";
  fs::create_directories(intercom);
  std::ofstream(fs::path(d_.RemotePath) / "InterComm12.ini") << "[12.0.2.I17]\nCommand=R\nAA=1\n";
  std::ofstream(events) << "not a folder";
  const std::size_t before = d_.errors.Count();
  EXPECT_EQ(Log("12.0.2.I17", "RD070", "", 150), LogOutcome::kRetryLater);
  EXPECT_EQ(Log("12.0.2.I17", "RD070", "", 150), LogOutcome::kRetryLater);
  EXPECT_EQ(d_.errors.Count(), before + 1);
  EXPECT_TRUE(lib_.event_alarms.empty());
  EXPECT_FALSE(d_.LogFailed);
  // The event's actions wait for it to be stored.
  EXPECT_FALSE(fs::exists(intercom / "it.000"));

  fs::remove(events);
  EXPECT_EQ(Log("12.0.2.I17", "RD070", "", 150), LogOutcome::kTaken);
  EXPECT_EQ(Statements().size(), 2u);
  EXPECT_EQ(ReadText(intercom / "it.000"), "R0001\n");
  EXPECT_FALSE(d_.EventStoreFailing);

  // The database lost while the event is completed: kept as well.
  ClearEvents();
  d_.db.HardwareConnection->Close();
  EXPECT_EQ(Log("12.0.2.I17", "RD070", "", 150), LogOutcome::kRetryLater);
  EXPECT_TRUE(Statements().empty());
}

TEST_F(LoggerTest, AnEventWhoseRowIsMissingIsGivenUp) {
  EXPECT_EQ(Log("12.0", "AZ001", "9", 150), LogOutcome::kTaken);  // no area 9
  EXPECT_TRUE(d_.LogFailed);
  EXPECT_TRUE(Statements().empty());
  EXPECT_THAT(d_.errors.Lines()[0], StartsWith("err_I_logevent:  "));
  EXPECT_THAT(Logged("12.0", "AZ001", "2", 102),
              HasSubstr("'Main panel','','AZ001','resource 15001','Warehouse'"));
  EXPECT_FALSE(d_.LogFailed);
}

// Which table describes the address, and what names the event, by family.
TEST_F(LoggerTest, FamilyRulesDescribeAndNameTheEvent) {
  Sql("INSERT INTO drivers (driver_id, Description) VALUES (12, 'Front desk driver')");
  Sql("INSERT INTO sub_controllers (address, Description) VALUES ('12.0.4', 'Door module')");
  Sql("INSERT INTO TimeSchedule_Descriptions (timeschedule_id, region_id, description) VALUES "
      "(4, 3, 'Office hours')");
  std::ofstream(fs::path(d_.RemotePath) / "MPG12-0.ini") << "[3]\nDescription=Vault\n";
  struct Case {
    std::string address, code, detail, description, name;
  } cases[] = {
      {"12", "HS001", "", "Front desk driver", "Panel driver *"},
      {"13", "SE001", "", "HOST", ""},  // no driver row: the computer's name
      {"12.0.4", "DO001", "", "Door module", ""},
      {"12.0", "PO001", "", "Main panel", ""},
      {"12.0", "TS002", "4", "Main panel", "Office hours"},
      {"12.0", "SA001", "3", "Main panel", "Vault"},
      {"12.0", "SA001", "5", "Main panel", "Secured Area#5"},
      {"12.0", "AZ001", "2", "Main panel", "Warehouse"},
      {"12.0.0.O2", "OO001", "", "Siren", ""},
      {"12.0.3.R1", "RO017", "", "Front reader", ""},
      {"12.0.3.R1", "RO018", "", "Front reader", "Guard"},
  };
  for (const Case& c : cases) {
    const std::string s = Logged(c.address, c.code, c.detail, 102, c.name == "Guard" ? "Guard" : "");
    EXPECT_THAT(s, HasSubstr("'" + c.address + "','" + c.description + "','")) << c.code;
    const bool version = c.name == "Panel driver *";
    EXPECT_THAT(s.substr(s.find("VALUES")),
                HasSubstr(version ? "'Panel driver 1." : "','" + c.name + "'"))
        << c.code;
    EXPECT_FALSE(d_.LogFailed) << c.code;
  }
}

TEST_F(LoggerTest, RelayAddressesAndSkedsOfPanelEvents) {
  Sql("INSERT INTO skeds (controller_address, sked_id, description) VALUES ('12.0', 5, 'Night')");
  EXPECT_THAT(Logged("12.0.1.O251", "RD100", "", 102), HasSubstr("'12.0.0.O2','Siren'"));
  EXPECT_THAT(Logged("12.0", "RD101", "Sked=005", 102),
              HasSubstr("'Main panel','','RD101','resource 21601','Night',' ',102,0,0)"));
}

TEST_F(LoggerTest, SecuredAreaWindowsRaiseTheirEvents) {
  Sql("INSERT INTO Secured_Areas (address, id, Open_Window_Time, Closed_Window_Time) VALUES "
      "('12-0', 1, 800, 1700), ('12-0', 2, 900, 800), ('12-0', 3, 800, 800)");
  Sql("INSERT INTO event_descriptions (event_id, log_type) VALUES ('SA005', 102), ('SA006', 150)");
  lib_.secured_areas = "021";  // area 3 closed ("0"), area 2 open ("2"), area 1 closed ("1")
  Log("12.0", "TS001", "800", 102);
  std::map<std::string, std::string> raised;
  for (const auto& [name, content] : FilesIn(fs::path(d_.DriverFolder) / "events"))
    raised[name.substr(name.size() - 3)] = content;
  ASSERT_EQ(raised.size(), 2u);
  EXPECT_EQ(raised["evt"], "0\n12.0\nSA005\n1\n102\n\n");
  EXPECT_EQ(raised["alm"], "0\n12.0\nSA006\n2\n150\n\n");
}

// With the file numbers forced into 1 to 8, every name clashes sooner or later: each statement
// still gets a name of its own, and once all eight wait, the next event is kept for a later
// try instead of taking the place of one of them.
TEST_F(LoggerTest, ANameClashNeverOverwritesAWaitingStatementFile) {
  SetFileNumberRangeForTests(1, 8);
  struct Reset {
    ~Reset() { SetFileNumberRangeForTests(0, 0); }
  } reset;
  for (int n = 1; n <= 8; ++n)
    QueueStatement(d_, "INSERT INTO events (name) VALUES ('" + std::to_string(n) + "')",
                   kEventStatement, "id-" + std::to_string(n));
  const auto before = FilesIn(fs::path(d_.RemotePath) / "Events");
  std::set<std::string> identities;
  for (const auto& [kind, st] : Statements()) identities.insert(st.identity);
  EXPECT_EQ(before.size(), 8u);
  EXPECT_EQ(identities.size(), 8u);
  EXPECT_THROW(
      QueueStatement(d_, "INSERT INTO events (name) VALUES ('9')", kEventStatement, "id-9"),
      StatementStoreFailure);
  EXPECT_EQ(Log("12.0.2.I17", "RD001", "", 101), LogOutcome::kRetryLater);
  EXPECT_EQ(FilesIn(fs::path(d_.RemotePath) / "Events"), before);  // nor a temporary file left
}

TEST_F(LoggerTest, EventFileWriterLogTypesAndFileKinds) {
  Sql("INSERT INTO event_descriptions (event_id, log_type) VALUES ('RO001', 102), "
      "('RO002', 104), ('IO001', 150), ('RO003', 102)");
  const fs::path data = fs::path(d_.DriverFolder) / "Data";
  fs::create_directories(data);
  std::ofstream(data / "devices.0.dat") << "[12.0.3.R2]\nRO003=150\nRO001=999\n[12.0.2.I17]\n"
                                           "IO001=0\n";
  struct Case {
    std::string address, code, want;  // want: the extension written, "" none
    bool failed = false;
  } cases[] = {
      {"12.0.3.R2", "RO001", "evt"},   // 999 in the .dat is ignored
      {"12.0.3.R2", "RO002", ""},      // 104: nothing
      {"12.0.2.I17", "IO001", "alm"},  // 0 in the .dat is ignored
      {"12.0.3.R2", "RO003", "alm"},   // the .dat's 150 replaces 102
      {"12.0", "PO009", ""},           // no row: log type 0
  };
  const fs::path events = fs::path(d_.DriverFolder) / "events";
  auto log = [&](std::string address, std::string code, std::string detail) {
    fs::remove_all(events);
    std::string when = "0", extra;
    F_logevent(d_, when, address, code, detail, extra);
    return FilesIn(events);
  };
  for (const Case& c : cases) {
    auto files = log(c.address, c.code, "5");
    if (c.want.empty()) {
      EXPECT_TRUE(files.empty()) << c.code;
    } else {
      ASSERT_EQ(files.size(), 1u) << c.code;
      EXPECT_EQ(files.begin()->first.substr(files.begin()->first.size() - 3), c.want) << c.code;
    }
  }
  EXPECT_EQ(lib_.states.size(), 5u);
  // The latching reader keeps its last card in the status folder; the others leave it alone.
  log("12.0.3.R1", "RO001", "255");
  EXPECT_EQ(ReadText(fs::path(d_.DriverFolder) / "status" / "admin.srn"), "FF\n");
  EXPECT_FALSE(fs::exists(fs::path(d_.DriverFolder) / "admin.srn"));
  log("12.0.3.R2", "RO001", "1");
  EXPECT_EQ(ReadText(fs::path(d_.DriverFolder) / "status" / "admin.srn"), "FF\n");
  // A lookup that fails leaves 999: logging failed, no file.
  d_.db.AccessControlConnection->Close();
  d_.LogFailed = false;
  EXPECT_TRUE(log("12.0.3.R2", "RO001", "1").empty());
  EXPECT_TRUE(d_.LogFailed);
}

TEST_F(LoggerTest, AlarmsAreRoutedToSitesWithTheirOwnKeys) {
  const fs::path root = fs::path(d_.RemotePath);
  for (const char* site : {"site1", "site3"}) fs::create_directories(root / site / "Events");
  ASSERT_TRUE(CreateSiteKey(root / "site1.key", false, nullptr));
  std::ofstream(root / "sites.map")
      << "[Site1]\nEnabled=1\nRemotePath=" << (root / "site1").string()
      << "/\nKeyFile=site1.key\n[Site2]\nEnabled=1\nRemotePath=" << (root / "site1").string()
      << "\nKeyFile=site1.key\n[Site3]\nEnabled=1\nRemotePath=" << (root / "site3").string()
      << "\n";
  Sql("INSERT INTO event_descriptions (event_id, log_type, routeid) VALUES ('RD070', 150, '5')");
  Log("12.0.2.I17", "RD070", "", 150);

  // One copy: site 2 (the same folder) is not selected by 5 (binary 101).
  EXPECT_EQ(OnlyRouted(root / "site1" / "Events", root / "site1.key"),
            std::make_pair(std::string("panel-12-0-77/site1"), Only("aln")));
  // Site 3 has no key file: no copy, and a line that says so.
  EXPECT_TRUE(FilesIn(root / "site3" / "Events").empty());
  EXPECT_THAT(d_.errors.Lines()[0], StartsWith("err_RouteAlarm:  site 3 has no key file"));
}

TEST_F(LoggerTest, CommandFileExtensions) {
  const fs::path folder = fs::path(d_.RemotePath) / "Drivers" / "30";
  fs::create_directories(folder / "commands");
  struct Case {
    std::string extension;
    int number;
    std::string want;
  } cases[] = {{"cmd", 5, ".cmd"},
               {"", 5, ".005"},
               {"", 1234, ".234"},
               {"ab", 7, ".ab0"},
               {"abcd", 5, ".abc"}};
  for (const Case& c : cases) {
    fs::remove_all(folder / "commands");
    fs::create_directories(folder / "commands");
    WriteCommandFile(d_, folder.string(), "line", c.number, c.extension);
    auto files = FilesIn(folder / "commands");
    ASSERT_EQ(files.size(), 1u) << c.extension;
    EXPECT_EQ(fs::path(files.begin()->first).extension(), c.want) << c.extension;
    EXPECT_EQ(files.begin()->first.rfind("11000", 0), 0u);
    EXPECT_EQ(files.begin()->second, "line\n");
  }
}

TEST_F(LoggerTest, CardEventsTellTheirEventSource) {
  fs::create_directories(fs::path(d_.RemotePath) / "Drivers" / "30" / "commands");
  Log("12.0.3.R1", "RO001", "1234567", 150);
  auto files = FilesIn(fs::path(d_.RemotePath) / "Drivers" / "30" / "commands");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::path(files.begin()->first).extension(), ".cmd");
  EXPECT_EQ(files.begin()->second, "326 2 3 2 5 1 5 0 0 \"resource 25001  Ann O'Lee       \"\n");
  // A source of this driver gets nothing.
  fs::create_directories(fs::path(d_.RemotePath) / "Drivers" / "12" / "commands");
  Log("12.0.3.R2", "RO001", "1234567", 150);
  EXPECT_TRUE(FilesIn(fs::path(d_.RemotePath) / "Drivers" / "12" / "commands").empty());
}

TEST(InterComm, MessagesByCommandLetter) {
  struct Case {
    const char *command, *aa, *bb, *want;
  } cases[] = {
      {"I", "12", "", "IFF12FFFF"}, {"N", "1", "ABCDE", "NFFF1BCDE"},
      {"Q", "3", "9", "QFFF3"},     {"t", "", "", "tFFFF"},
      {"R", "7", "", "R0007"},      {"S", "12345", "", "S2345"},
      {"O", "7", "", "O0007\r"},    {"X", "1", "2", ""},
      {"", "1", "2", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(InterCommMessage(c.command, c.aa, c.bb), c.want) << c.command;
}

TEST_F(LoggerTest, IntercomAndCameraActionsOfAPoint) {
  const fs::path root = fs::path(d_.RemotePath);
  for (const char* folder : {"Drivers/199/commands", "Drivers/20/commands", "Drivers/21/commands"})
    fs::create_directories(root / folder);
  fs::create_directories(root / "hardware");
  Sql("INSERT INTO drivers (driver_id, driver_type) VALUES (20, 'CAMX'), (21, 'CAMH')");
  Sql("INSERT INTO sub_controllers (address, comm_channel) VALUES ('21.1.6', 4)");
  std::ofstream(root / "hardware" / "CAMX.dvr")
      << "[Parameters]\ncamera_padding=3\nmonitor_padding=0\n[Protocol]\nSOM=2\nEOM=3\n"
         "1=<SOM>S<Mon>C<Cam><EOM>\n20=P<Data>\n22=Q<Data>\n30=R<Data><Data>\n";
  std::ofstream(root / "hardware" / "CAMH.dvr") << "[Protocol]\nMode=hex\n1=A<Cam>\n30=B\n";
  std::ofstream(root / "camera12.ini")
      << "[12.0.2.I17]\nMonitor=20.1.0.M2\nCamera=20.1.0.C7\nPreset=3, 4\n"
         "[12.0.2.I18]\nMonitor=21.1.6.M1\nCamera=21.1.6.C10\nPreset=5\n"
         "[12.0.2.I19]\nMonitor=20.1.0.M2\nCamera=21.1.0.C7\n"
         "[12.0.2.I20]\nCommand=1\nMonitor=20.1.0.M2\nProtocol=GO1:GO2\n";
  std::ofstream(root / "InterComm12.ini") << "[12.0.2.I17]\nCommand=I\nAA=12\n";

  // The file's extension is the monitor's controller ("20.1") as a number.
  auto lines = [&](const std::string& driver) {
    std::multiset<std::string> out;
    for (const auto& [name, content] : FilesIn(root / "Drivers" / driver / "commands")) {
      EXPECT_EQ(fs::path(name).extension(), ".0" + driver) << name;
      out.insert(content);
    }
    fs::remove_all(root / "Drivers" / driver / "commands");
    fs::create_directories(root / "Drivers" / driver / "commands");
    return out;
  };
  // Direct: modes 1, 20 and 22 for a preset with a comma; the camera padded to 3 digits.
  Log("12.0.2.I17", "RD070", "", 102);
  EXPECT_EQ(lines("20"), (std::multiset<std::string>{"001:02S2C00703\n", "001:P3\n", "001:Q4\n"}));
  EXPECT_EQ(ReadText(root / "Drivers" / "199" / "commands" / "it.000"), "IFF12FFFF\n");
  // Through a communication channel (comm_channel 4 is port 2), in hexadecimal.
  Log("12.0.2.I18", "RD070", "", 102);
  EXPECT_EQ(lines("21"),
            (std::multiset<std::string>{"320 1.6 19200 0 2 4131300\n", "320 1.6 19200 0 2 420\n"}));
  // Monitor and camera of different drivers: nothing.
  Log("12.0.2.I19", "RD070", "", 102);
  EXPECT_TRUE(lines("20").empty());
  EXPECT_TRUE(lines("21").empty());
  // A protocol text: the first part now, the second part waits for the polling timer.
  Log("12.0.2.I20", "RD070", "", 102);
  EXPECT_EQ(lines("20"), (std::multiset<std::string>{"001:GO1\n"}));
  EXPECT_EQ(d_.DelayedCameraCommands[0].Action, "20.1.0.M2:GO2");
  EXPECT_EQ(d_.DelayedCameraCommands[0].Due, "1847");  // 21:18:42 plus 5 seconds
  clock_.Set(LocalTime{2026, 12, 5, 21, 18, 57});
  Log("12.0.2.I20", "RD070", "", 102);
  EXPECT_EQ(d_.DelayedCameraCommands[1].Due, "1802");  // the second wraps, the minute stays
  EXPECT_EQ(lines("20"), (std::multiset<std::string>{"001:GO1\n"}));
  // A point without camera settings leaves no files.
  Log("12.0.2.I99", "RD070", "", 102);
  EXPECT_TRUE(lines("20").empty());
}

TEST_F(LoggerTest, EmailRequests) {
  const fs::path root = fs::path(d_.RemotePath);
  Sql("INSERT INTO event_descriptions (event_id, log_type, Email) VALUES "
      "('RD070', 150, 'ops@example.com'), ('RD071', 150, '999'), ('RD072', 150, 'abc')");
  auto requests = [&] {
    std::vector<std::string> out;
    for (const auto& [name, content] : FilesIn(root))
      if (name.size() > 4 && name.substr(name.size() - 4) == ".ODN") {
        EXPECT_EQ(name.rfind("HOST_email", 0), 0u);
        out.push_back(content);
        fs::remove(root / name);
      }
    return out;
  };
  Log("12.0.2.I17", "RD071", "", 150);
  Log("12.0.2.I17", "RD072", "", 150);
  EXPECT_TRUE(requests().empty());

  // Without the shell program the request stays, and one line says so.
  Log("12.0.2.I17", "RD070", "", 150, "", "12/05/2026;10:11:12");
  auto sent = requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0],
            "[OS]\nCommand=EMail\nTo=ops@example.com\nSubject=Lobby O'Brien door:  resource "
            "21570\nBody=Date:  12/05/2026;10:11:12~vbcrlf~Address:  12.0.2.I17- Lobby "
            "O'Brien door~vbcrlf~Event:  resource 21570~vbcrlf~\n");
  EXPECT_THAT(d_.errors.Lines()[0], HasSubstr("odn_shell is missing"));

  // With it, the shell program is started with the request.
  const fs::path shell = root / "odn_shell";
  std::ofstream(shell) << "#!/bin/sh\ncp \"$1\" \"" << (root / "mailed").string() << "\"\n";
  fs::permissions(shell, fs::perms::owner_all);
  Log("12.0.2.I17", "RD070", "", 150);
  // The copy may be seen before cp has written it: wait for its last line.
  for (int i = 0; i < 1000 && ReadText(root / "mailed").find("\nBody=") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_THAT(ReadText(root / "mailed"), HasSubstr("Body=Date:  12/05/2026;10:11:12"));
}

// The demo installation shows every action: camera and intercom on points 1 and 2 of panel 0,
// the e-mail request of the panic alarm, the burglary alarm routed to site 2.
TEST_F(DriverTest, TheDemoInstallationShowsTheActions) {
  const fs::path share = root_ / "share";
  std::string why;
  ASSERT_TRUE(schema::LayDownShare(share, false, &why, 1)) << why;
  schema::DemoOptions demo;
  demo.computer_name = "HOST";
  schema::LoadDemoData(*sql_, demo);
  StartedDriver();
  d_.DriverId = 1;
  d_.DriverFolder = (share / "Drivers" / "1").string();
  d_.ComputerNameText = "HOST";

  // Burglary alarm on point 1: the camera comes up on the monitor, the alarm goes to site 2.
  ASSERT_EQ(I_logevent(d_, "12/05/2026;10:11:12", "1.0.2.I1", "RD001", "", 111, "", "demo-1"),
            LogOutcome::kTaken);
  std::multiset<std::string> camera;
  for (const auto& [name, content] : FilesIn(share / "Drivers" / "90" / "commands")) {
    EXPECT_EQ(fs::path(name).extension(), ".090") << name;
    camera.insert(content);
  }
  EXPECT_EQ(camera, (std::multiset<std::string>{"001:02MON01CAM00103\n", "001:02GOTO203\n",
                                                "001:02ZOOM503\n"}));
  const auto [identity, statement] =
      OnlyRouted(share / "sites" / "site2" / "Events", share / "sites" / "site2.key");
  EXPECT_EQ(identity, "demo-1/site2");
  EXPECT_THAT(statement, StartsWith("INSERT INTO alarms"));
  EXPECT_THAT(statement, HasSubstr("'Panel 0 Point 1','Point 1','RD001','resource 21501'"));

  // Point 2 calls the intercom.
  I_logevent(d_, "12/05/2026;10:11:13", "1.0.2.I2", "RD001", "", 111, "", "demo-2");
  EXPECT_EQ(ReadText(share / "Drivers" / "199" / "commands" / "it.000"), "IFF12FF34\n");

  // The panic alarm mails security.
  I_logevent(d_, "12/05/2026;10:11:14", "1.0.2.I3", "RD007", "", 111, "", "demo-3");
  bool mailed = false;
  for (const auto& [name, content] : FilesIn(share))
    if (fs::path(name).extension() == ".ODN")
      mailed = content.find("To=security@example.com") != std::string::npos;
  EXPECT_TRUE(mailed);
}

}  // namespace
}  // namespace ordane
