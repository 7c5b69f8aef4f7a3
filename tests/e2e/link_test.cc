// The panel interface library (its C exports, as the driver calls them) against the panel
// simulator running as a separate process, over TCP and over pseudo-terminals. The library's
// intervals are shortened through its environment settings so every case runs in seconds.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "panelif/panelif.h"
#include "panelsim/model.h"
#include "panelsim/process.h"

namespace ordane {
namespace {

using panelsim::SimProcess;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Set before the library's first call reads them.
const bool kEnvironmentSet = [] {
  setenv("PANELIF_PING_MS", "300", 1);
  setenv("PANELIF_DOWN_MS", "2000", 1);
  setenv("PANELIF_RETRY_MS", "500", 1);  // also the time an opened line has to answer
  setenv("PANELIF_REQUEST_MS", "700", 1);
  setenv("PANELIF_TABLE_MS", "5000", 1);
  setenv("PANELIF_BUSY_MS", "200", 1);
  return true;
}();

// The text a polling export left in a buffer that was all blanks: "" when it left it alone.
std::string Filled(const std::string& buffer) {
  if (buffer.find_first_not_of(' ') == std::string::npos) return "";
  return std::string(buffer.c_str());
}

std::string NextEvent() {
  std::string b(ORDANE_EVENT_BUFFER_SIZE, ' ');
  GETEVENTRESPONSE(b.data());
  return Filled(b);
}

std::string NextResponse() {
  std::string b(ORDANE_COMMAND_BUFFER_SIZE, ' ');
  GETCOMMANDRESPONSE(b.data());
  return Filled(b);
}

std::string BusyState(const std::string& port) {
  std::string b =
      port + std::string(1, '\0') + std::string(ORDANE_BUSY_BUFFER_SIZE - port.size() - 1, ' ');
  GETBUSYSTATE(b.data());
  return std::string(b.c_str());
}

// Calls export `fn` with the command text `text`, as the driver does (a text it may change).
void Call(int16_t (*fn)(char*), const std::string& text) {
  std::vector<char> t(text.begin(), text.end());
  t.push_back('\0');
  fn(t.data());
}

// Polls the command responses until one satisfies `want`, for up to `ms`; the others it passes
// over are kept in `seen`.
std::string WaitResponse(const std::function<bool(const std::string&)>& want, int ms,
                         std::vector<std::string>* seen = nullptr) {
  const auto until = Clock::now() + milliseconds(ms);
  while (Clock::now() < until) {
    const std::string r = NextResponse();
    if (r.empty()) {
      std::this_thread::sleep_for(milliseconds(5));
      continue;
    }
    if (seen) seen->push_back(r);
    if (want(r)) return r;
  }
  return "";
}

std::string WaitPrefix(const std::string& prefix, int ms = 5000) {
  return WaitResponse([&](const std::string& r) { return r.rfind(prefix, 0) == 0; }, ms);
}

std::string WaitEvent(int ms = 5000) {
  const auto until = Clock::now() + milliseconds(ms);
  while (Clock::now() < until) {
    const std::string e = NextEvent();
    if (!e.empty()) return e;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return "";
}

class LinkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TERMINATEALL();
    // Whatever the closed links left behind must not reach the next case.
    while (!NextResponse().empty()) {
    }
    while (!NextEvent().empty()) {
    }
  }

  // Starts the simulator and connects the library to its first TCP panel (on its own loopback
  // address, so no two cases share a link name); waits until the link is up.
  void StartTcp(int address, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{
        "--panels", "1", "--base-port", "0", "--first-address", std::to_string(address)};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim_.Start(PANELSIM_PATH, args)) << sim_.error();
    ASSERT_EQ(sim_.panels().size(), 1u);
    port_ = sim_.panels()[0].host;
    INITMONITOR();
    Call(INITIALIZEPANEL, sim_.panels()[0].ConnectText());
    ASSERT_EQ(WaitPrefix(port_ + "\nReestablishedPanel"), port_ + "\nReestablishedPanel");
  }

  SimProcess sim_;
  std::string port_;
};

