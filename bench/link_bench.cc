// How fast panel events travel from a simulated panel to the driver's GETEVENTRESPONSE call.
//
// For 1 and 32 panels it measures:
//   tick   the driver's way: one GETEVENTRESPONSE per 100 ms tick, at a load the tick can carry;
//          the delay is mostly the wait for the next tick.
//   tight  GETEVENTRESPONSE in a loop under a heavy load: the library's throughput.
//   wire   the baseline, in this process without the library: the bench reads the panels'
//          sockets itself with the frame codec and acknowledges every event at once.
// Each event carries the moment the simulator raised it (steady clock, microseconds), so the
// delay is measured end to end. Prints its figures; asserts nothing.
//
// usage: link_bench [PANELSIM] [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "panelif/panelif.h"
#include "panelif/protocol.h"
#include "panelsim/process.h"

namespace {

using Clock = std::chrono::steady_clock;
using ordane::panelsim::SimProcess;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// The raise time the simulator's load mode writes as the event's last word.
std::int64_t StampOf(const std::string& line) {
  const auto blank = line.rfind(' ');
  if (blank == std::string::npos) return -1;
  return std::strtoll(line.c_str() + blank + 1, nullptr, 10);
}

struct Figures {
  std::vector<double> delays_ms;
  double seconds = 0;
};

void Print(const char* mode, int panels, double offered, Figures& f) {
  std::sort(f.delays_ms.begin(), f.delays_ms.end());
  auto pct = [&](double p) {
    if (f.delays_ms.empty()) return 0.0;
    return f.delays_ms[std::min(f.delays_ms.size() - 1,
                                static_cast<std::size_t>(p * f.delays_ms.size()))];
  };
  std::printf("%-6s %7d %10.0f %9zu %10.1f %9.2f %9.2f %9.2f\n", mode, panels, offered,
              f.delays_ms.size(), f.seconds > 0 ? f.delays_ms.size() / f.seconds : 0.0, pct(0.5),
              pct(0.99), f.delays_ms.empty() ? 0.0 : f.delays_ms.back());
  std::fflush(stdout);
}

bool StartSim(SimProcess& sim, const std::string& program, int panels, int first_address) {
  if (!sim.Start(program, {"--panels", std::to_string(panels), "--base-port", "0",
                           "--first-address", std::to_string(first_address), "--points", "64"})) {
    std::fprintf(stderr, "link_bench: %s\n", sim.error().c_str());
    return false;
  }
  return true;
}

// Through the library: `tick_ms` 0 polls in a tight loop, otherwise once per tick.
Figures ThroughLibrary(const std::string& program, int panels, int first_address, double rate,
                       int tick_ms, double seconds) {
  Figures f;
  SimProcess sim;
  if (!StartSim(sim, program, panels, first_address)) return f;
  INITMONITOR();
  for (const auto& p : sim.panels()) {
    std::string text = p.ConnectText();
    INITIALIZEPANEL(text.data());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string buffer(ORDANE_EVENT_BUFFER_SIZE, ' ');
  // Events an earlier run's panels sent and nobody took wait in the library still (it keeps
  // them for the driver across TERMINATEALL); they are not this run's figures.
  for (;;) {
    std::fill(buffer.begin(), buffer.end(), ' ');
    GETEVENTRESPONSE(buffer.data());
    if (buffer[0] == ' ') break;
  }
  char rate_text[32];
  std::snprintf(rate_text, sizeof rate_text, "%.3f", rate / panels);
  sim.Command(std::string("all load ") + rate_text);
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double>(seconds);
  auto next_tick = start;
  while (Clock::now() < until) {
    if (tick_ms > 0) {
      next_tick += std::chrono::milliseconds(tick_ms);
      std::this_thread::sleep_until(next_tick);
    }
    std::fill(buffer.begin(), buffer.end(), ' ');
    GETEVENTRESPONSE(buffer.data());
    if (buffer[0] == ' ') {
      // Nothing waiting: give the library's I/O thread and the simulator the processor.
      if (tick_ms == 0) std::this_thread::yield();
      continue;
    }
    const std::int64_t stamp = StampOf(buffer.c_str());
    if (stamp > 0) f.delays_ms.push_back((NowUs() - stamp) / 1000.0);
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sim.Command("all load 0");
  TERMINATEALL();
  sim.Stop();
  return f;
}

// Without the library: the bench's own sockets, the frame codec, an EVACK for every event.
Figures OverTheWire(const std::string& program, int panels, int first_address, double rate,
                    double seconds) {
  Figures f;
  SimProcess sim;
  if (!StartSim(sim, program, panels, first_address)) return f;
  std::vector<pollfd> fds;
  std::vector<ordane::link::FrameDecoder> decoders(sim.panels().size());
  for (const auto& p : sim.panels()) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(p.port));
    inet_pton(AF_INET, p.host.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::perror("link_bench: connect");
      return f;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fds.push_back({fd, POLLIN, 0});
  }
  char rate_text[32];
  std::snprintf(rate_text, sizeof rate_text, "%.3f", rate / panels);
  sim.Command(std::string("all load ") + rate_text);
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double>(seconds);
  char buf[65536];
  while (Clock::now() < until) {
    if (poll(fds.data(), fds.size(), 50) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) continue;
      std::string acks;
      decoders[i].Feed(std::string_view(buf, static_cast<std::size_t>(n)),
                       [&](std::string_view body) {
                         auto m = ordane::link::ParseMessage(body);
                         if (!m || m->kind != ordane::link::Kind::kEvt) return;
                         const std::int64_t stamp = StampOf(m->text);
                         if (stamp > 0) f.delays_ms.push_back((NowUs() - stamp) / 1000.0);
                         acks += ordane::link::EncodeFrame("EVACK " + std::to_string(m->seq));
                       });
      if (!acks.empty() && write(fds[i].fd, acks.data(), acks.size()) < 0) std::perror("write");
    }
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sim.Command("all load 0");
  for (auto& p : fds) close(p.fd);
  sim.Stop();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = argc > 1 && argv[1][0] ? argv[1] : PANELSIM_PATH;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
  setenv("PANELIF_PING_MS", "1000", 0);
  std::printf("events from simulated panels to GETEVENTRESPONSE, %.0f s a run\n", seconds);
  std::printf("%-6s %7s %10s %9s %10s %9s %9s %9s\n", "mode", "panels", "offered/s", "events",
              "events/s", "p50 ms", "p99 ms", "max ms");
  // The driver takes one event a tick: 8 a second keeps the queue short.
  Figures f = ThroughLibrary(program, 1, 101, 8, 100, seconds);
  Print("tick", 1, 8, f);
  f = ThroughLibrary(program, 32, 110, 8, 100, seconds);
  Print("tick", 32, 8, f);
  for (double rate : {2000.0, 20000.0}) {
    f = ThroughLibrary(program, 1, rate > 2000 ? 151 : 150, rate, 0, seconds);
    Print("tight", 1, rate, f);
    f = ThroughLibrary(program, 32, rate > 2000 ? 200 : 160, rate, 0, seconds);
    Print("tight", 32, rate, f);
    f = OverTheWire(program, 1, 240, rate, seconds);
    Print("wire", 1, rate, f);
    f = OverTheWire(program, 32, 100, rate, seconds);
    Print("wire", 32, rate, f);
  }
  return 0;
}
