#include "panelif/library.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "panelif/exports.h"
#include "panelif/protocol.h"
#include "panelif/trace.h"
#include "util/text.h"
#include "util/values.h"

#ifndef ORDANE_PANELIF_VERSION
#define ORDANE_PANELIF_VERSION "1.0.0"
#endif

namespace ordane::panelif {

std::string_view LibraryVersion() { return ORDANE_PANELIF_VERSION; }

namespace {

using Clock = std::chrono::steady_clock;
using link::Kind;
using link::Message;

// Events the library remembers per panel to know a resend, and the most events of one panel it
// keeps waiting for the driver. A panel sends at most 16 ahead; a restarted one may add its new
// 16 to the old ones still waiting, so 64 are never reached by a panel that keeps the window.
constexpr std::size_t kEventMemory = 64;
constexpr std::size_t kMaxQueuedEventsPerLink = 64;
// The most a table answer may gather: more than the driver's buffer holds, so that a long answer
// is cut (and traced) where the buffer ends, but bounded against a panel that never stops.
constexpr std::size_t kMaxTableText = 2 * ORDANE_COMMAND_BUFFER_SIZE;
// Output a panel has not taken yet beyond which the link is considered dead.
constexpr std::size_t kMaxPendingOutput = 1 << 20;

std::int64_t MillisOf(Clock::time_point t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// Writes `answer` NUL-terminated at the start of `buffer`, within `capacity` bytes (the NUL
// included). Returns false when the answer had to be cut.
bool WriteAnswer(char* buffer, std::size_t capacity, std::string_view answer) {
  if (capacity == 0) return answer.empty();
  std::size_t n = std::min(answer.size(), capacity - 1);
  std::memcpy(buffer, answer.data(), n);
  buffer[n] = '\0';
  return n == answer.size();
}

// Splits "PortName args": the name up to the first blank, the arguments after that blank.
void SplitCommand(std::string_view text, std::string_view* name, std::string_view* args) {
  auto blank = text.find(' ');
  *name = text.substr(0, blank);
  *args = blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
}

// One event as the panel named it. A resend repeats both; a panel that restarted reuses the
// numbers with other texts (another date and time), so the number alone names nothing.
struct EventId {
  std::uint32_t evseq;
  std::string text;
  bool operator==(const EventId&) const = default;
};

// What the library remembers of one panel's events; guarded by Shared::mu.
struct EventMemory {
  std::deque<EventId> handed;  // the last kEventMemory events handed to the driver
  std::deque<EventId> queued;  // events waiting in the event queue
};

struct QueuedEvent {
  std::string key;  // upper-cased link name
  EventId id;
  std::string line;              // PortName "-" TEXT
  std::uint64_t connection = 0;  // the connection that carried it
};

// The acknowledgement of the event the driver took last. It goes out only on the connection
// that carried that event: "EVACK n" takes n and everything before it, so on a later connection
// to a panel that restarted meanwhile it would take the panel's new events 1 to n, most of them
// never sent. A panel that was not restarted sends the event again, and a resend is acknowledged
// on the connection it came by.
struct PendingAck {
  std::string key;
  std::uint32_t evseq;
  std::uint64_t connection;
};

enum class EventAction { kQueued, kDropped, kAckAgain, kOverflow };

// The state the I/O thread and the driver's calls share.
struct Shared {
  explicit Shared(Config c) : config(c), trace(c.trace_max_bytes) {}

  Config config;
  Trace trace;

  std::atomic<std::uint64_t> connections{0};  // numbers every connection of every link

  std::mutex mu;  // guards the queues, the event memory and the pending acknowledgement
  std::deque<std::string> responses;
  std::deque<QueuedEvent> events;
  std::map<std::string, EventMemory> memory;
  std::optional<PendingAck> pending;

  std::atomic<std::uint64_t> bad_frames{0};
  std::atomic<std::uint64_t> bad_messages{0};
  std::atomic<std::uint64_t> stray_answers{0};
  std::atomic<std::uint64_t> duplicate_events{0};
  std::atomic<std::uint64_t> overflow_drops{0};

  void PushResponse(std::string response) {
    std::lock_guard lock(mu);
    responses.push_back(std::move(response));
  }

  // Takes an EVT in. A resend (the EVSEQ and text of an event seen before) is dropped when it
  // waits already or has just been handed over (its acknowledgement goes out with the driver's
  // next call), and acknowledged again when the driver took it earlier. Anything else is new
  // and queued, unless the queue is full: then nothing is taken and the caller closes the link,
  // since a dropped event would be acknowledged by the EVACK of any later one.
  EventAction OnEvent(const std::string& key, const std::string& name, std::uint32_t evseq,
                      std::string_view text, std::uint64_t connection) {
    std::lock_guard lock(mu);
    EventMemory& m = memory[key];
    EventId id{evseq, std::string(text)};
    if (std::find(m.queued.begin(), m.queued.end(), id) != m.queued.end()) {
      ++duplicate_events;
      for (QueuedEvent& e : events) {
        if (e.key == key && e.id == id) e.connection = connection;  // resent by this connection
      }
      return EventAction::kDropped;
    }
    if (auto it = std::find(m.handed.begin(), m.handed.end(), id); it != m.handed.end()) {
      ++duplicate_events;
      // The pending acknowledgement is always for the last event handed over.
      bool awaiting_ack = pending && pending->key == key && std::next(it) == m.handed.end();
      if (!awaiting_ack) return EventAction::kAckAgain;
      pending->connection = connection;  // the panel holds it still: acknowledge it here
      return EventAction::kDropped;
    }
    if (m.queued.size() >= kMaxQueuedEventsPerLink) {
      ++overflow_drops;
      return EventAction::kOverflow;
    }
    m.queued.push_back(id);
    std::string line = name;
    line += '-';
    line += text;
    events.push_back({key, std::move(id), std::move(line), connection});
    return EventAction::kQueued;
  }
};

// One request on its way to the panel or waiting for its answer.
struct Outstanding {
  std::uint32_t seq = 0;
  std::string function;
  std::string args;
  Clock::time_point called;
  bool sent = false;
  std::uint64_t connection = 0;  // the connection that carried it; only its answer counts
  std::string items;  // table answer gathered so far
  bool any_item = false;
  bool cut = false;
};

// One link to one panel. Everything but the busy atomics runs on the I/O thread only.
class Link : public std::enable_shared_from_this<Link> {
 public:
  Link(asio::io_context& io, Shared& shared, ConnectTarget target)
      : io_(io),
        shared_(shared),
        target_(std::move(target)),
        socket_(io),
        serial_(io),
        resolver_(io) {}

  const std::string& name() const { return target_.name; }
  std::string key() const { return UCase(target_.name); }

  // True while the panel has said BUSY 1 or a request has waited longer than the busy age.
  bool Busy(Clock::time_point now) const {
    if (panel_busy_.load()) return true;
    std::int64_t oldest = oldest_request_ms_.load();
    return oldest != 0 && MillisOf(now) - oldest > shared_.config.busy.count();
  }

  void Start() {
    stopped_ = false;
    Connect();
  }

  void Restart(ConnectTarget target) {
    Close();
    target_ = std::move(target);
    stopped_ = false;
    Connect();
  }

  void Stop() {
    Close();
    stopped_ = true;
    state_ = State::kStopped;
    panel_busy_ = false;
    Note("link closed");
  }

  void Tick(Clock::time_point now) {
    const Config& c = shared_.config;
    switch (state_) {
      case State::kConnecting:
        // The attempt itself took a retry interval: the next one follows at once.
        if (now >= deadline_) GoDown("connection attempt timed out", Millis(0));
        break;
      case State::kDown:
        if (now >= deadline_) Connect();
        break;
      case State::kOpen:
        // Open but not yet heard from. A serial line opens whether or not a panel is on it,
        // so hearing a frame is the check: a line that stays silent for the retry interval is
        // one failed check, one LostPanel and a new attempt at once, at the cadence of a TCP
        // panel that refuses connections. A modem's answer is waited for separately.
        if (modem_) {
          if (now >= modem_until_) EndModem("modem gave no final answer in time");
        } else if (now >= deadline_) {
          GoDown("nothing received within " + std::to_string(c.retry.count()) + " ms of opening",
                 Millis(0));
        } else if (now - std::max(last_rx_, last_ping_) >= c.ping) {
          SendPing(now);
        }
        break;
      case State::kUp:
        if (now - last_rx_ >= c.down) {
          // The silence was a long failed check of its own: the next attempt starts at once,
          // so that a silent serial line's next LostPanel follows one retry interval later.
          GoDown("nothing received for " + std::to_string(c.down.count()) + " ms", Millis(0));
        } else if (!modem_ && now - std::max(last_rx_, last_ping_) >= c.ping) {
          SendPing(now);
        }
        if (modem_ && now >= modem_until_) EndModem("modem gave no final answer in time");
        break;
      case State::kStopped:
        break;
    }
    ExpireRequests(now);
  }

  void SendRequest(std::string function, std::string args, Clock::time_point called) {
    Outstanding r;
    next_seq_ = link::NextSeq(next_seq_);
    r.seq = next_seq_;
    r.function = std::move(function);
    r.args = std::move(args);
    r.called = called;
    outstanding_.push_back(std::move(r));
    if (state_ == State::kOpen || state_ == State::kUp) SendOutstanding();
    UpdateOldest();
  }

  // Acknowledges an event taken from `connection`: on any other (the panel may have restarted
  // since) the acknowledgement is left out, and the panel's resend is acknowledged instead.
  void SendEvAck(std::uint32_t evseq, std::uint64_t connection) {
    if (state_ != State::kOpen && state_ != State::kUp) return;
    if (connection != connection_) {
      Note("acknowledgement of event " + std::to_string(evseq) +
           " left out: it came by an earlier connection");
      return;
    }
    Message m{Kind::kEvAck};
    m.seq = evseq;
    SendFrame(link::FormatMessage(m));
  }

  // Writes `raw` to a serial line unframed and watches for the modem's answer for `wait`.
  // Frames wait meanwhile: a byte sent to a dialling modem would abort the call. A dial gets at
  // least the silence limit to connect, as no modem connects within the second the caller gives.
  void Modem(std::string raw, Millis wait) {
    if (!target_.serial || !serial_.is_open()) {
      Note("modem command for a line that is not an open serial line: " + Printable(raw));
      return;
    }
    shared_.trace.Line(target_.name, "> modem", Printable(raw));
    bool dial = raw.size() >= 3 && EqualsNoCase(std::string_view(raw).substr(0, 3), "ATD");
    modem_ = true;
    modem_text_.clear();
    last_rx_ = Clock::now();
    modem_until_ = last_rx_ + (dial ? std::max(wait, shared_.config.down) : wait);
    Write(std::move(raw));
  }

 private:
  enum class State { kStopped, kConnecting, kOpen, kUp, kDown };

  void Note(std::string_view text) { shared_.trace.Line(target_.name, "!", text); }

  static std::string Printable(std::string_view raw) {
    std::string out;
    for (unsigned char c : raw) {
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%02X>", c);
        out += hex;
      }
    }
    return out;
  }

  void Close() {
    ++generation_;
    connection_ = 0;
    // A table answer cut by the close is never completed: the panel starts afresh on the next
    // connection, so the items gathered so far are dropped and the request waits for its timeout.
    for (auto& r : outstanding_) {
      if (!r.sent) continue;
      if (r.any_item) Note("request " + std::to_string(r.seq) + " " + r.function +
                           ": link closed in the middle of its table answer; items dropped");
      r.items.clear();
      r.any_item = false;
    }
    std::error_code ignored;
    resolver_.cancel();
    if (socket_.is_open()) {
      socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
      socket_.close(ignored);
    }
    if (serial_.is_open()) serial_.close(ignored);
    writing_ = false;
    out_queue_.clear();
    held_.clear();
    decoder_.Reset();
    modem_ = false;
  }

  // The modem has answered (or will not): frames flow again, those held first. A line not yet
  // heard from starts its check afresh, with a PING the panel behind a new call can answer.
  void EndModem(std::string_view why) {
    modem_ = false;
    Note(why);
    if (!held_.empty()) {
      std::string held;
      held.swap(held_);
      Write(std::move(held));
    }
    if (state_ == State::kOpen) {
      auto now = Clock::now();
      deadline_ = now + std::max<Millis>(shared_.config.retry, Millis(250));
      SendPing(now);
    }
  }

  void Connect() {
    Close();
    state_ = State::kConnecting;
    deadline_ = Clock::now() + std::max<Millis>(shared_.config.retry, Millis(250));
    std::uint64_t gen = generation_;
    auto self = shared_from_this();
    if (target_.serial) {
      std::string path = SerialDevicePath(target_.name);
      std::error_code ec;
      if (path.empty()) {
        GoDown("no device for serial port " + target_.name);
        return;
      }
      serial_.open(path, ec);
      if (!ec) serial_.set_option(asio::serial_port::baud_rate(target_.baud), ec);
      if (!ec) serial_.set_option(asio::serial_port::character_size(8), ec);
      if (!ec) serial_.set_option(asio::serial_port::parity(asio::serial_port::parity::none), ec);
      if (!ec) {
        serial_.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), ec);
      }
      if (!ec) {
        serial_.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none),
                           ec);
      }
      if (ec) {
        GoDown("cannot open " + path + ": " + ec.message());
        return;
      }
      Note("opened " + path);
      Opened();
      return;
    }
    std::error_code ec;
    asio::ip::address address = asio::ip::make_address(target_.host, ec);
    if (!ec) {
      socket_.async_connect({address, target_.port},
                            [self, gen](std::error_code e) { self->Connected(gen, e); });
      return;
    }
    resolver_.async_resolve(
        target_.host, std::to_string(target_.port),
        [self, gen](std::error_code e, asio::ip::tcp::resolver::results_type results) {
          if (gen != self->generation_) return;
          if (e) {
            self->GoDown("cannot resolve " + self->target_.host + ": " + e.message());
            return;
          }
          asio::async_connect(self->socket_, results,
                              [self, gen](std::error_code e2, const asio::ip::tcp::endpoint&) {
                                self->Connected(gen, e2);
                              });
        });
  }

  void Connected(std::uint64_t gen, std::error_code ec) {
    if (gen != generation_) return;
    if (ec) {
      GoDown("cannot connect to " + target_.host + " " + std::to_string(target_.port) + ": " +
             ec.message());
      return;
    }
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    Note("connected to " + target_.host + " " + std::to_string(target_.port));
    Opened();
  }

  // The line is open: ask the panel for a first frame and send what waited.
  void Opened() {
    state_ = State::kOpen;
    connection_ = ++shared_.connections;
    last_rx_ = Clock::now();
    SendPing(last_rx_);
    SendOutstanding();
    Read();
  }

  // Closes the line, queues one LostPanel and schedules the next attempt after `wait` (the
  // retry interval unless given).
  void GoDown(const std::string& why, std::optional<Millis> wait = std::nullopt) {
    if (stopped_) return;
    Close();
    state_ = State::kDown;
    panel_busy_ = false;
    deadline_ = Clock::now() + wait.value_or(shared_.config.retry);
    Note("link down: " + why);
    shared_.PushResponse(target_.name + "\nLostPanel");
  }

  void Read() {
    std::uint64_t gen = generation_;
    auto self = shared_from_this();
    auto handler = [self, gen](std::error_code ec, std::size_t n) {
      if (gen != self->generation_) return;
      if (ec) {
        self->GoDown(ec == asio::error::eof ? "closed by the panel" : "read: " + ec.message());
        return;
      }
      self->Received(std::string_view(self->in_.data(), n));
      if (gen == self->generation_) self->Read();
    };
    if (target_.serial) {
      serial_.async_read_some(asio::buffer(in_), handler);
    } else {
      socket_.async_read_some(asio::buffer(in_), handler);
    }
  }

  void Received(std::string_view bytes) {
    if (modem_) bytes = ModemAnswer(bytes);
    std::uint64_t before = decoder_.dropped();
    std::uint64_t gen = generation_;
    decoder_.Feed(bytes, [this, gen](std::string_view body) {
      if (gen == generation_) Frame(body);
    });
    if (std::uint64_t bad = decoder_.dropped() - before; bad > 0) {
      shared_.bad_frames += bad;
      Note("dropped " + std::to_string(bad) + " bad frame(s)");
    }
  }

  // Gathers the modem's answer; returns the bytes that follow its final answer (framing starts
  // after "CONNECT"), or nothing while the modem has not finished.
  std::string_view ModemAnswer(std::string_view bytes) {
    static constexpr std::string_view kFinal[] = {"CONNECT", "NO CARRIER",  "OK",       "ERROR",
                                                  "BUSY",    "NO DIALTONE", "NO ANSWER"};
    std::size_t before = modem_text_.size();
    modem_text_.append(bytes.substr(0, 1024 - std::min<std::size_t>(1024, modem_text_.size())));
    for (std::string_view final_answer : kFinal) {
      auto at = modem_text_.find(final_answer);
      if (at == std::string::npos) continue;
      auto line_end = modem_text_.find('\n', at);
      if (line_end == std::string::npos) return {};  // wait for the rest of the answer line
      shared_.trace.Line(target_.name, "< modem", Printable(modem_text_.substr(0, line_end)));
      std::size_t used = line_end + 1 > before ? line_end + 1 - before : 0;
      modem_text_.clear();
      EndModem("modem answered " + std::string(final_answer));
      return used < bytes.size() ? bytes.substr(used) : std::string_view{};
    }
    last_rx_ = Clock::now();
    return {};
  }

  void Frame(std::string_view body) {
    shared_.trace.Line(target_.name, "<", body);
    last_rx_ = Clock::now();
    if (state_ == State::kOpen) {
      state_ = State::kUp;
      Note("link up");
      shared_.PushResponse(target_.name + "\nReestablishedPanel");
    }
    std::optional<Message> m = link::ParseMessage(body);
    if (!m) {
      ++shared_.bad_messages;
      Note("not a message");
      return;
    }
    switch (m->kind) {
      case Kind::kPong:
        return;
      case Kind::kBusy:
        panel_busy_ = m->seq == 1;
        return;
      case Kind::kEvt:
        Event(*m);
        return;
      case Kind::kOk:
      case Kind::kNak:
      case Kind::kRsp:
      case Kind::kItem:
      case Kind::kEnd:
        Answer(*m);
        return;
      case Kind::kReq:
      case Kind::kEvAck:
      case Kind::kPing:
        ++shared_.bad_messages;
        Note("a message only the library sends");
        return;
    }
  }

  void Event(const Message& m) {
    switch (shared_.OnEvent(key(), target_.name, m.seq, m.text, connection_)) {
      case EventAction::kQueued:
        return;
      case EventAction::kDropped:
        Note("event " + std::to_string(m.seq) + " waits already; dropped");
        return;
      case EventAction::kAckAgain:
        Note("event " + std::to_string(m.seq) + " was taken before; acknowledged again");
        SendEvAck(m.seq, connection_);
        return;
      case EventAction::kOverflow:
        // The panel sends far beyond its window. Closing the link leaves this event and those
        // after it unacknowledged, so the panel sends them again, in order, once the driver
        // has caught up; no LostPanel, as the panel is not lost.
        Close();
        state_ = State::kDown;
        panel_busy_ = false;
        deadline_ = Clock::now() + shared_.config.retry;
        Note("event " + std::to_string(m.seq) +
             " finds the event queue full: link closed so that the panel sends again");
        return;
    }
  }

  void Answer(const Message& m) {
    auto it = std::find_if(outstanding_.begin(), outstanding_.end(), [&](const Outstanding& r) {
      return r.sent && r.seq == m.seq && r.connection == connection_;
    });
    if (it == outstanding_.end()) {
      ++shared_.stray_answers;
      Note("answer to no request waiting: dropped");
      return;
    }
    switch (m.kind) {
      case Kind::kItem:
        if (it->items.size() + m.text.size() + 1 > kMaxTableText) {
          if (!it->cut) Note("table answer too long: further items dropped");
          it->cut = true;
          ++shared_.overflow_drops;
          return;
        }
        if (it->any_item) it->items += ' ';
        it->items += m.text;
        it->any_item = true;
        return;  // the request stays open until its END
      case Kind::kEnd:
        shared_.PushResponse(m.type + "\n" + target_.name + "\n" + it->items);
        break;
      case Kind::kRsp: {
        std::string response = m.type + "\n" + target_.name + "\n" + m.text;
        if (m.has_extra) response += "\n" + m.extra;
        shared_.PushResponse(std::move(response));
        break;
      }
      case Kind::kNak:
        Note("request " + std::to_string(m.seq) + " " + it->function + " refused: " + m.text);
        break;
      default:
        break;
    }
    outstanding_.erase(it);
    UpdateOldest();
  }

  void ExpireRequests(Clock::time_point now) {
    bool changed = false;
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
      bool table = it->function.rfind("READ", 0) == 0;
      Millis limit = table ? shared_.config.table : shared_.config.request;
      if (now - it->called >= limit) {
        Note("request " + std::to_string(it->seq) + " " + it->function + " got no answer");
        shared_.PushResponse("CommandTimeOut\n" + target_.name + "\n" + it->function);
        it = outstanding_.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    if (changed) UpdateOldest();
  }

  void UpdateOldest() {
    std::int64_t oldest = 0;
    for (const auto& r : outstanding_) {
      std::int64_t t = std::max<std::int64_t>(MillisOf(r.called), 1);
      if (oldest == 0 || t < oldest) oldest = t;
    }
    oldest_request_ms_ = oldest;
  }

  void SendOutstanding() {
    for (auto& r : outstanding_) {
      if (r.sent) continue;
      Message m{Kind::kReq};
      m.seq = r.seq;
      m.function = r.function;
      m.text = r.args;
      SendFrame(link::FormatMessage(m));
      r.sent = true;
      r.connection = connection_;
    }
  }

  // PINGs take their SEQ from the request counter, so that no two messages on a link that wait
  // for an answer carry the same number.
  void SendPing(Clock::time_point now) {
    next_seq_ = link::NextSeq(next_seq_);
    last_ping_ = now;
    Message m{Kind::kPing};
    m.seq = next_seq_;
    SendFrame(link::FormatMessage(m));
  }

  void SendFrame(const std::string& body) {
    shared_.trace.Line(target_.name, ">", body);
    if (modem_) {
      held_ += link::EncodeFrame(body);
      return;
    }
    Write(link::EncodeFrame(body));
  }

  void Write(std::string bytes) {
    if (out_queue_.size() + bytes.size() > kMaxPendingOutput) {
      GoDown("the panel takes nothing in");
      return;
    }
    out_queue_ += bytes;
    if (!writing_) WriteNext();
  }

  void WriteNext() {
    if (out_queue_.empty()) {
      writing_ = false;
      return;
    }
    writing_ = true;
    out_buffer_.swap(out_queue_);
    out_queue_.clear();
    std::uint64_t gen = generation_;
    auto self = shared_from_this();
    auto handler = [self, gen](std::error_code ec, std::size_t) {
      if (gen != self->generation_) return;
      if (ec) {
        self->GoDown("write: " + ec.message());
        return;
      }
      self->WriteNext();
    };
    if (target_.serial) {
      asio::async_write(serial_, asio::buffer(out_buffer_), handler);
    } else {
      asio::async_write(socket_, asio::buffer(out_buffer_), handler);
    }
  }

  asio::io_context& io_;
  Shared& shared_;
  ConnectTarget target_;
  asio::ip::tcp::socket socket_;
  asio::serial_port serial_;
  asio::ip::tcp::resolver resolver_;

  State state_ = State::kStopped;
  bool stopped_ = true;
  std::uint64_t generation_ = 0;  // bumped on every close; stale completions check it
  std::uint64_t connection_ = 0;  // the open connection's number, 0 while none is open
  // While connecting or open: the end of this check (connected and a first frame received);
  // while down: the next attempt.
  Clock::time_point deadline_{};
  Clock::time_point last_rx_{};
  Clock::time_point last_ping_{};
  std::uint32_t next_seq_ = 0;

  link::FrameDecoder decoder_;
  std::array<char, 4096> in_{};
  std::string out_queue_;
  std::string out_buffer_;
  bool writing_ = false;

  bool modem_ = false;      // a modem command waits for its answer
  std::string modem_text_;  // the modem's answer so far
  std::string held_;        // frames held while the modem answers
  Clock::time_point modem_until_{};

  std::deque<Outstanding> outstanding_;

 public:
  std::atomic<bool> panel_busy_{false};
  std::atomic<std::int64_t> oldest_request_ms_{0};
};

}  // namespace

