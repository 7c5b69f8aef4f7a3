#include "panelsim/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace ordane::panelsim {

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args,
                       int timeout_ms) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  to_child_ = in[1];
  from_child_ = out[0];
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  std::string line;
  while (ReadLine(line, timeout_ms)) {
    if (line == "ready") return true;
    std::istringstream words(line);
    std::string panel, kind;
    PanelInfo info;
    if (words >> panel >> info.number >> kind && panel == "panel") {
      info.pty = kind == "pty";
      words >> info.host >> info.port;
      panels_.push_back(info);
    }
  }
  error_ = "no \"ready\" from " + program;
  Stop();
  return false;
}

bool SimProcess::ReadLine(std::string& line, int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || from_child_ < 0) return false;
    pollfd pfd{from_child_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(from_child_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

std::string SimProcess::Command(const std::string& line, int timeout_ms) {
  if (to_child_ < 0) return "";
  const std::string text = line + "\n";
  if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
  std::string answer;
  if (!ReadLine(answer, timeout_ms)) return "";
  return answer;
}

std::vector<std::string> SimProcess::Table(int panel, const std::string& function,
                                           int timeout_ms) {
  // "ok TYPE COUNT items", then each item on a line of its own after two blanks.
  std::istringstream head(Command(std::to_string(panel) + " cmd " + function, timeout_ms));
  std::string ok, type, word;
  std::size_t count = 0;
  if (!(head >> ok >> type >> count >> word) || ok != "ok" || word != "items") return {};
  std::vector<std::string> items;
  std::string line;
  for (std::size_t i = 0; i < count; ++i) {
    if (!ReadLine(line, timeout_ms) || line.rfind("  ", 0) != 0) return {};
    items.push_back(line.substr(2));
  }
  return items;
}

void SimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
      ended = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  for (int* fd : {&to_child_, &from_child_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace ordane::panelsim
