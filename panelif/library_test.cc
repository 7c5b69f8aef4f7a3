// The library against small in-test panels that speak the link protocol over TCP (and a
// pseudo-terminal for the serial line), with every interval shortened.
#include "panelif/library.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "panelif/exports.h"
#include "panelif/protocol.h"

namespace ordane::panelif {
namespace {

using namespace std::chrono_literals;
using link::Kind;
using link::Message;

Config FastConfig() {
  Config c;
  c.ping = 150ms;
  c.down = 2000ms;
  c.retry = 400ms;  // also how long an opened line may stay silent: room for a loaded machine
  c.request = 1000ms;
  c.table = 900ms;
  c.busy = 250ms;
  return c;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

// A panel on the far side of a byte stream (a TCP connection or a pty master).
class Peer {
 public:
  explicit Peer(int fd = -1) : fd_(fd) {}
  ~Peer() { Close(); }

  void Attach(int fd) {
    Close();
    fd_ = fd;
    decoder_ = link::FrameDecoder();
    received_.clear();
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Forgets a partial line: what a modem takes in as its command never reaches the panel.
  void ForgetPartial() { decoder_.Reset(); }

  void SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void Send(std::string_view body) { SendRaw(link::EncodeFrame(body)); }

  // The next message other than PING (answered with PONG when `pong` is set), or nullopt.
  std::optional<Message> Next(std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      while (!received_.empty()) {
        Message m = received_.front();
        received_.pop_front();
        if (m.kind != Kind::kPing) return m;
        if (pong) Send("PONG " + std::to_string(m.seq));
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (fd_ < 0) return std::nullopt;
      // Even with no time left, whatever has arrived already is read.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
        if (left.count() <= 0) return std::nullopt;
        continue;
      }
      char buf[4096];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) return std::nullopt;
      raw.append(buf, static_cast<std::size_t>(n));
      decoder_.Feed({buf, static_cast<std::size_t>(n)}, [&](std::string_view body) {
        if (auto m = link::ParseMessage(body)) received_.push_back(*m);
      });
    }
  }

  // The next message of `kind`, skipping others.
  std::optional<Message> NextOf(Kind kind, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      auto m = Next(std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now()));
      if (m && m->kind == kind) return m;
    }
    return std::nullopt;
  }

  // Reads (answering PINGs) until `text` has arrived.
  bool Heard(std::string_view text) {
    return WaitUntil([&] {
      Next(10ms);
      return raw.find(text) != std::string::npos;
    });
  }

  bool pong = true;
  std::string raw;  // every byte received

 private:
  int fd_;
  link::FrameDecoder decoder_;
  std::deque<Message> received_;
};

// A listening TCP socket on a loopback address; can be closed and reopened on the same port.
class Listener {
 public:
  explicit Listener(std::string address = "127.0.0.1") : address_(std::move(address)) { Listen(); }
  ~Listener() { Stop(); }

