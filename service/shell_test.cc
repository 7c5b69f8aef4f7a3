#include "service/shell.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "core/testing/driver_fixture.h"
#include "service/timers.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/paths.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

class ShellTest : public DriverTest {
 protected:
  ShellTest() { CreateTimers(d_); }
};

TEST_F(ShellTest, SwitchesInstallDebugAndStopTheDriverWhenUnknown) {
  Init_Service(d_, "-debug");
  EXPECT_TRUE(service_.debug);
  try {
    Init_Service(d_, "-install");
    FAIL() << "install must end the process";
  } catch (const EndProcess& e) {
    EXPECT_EQ(e.code, 0);
  }
  const fs::path unit = root_ / "units" / "11000.service";
  ASSERT_TRUE(fs::exists(unit));
  const std::string text = *IniDocument::Load(unit).Get("Unit", "Description");
  EXPECT_EQ(text, "MORVA Corporation- Intrusion Panel Driver");
  EXPECT_EQ(service_.ReadSetting("Parameters", "TimerInterval"), "1000");
  EXPECT_TRUE(panel_.calls().empty());

  EXPECT_THROW(Init_Service(d_, "-UNINSTALL"), EndProcess);  // the switch is lower-cased
  EXPECT_FALSE(fs::exists(unit));

  EXPECT_THROW(Init_Service(d_, "-restart"), EndProcess);
  EXPECT_EQ(panel_.CallNames(),
            (std::vector<std::string>{"TERMINATEALL", "STOPMONITORING", "STOPTRACE"}));
}

TEST_F(ShellTest, ServiceEntriesReachTheLogAtTheirPriority) {
  std::vector<std::pair<LogLevel, std::string>> logged;
  SetLogSink([&](LogLevel level, std::string_view text) {
    if (text.starts_with("[event ")) logged.emplace_back(level, std::string(text));
  });
  loop_.SetEnabled(d_.Timer1, true);
  OnServicePause(d_);
  OnServiceContinue(d_);
  ReportServiceError(d_, Error(kErrGeneric, "the manager went away"));
  SetLogSink(nullptr);

  const std::vector<std::pair<LogLevel, std::string>> want = {
      {LogLevel::kInfo, "[event 4,110] Service paused"},
      {LogLevel::kInfo, "[event 4,110] Service continued"},
      {LogLevel::kError, "[event 109,1] [" + FormatErrorNumber(kErrGeneric) + "] the manager went away"},
  };
  EXPECT_EQ(logged, want);
  EXPECT_TRUE(loop_.Enabled(d_.Timer1));  // pausing changes nothing in the driver's work
  EXPECT_TRUE(panel_.calls().empty());
}

TEST_F(ShellTest, ShutdownClosesLinksLogsStopAndMarksTheDriverStopped) {
  Sql("insert into drivers (driver_id, computer_name, driver_type, status) values (12, 'X', '11000', 1)");
  Sql("insert into event_descriptions (event_id, description, log_type) values ('HS002', 'Driver stopped', 101)");
  StartedDriver();
  fs::create_directories(fs::path(d_.DriverFolder) / "Status");
  std::ofstream(fs::path(d_.DriverFolder) / "Status" / "admin.srn") << "1F\n";
  loop_.SetEnabled(d_.Timer1, true);
  loop_.SetEnabled(d_.Timer2, true);

  EXPECT_THROW(Shutdown(d_), EndProcess);

  EXPECT_EQ(panel_.CallNames(),
            (std::vector<std::string>{"TERMINATEALL", "STOPMONITORING", "STOPTRACE"}));
  EXPECT_FALSE(loop_.Enabled(d_.Timer1));
  EXPECT_FALSE(loop_.Enabled(d_.Timer2));
  EXPECT_FALSE(fs::exists(fs::path(d_.DriverFolder) / "Status" / "admin.srn"));
  ASSERT_EQ(lib_.states.size(), 1u);
  EXPECT_EQ(lib_.states[0], std::make_pair(std::string("HS002"), std::string("12")));
  auto evt = ListMatching(fs::path(d_.DriverFolder) / "events", "*.evt");
  ASSERT_EQ(evt.size(), 1u);
  EXPECT_EQ(*ReadWholeFile(evt[0]), "0\n12\nHS002\n\n101\n\n");
  EXPECT_EQ(One("select status from drivers where driver_id = 12"), "0");
  EXPECT_FALSE(d_.db.HardwareConnection->IsOpen());
  EXPECT_FALSE(d_.db.AccessControlConnection->IsOpen());

  // A second stop request while the first runs does not start the sequence again.
  panel_.ClearCalls();
  Shutdown(d_);
  EXPECT_TRUE(panel_.calls().empty());
}

TEST_F(ShellTest, ButtonsActOnPanelZeroForAnEmptyOrNonNumericText) {
  Sql("insert into controllers (address, driver_id, controller_address, cstatus, Connection_Type, "
      "EC_1_Name) values ('12.0', 12, 0, 0, '4', '127.0.0.2')");
  Sql("insert into channels (driver_id, channel, port2) values (12, 0, 7701)");
  StartedDriver();
  ConnectButton(d_, "abc");
  EXPECT_EQ(d_.panels[0].LinkState, kLinkEstablished);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "1");
  ASSERT_FALSE(panel_.CallsTo("INITIALIZEPANEL").empty());
  EXPECT_EQ(panel_.CallsTo("INITIALIZEPANEL")[0].text, "TCP/IP - 127.0.0.2 7701");
  EXPECT_EQ(panel_.CallsTo("DEFAULTSTATUS").size(), 1u);

  d_.panels[0].LostCount = 2;
  TerminateButton(d_, "");
  EXPECT_EQ(d_.panels[0].LinkState, kLinkLost);
  EXPECT_EQ(d_.panels[0].LostCount, 0);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "0");

  // A number outside the table is an error in the list, never a write outside it.
  TerminateButton(d_, "40");
  ASSERT_FALSE(d_.errors.Lines().empty());
  EXPECT_NE(d_.errors.Lines()[0].find("outside the panel table"), std::string::npos);
}

}  // namespace
}  // namespace ordane
