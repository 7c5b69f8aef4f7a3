// The panel driver's process entry: settings, the panel interface library, the start-up
// sequence, then the message loop until the driver ends.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "config/config.h"
#include "panel/panel_library.h"
#include "core/driver.h"
#include "core/log.h"
#include "service/console.h"
#include "service/shell.h"
#include "service/startup.h"
#include "service/timers.h"
#include "syslib/syslib.h"
#include "util/text.h"

namespace ordane {
namespace {

// Stands in for the panel interface library where it is not needed (installing and removing
// the service) or could not be loaded: every call fails with the reason.
class MissingPanelLibrary final : public PanelLibrary {
 public:
  explicit MissingPanelLibrary(std::string why) : why_(std::move(why)) {}
#define ORDANE_MISSING_TEXT(name) \
  std::int16_t name(std::string&) override { throw Error(kErrFileNotFound, why_); }
#define ORDANE_MISSING_NONE(name) \
  std::int16_t name() override { throw Error(kErrFileNotFound, why_); }
#define ORDANE_MISSING(name, kind) ORDANE_MISSING_##kind(name)
  ORDANE_PANEL_EXPORTS(ORDANE_MISSING)
#undef ORDANE_MISSING
#undef ORDANE_MISSING_TEXT
#undef ORDANE_MISSING_NONE
 private:
  std::string why_;
};

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  return set;
}

// Signals are the service manager's events. Nothing runs in a signal handler: a thread waits
// for them and posts the event to the driver's loop.
void StartSignalThread(Driver& d) {
  std::thread([&d] {
    sigset_t set = ServiceSignals();
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      switch (sig) {
        case SIGTERM:
        case SIGINT: d.loop.Post([&d] { OnServiceStop(d); }); break;
        case SIGTSTP: d.loop.Post([&d] { OnServicePause(d); }); break;
        case SIGCONT: d.loop.Post([&d] { OnServiceContinue(d); }); break;
      }
    }
  }).detach();
}

constexpr const char* kUsage =
    "usage: paneldriver [-debug | -install | -uninstall | -uninstallq | --help | --version]\n"
    "The ORDANE panel driver, service \"11000\". It reads its settings from section [OS] of\n"
    "$ORDANE_SETTINGS (default /etc/ordane/ordane.ini).\n"
    "\n"
    "  (none)       run as the service (under systemd: readiness and watchdog notices)\n"
    "  -debug       run in the foreground, the console lines on standard error\n"
    "  -install     write the systemd unit 11000.service ($ORDANE_UNIT_DIR, default\n"
    "               /etc/systemd/system) and end\n"
    "  -uninstall   remove that unit and end (-uninstallq: the same)\n"
    "  --help       print this text\n"
    "  --version    print the version\n"
    "\n"
    "Switches are read without regard to case. Any other command line stops the driver at once.\n";

bool ServiceSwitch(const std::string& command_line) {
  const std::string cmd = LCase(Trim(command_line));
  return cmd == "-install" || cmd == "-uninstall" || cmd == "-uninstallq";
}

int Run(int argc, char** argv) {
  // Every thread started from here on inherits the blocked set.
  sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGCHLD, SIG_IGN);  // programs started without waiting are reaped by the system
  signal(SIGPIPE, SIG_IGN);

  std::string command_line;
  for (int i = 1; i < argc; ++i) command_line += (i > 1 ? " " : "") + std::string(argv[i]);
  // What every Linux program answers; any other unknown switch keeps the service shell's rule.
  if (LCase(Trim(command_line)) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (LCase(Trim(command_line)) == "--version") {
    std::printf("paneldriver (ORDANE) %s\n", ORDANE_VERSION);
    return 0;
  }
  if (LCase(Trim(command_line)) == "-debug") SetLogToStderr(true);

  std::unique_ptr<SystemLibrary> lib = NewSystemLibrary();
  Settings settings = ProcessEntry(*lib);
  // A setting that cannot be read is used empty, as the settings rules say; the operator hears
  // which one.
  for (const std::string& problem : settings.problems) StartUpLine(LogLevel::kError, problem);

  std::unique_ptr<PanelLibrary> panel;
  if (ServiceSwitch(command_line)) {
    panel = std::make_unique<MissingPanelLibrary>("not loaded while installing");
  } else {
    std::string path;
    try {
      path = lib->ReadSys1("OS", "PanelLibrary");
    } catch (...) {
    }
    if (path.empty()) path = DefaultPanelLibraryPath().string();
    try {
      panel = LoadPanelLibrary(path);
    } catch (const Error& e) {
      LogLine(LogLevel::kError, std::string("cannot load the panel interface library: ") + e.what());
      std::fprintf(stderr, "paneldriver: cannot load the panel interface library: %s\n", e.what());
      return 1;
    }
  }

  MessageLoop loop(RealClock());
  ServiceControl service = ServiceControl::FromEnvironment();
  Driver d(RealClock(), loop, *panel, *lib, service);
  d.settings = settings;
  d.errors.debug = settings.DriverDebug;
  d.errors.sql_server_mode = settings.SqlServerMode;
  d.errors.on_database_gone = [&d] { Shutdown(d); };
  CreateTimers(d);
  // systemd restarts a driver whose loop stops turning: the loop itself says it is alive, so a
  // handler that hangs silences it. WaitSeconds and the other yields run it too.
  if (const auto ping = WatchdogPingInterval(); ping.count() > 0)
    loop.AddTimer("Watchdog", ping / 2, true, [] { NotifySystemd("WATCHDOG=1"); });

  try {
    START_UP(d, command_line);
    StartSignalThread(d);
    // Stopped before the driver goes: it is destroyed first when the process ends.
    std::unique_ptr<Console> console = StartConsole(d);
    LogLine(LogLevel::kInfo, "panel driver started as driver " + std::to_string(d.DriverId) +
                                 " in " + d.DriverFolder);
    loop.Run();
  } catch (const EndProcess& end) {
    return end.code;
  }
  return 0;
}

}  // namespace
}  // namespace ordane

int main(int argc, char** argv) { return ordane::Run(argc, argv); }
