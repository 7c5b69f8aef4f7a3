// panelsim: simulated panels for tests, demos and benchmarks. See panelsim/README.md.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "panelsim/simulator.h"

namespace {

void Usage() {
  std::fprintf(
      stderr,
      "usage: panelsim [--panels N] [--pty M] [--modem] [--base-port P] [--first-address A]\n"
      "                [--points N] [--resend-seconds S] [--load RATE] [--control SOCKET]\n"
      "                [--scenario FILE] [--no-stdin]\n"
      "  --panels N          TCP panels, panel n on 127.0.0.(A+n-1) port P+n-1 (default 1)\n"
      "  --pty M             M more panels on pseudo-terminals (serial lines)\n"
      "  --modem             the pseudo-terminal panels sit behind an emulated modem\n"
      "  --base-port P       first TCP port (default 7700; 0 lets the system pick)\n"
      "  --first-address A   last byte of the first panel's loopback address (default 1)\n"
      "  --points N          points per panel, 1 to 246 (default 32)\n"
      "  --resend-seconds S  resend unacknowledged events after S seconds (default 30)\n"
      "  --load RATE         every panel raises RATE events a second from the start\n"
      "  --control SOCKET    also take control lines on this local socket\n"
      "  --scenario FILE     run the control lines of FILE (\"sleep MS\" waits)\n"
      "  --no-stdin          do not read control lines from standard input\n");
}

bool Number(const char* text, double lo, double hi, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return *text && !*end && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  ordane::panelsim::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](double lo, double hi) {
      double v = 0;
      if (i + 1 >= argc || !Number(argv[i + 1], lo, hi, v)) {
        std::fprintf(stderr, "panelsim: %s needs a number from %g to %g\n", a.c_str(), lo, hi);
        std::exit(2);
      }
      ++i;
      return v;
    };
    auto text = [&]() {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "panelsim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return std::string(argv[++i]);
    };
    if (a == "--panels")
      options.tcp_panels = static_cast<int>(value(0, 254));
    else if (a == "--pty")
      options.pty_panels = static_cast<int>(value(0, 254));
    else if (a == "--modem")
      options.modem = true;
    else if (a == "--base-port")
      options.base_port = static_cast<int>(value(0, 65535));
    else if (a == "--first-address")
      options.first_address = static_cast<int>(value(1, 254));
    else if (a == "--points")
      options.points = static_cast<int>(value(1, 246));
    else if (a == "--resend-seconds")
      options.resend_ms = static_cast<std::int64_t>(value(0.001, 86400) * 1000);
    else if (a == "--load")
      options.load_rate = value(0, 1e6);
    else if (a == "--control")
      options.control_socket = text();
    else if (a == "--scenario")
      options.scenario = text();
    else if (a == "--no-stdin")
      options.read_stdin = false;
    else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "panelsim: unknown option %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (options.base_port > 0 && options.base_port + options.tcp_panels - 1 > 65535) {
    std::fprintf(stderr, "panelsim: ports beyond 65535\n");
    return 2;
  }
  ordane::panelsim::Simulator sim(options);
  if (!sim.Start()) return 1;
  return sim.Run();
}