  void Listen() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    ::inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  void Stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Accepts one connection into `peer`; false when none came in time.
  bool Accept(Peer& peer, std::chrono::milliseconds limit = 3000ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    int c = ::accept(fd_, nullptr, nullptr);
    if (c >= 0) peer.Attach(c);
    return c >= 0;
  }
  std::string port() const { return std::to_string(port_); }
  std::string ConnectText() const { return "TCP/IP - " + address_ + " " + port(); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// What the driver sees of the library: its polling calls on blank-filled buffers.
struct Driver {
  explicit Driver(Library& l) : lib(l) {}

  // One GETCOMMANDRESPONSE or GETEVENTRESPONSE; nullopt when the buffer came back untouched.
  std::optional<std::string> Poll(std::int16_t (Library::*call)(char*), std::size_t size) {
    std::string buf(size, ' ');
    buf.push_back('\0');
    (lib.*call)(buf.data());
    if (buf.find('\0') == size && buf[0] == ' ') return std::nullopt;
    return std::string(buf.c_str());
  }
  std::optional<std::string> Response() {
    return Poll(&Library::GetCommandResponse, ORDANE_COMMAND_BUFFER_SIZE);
  }
  std::optional<std::string> Event() {
    return Poll(&Library::GetEventResponse, ORDANE_EVENT_BUFFER_SIZE);
  }
  std::string Busy(const std::string& name) {
    std::string buf = name;
    buf.push_back('\0');
    buf.resize(ORDANE_BUSY_BUFFER_SIZE, ' ');
    buf.push_back('\0');
    lib.GetBusyState(buf.data());
    return buf.c_str();
  }
  std::int16_t Call(std::string_view function, std::string text) {
    return lib.Request(function, text.c_str());
  }
  // Waits for the next command response; with `pump`, that panel is read (its PINGs answered,
  // anything else dropped) meanwhile.
  std::string WaitResponse(Peer* pump = nullptr) {
    std::optional<std::string> r;
    WaitUntil([&] {
      if (pump) pump->Next(1ms);
      return (r = Response()).has_value();
    });
    return r.value_or("<none>");
  }
  std::string WaitEvent() {
    std::optional<std::string> e;
    WaitUntil([&] { return (e = Event()).has_value(); });
    return e.value_or("<none>");
  }

  Library& lib;
};

std::string Body(Kind kind, std::uint32_t seq, std::string_view text = {}) {
  Message m{kind};
  m.seq = seq;
  m.text = std::string(text);
  return link::FormatMessage(m);
}

// A link brought up: connected, PING answered, ReestablishedPanel taken.
struct Connected {
  explicit Connected(Config config = FastConfig()) : lib(config), driver(lib) {
    EXPECT_EQ(lib.InitializePanel(listener.ConnectText().c_str()), kOk);
    Reconnect();
  }
  std::string name() const { return listener.address(); }
  // The panel's connection is taken and its first frame brings the link up.
  void Reconnect() {
    EXPECT_TRUE(listener.Accept(peer));
    peer.Send(Body(Kind::kPong, 1));
    EXPECT_EQ(driver.WaitResponse(), name() + "\nReestablishedPanel");
  }
  // Sends `function` and returns the REQ the panel received.
  Message Ask(std::string_view function, std::string_view args = {}) {
    std::string text = name();
    if (!args.empty()) text += " " + std::string(args);
    EXPECT_EQ(driver.Call(function, text), kOk);
    auto m = peer.NextOf(Kind::kReq);
    EXPECT_TRUE(m.has_value());
    return m.value_or(Message{Kind::kReq});
  }

  Listener listener;
  Peer peer;
  Library lib;
  Driver driver;
};

// A serial line on a pseudo-terminal mapped to `port`; the panel holds the master end.
struct SerialLine {
  SerialLine(const std::string& port, Config config) : lib(config), driver(lib) {
    int master = -1;
    char path[256];
    EXPECT_EQ(::openpty(&master, &slave, path, nullptr, nullptr), 0);
    ::setenv("PANELIF_PORTMAP", (port + "=" + path).c_str(), 1);
    peer.Attach(master);
    peer.pong = false;
  }
  ~SerialLine() {
    lib.TerminateAll();
    ::close(slave);
    ::unsetenv("PANELIF_PORTMAP");
  }

  int slave = -1;
  Peer peer;
  Library lib;
  Driver driver;
};

// The messages in a byte stream the library sent.
std::vector<Message> Decode(std::string_view raw) {
  std::vector<Message> out;
  link::FrameDecoder d;
  d.Feed(raw, [&](std::string_view body) {
    if (auto m = link::ParseMessage(body)) out.push_back(*m);
  });
  return out;
}

// An event line's text as a panel writes it: date, time, the EVSEQ in field 4, the rest.
std::string EventText(int minute, std::uint32_t evseq) {
  char text[64];
  std::snprintf(text, sizeof text, "12/05/2026 10:%02d:%02u x %u 01 11 22", minute, evseq % 60,
                evseq);
  return text;
}

// A folder with a trace settings file naming link.trace; removed at the end of the test.
struct TraceFolder {
  TraceFolder() {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "debug.ini") << "[Trace]\nFile=link.trace\n";
  }
  ~TraceFolder() { std::filesystem::remove_all(dir); }
  std::string ini() const { return (dir / "debug.ini").string(); }
  std::string Read(const std::string& file) const {
    std::ifstream in(dir / file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  const std::filesystem::path dir = ::testing::TempDir() + "panelif_trace_" +
                                    std::to_string(::getpid()) + "_" +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST(LibraryLinkTest, LostOnDropAndOneReestablishedOnReturn) {
  Connected c;
  c.peer.Close();
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  c.listener.Stop();
  // Every failed attempt while down is one more LostPanel.
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  c.listener.Listen();
  ASSERT_TRUE(c.listener.Accept(c.peer));
  // Connected is not yet up: the first frame from the panel makes it so.
  while (auto r = c.driver.Response()) EXPECT_EQ(*r, c.name() + "\nLostPanel");
  c.peer.Send(Body(Kind::kPong, 1));
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nReestablishedPanel");
  // Kept alive by PONGs, the link reports nothing more.
  c.peer.Next(600ms);
  EXPECT_EQ(c.driver.Response(), std::nullopt);
}

TEST(LibraryLinkTest, SilentPanelIsPingedThenLost) {
  Connected c;
  c.peer.pong = false;
  EXPECT_TRUE(c.peer.NextOf(Kind::kEvAck, 400ms) == std::nullopt);  // PINGs only
  EXPECT_NE(c.peer.raw.find("PING 2"), std::string::npos);
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
}

TEST(LibraryLinkTest, AnswersBecomeCommandResponses) {
  Connected c;
  const std::string n = c.name();
  struct Case {
    std::string function, args;
    std::vector<std::string> answers;  // "%" stands for the request's SEQ
    std::optional<std::string> response;
  };
  const std::vector<Case> cases = {
      {"GETAREASTATUS", "", {"RSP % AreaStatus AAD-----"}, "AreaStatus\n" + n + "\nAAD-----"},
      {"GETPOINTTEXT",
       "12",
       {"RSP % RetrievePointText 12\tFront door"},
       "RetrievePointText\n" + n + "\n12\nFront door"},
      {"GETDOORAREAS",
       "",
       {"RSP % GetDoorAreas 1 2 3 4 5 6 7 8 "},
       "GetDoorAreas\n" + n + "\n1 2 3 4 5 6 7 8 "},
      {"READHOLIDAYS",
       "",
       {"ITEM % Day # 0: 01", "ITEM % Day # 1: 00", "END % ReadHolidays"},
       "ReadHolidays\n" + n + "\nDay # 0: 01 Day # 1: 00"},
      {"READSKEDS", "", {"END % ReadSkeds"}, "ReadSkeds\n" + n + "\n"},
      {"ARMAREA", "1", {"OK %"}, std::nullopt},
      {"BYPASSPOINT", "99", {"NAK % no such point"}, std::nullopt},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.function);
    Message req = c.Ask(k.function, k.args);
    EXPECT_EQ(req.function, k.function);
    EXPECT_EQ(req.text, k.args);
    for (std::string a : k.answers) {
      a.replace(a.find('%'), 1, std::to_string(req.seq));
      c.peer.Send(a);
    }
    if (k.response) {
      EXPECT_EQ(c.driver.WaitResponse(), *k.response);
    } else {
      c.peer.Next(100ms);
      EXPECT_EQ(c.driver.Response(), std::nullopt);
    }
  }
  // Requests and PINGs share one counter: 1, 2, 3... on the link, no number twice.
  c.Ask("DEFAULTSTATUS");
  std::uint32_t want = 1, requests = 0;
  for (const Message& m : Decode(c.peer.raw)) {
    if (m.kind != Kind::kReq && m.kind != Kind::kPing) continue;
    EXPECT_EQ(m.seq, want++) << link::FormatMessage(m);
    requests += m.kind == Kind::kReq;
  }
  EXPECT_EQ(requests, cases.size() + 1);
}

TEST(LibraryLinkTest, UnansweredRequestTimesOutAndShowsBusy) {
  Connected c;
  EXPECT_EQ(c.driver.Busy(c.name()), "Not busy");
  c.Ask("ARMAREA", "2");
  // The panel keeps answering PINGs while it leaves the request unanswered.
  EXPECT_TRUE(WaitUntil([&] {
    c.peer.Next(1ms);
    return c.driver.Busy(c.name()) == "Busy";
  }));
  EXPECT_EQ(c.driver.WaitResponse(&c.peer), "CommandTimeOut\n" + c.name() + "\nARMAREA");
  EXPECT_EQ(c.driver.Busy(c.name()), "Not busy");
  // A late answer is dropped and counted.
  c.peer.Send(Body(Kind::kOk, 1));
  EXPECT_TRUE(WaitUntil([&] { return c.lib.stats().stray_answers == 1; }));
}

// A link that fails in the middle of a table answer: what came before the drop never reaches
// the driver as a table, not even when the panel ends that answer on the next connection; the
// request times out, and a new request gets a table of its own items only.
TEST(LibraryLinkTest, TableCutByADroppedLinkIsNeverHandedOver) {
  Connected c;
  const auto req = c.Ask("READTOKENTABLES");
  for (int k = 0; k < 3; ++k)
    c.peer.Send(Body(Kind::kItem, req.seq, "Token Table " + std::to_string(k) + ": 01"));
  c.peer.Close();
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  c.Reconnect();

  c.peer.Send(Body(Kind::kItem, req.seq, "Token Table 3: 01"));
  c.peer.Send("END " + std::to_string(req.seq) + " ReadTokenTables");
  EXPECT_EQ(c.driver.WaitResponse(&c.peer), "CommandTimeOut\n" + c.name() + "\nREADTOKENTABLES");

  const auto again = c.Ask("READTOKENTABLES");
  c.peer.Send(Body(Kind::kItem, again.seq, "Token Table 0: 02"));
  c.peer.Send("END " + std::to_string(again.seq) + " ReadTokenTables");
  EXPECT_EQ(c.driver.WaitResponse(), "ReadTokenTables\n" + c.name() + "\nToken Table 0: 02");
}

TEST(LibraryLinkTest, BusyStateAndLinkNamesWithoutRegardToCase) {
  Connected c;
  struct Case {
    std::string send;  // frame from the panel, if any
    std::string name;  // as the driver asks
    std::string want;
  };
  const std::vector<Case> cases = {
      {"", "NOSUCHPANEL", "Unknown panel"},
      {"", "", "Unknown panel"},
      {"BUSY 1", c.name(), "Busy"},
      {"BUSY 0", c.name(), "Not busy"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.send + "/" + k.name);
    if (!k.send.empty()) c.peer.Send(k.send);
    EXPECT_TRUE(WaitUntil([&] { return c.driver.Busy(k.name) == k.want; }, 1000ms));
  }
  // Link names match without regard to case.
  ASSERT_EQ(c.lib.InitializePanel(("TCP/IP - localhost " + c.listener.port()).c_str()), kOk);
  EXPECT_EQ(c.driver.Busy("LOCALHOST"), "Not busy");
  EXPECT_EQ(c.lib.TerminatePanel("LocalHost"), kOk);
  EXPECT_EQ(c.driver.Busy("LOCALHOST"), "Unknown panel");
}

TEST(LibraryLinkTest, TerminatedLinksCloseAndStopRetrying) {
  for (const std::string how : {"by PortName", "by connection text", "all"}) {
    SCOPED_TRACE(how);
    Connected c;
    const std::string text = how == "by PortName" ? c.name() : c.listener.ConnectText();
    EXPECT_EQ(how == "all" ? c.lib.TerminateAll() : c.lib.TerminatePanel(text.c_str()), kOk);
    EXPECT_EQ(c.driver.Busy(c.name()), "Unknown panel");
    // The panel sees the connection end, and nobody comes back.
    EXPECT_EQ(c.peer.Next(), std::nullopt);
    EXPECT_FALSE(c.listener.Accept(c.peer, 500ms));
    EXPECT_EQ(c.driver.Response(), std::nullopt);
    EXPECT_EQ(c.driver.Call("ARMAREA", c.name() + " 1"), kUnknownLink);
  }
}

// Events are acknowledged only once the driver's next call shows them taken; resends are
// dropped (and acknowledged again once taken), also over a reconnect.
TEST(LibraryEventTest, DuplicatesAreDroppedAndAcknowledgedOnceTaken) {
  Connected c;
  // Sent twice before the driver looks: handed over once.
  c.peer.Send(Body(Kind::kEvt, 5, "a"));
  c.peer.Send(Body(Kind::kEvt, 5, "a"));
  c.peer.Send(Body(Kind::kEvt, 6, "b"));
  EXPECT_EQ(c.driver.WaitEvent(), c.name() + "-a");
  // Resent while handed over but not yet acknowledged: dropped, no acknowledgement yet.
  c.peer.Send(Body(Kind::kEvt, 5, "a"));
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck, 200ms), std::nullopt);
  EXPECT_EQ(c.driver.WaitEvent(), c.name() + "-b");
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 5u);
  EXPECT_EQ(c.driver.Event(), std::nullopt);
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 6u);
  // Resent after it was taken: acknowledged again and dropped.
  c.peer.Send(Body(Kind::kEvt, 5, "a"));
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 5u);
  EXPECT_EQ(c.driver.Event(), std::nullopt);
  EXPECT_EQ(c.lib.stats().duplicate_events, 3u);
  // A number not among the last ones is a new event, even a smaller one.
  c.peer.Send(Body(Kind::kEvt, 1, "restart"));
  EXPECT_EQ(c.driver.WaitEvent(), c.name() + "-restart");
  EXPECT_EQ(c.driver.Event(), std::nullopt);
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 1u);
  // The memory outlives a reconnect, even one whose first frame is a resend.
  c.peer.Close();
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  ASSERT_TRUE(c.listener.Accept(c.peer));
  c.peer.Send(Body(Kind::kEvt, 1, "restart"));
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 1u);
  EXPECT_EQ(c.driver.Event(), std::nullopt);
  EXPECT_EQ(c.lib.stats().duplicate_events, 4u);
}