struct Library::Impl {
  explicit Impl(Config config) : shared(config), work(asio::make_work_guard(io)), tick_timer(io) {
    auto smallest = std::min(
        {config.ping, config.down, config.retry, config.request, config.table, config.busy});
    tick = std::clamp<Millis>(smallest / 10, Millis(5), Millis(100));
    asio::post(io, [this] { Tick(); });
    thread = std::thread([this] { io.run(); });
  }

  // Closes every link on the I/O thread and lets it run out of work, so that no completion is
  // left to run after the links are gone.
  ~Impl() {
    asio::post(io, [this] {
      stopping = true;
      for (auto& l : active) l->Stop();
      active.clear();
      tick_timer.cancel();
    });
    work.reset();
    if (thread.joinable()) thread.join();
  }

  void Tick() {
    if (stopping) return;
    auto now = Clock::now();
    for (auto& l : active) l->Tick(now);
    tick_timer.expires_after(tick);
    tick_timer.async_wait([this](std::error_code ec) {
      if (!ec) Tick();
    });
  }

  std::shared_ptr<Link> Find(std::string_view name) {
    std::lock_guard lock(links_mu);
    auto it = links.find(UCase(name));
    return it == links.end() ? nullptr : it->second;
  }

  // Hands the link over to the I/O thread's list, or takes it off.
  void Activate(std::shared_ptr<Link> l, std::optional<ConnectTarget> restart) {
    asio::post(io, [this, l, restart]() mutable {
      if (std::find(active.begin(), active.end(), l) == active.end()) active.push_back(l);
      if (restart) {
        l->Restart(*restart);
      } else {
        l->Start();
      }
    });
  }

