#include "panelsim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "util/text.h"

namespace ordane::panelsim {
namespace {

volatile sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }

constexpr std::size_t kMaxOutput = 8 << 20;  // a library that stops reading is cut off here

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// The text of `line` after its first `n` words.
std::string Rest(const std::string& line, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = line.find_first_not_of(' ', pos);
    if (pos == std::string::npos) return "";
    pos = line.find(' ', pos);
    if (pos == std::string::npos) return "";
  }
  return Trim(std::string_view(line).substr(pos));
}

long ToLong(const std::string& w, long fallback) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(w.c_str(), &end, 10);
  if (w.empty() || *end != '\0' || errno) return fallback;
  return v;
}

double ToDouble(const std::string& w, double fallback) {
  char* end = nullptr;
  const double v = std::strtod(w.c_str(), &end);
  if (w.empty() || *end != '\0') return fallback;
  return v;
}

std::string Hex2(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

const char kHelp[] =
    "global: help | list | quit | sleep MS (scenarios) | all VERB... | N VERB...\n"
    "panel verbs: open|close|short|missing POINT | arm AREA [USER] | disarm AREA [USER]\n"
    "  event NAME [F1 [R]] | inject EVNUM TYPE F1 [R] | raw EVENT-TEXT | cmd FUNCTION [ARGS]\n"
    "  drop | cut-table ITEMS [FUNCTION] | down | up | silent on|off | slow MS | hold MS\n"
    "  garbage [BYTES] | busy 1|0\n"
    "  extra-items N | load RATE | ac fail|ok | firmware TEXT | status\n"
    "event names:";

}  // namespace

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Simulator::Panel {
  Panel(int n, int points, std::int64_t resend_ms)
      : number(n), model(n, points), ep(model, resend_ms) {}
  int number;
  PanelModel model;
  Endpoint ep;
  bool pty = false;
  bool down = false;  // the control interface took the panel off the line
  std::string out;    // bytes the transport has not taken yet

  // TCP.
  std::string host;
  int port = 0;
  int listen_fd = -1;
  int conn_fd = -1;

  // Pseudo-terminal.
  int master_fd = -1;
  std::string slave_path;
  bool peer = false;  // somebody holds the other side open
  std::int64_t next_peer_check = 0;

  // Emulated modem in front of the pseudo-terminal.
  bool modem = false;
  bool carrier = false;  // a call is up
  bool online = false;   // frames flow (after CONNECT, until +++)
  std::string at_line;
  int plus_run = 0;

  // Load mode.
  double rate = 0;
  double next_load_ms = 0;
  std::uint64_t load_sent = 0;
  int load_point = 0;
};

struct Simulator::ControlClient {
  int in_fd = -1;
  int out_fd = -1;
  bool owned = false;  // a socket client: closed when done
  std::string buffer;
  bool closed = false;
};

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator() {
  for (auto& p : panels_) {
    for (int fd : {p->listen_fd, p->conn_fd, p->master_fd})
      if (fd >= 0) close(fd);
  }
  for (auto& c : clients_)
    if (c->owned && c->in_fd >= 0) close(c->in_fd);
  if (control_fd_ >= 0) {
    close(control_fd_);
    unlink(options_.control_socket.c_str());
  }
}

bool Simulator::OpenListener(Panel& p) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(p.port));
  inet_pton(AF_INET, p.host.c_str(), &addr.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
    std::fprintf(stderr, "panelsim: panel %d cannot listen on %s port %d: %s\n", p.number,
                 p.host.c_str(), p.port, std::strerror(errno));
    close(fd);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  p.port = ntohs(addr.sin_port);  // the port actually bound (base port 0 picks one)
  SetNonBlocking(fd);
  p.listen_fd = fd;
  return true;
}

