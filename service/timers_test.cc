#include "service/timers.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "events/event_file_reader.h"
#include "events/event_files.h"
#include "core/testing/driver_fixture.h"
#include "responses/dispatcher.h"
#include "status/status_files.h"
#include "util/ini.h"
#include "util/files.h"
#include "util/paths.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

TEST(DelayedCommands, DueWhenItsMinuteAndSecondArePassed) {
  struct Case { const char* due; int minute, second; bool run; } cases[] = {
      {"5958", 5, 0, false},  // 00:05 of the next hour: 5 is not above 5958
      {"5958", 59, 59, true},
      {"5958", 59, 58, false},
      {"0130", 1, 31, true},
      {"", 0, 1, true},       // no due time reads as 0
      {"", 0, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DelayedCommandDue(c.due, LocalTime{2026, 12, 5, 3, c.minute, c.second}), c.run)
        << c.due << " at " << c.minute << ":" << c.second;
}

TEST(EventFileItems, ReadLikeSequentialInput) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ReadEventFileItems("0\n12.0.2.I17\nRD070\nPoint 17\n 5 \n\n", 6),
            (V{"0", "12.0.2.I17", "RD070", "Point 17", "5", ""}));
  EXPECT_EQ(ReadEventFileItems("\"a, b\",\"say \"\"hi\"\"\"\r\n c \r\n", 6), (V{"a, b", "say \"hi\"", "c"}));
  EXPECT_EQ(ReadEventFileItems(EventFileText("0", "12.0", "PO001", " x, \"y\" ", 7, ""), 6),
            (V{"0", "12.0", "PO001", " x, \"y\" ", "7", ""}));
  EXPECT_THROW(ReadEventFileItems("1,2,3,4,5,6,7", 6), Error);
}