  void Deactivate(std::shared_ptr<Link> l) {
    asio::post(io, [this, l] {
      l->Stop();
      active.erase(std::remove(active.begin(), active.end(), l), active.end());
    });
  }

  Shared shared;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  asio::steady_timer tick_timer;
  Millis tick{100};
  std::vector<std::shared_ptr<Link>> active;  // I/O thread only
  bool stopping = false;                      // I/O thread only

  std::mutex links_mu;                                 // guards links
  std::map<std::string, std::shared_ptr<Link>> links;  // by upper-cased link name

  std::thread thread;
};

Library::Library(Config config) : impl_(std::make_unique<Impl>(config)) {}
Library::~Library() = default;

std::int16_t Library::InitMonitor() { return kOk; }

std::int16_t Library::DllInformation(char* text) {
  if (text == nullptr) return kBadText;
  std::string info = "Panel interface library Version " + std::string(LibraryVersion());
  WriteAnswer(text, std::strlen(text) + 1, info);
  return kOk;
}

std::int16_t Library::InitializePanel(const char* text) {
  if (text == nullptr) return kBadText;
  std::string why;
  std::optional<ConnectTarget> target = ParseConnectText(text, &why);
  if (!target) {
    impl_->shared.trace.Line("-", "!", "INITIALIZEPANEL \"" + std::string(text) + "\": " + why);
    return kBadText;
  }
  std::shared_ptr<Link> l;
  bool existed = false;
  {
    std::lock_guard lock(impl_->links_mu);
    auto& slot = impl_->links[UCase(target->name)];
    existed = slot != nullptr;
    if (!existed) slot = std::make_shared<Link>(impl_->io, impl_->shared, *target);
    l = slot;
  }
  impl_->shared.trace.Line(target->name, "!", std::string("INITIALIZEPANEL ") + text);
  impl_->Activate(l, existed ? std::optional<ConnectTarget>(*target) : std::nullopt);
  return kOk;
}