// A panel that restarts numbers its events from 1 again, with other dates and times: those are
// new events, not resends, and every one reaches the driver. A true resend still does not.
TEST(LibraryEventTest, RestartedPanelsNewNumbersAreNewEvents) {
  Connected c;
  std::vector<std::string> want, got;
  // One event at a time, each taken by the driver before the next is raised.
  auto raise = [&](int minute, std::uint32_t evseq) {
    const std::string text = EventText(minute, evseq);
    want.push_back(c.name() + "-" + text);
    c.peer.Send(Body(Kind::kEvt, evseq, text));
    got.push_back(c.driver.WaitEvent());
  };
  for (std::uint32_t n = 1; n <= 30; ++n) raise(0, n);
  // The restart: the connection drops, the panel comes back and counts from 1.
  c.peer.Close();
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  c.Reconnect();
  for (std::uint32_t n = 1; n <= 30; ++n) raise(5, n);
  EXPECT_EQ(got, want);
  EXPECT_EQ(c.driver.Event(), std::nullopt);  // the last one is taken
  // The restarted panel hears only of its new events: the old event 30, taken just before the
  // restart, is not acknowledged to it, as "EVACK 30" would take its new 1 to 30.
  std::vector<std::uint32_t> acks;
  while (auto m = c.peer.NextOf(Kind::kEvAck, 500ms)) acks.push_back(m->seq);
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks.front(), 1u);
  EXPECT_EQ(acks.back(), 30u);
  EXPECT_TRUE(std::is_sorted(acks.begin(), acks.end()));
  // A resend of the new event 12 is dropped and acknowledged again; so is one of the old 30,
  // still remembered.
  for (int minute : {5, 0}) {
    const std::uint32_t evseq = minute == 5 ? 12 : 30;
    c.peer.Send(Body(Kind::kEvt, evseq, EventText(minute, evseq)));
    EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, evseq);
    EXPECT_EQ(c.driver.Event(), std::nullopt);
  }
  EXPECT_EQ(c.lib.stats().duplicate_events, 2u);
}

