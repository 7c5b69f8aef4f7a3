#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "commands/command_queues.h"
#include "commands/panel_commands.h"
#include "core/testing/driver_fixture.h"
#include "panel/connections.h"
#include "panel/message_buffer.h"
#include "status/status_files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using Call = FakePanelLibrary::Call;
using Calls = std::vector<Call>;
using Texts = std::vector<std::string>;

TEST(CommandMessages, Parsing) {
  struct Case {
    const char* message;
    int code, slot;
    const char* arguments;
    bool refused;
  } cases[] = {
      {"324 2 1", 324, 2, "1", false},
      {"324   2    1 2  ", 324, 2, "1 2", false},
      {"403 1", 403, 1, "", false},
      {"nospace", 0, 0, "", false},  // code 0 for slot 0
      {"", 0, 0, "", false},
      {"abc 3 x", 0, 3, "x", false},     // a non-numeric code reads 0
      {"99999 3 x", 0, 3, "x", false},   // does not fit: reported, code 0
      {"324 2x 1", 324, 2, "1", false},  // leading digits
      {"324 x 1", 0, 0, "", true},       // names no panel
      {"324 ", 0, 0, "", true},
      {"324 3x", 0, 0, "", true},  // a lone slot word is a whole number
      {"324 32 1", 0, 0, "", true},
      {"324 99999999999 1", 0, 0, "", true},
      {"324 -1 1", 0, 0, "", true},
      {"324 2 a\0b", 324, 2, "a", false},  // a NUL ends the message
  };
  for (const auto& c : cases) {
    const std::string message(c.message, std::string_view(c.message).size() +
                                             (std::string_view(c.message) == "324 2 a" ? 2 : 0));
    const CommandMessage m = ParseCommandMessage(message);
    EXPECT_EQ(m.refused, c.refused) << c.message;
    if (c.refused) {
      EXPECT_FALSE(m.error.empty()) << c.message;
      continue;
    }
    EXPECT_EQ(m.code, c.code) << c.message;
    EXPECT_EQ(m.slot, c.slot) << c.message;
    EXPECT_EQ(m.arguments, c.arguments) << c.message;
  }
  EXPECT_TRUE(ParseCommandMessage("324 2 " + std::string(kMaxCommandMessage, 'x')).refused);
}

TEST(CommandMessages, PanelClock) {
  EXPECT_EQ(PanelClockText(LocalTime{2026, 12, 5, 21, 18, 42}), "1205260918PM");
  EXPECT_EQ(PanelClockText(LocalTime{2027, 1, 9, 0, 5, 0}), "0109271205AM");
  EXPECT_EQ(PanelClockText(LocalTime{2027, 1, 9, 12, 0, 0}), "0109271200PM");
}