bool Simulator::Start() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, OnStopSignal);
  signal(SIGINT, OnStopSignal);
  const int total = options_.tcp_panels + options_.pty_panels;
  if (total < 1 || total > 254) {
    std::fprintf(stderr, "panelsim: between 1 and 254 panels, not %d\n", total);
    return false;
  }
  for (int n = 1; n <= total; ++n) {
    auto p = std::make_unique<Panel>(n, options_.points, options_.resend_ms);
    p->rate = options_.load_rate;
    if (n <= options_.tcp_panels) {
      const int last = options_.first_address + n - 1;
      if (last < 1 || last > 254) {
        std::fprintf(stderr, "panelsim: no loopback address 127.0.0.%d\n", last);
        return false;
      }
      p->host = "127.0.0." + std::to_string(last);
      p->port = options_.base_port == 0 ? 0 : options_.base_port + n - 1;
      if (!OpenListener(*p)) return false;
      std::printf("panel %d tcp %s %d\n", n, p->host.c_str(), p->port);
    } else {
      p->pty = true;
      p->modem = options_.modem;
      p->master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (p->master_fd < 0 || grantpt(p->master_fd) != 0 || unlockpt(p->master_fd) != 0) {
        std::fprintf(stderr, "panelsim: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
      }
      p->slave_path = ptsname(p->master_fd);
      termios tio{};
      if (tcgetattr(p->master_fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(p->master_fd, TCSANOW, &tio);
      }
      SetNonBlocking(p->master_fd);
      std::printf("panel %d pty %s%s\n", n, p->slave_path.c_str(), p->modem ? " modem" : "");
    }
    panels_.push_back(std::move(p));
  }

  if (!options_.control_socket.empty()) {
    control_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options_.control_socket.size() >= sizeof addr.sun_path) {
      std::fprintf(stderr, "panelsim: control socket path too long\n");
      return false;
    }
    std::strcpy(addr.sun_path, options_.control_socket.c_str());
    unlink(addr.sun_path);
    if (bind(control_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(control_fd_, 4) != 0) {
      std::fprintf(stderr, "panelsim: cannot open control socket %s: %s\n", addr.sun_path,
                   std::strerror(errno));
      return false;
    }
    SetNonBlocking(control_fd_);
    std::printf("control %s\n", options_.control_socket.c_str());
  }
  if (options_.read_stdin) {
    auto c = std::make_unique<ControlClient>();
    c->in_fd = 0;
    c->out_fd = 1;
    clients_.push_back(std::move(c));
  }
  if (!options_.scenario.empty()) {
    std::ifstream in(options_.scenario);
    if (!in) {
      std::fprintf(stderr, "panelsim: cannot read scenario %s\n", options_.scenario.c_str());
      return false;
    }
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::string t = Trim(line);
      if (!t.empty() && t[0] != '#') scenario_.push_back(t);
    }
  }
  const std::int64_t now = NowMs();
  for (auto& p : panels_) p->next_load_ms = static_cast<double>(now);
  std::printf("ready\n");
  std::fflush(stdout);
  return true;
}

int Simulator::Run() {
  while (!quit_ && !g_stop) Poll();
  return 0;
}

void Simulator::CloseConnection(Panel& p) {
  if (p.conn_fd >= 0) {
    close(p.conn_fd);
    p.conn_fd = -1;
  }
  p.out.clear();
  p.ep.Disconnected();
}

