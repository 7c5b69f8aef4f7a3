#include "db/pgtest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/db.h"

namespace ordane::db {
namespace {

namespace fs = std::filesystem;

std::string FindBin() {
  if (const char* env = std::getenv("ORDANE_PG_BIN"); env != nullptr && *env != '\0') return env;
  std::string best;
  int best_version = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    int version = std::atoi(entry.path().filename().c_str());
    if (version > best_version && fs::exists(entry.path() / "bin" / "initdb")) {
      best_version = version;
      best = (entry.path() / "bin").string();
    }
  }
  if (best.empty()) throw std::runtime_error("no PostgreSQL server programs found");
  return best;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) throw std::runtime_error("socket() failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(s);
    throw std::runtime_error("no free loopback port");
  }
  int port = ntohs(addr.sin_port);
  close(s);
  return port;
}

// The account the server runs as: ourselves, or "postgres" when we are root.
struct Account {
  uid_t uid;
  gid_t gid;
  bool change;
};

Account ServerAccount() {
  if (geteuid() != 0) return {geteuid(), getegid(), false};
  passwd* pw = getpwnam("postgres");
  if (pw == nullptr) throw std::runtime_error("running as root and no \"postgres\" user exists");
  return {pw->pw_uid, pw->pw_gid, true};
}

// Runs `argv` as the server account, output appended to `log`; returns the exit status.
int Run(const std::vector<std::string>& argv, const std::string& log) {
  Account account = ServerAccount();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork() failed");
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    if (account.change && (setgid(account.gid) != 0 || setuid(account.uid) != 0)) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string Tail(const std::string& file) {
  std::ifstream in(file);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

}  // namespace

TempPostgres::TempPostgres() {
  bin_ = FindBin();
  char pattern[] = "/tmp/ordane-pg-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  folder_ = pattern;
  Account account = ServerAccount();
  if (account.change && chown(folder_.c_str(), account.uid, account.gid) != 0) {
    fs::remove_all(folder_);
    throw std::runtime_error("cannot hand " + folder_ + " to the postgres user");
  }
  // Our own output goes to setup.log (opened by us); the server writes server.log itself.
  const std::string log = folder_ + "/setup.log";
  const std::string server_log = folder_ + "/server.log";
  try {
    if (Run({bin_ + "/initdb", "-D", folder_ + "/data", "-U", "ordane", "-A", "trust", "-E", "UTF8",
             "--no-sync", "--locale=C"},
            log) != 0) {
      throw std::runtime_error("initdb failed: " + Tail(log));
    }
    // A port can be taken between our probe and the server's bind: try a few.
    for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
      port_ = FreePort();
      running_ = StartServer();
    }
    if (!running_)
      throw std::runtime_error("the server did not start: " + Tail(log) + Tail(server_log));
    CreateDatabase("ordane");
  } catch (...) {
    Stop();
    std::error_code ec;
    fs::remove_all(folder_, ec);
    throw;
  }
}

bool TempPostgres::StartServer() {
  // No fsync (the tests do not survive a power cut), but every commit is written out before it
  // is acknowledged, so that a server stopped at once, as the tests do, keeps what it confirmed.
  const std::string options = "-p " + std::to_string(port_) + " -k " + folder_ +
                              " -c listen_addresses=127.0.0.1 -c fsync=off"
                              " -c full_page_writes=off";
  return Run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-o", options, "-l",
              folder_ + "/server.log", "-w", "-t", "60", "start"},
             folder_ + "/setup.log") == 0;
}

void TempPostgres::Restart() {
  if (running_) return;
  if (!StartServer())
    throw std::runtime_error("the server did not start again: " + Tail(folder_ + "/server.log"));
  running_ = true;
}

TempPostgres::~TempPostgres() {
  Stop();
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

std::string TempPostgres::UriFor(const std::string& database) const {
  return "postgresql://ordane@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string TempPostgres::CreateDatabase(const std::string& name) {
  auto c = NewConnection();
  c->Open(UriFor("postgres"), "", "");
  c->Execute("CREATE DATABASE \"" + name + "\"");
  c->Close();
  return UriFor(name);
}

void TempPostgres::Stop() {
  if (!running_) return;
  running_ = false;
  Run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "immediate", "-w", "stop"},
      folder_ + "/setup.log");
}

std::unique_ptr<TempPostgres> StartTempPostgres(std::string* why) {
  try {
    return std::make_unique<TempPostgres>();
  } catch (const std::exception& e) {
    if (why != nullptr) *why = e.what();
    return nullptr;
  }
}

}  // namespace ordane::db