TEST(CommandFiles, Fields) {
  struct Case {
    std::string content;
    Texts fields;
  } cases[] = {
      {"324 2 1\n", {"324 2 1"}},
      {"303 1 Smith,John\r\n", {"303 1 Smith", "John"}},
      {"\"303 1 Smith,John\"\n  fin  \n", {"303 1 Smith,John", "fin"}},
      {"a\n\nb", {"a", "", "b"}},
      {"\"unterminated, to the end\nof the file", {"unterminated, to the end\nof the file"}},
      {"\"q\" tail,next", {"q", "next"}},
      {",", {""}},
      {std::string("a\0b,c", 5), {std::string("a\0b", 3), "c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadCommandFields(c.content), c.fields) << c.content;
  EXPECT_EQ(CommandKind("POLL 3 1"), "pol");
  EXPECT_EQ(CommandKind("finish now"), "fin");
  EXPECT_EQ(CommandKind("fi n"), "fi");
}

class CommandsTest : public DriverTest {
 protected:
  CommandsTest() {
    StartedDriver();
    Link(2, "COM3");
  }
  void Link(int slot, const std::string& port) {
    d_.panels[static_cast<std::size_t>(slot)].PortName = port;
    d_.panels[static_cast<std::size_t>(slot)].LinkState = kLinkEstablished;
  }
  Texts Parked(const std::string& address) {
    Texts out;
    db::Recordset rs;
    rs.Open("select MSG from cBuffer where address = '" + address + "' order by id", *sql_);
    for (; !rs.Eof(); rs.MoveNext()) out.push_back(rs.Text("MSG"));
    return out;
  }
  Texts Commands() {
    Texts out;
    db::Recordset rs;
    rs.Open("select address, cmd from controller_commands order by id", *sql_);
    for (; !rs.Eof(); rs.MoveNext()) out.push_back(rs.Text("address") + " " + rs.Text("cmd"));
    return out;
  }
  void Queue(const std::string& address, const std::string& cmd) {
    Sql("insert into controller_commands (address, cmd) values ('" + address + "', '" +
        SqlQuote(cmd) + "')");
  }
  void CommandFile(const std::string& name, const std::string& content) {
    fs::path folder;
    ASSERT_TRUE(EnsureFolder(d_.DriverFolder, "Commands", &folder));
    std::ofstream(folder / name, std::ios::binary) << content;
  }
  fs::path Commands_() { return ResolvePath(d_.DriverFolder, "Commands"); }
  // Lets the panels' pauses end until every parked command has been sent.
  void Drain() {
    for (int i = 0; i < 100; ++i) {
      bool pending = false;
      for (const PanelSlot& slot : d_.panels)
        pending = pending || (slot.ParkedPending && slot.LinkState == kLinkEstablished);
      if (!pending) return;
      clock_.Advance(kCommandPause);
      Process_Buffers(d_);
    }
  }
  std::string Flag(int slot, const char* key) {
    return ReadProfileString(ResolvePath(d_.DriverFolder, ControllerStatusFile(slot)),
                             "Status_Controllers", key);
  }
};

TEST_F(CommandsTest, EveryCodeGivesItsCallsWithTheirTexts) {
  struct Case {
    const char* message;
    Calls calls;
  } cases[] = {
      {"1 2 !O3", {{"DISARMAREA", "COM3 2"}}},
      {"1 2 !O", {{"DISARMAREA", "COM3 -1"}}},
      {"1 2 !o3", {}},
      {"1 2 3", {}},
      {"302 2 ignored", {{"SETDATETIME", "COM3 1205260918PM"}}},
      {"303 2 30 JANE DOE", {{"UPDATEUSERNAME", "COM3 30 JANE DOE"}}},
      {"304 2 a", {{"UPDATETOKENTABLE", "COM3 a"}}},
      {"305 2 a", {{"UPDATEUSERCLASS", "COM3 a"}}},
      {"306 2 a", {{"UPDATESKED", "COM3 a"}}},
      {"307 2 a", {{"SETHOLIDAY", "COM3 a"}}},
      {"321 2 Unlock 1", {{"DOORCOMMAND", "COM3 Unlock 1"}}},
      {"322 2 1 1", {{"SETONBOARDRELAY", "COM3 1 1"}}},
      {"323 2 4 0", {{"SETOFFBOARDRELAY", "COM3 4 0"}}},
      {"324  2  1", {{"ARMAREA", "COM3 1"}}},
      {"325 2 1", {{"DISARMAREA", "COM3 1"}}},
      {"326 2", {{"SILENCEBELL", "COM3 "}}},
      {"330 2 17", {{"BYPASSPOINT", "COM3 17"}}},
      {"350 2 a", {{"BULKPOINTTEXTUPDATE", "COM3 a"}}},
      {"351 2 a", {{"BULKUSERNAMEUPDATE", "COM3 a"}}},
      {"352 2 1:2:3", {{"BULKTOKENTABLEUPDATE", "COM3 1,2,3"}}},
      {"353 2 a", {{"BULKUSERCLASSUPDATE", "COM3 a"}}},
      {"401 2 5", {{"GETPOINTTEXT", "COM3 5"}}},
      {"402 2 5 Door", {{"SETPOINTTEXT", "COM3 5 Door"}}},
      {"403 2", {{"READUSERNAMES", "COM3 "}}},
      {"404 2",
       {{"READUSERCLASSES", "COM3 "}, {"READTOKENTABLES", "COM3 "}, {"READUSERNAMES", "COM3 "}}},
      {"405 2", {{"READUSERCLASSES", "COM3 "}}},
      {"406 2", {{"READHOLIDAYS", "COM3 "}}},
      {"407 2", {{"READSKEDS", "COM3 "}}},
      {"408 2", {{"READPOINTTEXTALL", "COM3 "}, {"GETDOORAREAS", "COM3 "}}},
      {"409 2", {{"READAUTHORITYLEVELS", "COM3 "}}},
      {"999 2 x", {}},
      {"303 2 O'Brien'; drop table drivers --",
       {{"UPDATEUSERNAME", "COM3 O'Brien'; drop table drivers --"}}},
  };
  for (const auto& c : cases) {
    panel_.ClearCalls();
    EXPECT_EQ(Send_PanelCmd(d_, c.message), SendOutcome::kSent) << c.message;
    EXPECT_EQ(panel_.calls(), c.calls) << c.message;
  }
  EXPECT_TRUE(Parked("12.2").empty());
}

TEST_F(CommandsTest, UploadsEmptyTheirFlags) {
  struct Case {
    const char* message;
    const char* flag;  // emptied; the others keep their "1"
  } cases[] = {{"401 2 1", "SE081"}, {"403 2", "SE082"}, {"404 2", "SE082"}, {"405 2", nullptr},
               {"406 2", "SE086"},   {"407 2", "SE085"}, {"408 2", "SE081"}, {"409 2", "SE080"}};
  const char* keys[] = {"SE080", "SE081", "SE082", "SE085", "SE086"};
  for (const auto& c : cases) {
    for (const char* k : keys) WriteIni(d_, "Status_Controllers", k, "1", ControllerStatusFile(2));
    Send_PanelCmd(d_, c.message);
    for (const char* k : keys)
      EXPECT_EQ(Flag(2, k), c.flag != nullptr && std::string(k) == c.flag ? "" : "1")
          << c.message << " " << k;
  }
  d_.panels[2].ActivityText.clear();
  Send_PanelCmd(d_, "403 2");
  EXPECT_EQ(d_.panels[2].ActivityText, "");
  Send_PanelCmd(d_, "404 2");
  EXPECT_EQ(d_.panels[2].ActivityText, "Reading Token Tables");
}

TEST_F(CommandsTest, ParkingWhileTheLinkIsDownAndRefusals) {
  d_.panels[4].PortName = "COM5";
  d_.panels[4].LinkState = kLinkLost;
  EXPECT_EQ(Send_PanelCmd(d_, "325 4 2"), SendOutcome::kParked);
  EXPECT_EQ(Send_PanelCmd(d_, "303 4 O'Brien"), SendOutcome::kParked);
  EXPECT_EQ(Send_PanelCmd(d_, "nospace"), SendOutcome::kParked);  // code 0 for slot 0
  EXPECT_TRUE(panel_.calls().empty());
  EXPECT_EQ(Parked("12.4"), (Texts{"325 4 2", "303 4 O'Brien"}));
  EXPECT_EQ(Parked("12.0"), (Texts{"nospace"}));

  // Messages that name no panel reach neither the library nor the buffer, and say why.
  for (const char* bad : {"324 x 1", "324 40 1", "324 ", "324 -1 1"}) {
    d_.errors.Clear();
    EXPECT_EQ(Send_PanelCmd(d_, bad), SendOutcome::kRefused) << bad;
    ASSERT_FALSE(d_.errors.Lines().empty()) << bad;
    EXPECT_EQ(d_.errors.Lines()[0].rfind("ERR_Send_PanelCmd:  ", 0), 0u) << d_.errors.Lines()[0];
  }
  EXPECT_EQ(Send_PanelCmd(d_, "324 2 " + std::string(20000, '1')), SendOutcome::kRefused);
  EXPECT_TRUE(panel_.calls().empty());
  EXPECT_EQ(One("select count(*) from cBuffer"), "3");
}

TEST_F(CommandsTest, ThePauseHoldsForOnePanelOnly) {
  Link(1, "COM2");
  const auto start = clock_.SteadyNow();
  Send_PanelCmd(d_, "324 1 1");
  Send_PanelCmd(d_, "324 2 1");  // another panel: at once
  EXPECT_EQ(clock_.SteadyNow(), start);
  Send_PanelCmd(d_, "325 1 1");  // the same panel: after its pause
  EXPECT_GE(clock_.SteadyNow() - start, kCommandPause);
  EXPECT_LT(clock_.SteadyNow() - start, kCommandPause + std::chrono::milliseconds(100));
  EXPECT_EQ(panel_.CallNames(), (Texts{"ARMAREA", "ARMAREA", "DISARMAREA"}));
}

TEST_F(CommandsTest, AQueuedCommandDoesNotWaitBehindAnotherPanelsPause) {
  Link(1, "COM2");
  Queue("12.1", "324 1 1");
  Queue("12.1", "325 1 1");
  Queue("12.2", "324 2 1");
  Queue("12.1", "dbg 0");  // a keyword waits for the commands before it
  Queue("12.2", "325 2 1");
  const auto start = clock_.SteadyNow();
  Exec_dbCMDs(d_);
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM2 1"},
                                   {"ARMAREA", "COM3 1"},
                                   {"DISARMAREA", "COM2 1"},
                                   {"STOPTRACE", ""},
                                   {"DISARMAREA", "COM3 1"}}));
  EXPECT_LT(clock_.SteadyNow() - start, 2 * kCommandPause);
  EXPECT_TRUE(Commands().empty());

  // A pass never waits for a pause: what waits for its panel is parked, in order, and follows.
  panel_.ClearCalls();
  clock_.Advance(kCommandPause);
  Queue("12.1", "324 1 1");
  Queue("12.1", "325 1 1");
  Queue("12.1", "326 1");
  const auto pass = clock_.SteadyNow();
  Exec_dbCMDs(d_);
  EXPECT_EQ(clock_.SteadyNow(), pass);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(Parked("12.1"), (Texts{"325 1 1", "326 1"}));
  Drain();
  EXPECT_EQ(panel_.calls(),
            (Calls{{"ARMAREA", "COM2 1"}, {"DISARMAREA", "COM2 1"}, {"SILENCEBELL", "COM2 "}}));

  // The same in a command file.
  panel_.ClearCalls();
  clock_.Advance(kCommandPause);
  CommandFile("x.cmd", "324 1 1\n325 1 1\n324 2 1\n");
  Exec_cmds(d_);
  Drain();
  EXPECT_EQ(panel_.calls(),
            (Calls{{"ARMAREA", "COM2 1"}, {"ARMAREA", "COM3 1"}, {"DISARMAREA", "COM2 1"}}));
  EXPECT_TRUE(fs::is_empty(Commands_()));
}