// Every status request and every table comes back in the form the driver splits, with the
// data the panel holds.
TEST_F(LinkTest, TcpAnswersArriveInTheDriversForm) {
  StartTcp(21);
  panelsim::PanelModel model(1, 32);  // the simulator's panel 1 with its default data
  std::vector<panelsim::RaisedEvent> ignored;
  auto data = [&](const char* function, const char* args = "") {
    return model.Handle(function, args, std::time(nullptr), ignored);
  };
  struct Case {
    int16_t (*fn)(char*);
    const char* function;
    const char* args;
  } cases[] = {
      {DEFAULTSTATUS, "DEFAULTSTATUS", ""},
      {GETFIRMWAREREVISION, "GETFIRMWAREREVISION", ""},
      {GETAREASTATUS, "GETAREASTATUS", ""},
      {GETONBOARDRELAYSTATUS, "GETONBOARDRELAYSTATUS", ""},
      {GETOFFBOARDRELAYSTATUS, "GETOFFBOARDRELAYSTATUS", ""},
      {GETACTUALPOINTSTATUS, "GETACTUALPOINTSTATUS", ""},
      {POINTBYPASSSTATUS, "POINTBYPASSSTATUS", ""},
      {DOORCOMMAND, "DOORCOMMAND", "GetStatus 0"},
      {GETPOINTTEXT, "GETPOINTTEXT", "3"},
      {GETDOORAREAS, "GETDOORAREAS", ""},
      {READAUTHORITYLEVELS, "READAUTHORITYLEVELS", ""},
      {READPOINTTEXTALL, "READPOINTTEXTALL", ""},
      {READHOLIDAYS, "READHOLIDAYS", ""},
      {READSKEDS, "READSKEDS", ""},
      {READUSERCLASSES, "READUSERCLASSES", ""},
      {READUSERNAMES, "READUSERNAMES", ""},
      {READTOKENTABLES, "READTOKENTABLES", ""},
  };
  for (const auto& c : cases) {
    const panelsim::Answer a = data(c.function, c.args);
    std::string expected = a.type + "\n" + port_ + "\n";
    if (a.kind == panelsim::Answer::Kind::kTable) {
      for (std::size_t i = 0; i < a.items.size(); ++i) expected += (i ? " " : "") + a.items[i];
    } else {
      expected += a.data + (a.has_extra ? "\n" + a.extra : "");
    }
    Call(c.fn, port_ + " " + c.args);
    EXPECT_EQ(WaitPrefix(a.type + "\n"), expected) << c.function;
  }
  Call(GETPANELSTATUS, port_);
  EXPECT_NE(WaitPrefix("PanelStatus\n" + port_ + "\nAC=OK ").find(" POINTS=32 "),
            std::string::npos);

  // A command is carried out and raises its event; nothing comes back for the driver.
  Call(ARMAREA, port_ + " 1 3");
  const std::string event = WaitEvent();
  ASSERT_EQ(event.rfind(port_ + "-", 0), 0u) << event;
  EXPECT_EQ(event.substr(event.size() - 13), " 1 10 13 03 0") << event;  // EVSEQ 1
  Call(GETAREASTATUS, port_);
  EXPECT_EQ(WaitPrefix("AreaStatus\n"), "AreaStatus\n" + port_ + "\nADDD----");
}

// The same over a pseudo-terminal that the library opens as serial port COM9.
TEST_F(LinkTest, SerialLineOverPseudoTerminal) {
  ASSERT_TRUE(sim_.Start(PANELSIM_PATH, {"--panels", "0", "--pty", "1"})) << sim_.error();
  ASSERT_TRUE(sim_.panels()[0].pty);
  setenv("PANELIF_PORTMAP", ("COM9=" + sim_.panels()[0].host).c_str(), 1);
  INITMONITOR();
  Call(INITIALIZEPANEL, "serial port - COM9 baud=9600 parity=n data=8 stop=1");
  ASSERT_EQ(WaitPrefix("COM9\nReestablishedPanel"), "COM9\nReestablishedPanel");

  Call(GETACTUALPOINTSTATUS, "COM9");
  EXPECT_EQ(WaitPrefix("ActualPointStatus\n"), "ActualPointStatus\nCOM9\n" + std::string(32, 'N'));
  Call(READHOLIDAYS, "COM9 ");
  const std::string holidays = WaitPrefix("ReadHolidays\n");
  EXPECT_EQ(holidays.rfind("ReadHolidays\nCOM9\nDay # 0: 80 Day # 1: 00 ", 0), 0u);
  EXPECT_NE(holidays.find(" Day # 59: 10 "), std::string::npos);
  EXPECT_EQ(holidays.substr(holidays.size() - 13), "Day # 365: 40");

  ASSERT_EQ(sim_.Command("1 open 5"), "ok");
  const std::string event = WaitEvent();
  EXPECT_EQ(event.rfind("COM9-", 0), 0u) << event;
  EXPECT_NE(event.find(" 1 01 01 04 00"), std::string::npos) << event;  // EVSEQ 1
}

