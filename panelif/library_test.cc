// The library against small in-test panels that speak the link protocol over TCP (and a
// pseudo-terminal for the serial line), with every interval shortened.
#include "panelif/library.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
  bool open() const { return fd_ >= 0; }
  // Forgets a partial line: what a modem takes in as its command never reaches the panel.
  void ForgetPartial() { decoder_.Reset(); }

  void SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          std::this_thread::sleep_for(1ms);
          continue;
        }
        return;
      }
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
        received_.erase(received_.begin());
        if (m.kind == Kind::kPing) {
          if (pong) {
            Message reply{Kind::kPong};
            reply.seq = m.seq;
            Send(link::FormatMessage(reply));
          }
          continue;
        }
        return m;
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
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) continue;
        return std::nullopt;
      }
      raw += std::string(buf, static_cast<std::size_t>(n));
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

  bool pong = true;
  std::string raw;  // every byte received

 private:
  int fd_;
  link::FrameDecoder decoder_;
  std::vector<Message> received_;
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
    if (c < 0) return false;
    peer.Attach(c);
    return true;
  }
  std::string ConnectText() const { return "TCP/IP - " + address_ + " " + std::to_string(port_); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// What the driver sees of the library: its polling calls on blank-filled buffers.
struct Driver {
  explicit Driver(Library& l) : lib(l) {}

  // One GETCOMMANDRESPONSE; nullopt when the buffer came back untouched.
  std::optional<std::string> Response() {
    std::string buf(ORDANE_COMMAND_BUFFER_SIZE, ' ');
    buf.push_back('\0');
    lib.GetCommandResponse(buf.data());
    if (buf.find('\0') == ORDANE_COMMAND_BUFFER_SIZE && buf[0] == ' ') return std::nullopt;
    return std::string(buf.c_str());
  }
  std::optional<std::string> Event() {
    std::string buf(ORDANE_EVENT_BUFFER_SIZE, ' ');
    buf.push_back('\0');
    lib.GetEventResponse(buf.data());
    if (buf.find('\0') == ORDANE_EVENT_BUFFER_SIZE && buf[0] == ' ') return std::nullopt;
    return std::string(buf.c_str());
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
  // Waits for the next command response.
  std::string WaitResponse(std::chrono::milliseconds limit = 5000ms) {
    std::optional<std::string> r;
    WaitUntil([&] { return (r = Response()).has_value(); }, limit);
    return r.value_or("<none>");
  }
  std::string WaitEvent(std::chrono::milliseconds limit = 5000ms) {
    std::optional<std::string> e;
    WaitUntil([&] { return (e = Event()).has_value(); }, limit);
    return e.value_or("<none>");
  }

  Library& lib;
};

// A link brought up: connected, PING answered, ReestablishedPanel taken.
struct Connected {
  explicit Connected(Config config = FastConfig()) : lib(config), driver(lib) {
    EXPECT_EQ(lib.InitializePanel(listener.ConnectText().c_str()), kOk);
    EXPECT_TRUE(listener.Accept(peer));
    Message pong{Kind::kPong};
    pong.seq = 1;
    peer.Send(link::FormatMessage(pong));
    EXPECT_EQ(driver.WaitResponse(), name() + "\nReestablishedPanel");
  }
  std::string name() const { return listener.address(); }
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

std::string Body(Kind kind, std::uint32_t seq, std::string_view text = {}) {
  Message m{kind};
  m.seq = seq;
  m.text = std::string(text);
  return link::FormatMessage(m);
}

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
      {"GETFIRMWAREREVISION",
       "",
       {"RSP % FirmwareVersion 7.06"},
       "FirmwareVersion\n" + n + "\n7.06"},
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
  // The panel keeps answering PINGs while it leaves the request unanswered.
  auto pumped = [&](const std::function<bool()>& done) {
    return WaitUntil([&] {
      c.peer.Next(1ms);
      return done();
    });
  };
  EXPECT_EQ(c.driver.Busy(c.name()), "Not busy");
  c.Ask("ARMAREA", "2");
  EXPECT_TRUE(pumped([&] { return c.driver.Busy(c.name()) == "Busy"; }));
  std::optional<std::string> r;
  EXPECT_TRUE(pumped([&] { return (r = c.driver.Response()).has_value(); }));
  EXPECT_EQ(r, "CommandTimeOut\n" + c.name() + "\nARMAREA");
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
  ASSERT_TRUE(c.listener.Accept(c.peer));
  c.peer.Send(Body(Kind::kPong, 1));
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nReestablishedPanel");

  c.peer.Send(Body(Kind::kItem, req.seq, "Token Table 3: 01"));
  Message end{Kind::kEnd};
  end.seq = req.seq;
  end.type = "ReadTokenTables";
  c.peer.Send(link::FormatMessage(end));
  std::optional<std::string> r;
  EXPECT_TRUE(WaitUntil([&] {
    c.peer.Next(1ms);
    return (r = c.driver.Response()).has_value();
  }));
  EXPECT_EQ(r, "CommandTimeOut\n" + c.name() + "\nREADTOKENTABLES");

  const auto again = c.Ask("READTOKENTABLES");
  c.peer.Send(Body(Kind::kItem, again.seq, "Token Table 0: 02"));
  end.seq = again.seq;
  c.peer.Send(link::FormatMessage(end));
  EXPECT_EQ(c.driver.WaitResponse(), "ReadTokenTables\n" + c.name() + "\nToken Table 0: 02");
}

TEST(LibraryLinkTest, BusyState) {
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
}

TEST(LibraryLinkTest, LinkNamesMatchWithoutRegardToCase) {
  Listener listener;
  Library lib(FastConfig());
  Driver driver(lib);
  std::string text =
      "TCP/IP - localhost " + listener.ConnectText().substr(listener.ConnectText().rfind(' ') + 1);
  ASSERT_EQ(lib.InitializePanel(text.c_str()), kOk);
  EXPECT_EQ(driver.Busy("LOCALHOST"), "Not busy");
  EXPECT_EQ(lib.TerminatePanel("LocalHost"), kOk);
  EXPECT_EQ(driver.Busy("LOCALHOST"), "Unknown panel");
}

TEST(LibraryLinkTest, TerminatedLinksCloseAndStopRetrying) {
  struct Case {
    const char* name;
    std::function<std::int16_t(Connected&)> terminate;
  };
  const std::vector<Case> cases = {
      {"by PortName", [](Connected& c) { return c.lib.TerminatePanel(c.name().c_str()); }},
      {"by connection text",
       [](Connected& c) { return c.lib.TerminatePanel(c.listener.ConnectText().c_str()); }},
      {"all", [](Connected& c) { return c.lib.TerminateAll(); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Connected c;
    EXPECT_EQ(k.terminate(c), kOk);
    EXPECT_EQ(c.driver.Busy(c.name()), "Unknown panel");
    // The panel sees the connection end, and nobody comes back.
    EXPECT_EQ(c.peer.Next(), std::nullopt);
    EXPECT_FALSE(c.listener.Accept(c.peer, 500ms));
    EXPECT_EQ(c.driver.Response(), std::nullopt);
    EXPECT_EQ(c.driver.Call("ARMAREA", c.name() + " 1"), kUnknownLink);
  }
}

TEST(LibraryEventTest, AcknowledgedOnlyAfterTheNextCall) {
  Connected c;
  c.peer.Send(Body(Kind::kEvt, 1, "12/05/2026 10:00:00 x 07 01 11 22"));
  EXPECT_EQ(c.driver.WaitEvent(), c.name() + "-12/05/2026 10:00:00 x 07 01 11 22");
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck, 300ms), std::nullopt);
  EXPECT_EQ(c.driver.Event(), std::nullopt);  // nothing new, but the last one is now taken
  auto ack = c.peer.NextOf(Kind::kEvAck);
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(ack->seq, 1u);
}

TEST(LibraryEventTest, DuplicatesAreDropped) {
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
}

TEST(LibraryEventTest, MemoryOutlivesReconnect) {
  Connected c;
  c.peer.Send(Body(Kind::kEvt, 9, "x"));
  EXPECT_EQ(c.driver.WaitEvent(), c.name() + "-x");
  EXPECT_EQ(c.driver.Event(), std::nullopt);
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 9u);
  c.peer.Close();
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nLostPanel");
  ASSERT_TRUE(c.listener.Accept(c.peer));
  c.peer.Send(Body(Kind::kEvt, 9, "x"));
  EXPECT_EQ(c.peer.NextOf(Kind::kEvAck)->seq, 9u);
  EXPECT_EQ(c.driver.Event(), std::nullopt);
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
  ASSERT_TRUE(c.listener.Accept(c.peer));
  c.peer.Send(Body(Kind::kPong, 1));
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nReestablishedPanel");
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
  ASSERT_TRUE(c.listener.Accept(c.peer));
  c.peer.Send(Body(Kind::kPong, 1));
  EXPECT_EQ(c.driver.WaitResponse(), c.name() + "\nReestablishedPanel");
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
  // A table answer longer than the command buffer is cut at the buffer, never past it.
  Message req = c.Ask("READUSERNAMES");
  for (int k = 0; k < 250; ++k) {
    c.peer.Send("ITEM " + std::to_string(req.seq) + " ~User Name " + std::to_string(k) + ": " +
                std::string(150, 'n'));
  }
  c.peer.Send("END " + std::to_string(req.seq) + " ReadUserNames");
  std::string buf(ORDANE_COMMAND_BUFFER_SIZE, ' ');
  buf += "GUARD";
  ASSERT_TRUE(WaitUntil([&] {
    c.lib.GetCommandResponse(buf.data());
    return buf[0] != ' ';
  }));
  EXPECT_EQ(std::strlen(buf.c_str()), ORDANE_COMMAND_BUFFER_SIZE - 1);
  EXPECT_EQ(buf.substr(ORDANE_COMMAND_BUFFER_SIZE), "GUARD");
  EXPECT_EQ(buf.rfind("ReadUserNames\n", 0), 0u);
  // An event line longer than the event buffer likewise.
  c.peer.Send(Body(Kind::kEvt, 3, std::string(2000, 'e')));
  std::string ev(ORDANE_EVENT_BUFFER_SIZE, ' ');
  ev += "GUARD";
  ASSERT_TRUE(WaitUntil([&] {
    c.lib.GetEventResponse(ev.data());
    return ev[0] != ' ';
  }));
  EXPECT_EQ(std::strlen(ev.c_str()), ORDANE_EVENT_BUFFER_SIZE - 1);
  EXPECT_EQ(ev.substr(ORDANE_EVENT_BUFFER_SIZE), "GUARD");
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
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::setenv("PANELIF_PORTMAP", (std::string("COM7=") + name).c_str(), 1);
  Library lib(FastConfig());
  Driver driver(lib);
  Peer peer(master);
  ASSERT_EQ(lib.InitializePanel("serial port - COM7 baud=19200 parity=n data=8 stop=1"), kOk);
  peer.pong = false;
  ASSERT_EQ(lib.ModemCommand("COM7 1000 ATD,T5551234\r"), kOk);
  ASSERT_EQ(driver.Call("GETAREASTATUS", "COM7"), kOk);
  EXPECT_TRUE(WaitUntil([&] {
    peer.Next(10ms);
    return peer.raw.find("ATD,T5551234\r") != std::string::npos;
  }));
  // While the modem dials, nothing else reaches the line: no request, no PING.
  peer.Next(400ms);
  EXPECT_EQ(peer.raw.substr(peer.raw.find("ATD")), "ATD,T5551234\r");
  peer.ForgetPartial();
  peer.SendRaw("\r\nCONNECT 19200\r\n" + link::EncodeFrame("PONG 1"));
  EXPECT_EQ(driver.WaitResponse(), "COM7\nReestablishedPanel");
  auto req = peer.NextOf(Kind::kReq);
  ASSERT_TRUE(req.has_value());
  EXPECT_EQ(req->function, "GETAREASTATUS");
  peer.Send("RSP " + std::to_string(req->seq) + " AreaStatus P");
  EXPECT_EQ(driver.WaitResponse(), "AreaStatus\nCOM7\nP");
  EXPECT_EQ(lib.stats().bad_frames, 0u);
  lib.TerminateAll();
  ::close(slave);
  ::unsetenv("PANELIF_PORTMAP");
}

// A serial line opens whether or not a panel answers on it, so a silent panel is found by its
// silence: one LostPanel per retry interval, long before the silence limit of a link that was up.
TEST(LibrarySerialTest, SilentLineIsLostAtTheRetryCadence) {
  struct Case {
    const char* name;
    bool modem;  // dialled first: the modem connects, the panel behind it stays silent
  };
  for (const Case& k : {Case{"plain line", false}, Case{"modem line", true}}) {
    SCOPED_TRACE(k.name);
    int master = -1, slave = -1;
    char path[256];
    ASSERT_EQ(::openpty(&master, &slave, path, nullptr, nullptr), 0);
    ::setenv("PANELIF_PORTMAP", (std::string("COM6=") + path).c_str(), 1);
    Config config = FastConfig();
    config.down = 60s;  // a silence limit no case waits for
    Library lib(config);
    Driver driver(lib);
    Peer peer(master);
    peer.pong = false;
    ASSERT_EQ(lib.InitializePanel("serial port - COM6 baud=9600 parity=n data=8 stop=1"), kOk);
    if (k.modem) {
      ASSERT_EQ(lib.ModemCommand("COM6 1000 ATD,T5551234\r"), kOk);
      ASSERT_TRUE(WaitUntil([&] {
        peer.Next(10ms);
        return peer.raw.find("ATD,T5551234\r") != std::string::npos;
      }));
      peer.ForgetPartial();
      peer.SendRaw("\r\nCONNECT 9600\r\n");
    }
    for (int n = 0; n < 3; ++n) {
      std::optional<std::string> r;
      EXPECT_TRUE(WaitUntil([&] {
        peer.Next(1ms);
        return (r = driver.Response()).has_value();
      }));
      EXPECT_EQ(r, "COM6\nLostPanel") << n;
    }
    // The panel answers again: the line is found at the next attempt, once.
    peer.pong = true;
    std::vector<std::string> seen;
    EXPECT_TRUE(WaitUntil([&] {
      peer.Next(1ms);
      while (auto r = driver.Response()) seen.push_back(*r);
      return !seen.empty() && seen.back() == "COM6\nReestablishedPanel";
    }));
    peer.Next(300ms);
    EXPECT_EQ(driver.Response(), std::nullopt);
    lib.TerminateAll();
    ::close(slave);
    ::unsetenv("PANELIF_PORTMAP");
  }
}

TEST(LibraryTraceTest, TraceRecordsFramesWhileOn) {
  char dir_template[] = "/tmp/panelif_trace_XXXXXX";
  std::string dir = ::mkdtemp(dir_template);
  {
    std::ofstream ini(dir + "/debug.ini");
    ini << "[Trace]\nFile=link.trace\n";
  }
  {
    Connected c;
    EXPECT_EQ(c.lib.StartTrace((dir + "/debug.ini").c_str()), kOk);
    c.Ask("SILENCEBELL", "1");
    EXPECT_EQ(c.lib.StopTrace(), kOk);
    c.Ask("ARMAREA", "3");
  }
  std::ifstream in(dir + "/link.trace");
  std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto req = trace.find("127.0.0.1 > REQ ");
  ASSERT_NE(req, std::string::npos) << trace;
  EXPECT_EQ(trace.substr(trace.find(' ', req + 16), 15), " SILENCEBELL 1\n") << trace;
  EXPECT_EQ(trace.find("ARMAREA"), std::string::npos) << trace;
  std::filesystem::remove_all(dir);
}

TEST(LibraryTraceTest, TraceFileIsMovedAsideAtItsLimit) {
  namespace fs = std::filesystem;
  const fs::path dir = ::testing::TempDir() + "panelif_rotate_" + std::to_string(::getpid());
  fs::create_directories(dir);
  {
    std::ofstream ini(dir / "debug.ini");
    ini << "[Trace]\nFile=link.trace\n";
  }
  Config config = FastConfig();
  config.trace_max_bytes = 2000;
  {
    Connected c(config);
    EXPECT_EQ(c.lib.StartTrace((dir / "debug.ini").c_str()), kOk);
    for (int k = 1; k <= 100; ++k) c.Ask("ARMAREA", std::to_string(k));
    c.lib.StopTrace();
  }
  auto read = [](const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string now = read(dir / "link.trace"), old = read(dir / "link.trace.1");
  EXPECT_LE(now.size(), 2000u);
  EXPECT_LE(old.size(), 2000u);
  EXPECT_GT(old.size(), 1000u);
  EXPECT_NE(now.find("trace off"), std::string::npos);
  EXPECT_EQ((old + now).find("ARMAREA 1\n"), std::string::npos);  // long gone
  EXPECT_NE((old + now).find("ARMAREA 100\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
  fs::remove_all(dir);
}

TEST(LibraryCallTest, BadTextsAreRefused) {
  Library lib(FastConfig());
  struct Case {
    std::function<std::int16_t()> call;
    std::int16_t want;
  };
  const std::vector<Case> cases = {
      {[&] { return lib.InitializePanel("modem 5"); }, kBadText},
      {[&] { return lib.InitializePanel("TCP/IP - host"); }, kBadText},
      {[&] { return lib.InitializePanel("TCP/IP - host 70000"); }, kBadText},
      {[&] { return lib.InitializePanel(nullptr); }, kBadText},
      {[&] { return lib.Request("ARMAREA", "NOSUCH 1"); }, kUnknownLink},
      {[&] { return lib.Request("ARMAREA", ""); }, kUnknownLink},
      {[&] { return lib.TerminatePanel(""); }, kUnknownLink},
      {[&] { return lib.ModemCommand("COM9 1000 ATH\r"); }, kUnknownLink},
      {[&] { return lib.StartTrace("/nonexistent/dir/debug.ini"); }, kBadText},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_EQ(cases[k].call(), cases[k].want) << "case " << k;
  }
}

}  // namespace
}  // namespace ordane::panelif