// For its lifetime this thread reads files as their mode says, even as root (which may read any
// file): the capabilities that override file modes leave its effective set.
class ModesApply {
 public:
  ModesApply() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header_, reduced);
  }
  ~ModesApply() { syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

class TimersTest : public DriverTest {
 protected:
  TimersTest() { CreateTimers(d_); }
};

TEST_F(TimersTest, StatusRequestsOnTheEighthTickToPanelsThatAreNotBusy) {
  StartedDriver();
  d_.panels[0].PortName = "127.0.0.1";
  d_.panels[0].LinkState = kLinkEstablished;
  d_.panels[1].PortName = "127.0.0.2";
  d_.panels[1].LinkState = kLinkEstablished;
  d_.panels[1].BusyState = "Busy";
  for (int tick = 1; tick <= 7; ++tick) Timer2_Timer(d_);
  EXPECT_TRUE(panel_.CallsTo("GETPANELSTATUS").empty());
  Timer2_Timer(d_);
  EXPECT_EQ(panel_.CallNames(), (std::vector<std::string>{"DOORCOMMAND", "POINTBYPASSSTATUS",
                                                          "GETACTUALPOINTSTATUS", "GETPANELSTATUS"}));
  EXPECT_EQ(panel_.CallsTo("DOORCOMMAND")[0].text, "127.0.0.1 GetStatus 0");
  EXPECT_EQ(d_.PanelCount, 2);
  // Both panels have a status file, the busy one included.
  EXPECT_TRUE(fs::exists(fs::path(d_.DriverFolder) / "Status" / "Controller001"));
  // The period is eleven ticks.
  panel_.ClearCalls();
  for (int tick = 9; tick <= 18; ++tick) Timer2_Timer(d_);
  EXPECT_TRUE(panel_.calls().empty());
  Timer2_Timer(d_);
  EXPECT_EQ(panel_.CallsTo("GETPANELSTATUS").size(), 1u);
}

TEST_F(TimersTest, DelayedActionsRunOnceAndWithoutColonAreDropped) {
  StartedDriver();
  fs::create_directories(root_ / "share" / "Drivers" / "7" / "commands");
  d_.DelayedCameraCommands[0] = {"7.3.0.M2:PRESET 4", "0000"};
  d_.DelayedCameraCommands[1] = {"no colon", "0000"};
  d_.DelayedCameraCommands[2] = {"7.3.0.M2:LATER", "5959"};
  Timer2_Timer(d_);
  EXPECT_TRUE(d_.DelayedCameraCommands[0].Action.empty());
  EXPECT_TRUE(d_.DelayedCameraCommands[1].Action.empty());
  EXPECT_EQ(d_.DelayedCameraCommands[2].Action, "7.3.0.M2:LATER");
  auto files = ListMatching(root_ / "share" / "Drivers" / "7" / "commands", "11000*.007");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(*ReadWholeFile(files[0]), "001:PRESET 4\n");
}

// While statements cannot be written (the events folder is a plain file), an event file stays,
// its failure is reported once and the files after it wait; all are taken once it is a folder,
// and a file of seven items goes aside without holding up the ones after it.
TEST_F(TimersTest, EventFilesStayUntilTheyCanBeStoredAndOverlongOnesGoAside) {
  StartedDriver();
  const fs::path events = fs::path(d_.DriverFolder) / "Events";
  const fs::path statements = fs::path(d_.RemotePath) / "Events";
  fs::create_directories(events);
  std::ofstream(events / "1.alm") << "0\n12.0\nPO001\n\n5\n\n";
  std::ofstream(events / "3.evt") << "0\n12.0\nHS001\n\n101\n\n";
  fs::remove_all(statements);
  std::ofstream(statements) << "not a folder";
  for (int tick = 0; tick < 3; ++tick) Process_Evt_Files(d_);
  EXPECT_TRUE(fs::exists(events / "1.alm"));
  EXPECT_TRUE(fs::exists(events / "3.evt"));
  int held = 0;
  for (const auto& line : d_.errors.Lines())
    held += line.find("event file kept until it can be stored") != std::string::npos;
  EXPECT_EQ(held, 1);

  fs::remove(statements);
  std::ofstream(events / "0.alm") << "0,12.0,PO001,,5,,extra\n";
  Process_Evt_Files(d_);
  EXPECT_FALSE(fs::exists(events / "0.alm"));
  EXPECT_TRUE(fs::exists(events / "Rejected" / "0.alm"));
  EXPECT_FALSE(fs::exists(events / "1.alm"));
  EXPECT_FALSE(fs::exists(events / "3.evt"));
  EXPECT_EQ(ListMatching(statements, "*.evn").size(), 2u);
  EXPECT_TRUE(d_.HeldEventFiles.empty());

  // One that cannot be opened stays and is named once; the files after it are taken.
  std::ofstream(events / "4.alm") << "0\n12.0\nPO001\n\n5\n\n";
  std::ofstream(events / "5.evt") << "0\n12.0\nHS001\n\n101\n\n";
  fs::permissions(events / "4.alm", fs::perms::none);
  {
    ModesApply modes;
    for (int tick = 0; tick < 2; ++tick) Process_Evt_Files(d_);
  }
  EXPECT_TRUE(fs::exists(events / "4.alm"));
  EXPECT_FALSE(fs::exists(events / "5.evt"));
  int unreadable = 0;
  for (const auto& line : d_.errors.Lines())
    unreadable += line.find("cannot open event file " + (events / "4.alm").string()) !=
                  std::string::npos;
  EXPECT_EQ(unreadable, 1);
}

TEST(EventFileIdentity, SameFileSameIdentity) {
  const std::string a = EventFileIdentity("1.alm", 5, "0,12.0,PO001,,5,");
  EXPECT_EQ(EventFileIdentity("1.alm", 5, "0,12.0,PO001,,5,"), a);
  EXPECT_NE(EventFileIdentity("2.alm", 5, "0,12.0,PO001,,5,"), a);
  EXPECT_NE(EventFileIdentity("1.alm", 6, "0,12.0,PO001,,5,"), a);
  EXPECT_NE(EventFileIdentity("1.alm", 5, "0,12.0,PO002,,5,"), a);
  // One line, whatever the name holds: the identity is the first line of a statement file.
  EXPECT_EQ(EventFileIdentity("x\nDELETE FROM events;\n.alm", 5, "a\nb").find('\n'),
            std::string::npos);
}

// While a panel table is stored its yields let the timers run: the status tick shows the
// upload's title, but the 100 ms tick takes no response (a second upload would start inside
// the first, in its transaction).
TEST_F(TimersTest, TheTicksDuringAnUploadLeaveTheResponsesWaiting) {
  StartedDriver();
  d_.PanelUsers.assign(kPanelUserPanels, std::vector<PanelUser>(kPanelUsersPerPanel));
  d_.panels[0].PortName = "127.0.0.1";
  d_.panels[0].LinkState = kLinkEstablished;
  d_.loop.SetEnabled(d_.Timer1, true);
  d_.loop.SetEnabled(d_.Timer2, true);
  std::size_t waiting = 0;
  std::string shown;
  d_.loop.AddTimer("probe", std::chrono::milliseconds(1000), true, [&] {
    if (!shown.empty()) return;
    waiting = panel_.pending_command_responses();
    shown = ReadProfileString(ResolvePath(d_.DriverFolder, ControllerStatusFile(0)),
                              "Status_Controllers", "Ver_Info");
  });
  clock_.Advance(std::chrono::seconds(2));  // every timer is due at the upload's first yield
  panel_.QueueCommandResponse("ReadUserNames\n127.0.0.1\n~User Name 1: JOHN SMITH");
  panel_.QueueCommandResponse("ReadAuthorityLevels\n127.0.0.1\nAuthority Level 0: 00 00 00 00");
  Main_Process(d_);
  EXPECT_NE(shown.find("Reading in User Names"), std::string::npos) << shown;
  EXPECT_EQ(waiting, 1u);  // the second table waited for the first
  EXPECT_EQ(One("select count(*) from authority_levels"), "1");
}

}  // namespace
}  // namespace ordane