TEST_F(CommandsTest, ParkedMessagesAreReplayedInParkingOrder) {
  Link(5, "COM6");
  d_.panels[5].LinkState = kLinkLost;
  for (const char* m : {"324 5 1", "330 5 7", "325 5 1"}) Send_PanelCmd(d_, m);
  Sql("insert into cBuffer (address, MSG) values ('1.5', '324 5 3')");  // driver 1's panel 5
  // Still down: the replay sends nothing and keeps every row.
  Process_Buffer(d_, 5);
  EXPECT_TRUE(panel_.calls().empty());
  EXPECT_EQ(Parked("12.5").size(), 3u);

  // Back: one message now, the others each after the panel's pause, with no wait in between
  // for anyone; a command that comes meanwhile is parked behind them.
  d_.panels[5].LinkState = kLinkEstablished;
  Process_Buffer(d_, 5);
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM6 1"}}));
  EXPECT_EQ(Send_PanelCmd(d_, "326 5"), SendOutcome::kParked);
  EXPECT_EQ(Parked("12.5"), (Texts{"330 5 7", "325 5 1", "326 5"}));
  Process_Buffers(d_);  // still in its pause
  EXPECT_EQ(panel_.calls().size(), 1u);
  for (int i = 0; i < 4; ++i) {
    clock_.Advance(kCommandPause);
    Process_Buffers(d_);
  }
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM6 1"},
                                   {"BYPASSPOINT", "COM6 7"},
                                   {"DISARMAREA", "COM6 1"},
                                   {"SILENCEBELL", "COM6 "}}));
  EXPECT_TRUE(Parked("12.5").empty());
  EXPECT_FALSE(d_.panels[5].ParkedPending);
  EXPECT_EQ(Parked("1.5"), (Texts{"324 5 3"}));
  // Sent at once again now that nothing waits.
  clock_.Advance(kCommandPause);
  EXPECT_EQ(Send_PanelCmd(d_, "326 5"), SendOutcome::kSent);
}