// A serial panel that falls silent is reported lost at the cadence of a TCP panel that refuses
// connections: after the silence limit once, then once per reopening of the line that hears
// nothing, so the third notice comes long before a second silence limit could pass.
TEST_F(LinkTest, SilentSerialPanelIsLostOncePerCheck) {
  ASSERT_TRUE(sim_.Start(PANELSIM_PATH, {"--panels", "0", "--pty", "1"})) << sim_.error();
  setenv("PANELIF_PORTMAP", ("COM10=" + sim_.panels()[0].host).c_str(), 1);
  INITMONITOR();
  Call(INITIALIZEPANEL, "serial port - COM10 baud=9600 parity=n data=8 stop=1");
  ASSERT_EQ(WaitPrefix("COM10\nReestablishedPanel"), "COM10\nReestablishedPanel");
  ASSERT_EQ(sim_.Command("1 silent on"), "ok");
  ASSERT_EQ(WaitPrefix("COM10\nLostPanel", 4000), "COM10\nLostPanel");
  int lost = 1;
  WaitResponse(
      [&](const std::string& r) {
        lost += r == "COM10\nLostPanel";
        return lost >= 3;
      },
      2 * 2000);  // twice PANELIF_DOWN_MS: one silence limit and more would give only one
  EXPECT_EQ(lost, 3);
  ASSERT_EQ(sim_.Command("1 silent off"), "ok");
  EXPECT_EQ(WaitPrefix("COM10\nReestablishedPanel"), "COM10\nReestablishedPanel");
  Call(GETFIRMWAREREVISION, "COM10");
  EXPECT_EQ(WaitPrefix("FirmwareVersion\n"), "FirmwareVersion\nCOM10\n7.06");
}

// A panel that goes away is reported lost once per failed check and, when it returns, found
// again once; what it raised meanwhile arrives afterwards, in order, each event once.
TEST_F(LinkTest, LostLinkReturnsWithItsEventsInOrderOnce) {
  StartTcp(23, {"--resend-seconds", "1"});
  ASSERT_EQ(sim_.Command("1 down"), "ok");
  std::vector<std::string> points;
  for (int p = 1; p <= 6; ++p) {
    ASSERT_EQ(sim_.Command("1 open " + std::to_string(p)), "ok");
    char f1[8];
    std::snprintf(f1, sizeof f1, "%02X", p - 1);
    points.push_back(f1);
  }
  std::vector<std::string> seen;
  int lost = 0;
  WaitResponse(
      [&](const std::string& r) {
        lost += r == port_ + "\nLostPanel";
        return lost >= 3;
      },
      10000, &seen);
  ASSERT_GE(lost, 3);
  EXPECT_TRUE(NextEvent().empty());

  ASSERT_EQ(sim_.Command("1 up"), "ok");
  std::vector<std::string> events;
  int found = 0;
  const auto until = Clock::now() + milliseconds(3500);  // beyond a resend interval or two
  while (Clock::now() < until) {
    const std::string r = NextResponse();
    found += r == port_ + "\nReestablishedPanel";
    const std::string e = NextEvent();
    if (!e.empty()) events.push_back(e);
    if (r.empty() && e.empty()) std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(found, 1);
  ASSERT_EQ(events.size(), points.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].rfind(port_ + "-", 0), 0u);
    EXPECT_NE(events[i].find(" 01 01 " + points[i] + " 00"), std::string::npos) << events[i];
  }
  const std::string status = sim_.Command("1 status");
  EXPECT_NE(status.find(" pending=0 "), std::string::npos) << status;
}