std::int16_t Library::ModemCommand(const char* text) {
  if (text == nullptr) return kBadText;
  std::string_view name, rest;
  SplitCommand(text, &name, &rest);
  std::string_view wait_word, raw;
  SplitCommand(rest, &wait_word, &raw);
  std::shared_ptr<Link> l = impl_->Find(name);
  if (!l) {
    impl_->shared.trace.Line(name, "!", "MODEMCOMMAND for a link the library does not hold");
    return kUnknownLink;
  }
  Millis wait(std::max<std::int64_t>(ValueOf0(wait_word), 0));
  asio::post(impl_->io, [l, raw = std::string(raw), wait] { l->Modem(raw, wait); });
  return kOk;
}

std::int16_t Library::GetEventResponse(char* buffer) {
  if (buffer == nullptr) return kBadText;
  Shared& s = impl_->shared;
  std::optional<PendingAck> ack;
  std::optional<QueuedEvent> event;
  {
    std::lock_guard lock(s.mu);
    // The driver asks for the next event only after it has logged the one it took last: now
    // that one may be acknowledged to its panel.
    ack.swap(s.pending);
    if (!s.events.empty()) {
      event = std::move(s.events.front());
      s.events.pop_front();
      EventMemory& m = s.memory[event->key];
      auto q = std::find(m.queued.begin(), m.queued.end(), event->id);
      if (q != m.queued.end()) m.queued.erase(q);
      m.handed.push_back(event->id);
      if (m.handed.size() > kEventMemory) m.handed.pop_front();
      s.pending = PendingAck{event->key, event->id.evseq, event->connection};
    }
  }
  if (ack) {
    if (std::shared_ptr<Link> l = impl_->Find(ack->key)) {
      asio::post(impl_->io, [l, a = *ack] { l->SendEvAck(a.evseq, a.connection); });
    }
  }
  if (event && !WriteAnswer(buffer, ORDANE_EVENT_BUFFER_SIZE, event->line)) {
    s.trace.Line(event->key, "!", "event line longer than the driver's buffer: cut");
  }
  return kOk;
}