TEST_F(CommandsTest, DatabaseQueueKeywords) {
  Sql("insert into controllers (address, driver_id, controller_address, Connection_Type, "
      "EC_1_Name, "
      "cstatus) values ('12.3', 12, 3, '4', '127.0.0.4', 1)");
  Sql("insert into channels (driver_id, channel, port2) values (12, 3, 7703)");
  const std::string ini = ResolvePath(d_.DriverFolder, "debug.ini").string();
  struct Case {
    const char* cmd;
    Calls calls;
  } cases[] = {
      {"324 2 1", {{"ARMAREA", "COM3 1"}}},
      {"  324 2 1  ", {{"ARMAREA", "COM3 1"}}},
      {"", {}},
      {"dbg 1", {{"STARTTRACE", ini}}},
      {"dbg 0", {{"STOPTRACE", ""}}},
      {"dbg1", {{"STOPTRACE", ""}}},  // the appended blank is the last character
      {"POLL 3 1", {{"INITIALIZEPANEL", "TCP/IP - 127.0.0.4 7703"}}},
      {"poll 3 1", {{"INITIALIZEPANEL", "TCP/IP - 127.0.0.4 7703"}}},
      {"POLL 3 0", {}},
      {"POLL 3 7", {}},
      {"POLL 3", {}},  // no slot word: reported
      {"POLL", {}},
      {"rubbish", {}},  // code 0 for slot 0, parked
  };
  for (const auto& c : cases) {
    panel_.ClearCalls();
    Queue("12.0", c.cmd);
    Exec_dbCMDs(d_);
    Drain();
    Calls library;
    for (const auto& call : panel_.calls())
      if (call.name != "DEFAULTSTATUS" && call.name.rfind("GET", 0) != 0 &&
          call.name != "DOORCOMMAND" && call.name != "POINTBYPASSSTATUS")
        library.push_back(call);
    EXPECT_EQ(library, c.calls) << c.cmd;
    EXPECT_TRUE(Commands().empty()) << c.cmd;
  }
  EXPECT_EQ(One("select cstatus from controllers where address = '12.3'"), "0");
  EXPECT_EQ(d_.panels[3].LinkState, kLinkNotConnected);
  EXPECT_EQ(d_.TraceLevel, 0);
}