// A panel that ignores its window until the library's queue is full: the link is closed rather
// than an event dropped, and what the panel sends again afterwards arrives once, in order.
TEST(LibraryEventTest, OverfullQueueClosesTheLinkAndLosesNothing) {
  Connected c;
  constexpr std::uint32_t kSent = 70;  // more than the queue holds
  std::string burst;
  for (std::uint32_t n = 1; n <= kSent; ++n) {
    burst += link::EncodeFrame(Body(Kind::kEvt, n, EventText(0, n)));
  }
  c.peer.SendRaw(burst);
  ASSERT_TRUE(WaitUntil([&] { return c.lib.stats().overflow_drops == 1; }));
  EXPECT_EQ(c.peer.Next(), std::nullopt);  // closed, and nothing acknowledged
  std::vector<std::string> got;
  while (auto e = c.driver.Event()) got.push_back(*e);
  ASSERT_LT(got.size(), kSent);
  // The panel comes back and sends everything not acknowledged; the library's closing was no
  // loss of the panel.
  c.Reconnect();
  c.peer.SendRaw(burst);
  EXPECT_TRUE(WaitUntil([&] {
    while (auto e = c.driver.Event()) got.push_back(*e);
    return got.size() >= kSent;
  }));
  c.peer.Next(200ms);
  while (auto e = c.driver.Event()) got.push_back(*e);
  ASSERT_EQ(got.size(), kSent);
  for (std::uint32_t n = 1; n <= kSent; ++n) {
    EXPECT_EQ(got[n - 1], c.name() + "-" + EventText(0, n));
  }
  EXPECT_EQ(c.driver.Response(), std::nullopt);
  EXPECT_EQ(c.lib.stats().overflow_drops, 1u);
}

