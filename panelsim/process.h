// Runs the simulator as a child process for end-to-end tests and benchmarks: starts it, reads
// where its panels listen, sends it control lines and reads their answers, and stops it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ordane::panelsim {

class SimProcess {
 public:
  struct PanelInfo {
    int number = 0;
    bool pty = false;
    std::string host;  // TCP: loopback address; pty: device path
    int port = 0;
    // The connection text the driver hands to INITIALIZEPANEL for this panel (TCP only).
    std::string ConnectText() const { return "TCP/IP - " + host + " " + std::to_string(port); }
  };

  SimProcess() = default;
  ~SimProcess();  // stops the child
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts `program` with `args` and waits up to `timeout_ms` for its "ready" line. False, with
  // the reason in error(), when it does not come.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             int timeout_ms = 10000);
  // Sends one control line; returns the first line of its answer ("" after `timeout_ms`).
  std::string Command(const std::string& line, int timeout_ms = 5000);
  // The items of panel `panel`'s answer to the table request `function` (READUSERNAMES...),
  // exactly as the panel sends them; empty when the request has no table answer.
  std::vector<std::string> Table(int panel, const std::string& function, int timeout_ms = 5000);
  // Stops the child: SIGTERM, then SIGKILL when it does not end within a second.
  void Stop();

  const std::vector<PanelInfo>& panels() const { return panels_; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }

 private:
  bool ReadLine(std::string& line, int timeout_ms);

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffer_;
  std::vector<PanelInfo> panels_;
  std::string error_;
};

}  // namespace ordane::panelsim