TEST_F(CommandsTest, DatabaseQueueTakesOnlyItsOwnRowsAndDeletesOnlyWhatItRead) {
  Queue("12.2", "324 2 1");
  Queue("1.2", "324 2 2");    // driver 1
  Queue("120.2", "324 2 3");  // driver 120
  Queue("12.2.2.I1", "330 2 1");
  // A row with a lower id that commits while the pass runs is left for the next pass.
  loop_.Post([&] {
    Sql("insert into controller_commands (id, address, cmd) values (0, '12.2', '325 2 1')");
  });
  Exec_dbCMDs(d_);
  Drain();
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM3 1"}, {"BYPASSPOINT", "COM3 1"}}));
  EXPECT_EQ(Commands(), (Texts{"12.2 325 2 1", "1.2 324 2 2", "120.2 324 2 3"}));

  // Driver 1 does not take driver 12's rows.
  d_.DriverId = 1;
  panel_.ClearCalls();
  Exec_dbCMDs(d_);
  Drain();
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM3 2"}}));
  EXPECT_EQ(Commands(), (Texts{"12.2 325 2 1", "120.2 324 2 3"}));
}

TEST_F(CommandsTest, DatabaseQueueStopAndRestartAndRegions) {
  int restarts = 0;
  d_.RestartDriver = [&] { ++restarts; };
  Queue("12.0", "ini");
  Queue("12.2", "324 2 1");
  Exec_dbCMDs(d_);
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(panel_.CallNames(), (Texts{"TERMINATEALL", "STOPMONITORING", "STOPTRACE"}));
  EXPECT_EQ(Commands(), (Texts{"12.2 324 2 1"}));  // the pass ended at "ini"

  Sql("delete from controller_commands");
  Queue("12.0", "rgn");
  Queue("12.2", "324 2 1");
  panel_.ClearCalls();
  Exec_dbCMDs(d_);
  EXPECT_TRUE(panel_.calls().empty());
  EXPECT_EQ(Commands(), (Texts{"12.2 324 2 1"}));

  Sql("delete from controller_commands");
  Queue("12.0", "fin");
  Queue("12.2", "324 2 1");
  bool unloaded = false;
  d_.UnloadMainWindow = [&] { unloaded = true; };
  panel_.ClearCalls();
  EXPECT_THROW(Exec_dbCMDs(d_), EndProcess);
  EXPECT_TRUE(unloaded);
  EXPECT_EQ(panel_.CallNames(), (Texts{"TERMINATEALL", "STOPMONITORING", "STOPTRACE"}));
  EXPECT_EQ(Commands(), (Texts{"12.2 324 2 1"}));
}