std::int16_t Library::GetCommandResponse(char* buffer) {
  if (buffer == nullptr) return kBadText;
  Shared& s = impl_->shared;
  std::optional<std::string> response;
  {
    std::lock_guard lock(s.mu);
    if (!s.responses.empty()) {
      response = std::move(s.responses.front());
      s.responses.pop_front();
    }
  }
  if (response && !WriteAnswer(buffer, ORDANE_COMMAND_BUFFER_SIZE, *response)) {
    s.trace.Line("-", "!",
                 "command response of " + std::to_string(response->size()) +
                     " characters cut to the driver's buffer");
  }
  return kOk;
}

std::int16_t Library::GetBusyState(char* buffer) {
  if (buffer == nullptr) return kBadText;
  std::string name(buffer, strnlen(buffer, ORDANE_BUSY_BUFFER_SIZE));
  std::shared_ptr<Link> l = name.empty() ? nullptr : impl_->Find(name);
  const char* answer = !l ? "Unknown panel" : l->Busy(Clock::now()) ? "Busy" : "Not busy";
  WriteAnswer(buffer, ORDANE_BUSY_BUFFER_SIZE, answer);
  return l ? kOk : kUnknownLink;
}

std::int16_t Library::Request(std::string_view function, const char* text) {
  if (text == nullptr) return kBadText;
  std::string_view name, args;
  SplitCommand(text, &name, &args);
  std::shared_ptr<Link> l = impl_->Find(name);
  if (!l) {
    impl_->shared.trace.Line(name, "!",
                             std::string(function) + " for a link the library does not hold");
    return kUnknownLink;
  }
  // A frame carries printable ASCII only: line ends are dropped, anything else outside that
  // alphabet travels as "?".
  std::string clean;
  for (unsigned char c : args) {
    if (c == '\r' || c == '\n') continue;
    clean += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  std::size_t room = link::kMaxBody - (4 + 5 + 1 + function.size() + 1);
  if (clean.size() > room) {
    impl_->shared.trace.Line(name, "!", std::string(function) + " arguments too long: not sent");
    return kBadText;
  }
  asio::post(impl_->io, [l, f = std::string(function), a = std::move(clean), t = Clock::now()] {
    l->SendRequest(f, a, t);
  });
  return kOk;
}

std::int16_t Library::StartTrace(const char* text) {
  if (text == nullptr) return kBadText;
  if (!impl_->shared.trace.Start(text)) return kBadText;
  impl_->shared.trace.Line("-", "!", "trace on, library version " + std::string(LibraryVersion()));
  return kOk;
}

std::int16_t Library::StopTrace() {
  impl_->shared.trace.Line("-", "!", "trace off");
  impl_->shared.trace.Stop();
  return kOk;
}

std::int16_t Library::TerminateAll() {
  std::map<std::string, std::shared_ptr<Link>> links;
  {
    std::lock_guard lock(impl_->links_mu);
    links.swap(impl_->links);
  }
  for (auto& [key, l] : links) impl_->Deactivate(l);
  return kOk;
}

std::int16_t Library::TerminatePanel(const char* text) {
  if (text == nullptr) return kBadText;
  std::string name;
  std::string why;
  if (auto target = ParseConnectText(text, &why)) {
    name = target->name;
  } else {
    std::string_view first, rest;
    SplitCommand(text, &first, &rest);
    name = std::string(first);
  }
  std::shared_ptr<Link> l;
  {
    std::lock_guard lock(impl_->links_mu);
    auto it = impl_->links.find(UCase(name));
    if (it != impl_->links.end()) {
      l = it->second;
      impl_->links.erase(it);
    }
  }
  if (!l) {
    impl_->shared.trace.Line(name.empty() ? "-" : name, "!",
                             "TERMINATEPANEL for a link the library does not hold");
    return kUnknownLink;
  }
  impl_->Deactivate(l);
  return kOk;
}

Stats Library::stats() const {
  const Shared& s = impl_->shared;
  return {s.bad_frames.load(), s.bad_messages.load(), s.stray_answers.load(),
          s.duplicate_events.load(), s.overflow_drops.load()};
}

}  // namespace ordane::panelif