TEST(LibraryBufferTest, AnswersStayWithinTheCallersBuffer) {
  Connected c;
  // DLLINFORMATION within the caller's length.
  for (std::size_t len : {0u, 10u, 31u, 255u}) {
    std::string text(len, ' ');
    text += '\0';
    text += "GUARD";
    c.lib.DllInformation(text.data());
    std::string got = text.c_str();
    EXPECT_EQ(text.substr(len + 1), "GUARD");
    EXPECT_EQ(got,
              ("Panel interface library Version " + std::string(LibraryVersion())).substr(0, len));
  }
  // A long answer fills the polling call's buffer to its NUL, never past it.
  auto cut = [&](std::int16_t (Library::*call)(char*), std::size_t size) {
    std::string buf(size, ' ');
    buf += "GUARD";
    EXPECT_TRUE(WaitUntil([&] {
      (c.lib.*call)(buf.data());
      return buf[0] != ' ';
    }));
    EXPECT_EQ(std::strlen(buf.c_str()), size - 1);
    EXPECT_EQ(buf.substr(size), "GUARD");
    return buf;
  };
  Message req = c.Ask("READUSERNAMES");
  for (int k = 0; k < 250; ++k) {
    c.peer.Send("ITEM " + std::to_string(req.seq) + " ~User Name " + std::to_string(k) + ": " +
                std::string(150, 'n'));
  }
  c.peer.Send("END " + std::to_string(req.seq) + " ReadUserNames");
  const std::string table = cut(&Library::GetCommandResponse, ORDANE_COMMAND_BUFFER_SIZE);
  EXPECT_EQ(table.rfind("ReadUserNames\n", 0), 0u);
  c.peer.Send(Body(Kind::kEvt, 3, std::string(2000, 'e')));
  cut(&Library::GetEventResponse, ORDANE_EVENT_BUFFER_SIZE);
}

