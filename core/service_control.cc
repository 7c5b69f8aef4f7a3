#include "core/service_control.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "core/log.h"
#include "db/db.h"
#include "util/ini.h"
#include "util/text.h"

extern char** environ;

namespace fs = std::filesystem;

namespace ordane {

namespace {

std::string ParameterSection(std::string_view section) { return "X-" + std::string(section); }

}  // namespace

ServiceControl::ServiceControl(fs::path unit_dir, fs::path executable)
    : unit_dir_(std::move(unit_dir)), executable_(std::move(executable)) {}

fs::path UnitFolder() {
  const char* dir = std::getenv("ORDANE_UNIT_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

ServiceControl ServiceControl::FromEnvironment() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ServiceControl(UnitFolder(), exe);
}

fs::path ServiceControl::UnitPath() const {
  return unit_dir_ / (std::string(kServiceName) + ".service");
}

namespace {

// What every unit of the system's services shares: who it runs as, and the sandbox. The
// services need the network (panels, PostgreSQL) and their folders, nothing else of the system.
constexpr std::string_view kSandbox =
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "PrivateIPC=yes\n"
    "UMask=0027\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

bool Below(const fs::path& path, const fs::path& folder) {
  const fs::path rel = path.lexically_normal().lexically_relative(folder);
  return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

std::string ServiceUnitText(std::string_view description, const fs::path& executable,
                            const std::vector<fs::path>& writable, std::string_view service_lines) {
  std::string environment;
  if (const char* settings = std::getenv("ORDANE_SETTINGS"); settings && *settings)
    environment = "Environment=ORDANE_SETTINGS=" + std::string(settings) + "\n";
  // A folder that is missing when the service starts is skipped ("-"), not an error.
  std::string paths = "ReadWritePaths=-/run/lock\n";
  for (const fs::path& p : writable) paths += "ReadWritePaths=-" + p.string() + "\n";
  const std::string state(kStateFolder.substr(kStateFolder.rfind('/') + 1));
  return "[Unit]\n"
         "Description=" + std::string(description) + "\n"
         "After=network-online.target postgresql.service\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" + executable.string() + "\n" +
         environment +
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=30\n"
         "WatchdogSec=" + std::to_string(kWatchdogSeconds) + "\n"
         "Restart=on-failure\n" +
         std::string(service_lines) +
         "User=" + std::string(kServiceUser) + "\n"
         "Group=" + std::string(kServiceUser) + "\n"
         "StateDirectory=" + state + "\n"
         "StateDirectoryMode=0750\n"
         "WorkingDirectory=" + std::string(kStateFolder) + "\n" +
         paths +
         std::string(kSandbox) +
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string DriverUnitText(const fs::path& executable, const std::vector<fs::path>& writable) {
  return ServiceUnitText(kServiceDisplayName, executable, writable,
                         "RestartSec=5\n"
                         // A driver whose settings are unusable ends with EX_CONFIG:
                         // restarting it would fail the same way.
                         "RestartPreventExitStatus=78\n"
                         // Panels on serial lines and modems; nothing else of /dev.
                         "SupplementaryGroups=dialout\n"
                         "DevicePolicy=closed\n"
                         "DeviceAllow=char-ttyS rw\n"
                         "DeviceAllow=char-ttyUSB rw\n"
                         "DeviceAllow=char-ttyACM rw\n"
                         "DeviceAllow=char-pts rw\n"
                         "DeviceAllow=/dev/ptmx rw\n");
}

std::string EventServiceUnitText(const fs::path& executable, const std::vector<fs::path>& writable) {
  return ServiceUnitText("ORDANE event service: statement files into the database", executable,
                         writable, "RestartSec=2\nPrivateDevices=yes\n");
}

std::vector<fs::path> WritableFolders(std::string_view remote_path, std::string_view local_path,
                                      const std::vector<std::string>& connections) {
  std::vector<fs::path> folders;
  auto add = [&](fs::path p) {
    if (p.empty() || p.is_relative()) return;
    p = p.lexically_normal();
    if (p.has_filename() == false) p = p.parent_path();
    if (Below(p, kStateFolder) || p == fs::path(kStateFolder)) return;
    if (std::find(folders.begin(), folders.end(), p) == folders.end()) folders.push_back(p);
  };
  add(std::string(remote_path));
  add(std::string(local_path));
  for (const std::string& cxn : connections) {
    if (db::BackendOf(cxn) != db::Backend::kSqlite) continue;
    std::string file = Trim(cxn);
    if (LCase(Left(file, 7)) == "sqlite:") file = file.substr(7);
    if (file.starts_with("//")) file = file.substr(2);
    // SQLite writes its journal beside the file.
    add(fs::path(file).parent_path());
  }
  return folders;
}

bool ServiceControl::Install(const std::vector<fs::path>& writable) {
  const std::string unit = DriverUnitText(executable_, writable) +
                           "\n"
                           "[X-Service]\n"
                           "Name=" + std::string(kServiceName) + "\n"
                           "Group=" + std::string(kServiceGroup) + "\n";
  std::error_code ec;
  fs::create_directories(unit_dir_, ec);
  if (!WriteFileAtomic(UnitPath(), unit)) return false;
  if (unit_dir_ == "/etc/systemd/system" && fs::exists("/run/systemd/system"))
    SpawnDetached({"systemctl", "daemon-reload"});
  return true;
}

bool ServiceControl::Uninstall() {
  std::error_code ec;
  fs::remove(UnitPath(), ec);
  return !fs::exists(UnitPath(), ec);
}

bool ServiceControl::SaveSetting(std::string_view section, std::string_view key,
                                 std::string_view value) {
  return WriteProfileString(UnitPath(), ParameterSection(section), key, value);
}

std::string ServiceControl::ReadSetting(std::string_view section, std::string_view key) const {
  return ReadProfileString(UnitPath(), ParameterSection(section), key);
}

void ServiceControl::StartService() { NotifySystemd("READY=1"); }

void ServiceControl::LogEvent(int type, int id, std::string_view text) {
  LogLevel level = LogLevel::kInfo;
  if (type == kEventError || id == kEventError || type == kMessageError || id == kMessageError)
    level = LogLevel::kError;
  else if (type == kEventWarning)
    level = LogLevel::kWarning;
  LogLine(level, "[event " + std::to_string(type) + "," + std::to_string(id) + "] " +
                     std::string(text));
}

void ServiceControl::RequestStop() {
  if (std::getenv("INVOCATION_ID") == nullptr) return;  // not started by systemd
  SpawnDetached({"systemctl", "stop", "--no-block", std::string(kServiceName)});
}

std::filesystem::path InstanceLockPath() {
  if (const char* p = std::getenv("ORDANE_LOCK_FILE"); p && *p) return p;
  if (::access("/run/lock", W_OK) == 0)
    return "/run/lock/ordane-" + std::string(kServiceName) + ".lock";
  return fs::temp_directory_path() /
         ("ordane-" + std::string(kServiceName) + "-" + std::to_string(::getuid()) + ".lock");
}

bool AcquireInstanceLock() {
  const std::string path = InstanceLockPath().string();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    LogLine(LogLevel::kError, "cannot open the instance lock " + path + ": " + std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true;  // the descriptor stays open for the life of the process
}

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    LogLine(LogLevel::kError, "cannot start " + argv[0] + ": " + std::strerror(rc));
    return false;
  }
  LogLine(LogLevel::kInfo, "started " + argv[0] + " (pid " + std::to_string(pid) + ")");
  return true;
}

void NotifySystemd(std::string_view state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract socket
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // Never waits: a notice that cannot be sent at once must not hold up the loop that sends it.
  ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  ::close(fd);
}

std::chrono::milliseconds WatchdogPingInterval() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return std::chrono::milliseconds(0);
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid) {
    if (std::strtoll(pid, nullptr, 10) != static_cast<long long>(::getpid()))
      return std::chrono::milliseconds(0);
  }
  const long long us = std::strtoll(usec, nullptr, 10);
  if (us <= 0) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(std::max<long long>(us / 2000, 1));
}

}  // namespace ordane