TEST_F(CommandsTest, FileQueue) {
  const std::string ini = ResolvePath(d_.DriverFolder, "debug.ini").string();
  struct Case {
    std::string content;
    Calls calls;
  } cases[] = {
      {"324 2 1\n", {{"ARMAREA", "COM3 1"}}},
      {"303 2 Smith,John\n\"303 2 Smith,John\"\n",
       {{"UPDATEUSERNAME", "COM3 Smith"}, {"UPDATEUSERNAME", "COM3 Smith,John"}}},
      {"dbg1\n", {{"STARTTRACE", ini}}},  // no blank is appended in files
      {"dbg 0", {{"STOPTRACE", ""}}},
      {"rgn 2 1", {}},  // a command message of code 0 here
      {std::string("\x01\xff\0\"\n,,\x7f", 9), {}},
      {"\"324 2 1 unterminated", {{"ARMAREA", "COM3 1 unterminated"}}},
      {"324 2 " + std::string(10 * 1024 * 1024, '9') + "\n324 2 4", {{"ARMAREA", "COM3 4"}}},
  };
  for (const auto& c : cases) {
    panel_.ClearCalls();
    CommandFile("x.cmd", c.content);
    Exec_cmds(d_);
    Drain();
    EXPECT_EQ(panel_.calls(), c.calls) << c.content.substr(0, 40);
    EXPECT_TRUE(fs::is_empty(Commands_())) << c.content.substr(0, 40);
  }
}