TEST(LibraryHostileTest, BadInputIsDroppedAndCountedAndOtherLinksCarryOn) {
  Connected bad;
  Listener good_listener("127.0.0.2");
  Peer good;
  ASSERT_EQ(bad.lib.InitializePanel(good_listener.ConnectText().c_str()), kOk);
  ASSERT_TRUE(good_listener.Accept(good));
  good.Send(Body(Kind::kPong, 1));
  EXPECT_EQ(bad.driver.WaitResponse(), "127.0.0.2\nReestablishedPanel");

  std::string crc_broken = link::EncodeFrame("OK 1");
  crc_broken[5] = 'X';
  bad.peer.SendRaw(crc_broken);
  bad.peer.SendRaw(std::string(5000, 'z') + "\r\n");              // over-long
  bad.peer.SendRaw(std::string("\x01\x02\xff garbage\r\n", 13));  // noise, then a bad frame
  bad.peer.Send("HELLO 1");                                       // unknown message
  bad.peer.Send("REQ 1 ARMAREA 1");                               // a message panels never send
  bad.peer.Send("RSP 4711 AreaStatus AAAA");                      // answer to nothing
  // A flood of noise on one link while the other link is asked for its status.
  std::thread flood([&] {
    std::string junk(64 * 1024, 'j');
    for (int k = 0; k < 32; ++k) bad.peer.SendRaw(junk);
    bad.peer.SendRaw("\r\n");
  });
  ASSERT_EQ(bad.driver.Call("GETAREASTATUS", "127.0.0.2"), kOk);
  auto req = good.NextOf(Kind::kReq);
  ASSERT_TRUE(req.has_value());
  good.Send("RSP " + std::to_string(req->seq) + " AreaStatus DDDDDDDD");
  EXPECT_EQ(bad.driver.WaitResponse(), "AreaStatus\n127.0.0.2\nDDDDDDDD");
  flood.join();
  // The hostile link still works.
  Message r = bad.Ask("GETAREASTATUS");
  bad.peer.Send("RSP " + std::to_string(r.seq) + " AreaStatus A");
  EXPECT_EQ(bad.driver.WaitResponse(), "AreaStatus\n" + bad.name() + "\nA");
  Stats s = bad.lib.stats();
  EXPECT_EQ(s.bad_frames, 4u);  // the flood is one over-long frame
  EXPECT_EQ(s.bad_messages, 2u);
  EXPECT_EQ(s.stray_answers, 1u);
}