void Simulator::AcceptConnection(Panel& p) {
  const int fd = accept4(p.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (p.down) {
    close(fd);
    return;
  }
  // A panel serves one library: a new connection means the old one is dead (its library was
  // stopped or killed without closing), so the newcomer takes over.
  CloseConnection(p);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  p.conn_fd = fd;
  p.ep.Connected(NowMs());
}

void Simulator::ModemWrite(Panel& p, std::string_view text) { p.out += text; }

void Simulator::FeedModem(Panel& p, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (p.online) {
      // Frames flow until the escape "+++"; everything before it belongs to the link.
      std::size_t start = i;
      for (; i < bytes.size(); ++i) {
        p.plus_run = bytes[i] == '+' ? p.plus_run + 1 : 0;
        if (p.plus_run == 3) break;
      }
      if (i < bytes.size()) {
        p.ep.Receive(bytes.substr(start, i - start), NowMs(), std::time(nullptr));
        ++i;
        p.plus_run = 0;
        p.online = false;
        p.ep.Disconnected();
        ModemWrite(p, "\r\nOK\r\n");
      } else {
        p.ep.Receive(bytes.substr(start), NowMs(), std::time(nullptr));
      }
      continue;
    }
    const char c = bytes[i++];
    if (c != '\r' && c != '\n') {
      if (p.at_line.size() < 256) p.at_line += c;
      continue;
    }
    const std::string cmd = UCase(Trim(p.at_line));
    p.at_line.clear();
    if (cmd.empty()) continue;
    if (cmd == "+++") {  // escape typed while already in command mode
      ModemWrite(p, "\r\nOK\r\n");
    } else if (cmd.rfind("AT", 0) != 0) {
      ModemWrite(p, "\r\nERROR\r\n");
    } else if (cmd.rfind("ATD", 0) == 0) {
      if (p.down) {
        ModemWrite(p, "\r\nNO CARRIER\r\n");
      } else {
        ModemWrite(p, "\r\nCONNECT 9600\r\n");
        Flush(p);
        p.carrier = p.online = true;
        p.ep.Connected(NowMs());
      }
    } else if (cmd.rfind("ATH", 0) == 0) {
      p.carrier = false;
      ModemWrite(p, "\r\nOK\r\n");
    } else if (cmd.rfind("ATO", 0) == 0 && p.carrier && !p.down) {
      ModemWrite(p, "\r\nCONNECT 9600\r\n");
      Flush(p);
      p.online = true;
      p.ep.Connected(NowMs());
    } else {
      ModemWrite(p, "\r\nOK\r\n");
    }
  }
}

void Simulator::Flush(Panel& p) {
  p.out += p.ep.TakeOutput();
  const int fd = p.pty ? (p.peer ? p.master_fd : -1) : p.conn_fd;
  if (fd < 0) {
    p.out.clear();
    return;
  }
  while (!p.out.empty()) {
    const ssize_t n = write(fd, p.out.data(), p.out.size());
    if (n > 0) {
      p.out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (!p.pty) CloseConnection(p);
    p.out.clear();
    return;
  }
  if (p.out.size() > kMaxOutput && !p.pty) CloseConnection(p);
  // A cut table answer is out: the link fails now.
  if (p.ep.drop_requested() && p.out.empty()) DropLink(p);
}

void Simulator::DropLink(Panel& p) {
  if (!p.pty) {
    CloseConnection(p);
  } else if (p.modem) {
    p.ep.Disconnected();
    if (p.carrier) {
      p.carrier = p.online = false;
      ModemWrite(p, "\r\nNO CARRIER\r\n");
      Flush(p);
    }
  } else {
    // A plain serial line cannot drop: the stream starts afresh, the rest of the answer unsent.
    p.ep.Disconnected();
    if (p.peer && !p.down) p.ep.Connected(NowMs());
  }
}

void Simulator::ServicePanel(Panel& p, short revents, int which) {
  char buf[16384];
  if (!p.pty && which == 0) {  // listener
    if (revents & POLLIN) AcceptConnection(p);
    return;
  }
  const int fd = p.pty ? p.master_fd : p.conn_fd;
  if (fd < 0) return;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        if (p.down) continue;  // off the line: the bytes go nowhere
        if (p.modem) {
          FeedModem(p, std::string_view(buf, static_cast<std::size_t>(n)));
        } else {
          p.ep.Receive(std::string_view(buf, static_cast<std::size_t>(n)), NowMs(),
                       std::time(nullptr));
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      // End of stream: the library closed the socket, or the last holder of the
      // pseudo-terminal's other side let go of it.
      if (p.pty) {
        p.peer = false;
        p.carrier = p.online = false;
        p.at_line.clear();
        p.out.clear();
        p.ep.Disconnected();
        p.next_peer_check = NowMs() + 50;
      } else {
        CloseConnection(p);
      }
      return;
    }
  }
  p.ep.Tick(NowMs());
  Flush(p);
}

