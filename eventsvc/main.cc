// eventsvc: the event service process. Reads the driver's settings file, watches
// RemotePath/Events with inotify (and scans at an interval, so that nothing missed is left
// lying), and stores the statement files on the access-control database.
//
//   eventsvc            run (under systemd, or in the foreground: lines go to standard error)
//   eventsvc --once     store what waits now, then end (exit 1 when the database is lost)
//   eventsvc --metrics-port N   serve the counters in the Prometheus text format on
//                       127.0.0.1:N/metrics (default 11081; 0 turns it off)
//   eventsvc --install  write the systemd unit ordane-eventsvc.service ($ORDANE_UNIT_DIR, default
//                       /etc/systemd/system); --uninstall removes it
//   eventsvc --help, --version
//
// A lost database stops the taking of files; the service connects again with a growing pause
// (1 s, doubling, at most 30 s) and goes on where it stopped. SIGTERM or SIGINT finishes the
// batch in hand and ends.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "config/config.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/service_control.h"
#include "eventsvc/event_service.h"
#include "syslib/syslib.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/values.h"

namespace ordane {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kUnitName(kEventServiceUnit);

constexpr const char* kUsage =
    "usage: eventsvc [--once | --install | --uninstall | --help | --version] [--metrics-port N]\n"
    "Stores the statement files of RemotePath/Events on the access-control database named by\n"
    "the settings file ($ORDANE_SETTINGS, default /etc/ordane/ordane.ini).\n"
    "\n"
    "  (none)       run until SIGTERM or SIGINT\n"
    "  --once       store the files that wait now, then end (exit 1 when the database is lost)\n"
    "  --install    write the systemd unit ordane-eventsvc.service ($ORDANE_UNIT_DIR, default\n"
    "               /etc/systemd/system)\n"
    "  --uninstall  remove that unit\n"
    "  --metrics-port N  serve the counters at http://127.0.0.1:N/metrics (default 11081, 0 off)\n"
    "  --help       print this text\n"
    "  --version    print the version\n";

// The unit runs beside the driver's ("11000.service") on the same settings file, and may write
// to the shared tree and the database folder that file names.
int Install(const char* argv0) {
  std::error_code ec;
  const auto self = std::filesystem::canonical("/proc/self/exe", ec);
  std::unique_ptr<SystemLibrary> lib = NewSystemLibrary();
  const Settings settings = ProcessEntry(*lib);
  const std::string unit = EventServiceUnitText(
      ec ? std::filesystem::path(argv0) : self,
      WritableFolders(settings.RemotePath, settings.LocalPath, {settings.CxnAccessControl}));
  std::filesystem::create_directories(UnitFolder(), ec);
  if (!WriteFileAtomic(UnitFolder() / kUnitName, unit)) {
    std::fprintf(stderr, "eventsvc: cannot write %s\n", (UnitFolder() / kUnitName).c_str());
    return 1;
  }
  std::printf("unit written to %s\n", (UnitFolder() / kUnitName).c_str());
  return 0;
}

int Uninstall() {
  std::error_code ec;
  std::filesystem::remove(UnitFolder() / kUnitName, ec);
  return std::filesystem::exists(UnitFolder() / kUnitName, ec) ? 1 : 0;
}

// Tells systemd the service is alive while its loop turns; no wait lasts longer than half the
// ping interval, so a service that stops turning is restarted.
struct Watchdog {
  std::chrono::milliseconds interval = WatchdogPingInterval();
  Clock::time_point next{};

  void Ping() {
    if (interval.count() == 0) return;
    const auto now = Clock::now();
    if (now < next) return;
    NotifySystemd("WATCHDOG=1");
    next = now + interval / 2;
  }
  std::chrono::milliseconds Cap(std::chrono::milliseconds wait) const {
    return interval.count() == 0 ? wait : std::min(wait, interval / 2);
  }
};

struct Process {
  int signal_fd = -1;
  int inotify_fd = -1;
  bool stop = false;
  Watchdog watchdog;