TEST(LibrarySerialTest, PseudoTerminalLineWithModem) {
  SerialLine s("COM7", FastConfig());
  ASSERT_EQ(s.lib.InitializePanel("serial port - COM7 baud=19200 parity=n data=8 stop=1"), kOk);
  ASSERT_EQ(s.lib.ModemCommand("COM7 1000 ATD,T5551234\r"), kOk);
  ASSERT_EQ(s.driver.Call("GETAREASTATUS", "COM7"), kOk);
  EXPECT_TRUE(s.peer.Heard("ATD,T5551234\r"));
  // While the modem dials, nothing else reaches the line: no request, no PING.
  s.peer.Next(400ms);
  EXPECT_EQ(s.peer.raw.substr(s.peer.raw.find("ATD")), "ATD,T5551234\r");
  s.peer.ForgetPartial();
  s.peer.SendRaw("\r\nCONNECT 19200\r\n" + link::EncodeFrame("PONG 1"));
  EXPECT_EQ(s.driver.WaitResponse(), "COM7\nReestablishedPanel");
  auto req = s.peer.NextOf(Kind::kReq);
  ASSERT_TRUE(req.has_value());
  EXPECT_EQ(req->function, "GETAREASTATUS");
  s.peer.Send("RSP " + std::to_string(req->seq) + " AreaStatus P");
  EXPECT_EQ(s.driver.WaitResponse(), "AreaStatus\nCOM7\nP");
  EXPECT_EQ(s.lib.stats().bad_frames, 0u);
}