void Simulator::RunLoad(Panel& p, std::int64_t now) {
  if (p.rate <= 0) return;
  const double interval = 1000.0 / p.rate;
  int burst = 0;
  while (p.next_load_ms <= static_cast<double>(now) && burst < 100000) {
    // Points take turns opening and closing; each event carries the moment it was raised
    // (steady clock, microseconds) in its data so a receiver can measure the delay.
    const int point = p.load_point % p.model.points();
    const bool open = (p.load_point / p.model.points()) % 2 == 0;
    ++p.load_point;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    p.ep.Raise(p.model.MakeEvent(open ? kPointAlarm : kPointRestore, Hex2(point),
                                 "00 " + std::to_string(us), std::time(nullptr)));
    ++p.load_sent;
    ++burst;
    p.next_load_ms += interval;
  }
  // After a long stall do not try to catch up with everything that was missed.
  if (p.next_load_ms < static_cast<double>(now) - 1000) p.next_load_ms = static_cast<double>(now);
}

void Simulator::RunScenario(std::int64_t now) {
  while (scenario_next_ < scenario_.size() && now >= scenario_wait_until_) {
    const std::string line = scenario_[scenario_next_++];
    const auto w = Split(line);
    if (w[0] == "sleep" && w.size() == 2) {
      scenario_wait_until_ = now + std::clamp<long>(ToLong(w[1], 0), 0, 86400000);
      continue;
    }
    const std::string answer = Execute(line);
    if (answer.rfind("error", 0) == 0)
      std::fprintf(stderr, "panelsim: scenario line \"%s\": %s", line.c_str(), answer.c_str());
  }
}

void Simulator::ReadControl(ControlClient& c) {
  char buf[4096];
  const ssize_t n = read(c.in_fd, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    c.closed = true;  // end of the control stream: the simulator keeps running
    return;
  }
  c.buffer.append(buf, static_cast<std::size_t>(n));
  std::size_t nl;
  while ((nl = c.buffer.find('\n')) != std::string::npos) {
    std::string line = c.buffer.substr(0, nl);
    c.buffer.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trim(line).empty()) continue;
    const std::string answer = Execute(line);
    std::size_t off = 0;
    while (off < answer.size()) {
      const ssize_t w = write(c.out_fd, answer.data() + off, answer.size() - off);
      if (w <= 0) {
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
          pollfd pfd{c.out_fd, POLLOUT, 0};
          poll(&pfd, 1, 100);
          continue;
        }
        c.closed = true;
        break;
      }
      off += static_cast<std::size_t>(w);
    }
  }
  if (c.buffer.size() > 65536) c.buffer.clear();  // no line that long is a command
}