  // Waits `pause` for a signal only: the pause between two connection attempts, which new files
  // do not cut short.
  void Pause(std::chrono::milliseconds pause) {
    const auto until = Clock::now() + pause;
    while (!stop && Clock::now() < until) {
      watchdog.Ping();
      pollfd fd{signal_fd, POLLIN, 0};
      const auto left = watchdog.Cap(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
      if (::poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) > 0) CheckSignals();
    }
  }
  // Waits up to `timeout` for a change in the folder or a signal; true when something changed.
  bool Wait(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {inotify_fd, POLLIN, 0}};
    const int n = ::poll(fds, inotify_fd >= 0 ? 2 : 1,
                         static_cast<int>(watchdog.Cap(timeout).count()));
    if (n <= 0) return false;
    CheckSignals();
    bool changed = false;
    if (inotify_fd >= 0 && (fds[1].revents & POLLIN)) {
      alignas(inotify_event) char buffer[16384];
      while (::read(inotify_fd, buffer, sizeof buffer) > 0) changed = true;
    }
    return changed;
  }
  void CheckSignals() {
    signalfd_siginfo info;
    while (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop = true;
  }
};

std::int64_t NumberSetting(SystemLibrary& lib, const char* key, std::int64_t fallback,
                           std::int64_t low, std::int64_t high) {
  std::string text;
  try {
    text = lib.ReadSys1("OS", key);
  } catch (...) {
  }
  if (text.empty()) return fallback;
  const std::int64_t value = NumericValue("0" + text);
  if (value < low || value > high) {
    LogLine(LogLevel::kWarning, std::string("event service: setting ") + key + " = " + text +
                                    " is outside " + std::to_string(low) + ".." +
                                    std::to_string(high) + "; using " + std::to_string(fallback));
    return fallback;
  }
  return value;
}

// The counters at 127.0.0.1:port/metrics, on a thread of their own that reads only atomics.
class MetricsServer {
 public:
  ~MetricsServer() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }
  bool Start(int port) {
    // Not the library's SO_REUSEPORT: a second service would share the port unnoticed.
    server_.set_socket_options([](int sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
      metrics::Text t;
      metrics::EventServiceCounters(t);
      res.set_content(t.str(), metrics::kContentType);
    });
    if (!server_.bind_to_port("127.0.0.1", port)) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 2000 && !server_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
};

int Run(int argc, char** argv) {
  bool once = false;
  int metrics_port = 11081;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--once") {
      once = true;
    } else if (arg == "--metrics-port") {
      const std::string value = i + 1 < argc ? argv[++i] : "";
      if (value.empty() || value.size() > 5 ||
          value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) > 65535) {
        std::fprintf(stderr, "eventsvc: --metrics-port takes a port number (0 to 65535)\n");
        return 2;
      }
      metrics_port = std::stoi(value);
    } else if (arg == "--install") {
      return Install(argv[0]);
    } else if (arg == "--uninstall") {
      return Uninstall();
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("eventsvc (ORDANE) %s\n", ORDANE_VERSION);
      return 0;
    } else {
      std::fprintf(stderr, "eventsvc: unknown argument %s (try --help)\n", arg.c_str());
      return 2;
    }
  }
  if (::isatty(STDERR_FILENO) || !std::getenv("INVOCATION_ID")) SetLogToStderr(true);

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Process p;
  p.signal_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);

  std::unique_ptr<SystemLibrary> lib = NewSystemLibrary();
  const Settings settings = ProcessEntry(*lib);
  if (settings.RemotePath.empty()) {
    LogLine(LogLevel::kError, "event service: the settings file " + SettingsFilePath().string() +
                                  " names no RemotePath; the service ends");
    return 1;
  }
  if (settings.CxnAccessControl.empty()) {
    LogLine(LogLevel::kError, "event service: the settings file " + SettingsFilePath().string() +
                                  " names no Cxn_Access_Control; the service ends");
    return 1;
  }
  lib->set_RemotePath(settings.RemotePath);

  EventServiceOptions options;
  if (!EnsureFolder(settings.RemotePath, "\\Events", &options.events_folder)) {
    LogLine(LogLevel::kError, "event service: cannot create the events folder below " +
                                  settings.RemotePath + "; the service ends");
    return 1;
  }
  options.batch_size =
      static_cast<std::size_t>(NumberSetting(*lib, "EventService_BatchSize", 200, 1, 10000));
  options.keep_days = static_cast<int>(NumberSetting(*lib, "EventService_KeepDays", 30, 1, 3650));
  const auto scan = std::chrono::seconds(NumberSetting(*lib, "EventService_ScanSeconds", 5, 1, 3600));

  p.inotify_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (p.inotify_fd < 0 ||
      ::inotify_add_watch(p.inotify_fd, options.events_folder.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    LogLine(LogLevel::kWarning, std::string("event service: cannot watch the events folder (") +
                                    std::strerror(errno) + "); scanning it every " +
                                    std::to_string(scan.count()) + " s instead");
    if (p.inotify_fd >= 0) ::close(p.inotify_fd);
    p.inotify_fd = -1;
  }

  MetricsServer metrics_server;
  if (!once && metrics_port != 0) {
    if (metrics_server.Start(metrics_port))
      LogLine(LogLevel::kInfo, "event service: metrics on http://127.0.0.1:" +
                                   std::to_string(metrics_port) + "/metrics");
    else
      LogLine(LogLevel::kWarning,
              "event service: cannot serve metrics on 127.0.0.1:" + std::to_string(metrics_port) +
                  " (" + std::strerror(errno) + "); going on without them");
  }

  const std::string user = settings.SqlServerMode != 0 ? settings.DatabaseUser : "";
  const std::string password = settings.SqlServerMode != 0 ? settings.DatabasePassword : "";
  std::unique_ptr<db::Connection> conn = db::NewConnection();
  std::chrono::milliseconds pause(1000);
  bool reported_lost = false;
  bool ready = false;
  Clock::time_point next_prune = Clock::now();

  LogLine(LogLevel::kInfo, "event service: taking statement files from " +
                               options.events_folder.string());
  while (!p.stop) {
    p.watchdog.Ping();
    if (!conn->IsOpen()) {
      try {
        conn->Open(settings.CxnAccessControl, user, password);
        if (reported_lost) LogLine(LogLevel::kInfo, "event service: connected to the database again");
        reported_lost = false;
        pause = std::chrono::milliseconds(1000);
      } catch (const Error& e) {
        if (once) {
          LogLine(LogLevel::kError, std::string("event service: cannot open the database: ") + e.what());
          return 1;
        }
        if (!reported_lost)
          LogLine(LogLevel::kError, std::string("event service: cannot open the database (") +
                                        e.what() + "); trying again");
        reported_lost = true;
        p.Pause(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(30000));
        continue;
      }
    }
    EventService service(options, *lib, *conn);
    if (!ready) {
      NotifySystemd("READY=1");
      ready = true;
    }
    try {
      // Files that arrive while a pass runs are taken by the same pass, without waiting.
      service.Drain([&] {
        p.watchdog.Ping();
        p.CheckSignals();
        return p.stop;
      });
      if (Clock::now() >= next_prune) {
        const auto pruned = service.Prune();
        if (pruned > 0)
          LogLine(LogLevel::kInfo, "event service: pruned " + std::to_string(pruned) +
                                       " identities older than " +
                                       std::to_string(options.keep_days) + " days");
        next_prune = Clock::now() + std::chrono::hours(1);
      }
    } catch (const Error& e) {
      if (!IsLostDatabase(e)) {
        LogLine(LogLevel::kError, std::string("event service: ") + e.what());
      } else {
        LogLine(LogLevel::kError, std::string("event service: the database is lost (") +
                                      e.what() + "); files wait until it is back");
        reported_lost = true;
        metrics::DatabaseLosses.Add();
      }
      conn->Close();
      if (once) return 1;
      p.Pause(pause);
      continue;
    }
    if (once) break;
    p.Wait(scan);
  }
  NotifySystemd("STOPPING=1");
  LogLine(LogLevel::kInfo, "event service: stopped");
  return 0;
}

}  // namespace
}  // namespace ordane

int main(int argc, char** argv) { return ordane::Run(argc, argv); }
