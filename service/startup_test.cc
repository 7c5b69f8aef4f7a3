#include "service/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "config/config.h"
#include "core/log.h"
#include "core/testing/driver_fixture.h"
#include "service/timers.h"
#include "util/paths.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

TEST(StartUpRules, ConnectionTypesCompareAsTexts) {
  using L = PanelConnection::Line;
  struct Case { const char* type; L line; } cases[] = {
      {"0", L::kSerial}, {"1", L::kModem}, {"2", L::kModem}, {"3", L::kModem},
      {"10", L::kModem}, {"4", L::kTcp},   {"", L::kNone},   {"5", L::kNone},
      {"04", L::kSerial}, {"3a", L::kNone}, {"40", L::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(LineOf(c.type), c.line) << "[" << c.type << "]";
}

class StartUpTest : public DriverTest {
 protected:
  StartUpTest() { CreateTimers(d_); }
  void SiteWithPanels() {
    Sql("insert into drivers (driver_id, computer_name, driver_type, TCP_Listen_Port) values (12, '" +
        ComputerName() + "', '11000', 0)");
    Sql("insert into drivers (driver_id, computer_name, driver_type, TCP_Listen_Port) values (13, '" +
        ComputerName() + "', '11000', 1)");  // a listening driver record is not ours
    Sql("insert into controllers (address, driver_id, controller_address, poll, Connection_Type, EC_1_Name) values "
        "('12.0', 12, 0, 1, '4', '127.0.0.2'), ('12.1', 12, 1, 0, '4', '127.0.0.3'), "
        "('12.2', 12, 2, 1, '10', '5551234'), ('12.40', 12, 40, 1, '4', '127.0.0.9'), "
        "('12.4', 12, 4, 1, '4', 'lobby-panel')");
    Sql("insert into channels (driver_id, channel, port, baud_rate, port2) values "
        "(12, 0, '', 0, 7701), (12, 1, '', 0, 7702), (12, 2, '3', 9600, 0), (12, 40, '', 0, 7709), "
        "(12, 4, '', 0, 7704)");
    Sql("insert into controller_commands (address, cmd) values ('12.5', '324 5 1'), ('13.1', '324 1 1')");
    fs::path drivers = root_ / "share" / "Drivers";
    fs::create_directories(drivers / "12" / "commands");
    std::ofstream(drivers / "12" / "commands" / "old.STP") << "fin\n";
    std::ofstream(drivers / "12" / "commands" / "keep.cmd") << "324 0 1\n";
    std::ofstream(drivers / "11000.ini") << "[0]\nEvent_ID=HS0A\nDescription=Ten\nLog_Type=101\n"
                                            "[1]\nEvent_ID=X\nDescription=Bad\n"
                                            "[170]\nEvent_ID=RD4F\nDescription=Last\nLog_Type=7\n"
                                            "[171]\nEvent_ID=RD50\nDescription=Beyond\n";
  }
};

TEST_F(StartUpTest, ConnectsEveryPolledPanelOfThisDriver) {
  SiteWithPanels();
  START_UP(d_, "");

  EXPECT_EQ(d_.DriverId, 12);
  EXPECT_EQ(d_.panels[0].PortName, "127.0.0.2");
  EXPECT_EQ(d_.panels[0].ConnectString, "TCP/IP - 127.0.0.2 7701");
  EXPECT_EQ(d_.panels[1].PortName, "");  // poll 0: no slot data, no connection
  EXPECT_EQ(d_.panels[2].PortName, "COM3");
  for (int i : {0, 2}) EXPECT_EQ(d_.panels[static_cast<std::size_t>(i)].LinkState, kLinkEstablished);

  auto init = panel_.CallsTo("INITIALIZEPANEL");
  ASSERT_EQ(init.size(), 3u);
  EXPECT_EQ(init[1].text, "serial port - COM3 baud=9600 parity=n data=8 stop=1");
  ASSERT_EQ(panel_.CallsTo("MODEMCOMMAND").size(), 1u);  // "10" is a modem line
  EXPECT_EQ(panel_.CallsTo("MODEMCOMMAND")[0].text, "COM3 1000 ATD,T5551234\r");
  EXPECT_EQ(panel_.CallsTo("GETFIRMWAREREVISION").size(), 3u);  // request_io per panel
  EXPECT_EQ(panel_.CallNames().front(), "DLLINFORMATION");

  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "1");
  EXPECT_EQ(One("select cstatus from controllers where address = '12.1'"), "0");
  EXPECT_EQ(One("select count(*) from controller_commands where address like '12.%'"), "0");
  EXPECT_EQ(One("select count(*) from controller_commands"), "1");

  // A controller outside the table is reported and never written outside it.
  // So is a link name with a hyphen, which would make its events unreadable.
  auto reported = [&](const std::string& what) {
    for (const auto& line : d_.errors.Lines())
      if (line.rfind("ERR_Start_Up:  ", 0) == 0 && line.find(what) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(reported("panel 40"));
  EXPECT_TRUE(reported("lobby-panel holds a hyphen"));

  // Event descriptions: HS0A becomes HS010; a short code and sections past 170 add nothing.
  EXPECT_EQ(One("select description from event_descriptions where event_id = 'HS010'"), "Ten");
  EXPECT_EQ(One("select log_type from event_descriptions where event_id = 'RD079'"), "7");
  EXPECT_EQ(One("select count(*) from event_descriptions"), "2");

  // Folders, stop files, the start event, the timers.
  fs::path folder = root_ / "share" / "Drivers" / "12";
  EXPECT_EQ(d_.DriverFolder, folder.string());
  EXPECT_TRUE(fs::is_directory(folder / "Status"));
  EXPECT_FALSE(fs::exists(folder / "commands" / "old.STP"));
  EXPECT_TRUE(fs::exists(folder / "commands" / "keep.cmd"));
  EXPECT_FALSE(fs::exists(root_ / "share" / "Drivers" / "12" / "Commands"));  // no twin folder
  EXPECT_TRUE(fs::is_directory(root_ / "share" / "info"));
  ASSERT_FALSE(lib_.states.empty());
  EXPECT_EQ(lib_.states[0].first, "HS001");
  EXPECT_TRUE(loop_.Enabled(d_.Timer1));
  EXPECT_TRUE(loop_.Enabled(d_.Timer2));
  EXPECT_EQ(loop_.Interval(d_.Timer2).count(), 1000);

  // A connected panel is asked for its state, in this order.
  const auto& calls = panel_.calls();
  const FakePanelLibrary::Call connect{"INITIALIZEPANEL", "TCP/IP - 127.0.0.2 7701"};
  auto at = std::find(calls.begin(), calls.end(), connect);
  ASSERT_NE(at, calls.end());
  const std::vector<FakePanelLibrary::Call> want = {
      {"DEFAULTSTATUS", "127.0.0.2"},         {"GETFIRMWAREREVISION", "127.0.0.2"},
      {"DOORCOMMAND", "127.0.0.2 GetStatus 0"}, {"GETPANELSTATUS", "127.0.0.2"},
      {"GETAREASTATUS", "127.0.0.2"},         {"GETONBOARDRELAYSTATUS", "127.0.0.2"},
      {"GETOFFBOARDRELAYSTATUS", "127.0.0.2"}, {"GETACTUALPOINTSTATUS", "127.0.0.2"},
      {"POINTBYPASSSTATUS", "127.0.0.2"},
  };
  ASSERT_GE(calls.end() - at, static_cast<std::ptrdiff_t>(want.size() + 1));
  EXPECT_EQ(std::vector<FakePanelLibrary::Call>(at + 1, at + 1 + static_cast<std::ptrdiff_t>(want.size())),
            want);
}

TEST_F(StartUpTest, ADatabaseThatGoesAwayEndsTheControllerLoop) {
  SiteWithPanels();
  // The database goes away while the first panel is being connected.
  panel_.on_call = [&](const FakePanelLibrary::Call& call) {
    if (call.name == "INITIALIZEPANEL") d_.db.HardwareConnection->Close();
  };
  START_UP(d_, "");
  EXPECT_EQ(panel_.CallsTo("INITIALIZEPANEL").size(), 1u);  // the later panels are not tried
  for (int later : {2, 4}) EXPECT_EQ(d_.panels[static_cast<std::size_t>(later)].LinkState, 0) << later;
  EXPECT_EQ(d_.panels[0].LinkState, kLinkEstablished);
  EXPECT_FALSE(d_.errors.Lines().empty());
  EXPECT_TRUE(loop_.Enabled(d_.Timer1));  // the sequence still ends with its last steps
}

// The status timer gets its interval before the driver record is looked for (here: none).
TEST_F(StartUpTest, WithoutStatusTimerSettingTheStatusTimerNeverTicks) {
  lib_.settings.erase("OS/Status_Timer");
  EXPECT_THROW(START_UP(d_, ""), EndProcess);
  EXPECT_EQ(loop_.Interval(d_.Timer2).count(), 0);
}

// A driver that cannot start ends at once with a non-zero code, and the first error line it
// logs names the cause; a computer without a driver record ends quietly with one line.
TEST_F(StartUpTest, WhatStopsTheStartNamesItselfFirst) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    std::string first_line;  // the start of the first line logged at error priority (or info)
    const char* also;        // a part of that line
  } cases[] = {
      {"settings", [&] { lib_.settings_problem = "the settings file /x/ordane.ini does not exist"; },
       kExitConfiguration, "the settings file /x/ordane.ini does not exist", ""},
      {"database folder",
       [&] { lib_.settings["OS/Cxn_Access_Control"] = "sqlite:" + (root_ / "nowhere" / "o.db").string(); },
       kExitNoDatabase,
       "cannot open the database of Cxn_Access_Control (sqlite:" + (root_ / "nowhere" / "o.db").string() + "): ",
       "unable to open database file"},
      {"no driver record", [] {}, 0, "no driver record of type 11000 for computer " + ComputerName(), ""},
      {"no drivers table", [&] {  // last: the table stays dropped
         Sql("drop table drivers"); }, kExitNoDatabase,
       "the database of Cxn_Hardware (", "no such table: drivers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("ORDANE_LOCK_FILE", (root_ / (std::string(c.name) + ".lock")).c_str(), 1);
    lib_.settings_problem.clear();
    lib_.settings["OS/Cxn_Access_Control"] = "sqlite:" + db_path_;
    c.arrange();
    std::vector<std::string> lines;
    SetLogSink([&](LogLevel level, std::string_view text) {
      if (level == LogLevel::kError || text.starts_with("no driver record")) lines.emplace_back(text);
    });
    int code = -1;
    Driver d(clock_, loop_, panel_, lib_, service_);
    try {
      START_UP(d, "");
    } catch (const EndProcess& e) {
      code = e.code;
    }
    SetLogSink(nullptr);
    EXPECT_EQ(code, c.code);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind(c.first_line, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(c.also), std::string::npos) << lines[0];
    EXPECT_TRUE(panel_.CallsTo("INITMONITOR").empty());
  }
}

TEST_F(StartUpTest, ASecondInstanceEndsAtOnce) {
  ASSERT_TRUE(AcquireInstanceLock());
  EXPECT_THROW(START_UP(d_, ""), EndProcess);
  EXPECT_TRUE(panel_.calls().empty());
}

TEST_F(StartUpTest, WithoutSharedFolderTheDriverEndsInsteadOfWritingElsewhere) {
  SiteWithPanels();
  lib_.settings.erase("OS/RemotePath");
  const fs::path cwd = fs::current_path();
  fs::create_directories(root_ / "cwd");
  fs::current_path(root_ / "cwd");
  try {
    START_UP(d_, "");
    ADD_FAILURE() << "the driver must end";
  } catch (const EndProcess& e) {
    EXPECT_EQ(e.code, 1);
  }
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(root_ / "cwd"));
  EXPECT_TRUE(panel_.CallsTo("INITMONITOR").empty());
}

}  // namespace
}  // namespace ordane