void Simulator::Poll() {
  std::vector<pollfd> fds;
  struct Slot {
    Panel* panel;
    ControlClient* client;
    int which;  // panel: 0 listener, 1 connection or pty
  };
  std::vector<Slot> slots;
  std::int64_t now = NowMs();
  std::int64_t deadline = now + 200;

  for (auto& pp : panels_) {
    Panel& p = *pp;
    if (p.pty) {
      if (!p.peer && now >= p.next_peer_check) {
        // Nobody holds the other side while the master reports a hang-up; check again soon.
        pollfd probe{p.master_fd, POLLIN, 0};
        poll(&probe, 1, 0);
        if (!(probe.revents & POLLHUP)) {
          p.peer = true;
          if (!p.modem && !p.down) p.ep.Connected(now);
        } else {
          p.next_peer_check = now + 50;
        }
      }
      if (p.peer) {
        fds.push_back({p.master_fd, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
        slots.push_back({&p, nullptr, 1});
      } else {
        deadline = std::min(deadline, p.next_peer_check);
      }
    } else {
      if (p.listen_fd >= 0) {
        fds.push_back({p.listen_fd, POLLIN, 0});
        slots.push_back({&p, nullptr, 0});
      }
      if (p.conn_fd >= 0) {
        fds.push_back({p.conn_fd, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
        slots.push_back({&p, nullptr, 1});
      }
    }
    deadline = std::min(deadline, p.ep.NextDeadline());
    if (p.rate > 0) deadline = std::min(deadline, static_cast<std::int64_t>(p.next_load_ms));
  }
  if (control_fd_ >= 0) {
    fds.push_back({control_fd_, POLLIN, 0});
    slots.push_back({nullptr, nullptr, 2});
  }
  for (auto& c : clients_) {
    if (c->closed) continue;
    fds.push_back({c->in_fd, POLLIN, 0});
    slots.push_back({nullptr, c.get(), 3});
  }
  if (scenario_next_ < scenario_.size()) deadline = std::min(deadline, scenario_wait_until_);

  const std::int64_t wait = std::max<std::int64_t>(0, deadline - now);
  const int ready =
      poll(fds.data(), fds.size(), static_cast<int>(std::min<std::int64_t>(wait, 200)));
  if (ready < 0 && errno != EINTR) {
    std::perror("panelsim: poll");
    quit_ = true;
    return;
  }
  for (std::size_t i = 0; i < fds.size() && ready > 0; ++i) {
    if (!fds[i].revents) continue;
    const Slot& s = slots[i];
    if (s.panel) {
      ServicePanel(*s.panel, fds[i].revents, s.which);
    } else if (s.which == 2) {
      const int fd = accept4(control_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        auto c = std::make_unique<ControlClient>();
        c->in_fd = c->out_fd = fd;
        c->owned = true;
        clients_.push_back(std::move(c));
      }
    } else if (s.client) {
      ReadControl(*s.client);
    }
  }
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [](const std::unique_ptr<ControlClient>& c) {
                                  if (c->closed && c->owned) close(c->in_fd);
                                  return c->closed && c->owned;
                                }),
                 clients_.end());

  now = NowMs();
  RunScenario(now);
  for (auto& p : panels_) {
    RunLoad(*p, now);
    p->ep.Tick(now);
    Flush(*p);
  }
}

std::string Simulator::PanelInfo(const Panel& p) const {
  if (p.pty)
    return "panel " + std::to_string(p.number) + " pty " + p.slave_path + (p.modem ? " modem" : "");
  return "panel " + std::to_string(p.number) + " tcp " + p.host + " " + std::to_string(p.port);
}

std::string Simulator::Execute(const std::string& line) {
  const auto w = Split(line);
  if (w.empty()) return "";
  if (w[0] == "help") {
    std::string out = kHelp;
    for (const auto& k : kAllEventKinds) out += std::string(" ") + k.name;
    return out + "\n";
  }
  if (w[0] == "list") {
    std::string out;
    for (const auto& p : panels_) out += PanelInfo(*p) + "\n";
    return out;
  }
  if (w[0] == "quit") {
    quit_ = true;
    return "ok\n";
  }
  if (w[0] == "sleep") return "ok\n";  // only scenarios wait
  if (w.size() < 2) return "error: expected N VERB ..., or help\n";
  if (w[0] == "all") {
    // One answer line for all panels: "ok", or every panel's error after the first "error:".
    std::string errors;
    for (auto& p : panels_) {
      std::string a = PanelCommand(*p, w, line);
      if (a.rfind("error: ", 0) != 0) continue;
      a = a.substr(7, a.find('\n') - 7);
      errors += (errors.empty() ? "" : "; ") + ("panel " + std::to_string(p->number) + ": ") + a;
    }
    return errors.empty() ? "ok\n" : "error: " + errors + "\n";
  }
  const long n = ToLong(w[0], -1);
  if (n < 1 || n > static_cast<long>(panels_.size()))
    return "error: no panel " + w[0] + " (1 to " + std::to_string(panels_.size()) + ")\n";
  return PanelCommand(*panels_[static_cast<std::size_t>(n - 1)], w, line);
}

std::string Simulator::PanelCommand(Panel& p, const std::vector<std::string>& w,
                                    const std::string& line) {
  const std::string& verb = w[1];
  const std::time_t wall = std::time(nullptr);
  const std::int64_t now = NowMs();
  std::vector<RaisedEvent> events;
  auto done = [&](const std::string& error) {
    p.ep.RaiseAll(events);
    p.ep.Tick(now);
    Flush(p);
    return error.empty() ? std::string("ok\n") : "error: " + error + "\n";
  };
  auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };

  if (verb == "open" || verb == "close" || verb == "short" || verb == "missing") {
    const char state = verb == "open" ? 'O' : verb == "close" ? 'N' : verb == "short" ? 'S' : 'M';
    return done(p.model.SetPoint(static_cast<int>(ToLong(arg(2), -1)), state, wall, events));
  }
  if (verb == "arm" || verb == "disarm" || verb == "cmd") {
    std::string function = verb == "arm"      ? "ARMAREA"
                           : verb == "disarm" ? "DISARMAREA"
                                              : UCase(arg(2));
    const std::string args = Rest(line, verb == "cmd" ? 3 : 2);
    if (function.empty()) return "error: expected cmd FUNCTION [ARGS]\n";
    const Answer a = p.model.Handle(function, args, wall, events);
    done("");
    switch (a.kind) {
      case Answer::Kind::kOk:
        return "ok\n";
      case Answer::Kind::kNak:
        return "error: " + a.data + "\n";
      case Answer::Kind::kResponse:
        return "ok " + a.type + " " + a.data + (a.has_extra ? "\t" + a.extra : "") + "\n";
      case Answer::Kind::kTable: {
        std::string out = "ok " + a.type + " " + std::to_string(a.items.size()) + " items\n";
        for (const auto& item : a.items) out += "  " + item + "\n";
        return out;
      }
    }
  }
  if (verb == "event") {
    for (const auto& k : kAllEventKinds) {
      if (arg(2) == k.name) {
        const std::string f1 = w.size() > 3 ? w[3] : "00";
        const std::string r = w.size() > 4 ? Rest(line, 4) : "00";
        events.push_back(p.model.MakeEvent(k, f1, r, wall));
        if (!link::IsValidBody("EVT 1 " + events.back().text)) return "error: bad event text\n";
        if (k.number == kAcFail.number) p.model.set_ac_ok(false);
        if (k.number == kAcRestore.number) p.model.set_ac_ok(true);
        return done("");
      }
    }
    return "error: no event named " + arg(2) + " (see help)\n";
  }
  if (verb == "inject") {
    if (w.size() < 5) return "error: expected inject EVNUM TYPE F1 [R]\n";
    char* end = nullptr;
    const long number = std::strtol(w[2].c_str(), &end, 16);
    if (*end || number < 0 || number > 255) return "error: bad event number " + w[2] + "\n";
    const std::string r = w.size() > 5 ? Rest(line, 5) : "00";
    events.push_back(p.model.MakeEvent(static_cast<int>(number), w[3], w[4], r, wall));
    if (!link::IsValidBody("EVT 1 " + events.back().text)) return "error: bad event text\n";
    return done("");
  }
  if (verb == "raw") {
    const std::string text = Rest(line, 2);
    if (text.empty() || !link::IsValidBody("EVT 1 " + text)) return "error: bad event text\n";
    events.push_back({text, false});
    return done("");
  }
  if (verb == "drop") {
    if (p.pty) {
      if (p.modem && p.carrier) {
        p.ep.Disconnected();
        p.carrier = p.online = false;
        ModemWrite(p, "\r\nNO CARRIER\r\n");
        Flush(p);
      }
      return "ok\n";
    }
    CloseConnection(p);
    return "ok\n";
  }
  if (verb == "cut-table") {
    const long items = ToLong(arg(2), -1);
    if (items < 0 || items > 100000 || w.size() > 4)
      return "error: expected cut-table ITEMS [FUNCTION]\n";
    p.ep.CutNextTable(static_cast<std::size_t>(items), arg(3));
    return "ok\n";
  }
  if (verb == "down") {
    p.down = true;
    if (p.pty) {
      if (p.modem && p.carrier) {
        p.carrier = p.online = false;
        ModemWrite(p, "\r\nNO CARRIER\r\n");
        Flush(p);
      }
      p.ep.Disconnected();
    } else {
      CloseConnection(p);
      if (p.listen_fd >= 0) close(p.listen_fd);
      p.listen_fd = -1;
    }
    return "ok\n";
  }
  if (verb == "up") {
    if (!p.down) return "ok\n";
    p.down = false;
    if (p.pty) {
      if (p.peer && !p.modem) p.ep.Connected(now);
    } else if (!OpenListener(p)) {
      return "error: cannot listen again on " + p.host + " port " + std::to_string(p.port) + "\n";
    }
    return "ok\n";
  }
  if (verb == "silent") {
    if (arg(2) != "on" && arg(2) != "off") return "error: expected silent on|off\n";
    p.ep.set_silent(arg(2) == "on");
    return done("");
  }
  if (verb == "slow") {
    const long ms = ToLong(arg(2), -1);
    if (ms < 0 || ms > 86400000) return "error: expected slow MS (0 to 86400000)\n";
    p.ep.set_slow_ms(ms);
    return "ok\n";
  }
  if (verb == "hold") {
    const long ms = ToLong(arg(2), -1);
    if (ms < 0 || ms > 86400000) return "error: expected hold MS (0 to 86400000)\n";
    p.ep.HoldUntil(now + ms);
    return "ok\n";
  }
  if (verb == "garbage") {
    const long bytes = w.size() > 2 ? ToLong(arg(2), -1) : 64;
    if (bytes < 0 || bytes > 1 << 20) return "error: expected garbage [BYTES]\n";
    p.ep.SendGarbage(static_cast<std::size_t>(bytes));
    return done("");
  }
  if (verb == "extra-items") {
    const long n = ToLong(arg(2), -1);
    if (n < 0 || n > 100000) return "error: expected extra-items N\n";
    p.ep.set_extra_items(static_cast<std::size_t>(n));
    return "ok\n";
  }
  if (verb == "busy") {
    if (arg(2) != "1" && arg(2) != "0") return "error: expected busy 1|0\n";
    p.ep.SetBusy(arg(2) == "1");
    return done("");
  }
  if (verb == "load") {
    const double rate = ToDouble(arg(2), -1);
    if (rate < 0 || rate > 1e6) return "error: expected load RATE (events per second)\n";
    p.rate = rate;
    // Panels started together take turns instead of raising their events in one burst.
    p.next_load_ms = static_cast<double>(now);
    if (rate > 0)
      p.next_load_ms += 1000.0 / rate * (p.number - 1) / static_cast<double>(panels_.size());
    return "ok\n";
  }
  if (verb == "ac") {
    if (arg(2) != "fail" && arg(2) != "ok") return "error: expected ac fail|ok\n";
    const bool ok = arg(2) == "ok";
    if (p.model.ac_ok() != ok)
      events.push_back(p.model.MakeEvent(ok ? kAcRestore : kAcFail, "00", "00", wall));
    p.model.set_ac_ok(ok);
    return done("");
  }
  if (verb == "firmware") {
    if (w.size() != 3) return "error: expected firmware TEXT\n";
    p.model.set_firmware(w[2]);
    return "ok\n";
  }
  if (verb == "status") {
    std::ostringstream out;
    out << "ok " << PanelInfo(p) << " connected=" << (p.ep.connected() ? 1 : 0)
        << " down=" << p.down << " silent=" << p.ep.silent() << " pending=" << p.ep.pending()
        << " in_flight=" << p.ep.in_flight() << " last_evseq=" << p.ep.last_evseq()
        << " dropped_events=" << p.ep.dropped_events() << " requests=" << p.ep.requests()
        << " bad_frames=" << p.ep.bad_frames() << " load_sent=" << p.load_sent
        << " areas=" << p.model.AreaStatus() << " points=" << p.model.PointStatus()
        << " doors=" << p.model.DoorStatus() << "\n";
    return out.str();
  }
  return "error: unknown verb " + verb + " (see help)\n";
}

}  // namespace ordane::panelsim
