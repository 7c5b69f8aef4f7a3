// Helpers of the end-to-end tests: child processes with their own environment and log, waiting
// for a condition, and the programs of the build.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ordane::e2e {

namespace fs = std::filesystem;

using Env = std::map<std::string, std::string>;

// A child process with extra environment; stdout and stderr go to `log`.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const Env& env, const fs::path& log) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string v(*e);
      if (!env.count(v.substr(0, v.find('=')))) vars.push_back(v);
    }
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it has not ended within `seconds`.
  int Wait(int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// Polls `done` until it holds or `seconds` pass.
inline bool Eventually(const std::function<bool()>& done, int seconds = 30) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

// A loopback TCP port that was free a moment ago (nothing listens on it once this returns).
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A program of this build (ORDANE_BIN_DIR is set by the test's CMake target).
inline std::string Bin(const char* name) { return (fs::path(ORDANE_BIN_DIR) / name).string(); }

}  // namespace ordane::e2e