// A library killed after handing an event over but before acknowledging it leaves the event
// with the panel, which gives it to the next library.
TEST_F(LinkTest, EventTakenByAKilledLibraryComesAgain) {
  ASSERT_TRUE(
      sim_.Start(PANELSIM_PATH, {"--panels", "1", "--base-port", "0", "--first-address", "24"}))
      << sim_.error();
  port_ = sim_.panels()[0].host;
  ASSERT_EQ(sim_.Command("1 open 7"), "ok");

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    const std::string connect = sim_.panels()[0].ConnectText();
    execl(LINK_CHILD_PATH, LINK_CHILD_PATH, connect.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string taken;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') taken += c;
  close(out[0]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_EQ(taken.rfind(port_ + "-", 0), 0u) << taken;

  INITMONITOR();
  Call(INITIALIZEPANEL, sim_.panels()[0].ConnectText());
  EXPECT_EQ(WaitEvent(), taken);
  NextEvent();  // acknowledges it
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(NextEvent().empty());
  EXPECT_NE(sim_.Command("1 status").find(" pending=0 "), std::string::npos);
}

// A request the panel never answers is given up with CommandTimeOut; meanwhile the panel is
// busy, as it is when it says so itself.
TEST_F(LinkTest, UnansweredRequestTimesOutAndBusyIsReported) {
  StartTcp(25);
  // The busy state the library reports within `ms`, as soon as it is `want`.
  auto busy_within = [&](const std::string& want, int ms) {
    const auto until = Clock::now() + milliseconds(ms);
    std::string state;
    while (Clock::now() < until && (state = BusyState(port_)) != want)
      std::this_thread::sleep_for(milliseconds(10));
    return state;
  };
  EXPECT_EQ(BusyState(port_), "Not busy");
  EXPECT_EQ(BusyState("127.0.0.99"), "Unknown panel");
  ASSERT_EQ(sim_.Command("1 silent on"), "ok");
  Call(GETAREASTATUS, port_);
  EXPECT_EQ(busy_within("Busy", 2000), "Busy");  // outstanding for longer than the busy age
  EXPECT_EQ(WaitPrefix("CommandTimeOut\n", 3000), "CommandTimeOut\n" + port_ + "\nGETAREASTATUS");
  ASSERT_EQ(sim_.Command("1 silent off"), "ok");
  EXPECT_EQ(busy_within("Not busy", 2000), "Not busy");

  ASSERT_EQ(sim_.Command("1 busy 1"), "ok");
  EXPECT_EQ(busy_within("Busy", 2000), "Busy");
  ASSERT_EQ(sim_.Command("1 busy 0"), "ok");
  EXPECT_EQ(busy_within("Not busy", 2000), "Not busy");
}

// Answers longer than the driver's buffers are cut to fit; nothing is written past them.
TEST_F(LinkTest, LongAnswersAreCutToTheBuffer) {
  StartTcp(26);
  ASSERT_EQ(sim_.Command("1 extra-items 400"), "ok");
  Call(READHOLIDAYS, port_);
  const std::string guard(64, '#');
  std::string buffer;
  const auto until = Clock::now() + milliseconds(5000);
  while (Clock::now() < until) {
    buffer = std::string(ORDANE_COMMAND_BUFFER_SIZE, ' ') + guard;
    GETCOMMANDRESPONSE(buffer.data());
    if (buffer.rfind("ReadHolidays\n", 0) == 0) break;
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_EQ(buffer.rfind("ReadHolidays\n" + port_ + "\nDay # 0: 80 ", 0), 0u);
  EXPECT_EQ(buffer.substr(ORDANE_COMMAND_BUFFER_SIZE), guard);
  EXPECT_NE(std::memchr(buffer.data(), '\0', ORDANE_COMMAND_BUFFER_SIZE), nullptr);

  ASSERT_EQ(sim_.Command("1 raw 12/05/2026 10:00:00 00 01 01 00 " + std::string(1500, '7')), "ok");
  std::string event;
  const auto until2 = Clock::now() + milliseconds(5000);
  while (Clock::now() < until2) {
    event = std::string(ORDANE_EVENT_BUFFER_SIZE, ' ') + guard;
    GETEVENTRESPONSE(event.data());
    if (event[0] != ' ') break;
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_EQ(event.rfind(port_ + "-12/05/2026 10:00:00 ", 0), 0u);
  EXPECT_EQ(event.substr(ORDANE_EVENT_BUFFER_SIZE), guard);
  EXPECT_NE(std::memchr(event.data(), '\0', ORDANE_EVENT_BUFFER_SIZE), nullptr);
}

// A serial line behind a modem carries frames only once the call is up.
TEST_F(LinkTest, ModemLineAfterDialling) {
  ASSERT_TRUE(sim_.Start(PANELSIM_PATH, {"--panels", "0", "--pty", "1", "--modem"}))
      << sim_.error();
  setenv("PANELIF_PORTMAP", ("COM8=" + sim_.panels()[0].host).c_str(), 1);
  INITMONITOR();
  Call(INITIALIZEPANEL, "serial port - COM8 baud=9600 parity=n data=8 stop=1");
  std::this_thread::sleep_for(milliseconds(100));
  Call(MODEMCOMMAND, "COM8 1000 ATD,T5551234\r");
  ASSERT_EQ(WaitPrefix("COM8\nReestablishedPanel"), "COM8\nReestablishedPanel");
  Call(GETFIRMWAREREVISION, "COM8");
  EXPECT_EQ(WaitPrefix("FirmwareVersion\n"), "FirmwareVersion\nCOM8\n7.06");
}

// The control interface turns every bad line into an error line and changes nothing; the local
// socket and scenario files drive the same panels.
TEST(SimulatorControl, BadLinesAreRefusedAndOtherChannelsWork) {
  const std::string dir = testing::TempDir();
  const std::string socket_path = dir + "/link_control_" + std::to_string(getpid()) + ".sock";
  const std::string scenario = dir + "/link_control_" + std::to_string(getpid()) + ".scn";
  {
    std::ofstream f(scenario);
    f << "# raised at start\n1 open 4\nsleep 100\n1 close 4\n";
  }
  SimProcess sim;
  ASSERT_TRUE(sim.Start(PANELSIM_PATH, {"--panels", "1", "--base-port", "0", "--first-address",
                                        "27", "--control", socket_path, "--scenario", scenario}))
      << sim.error();
  const char* bad[] = {
      "frobnicate",
      "0 open 1",
      "2 open 1",
      "x open 1",
      "1",
      "1 open",
      "1 open 999",
      "1 open x",
      "1 arm 9",
      "1 arm 5",
      "1 disarm",
      "1 inject ZZ 01 00",
      "1 inject 01",
      "1 inject 01 01 \x01",
      "1 event point-alarm 00 \x7f",
      "1 raw",
      "1 slow -5",
      "1 hold x",
      "1 load -1",
      "1 load lots",
      "1 silent maybe",
      "1 busy 2",
      "1 cmd",
      "1 cmd NOSUCHFUNCTION 1",
      "1 cmd ARMAREA 99",
      "1 garbage 99999999",
      "1 firmware",
      "1 event nosuch",
      "all frobnicate",
      "1 extra-items -1",
      "1 ac maybe",
  };
  for (const char* line : bad) {
    const std::string answer = sim.Command(line);
    EXPECT_EQ(answer.rfind("error: ", 0), 0u) << line << " -> " << answer;
    EXPECT_GT(answer.size(), 8u) << line;
  }
  std::this_thread::sleep_for(milliseconds(300));  // the scenario's sleep
  const std::string status = sim.Command("1 status");
  EXPECT_NE(status.find(" pending=2 "), std::string::npos) << status;  // the scenario's two
  EXPECT_NE(status.find(" areas=DDDD---- "), std::string::npos) << status;
  EXPECT_NE(status.find(" points=" + std::string(32, 'N')), std::string::npos) << status;

  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string line = "1 open 9\n";
  ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  char answer[16] = {};
  ASSERT_GT(read(fd, answer, sizeof answer - 1), 0);
  EXPECT_STREQ(answer, "ok\n");
  close(fd);
  EXPECT_NE(sim.Command("1 status").find(" pending=3 "), std::string::npos);
  sim.Stop();
  std::remove(scenario.c_str());
}

}  // namespace
}  // namespace ordane