TEST_F(CommandsTest, FileQueueTakesOnlyCompleteFiles) {
  CommandFile(".new.1.tmp", "324 2 1\n");
  CommandFile("request.tmp", "324 2 1\n");
  CommandFile("writing.cm0", "");
  const fs::path writing = Commands_() / "writing.cm0";
  const int fd = ::open(writing.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "324 2", 5), 5);
  Exec_cmds(d_);
  Drain();
  EXPECT_TRUE(panel_.calls().empty());
  EXPECT_TRUE(fs::exists(writing));
  ASSERT_EQ(::write(fd, " 3\n", 3), 3);
  ::close(fd);
  Exec_cmds(d_);
  Drain();
  EXPECT_EQ(panel_.calls(), (Calls{{"ARMAREA", "COM3 3"}}));
  EXPECT_FALSE(fs::exists(writing));
  EXPECT_TRUE(fs::exists(Commands_() / ".new.1.tmp"));
  EXPECT_TRUE(fs::exists(Commands_() / "request.tmp"));

  // "fin": the file is gone before the driver ends.
  CommandFile("stop", "fin\n324 2 1\n");
  panel_.ClearCalls();
  EXPECT_THROW(Exec_cmds(d_), EndProcess);
  EXPECT_FALSE(fs::exists(Commands_() / "stop"));
  EXPECT_EQ(panel_.CallNames(), (Texts{"TERMINATEALL", "STOPMONITORING", "STOPTRACE"}));
}

TEST_F(CommandsTest, ConnectAndDisconnect) {
  Sql("insert into controllers (address, driver_id, controller_address, Connection_Type, "
      "EC_1_Name, "
      "cstatus) values ('12.6', 12, 6, '2', '5551234', 1), ('12.7', 12, 7, '0', '', 1), "
      "('12.8', 12, 8, '9', '', 1)");
  // The channel used is the one numbered as the controller address.
  Sql("insert into channels (driver_id, channel, port, baud_rate, port2) values "
      "(12, 6, '4', 9600, 0), (12, 7, '8', 19200, 0), (12, 1, '99', 1, 0)");
  d_.panels[6].FirmwareText = "7.06";
  d_.panels[6].LostCount = 2;
  Send_PanelCmd(d_, "324 6 1");  // parked while not connected
  panel_.ClearCalls();
  ConnectPanel(d_, 6);
  EXPECT_EQ(d_.panels[6].FirmwareText, "");
  EXPECT_EQ(d_.panels[6].LostCount, 0);
  EXPECT_EQ(d_.panels[6].LinkState, kLinkEstablished);
  Calls calls = panel_.calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4),
            (Calls{{"INITIALIZEPANEL", "serial port - COM4 baud=9600 parity=n data=8 stop=1"},
                   {"MODEMCOMMAND", "COM4 1000 ATD,T5551234\r"},
                   {"ARMAREA", "COM4 1"},
                   {"DEFAULTSTATUS", "COM4"}}));
  EXPECT_TRUE(Parked("12.6").empty());
  EXPECT_EQ(One("select cstatus from controllers where address = '12.6'"), "1");  // unchanged

  panel_.ClearCalls();
  DisconnectPanel(d_, 6);
  EXPECT_EQ(Calls(panel_.calls().begin(), panel_.calls().begin() + 2),
            (Calls{{"MODEMCOMMAND", "COM4 1000 +++\r"}, {"MODEMCOMMAND", "COM4 1000 ATH\r"}}));
  EXPECT_EQ(d_.panels[6].LinkState, kLinkNotConnected);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.6'"), "0");

  // A direct serial line: nothing on the line, still marked down.
  ConnectPanel(d_, 7);
  panel_.ClearCalls();
  DisconnectPanel(d_, 7);
  EXPECT_TRUE(panel_.CallsTo("MODEMCOMMAND").empty());
  EXPECT_EQ(One("select cstatus from controllers where address = '12.7'"), "0");
  // An unknown line type: no call, but the slot counts as connected.
  panel_.ClearCalls();
  ConnectPanel(d_, 8);
  EXPECT_TRUE(panel_.CallsTo("INITIALIZEPANEL").empty());
  // No controller row: reported, nothing changes.
  d_.errors.Clear();
  d_.CurrentPanel = 6;
  DisconnectPanel(d_, 9);
  EXPECT_EQ(d_.panels[6].LinkState, kLinkNotConnected);
  EXPECT_FALSE(d_.errors.Lines().empty());
}