// A serial line opens whether or not a panel answers on it, so a silent panel is found by its
// silence: one LostPanel per retry interval, long before the silence limit of a link that was up.
TEST(LibrarySerialTest, SilentLineIsLostAtTheRetryCadence) {
  // Dialled first or not: the modem connects, the panel behind it stays silent.
  for (bool modem : {false, true}) {
    SCOPED_TRACE(modem ? "modem line" : "plain line");
    Config config = FastConfig();
    config.down = 60s;  // a silence limit no case waits for
    SerialLine s("COM6", config);
    ASSERT_EQ(s.lib.InitializePanel("serial port - COM6 baud=9600 parity=n data=8 stop=1"), kOk);
    if (modem) {
      ASSERT_EQ(s.lib.ModemCommand("COM6 1000 ATD,T5551234\r"), kOk);
      ASSERT_TRUE(s.peer.Heard("ATD,T5551234\r"));
      s.peer.ForgetPartial();
      s.peer.SendRaw("\r\nCONNECT 9600\r\n");
    }
    for (int n = 0; n < 3; ++n) EXPECT_EQ(s.driver.WaitResponse(&s.peer), "COM6\nLostPanel") << n;
    // The panel answers again: the line is found at the next attempt, once.
    s.peer.pong = true;
    std::vector<std::string> seen;
    EXPECT_TRUE(WaitUntil([&] {
      s.peer.Next(1ms);
      while (auto r = s.driver.Response()) seen.push_back(*r);
      return !seen.empty() && seen.back() == "COM6\nReestablishedPanel";
    }));
    s.peer.Next(300ms);
    EXPECT_EQ(s.driver.Response(), std::nullopt);
  }
}

// While on, the trace holds every frame; at its size limit the file is moved aside once.
TEST(LibraryTraceTest, TraceRecordsFramesWhileOnAndMovesTheFileAsideAtItsLimit) {
  TraceFolder t;
  Config config = FastConfig();
  config.trace_max_bytes = 2000;
  {
    Connected c(config);
    EXPECT_EQ(c.lib.StartTrace(t.ini().c_str()), kOk);
    c.Ask("SILENCEBELL", "1");  // the first frame after the start is in the file at once
    EXPECT_TRUE(WaitUntil(
        [&] { return t.Read("link.trace").find(" SILENCEBELL 1\n") != std::string::npos; }));
    for (int k = 1; k <= 100; ++k) c.Ask("ARMAREA", std::to_string(k));
    EXPECT_EQ(c.lib.StopTrace(), kOk);
    c.Ask("BYPASSPOINT", "7");
  }
  const std::string now = t.Read("link.trace"), old = t.Read("link.trace.1"), all = old + now;
  const auto req = all.rfind("127.0.0.1 > REQ ");
  ASSERT_NE(req, std::string::npos) << all;
  EXPECT_EQ(all.substr(all.find(' ', req + 16), 13), " ARMAREA 100\n") << all;
  EXPECT_EQ(all.find("BYPASSPOINT"), std::string::npos) << all;
  EXPECT_EQ(all.find("ARMAREA 1\n"), std::string::npos);  // long gone
  EXPECT_LE(now.size(), 2000u);
  EXPECT_LE(old.size(), 2000u);
  EXPECT_GT(old.size(), 1000u);
  EXPECT_NE(now.find("trace off"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(t.dir),
                          std::filesystem::directory_iterator()),
            3);
}

TEST(LibraryCallTest, BadTextsAreRefused) {
  Library lib(FastConfig());
  EXPECT_EQ(lib.InitializePanel("modem 5"), kBadText);
  EXPECT_EQ(lib.InitializePanel(nullptr), kBadText);
  EXPECT_EQ(lib.Request("ARMAREA", "NOSUCH 1"), kUnknownLink);
  EXPECT_EQ(lib.Request("ARMAREA", ""), kUnknownLink);
  EXPECT_EQ(lib.TerminatePanel(""), kUnknownLink);
  EXPECT_EQ(lib.ModemCommand("COM9 1000 ATH\r"), kUnknownLink);
  EXPECT_EQ(lib.StartTrace("/nonexistent/dir/debug.ini"), kBadText);
}

}  // namespace
}  // namespace ordane::panelif
