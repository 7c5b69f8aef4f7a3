// The simulator process: any number of panels, each on its own loopback address and TCP port or
// on a pseudo-terminal (optionally behind an emulated modem), one poll loop that moves their
// bytes, the control interface (stdin, a local socket, scenario files) and the load mode.
// Single-threaded: everything, the control commands included, runs on the loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "panelsim/endpoint.h"
#include "panelsim/model.h"

namespace ordane::panelsim {

struct Options {
  int tcp_panels = 1;
  int pty_panels = 0;
  bool modem = false;     // pty panels answer AT commands until "CONNECT"
  int base_port = 7700;   // panel n listens on base_port + n - 1; 0 picks free ports
  int first_address = 1;  // panel n binds 127.0.0.(first_address + n - 1)
  int points = 32;
  std::int64_t resend_ms = 30000;
  double load_rate = 0;        // events per second per panel at start
  std::string control_socket;  // a local (Unix) socket for control clients; none when empty
  std::string scenario;        // a file of control lines run at start
  bool read_stdin = true;
};

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens every panel's listener or pseudo-terminal and the control socket, prints one line per
  // panel and "ready". Returns false (after saying why on stderr) when one cannot be opened.
  bool Start();
  // Runs until "quit" or a stop signal. Returns the process exit code.
  int Run();

  // Carries out one control line and returns its answer (lines ending in LF).
  std::string Execute(const std::string& line);

 private:
  struct Panel;
  struct ControlClient;

  void Poll();
  void ServicePanel(Panel& p, short revents, int which);
  void CloseConnection(Panel& p);
  void AcceptConnection(Panel& p);
  void FeedModem(Panel& p, std::string_view bytes);
  void ModemWrite(Panel& p, std::string_view text);
  void Flush(Panel& p);
  void DropLink(Panel& p);
  void RunLoad(Panel& p, std::int64_t now);
  void RunScenario(std::int64_t now);
  void ReadControl(ControlClient& c);
  std::string PanelCommand(Panel& p, const std::vector<std::string>& w, const std::string& line);
  std::string PanelInfo(const Panel& p) const;
  bool OpenListener(Panel& p);

  Options options_;
  std::vector<std::unique_ptr<Panel>> panels_;
  std::vector<std::unique_ptr<ControlClient>> clients_;
  int control_fd_ = -1;
  std::vector<std::string> scenario_;
  std::size_t scenario_next_ = 0;
  std::int64_t scenario_wait_until_ = 0;
  bool quit_ = false;
};

// Milliseconds of the steady clock, the time base of every timer here.
std::int64_t NowMs();

}  // namespace ordane::panelsim