TEST_F(CommandsTest, ModemRedialAfterTheLineIsReopened) {
  d_.panels[6].PortName = "COM4";
  d_.panels[6].DialCommand = "COM4 1000 ATD,T5551234\r";
  ScheduleRedial(d_, 6);
  ScheduleRedial(d_, 2);  // not a modem line
  RedialModems(d_);
  EXPECT_TRUE(panel_.calls().empty());
  clock_.Advance(RedialDelay());
  RedialModems(d_);
  RedialModems(d_);  // once
  EXPECT_EQ(panel_.calls(), (Calls{{"MODEMCOMMAND", "COM4 1000 ATD,T5551234\r"}}));
}

// A library that answers in the command text, within its length, as the real one may; the next
// call of the same command must receive what the previous one left.
class AnsweringLibrary final : public FakePanelLibrary {
 public:
  std::int16_t READUSERCLASSES(std::string& text) override {
    FakePanelLibrary::READUSERCLASSES(text);
    Answer(text, "COM3 classes");
    return 0;
  }
  std::int16_t READTOKENTABLES(std::string& text) override {
    FakePanelLibrary::READTOKENTABLES(text);
    Answer(text, "COM3 tokens");
    return 0;
  }
  std::int16_t READPOINTTEXTALL(std::string& text) override {
    FakePanelLibrary::READPOINTTEXTALL(text);
    Answer(text, "COM3 points");
    return 0;
  }
};

TEST_F(CommandsTest, EachCallHandsItsTextToTheNext) {
  AnsweringLibrary library;
  Driver d(clock_, loop_, library, lib_, service_);
  d.DriverId = 12;
  d.DriverFolder = d_.DriverFolder;
  d.panels[2].PortName = "COM3";
  d.panels[2].LinkState = kLinkEstablished;
  Send_PanelCmd(d, "404 2 abcdefghijkl");
  Send_PanelCmd(d, "408 2 abcdefghijkl");
  EXPECT_EQ(library.calls(), (Calls{{"READUSERCLASSES", "COM3 abcdefghijkl"},
                                    {"READTOKENTABLES", "COM3 classes"},
                                    {"READUSERNAMES", "COM3 tokens"},
                                    {"READPOINTTEXTALL", "COM3 abcdefghijkl"},
                                    {"GETDOORAREAS", "COM3 points"}}));
}

TEST_F(CommandsTest, DownloadProgramStartsWithoutWaiting) {
  const fs::path marker = fs::path(d_.DriverFolder) / "downloaded";
  const fs::path program = fs::path(d_.DriverFolder) / "download.sh";
  std::ofstream(program) << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
  fs::permissions(program, fs::perms::owner_all);
  lib_.settings["OS/DownloadProgram"] = program.string();
  Queue("12.0", "dnl");
  Exec_dbCMDs(d_);
  EXPECT_TRUE(Commands().empty());
  for (int i = 0; i < 100 && !fs::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(fs::exists(marker));

  // A program that cannot be started is an error line; the row is still removed.
  lib_.settings["OS/DownloadProgram"] = (fs::path(d_.DriverFolder) / "missing").string();
  d_.errors.Clear();
  Queue("12.0", "dnl");
  Exec_dbCMDs(d_);
  EXPECT_TRUE(Commands().empty());
  ASSERT_FALSE(d_.errors.Lines().empty());
  EXPECT_EQ(d_.errors.Lines()[0].rfind("err_exec_dbcmds:  Exec_dbCMDs:  ", 0), 0u)
      << d_.errors.Lines()[0];
}

}  // namespace
}  // namespace ordane
