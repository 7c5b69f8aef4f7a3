// The event logger on the demo installation, on one core: events per second through
// I_logevent with the real system library (sealing with the site key, text resources, regions),
// a real SQLite database with the demo data and the demo share (statement files, the routed
// copy for site 2, camera and intercom command files, taken away as their readers would).
//
//   logger_bench [EVENTS]      (default 4000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/clock.h"
#include "core/driver.h"
#include "core/message_loop.h"
#include "core/service_control.h"
#include "db/db.h"
#include "events/event_logger.h"
#include "panel/fake_panel_library.h"
#include "schema/demo.h"
#include "schema/share.h"
#include "syslib/seal.h"
#include "syslib/syslib.h"

namespace fs = std::filesystem;
using namespace ordane;

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 4000;
  const fs::path root = fs::temp_directory_path() / ("logger_bench_" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  std::string why;
  if (!schema::LayDownShare(root / "share", false, &why, 1)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const std::string cxn = "sqlite:" + (root / "ordane.db").string();
  {
    auto c = db::NewConnection();
    c->Open(cxn, "", "");
    schema::DemoOptions demo;
    demo.computer_name = "BENCH";
    schema::LoadDemoData(*c, demo);
  }
  CreateSiteKey(root / "ordane.key", false, nullptr);
  std::ofstream(root / "ordane.ini")
      << "[OS]\nCxn_Access_Control=" << cxn << "\nCxn_Hardware=" << cxn
      << "\nKeyFile=" << (root / "ordane.key").string() << "\n";
  auto lib = NewSystemLibrary(root / "ordane.ini");
  lib->set_RemotePath((root / "share").string());
  lib->Init_CXN("access", 1, 1);
  lib->Init_CXN("hardware", 1, 1);

  MessageLoop loop(RealClock());
  FakePanelLibrary panel;
  ServiceControl service(root / "units", "/usr/bin/paneldriver");
  Driver d(RealClock(), loop, panel, *lib, service);
  d.settings = ReadSettings(*lib);
  d.DriverId = 1;
  d.RemotePath = (root / "share").string();
  d.DriverFolder = (root / "share" / "Drivers" / "1").string();
  d.ComputerNameText = "BENCH";
  d.db.OpenDatabases(1, d.settings, *lib, d.errors);
  LoadRegions(d.regions, d.Hardware(), *lib, d.errors);

  // A mix of what panels report: alarms (one routed, one on a camera point), restores,
  // openings by a user, card events.
  struct Event {
    const char *address, *code, *detail;
    std::int16_t log_type;
  } mix[] = {
      {"1.0.2.I1", "RD001", "", 111},      {"1.0.2.I4", "RD002", "", 101},
      {"1.0", "RD003", "UserID=001", 101}, {"1.0.3.R1", "RO001", "1001", 102},
      {"1.1.2.I5", "RD010", "", 130},      {"1.1.2.I6", "RD011", "", 101},
  };
  // The readers of the files (the event service, the video and intercom drivers, site 2) take
  // them as they come; here every 100 events, inside the timing.
  std::size_t files = 0;
  auto take = [&] {
    for (const char* folder :
         {"Events", "Drivers/90/commands", "Drivers/199/commands", "sites/site2/Events"}) {
      for (const auto& f : fs::directory_iterator(root / "share" / folder)) {
        files += folder[0] == 'E' && f.is_regular_file();
        fs::remove(f.path());
      }
    }
  };
  const auto start = std::chrono::steady_clock::now();
  int kept = 0;
  for (int i = 0; i < events; ++i) {
    if (i % 100 == 0) take();
    const Event& e = mix[i % (sizeof mix / sizeof mix[0])];
    if (I_logevent(d, "12/05/2026;10:11:12", e.address, e.code, e.detail, e.log_type, "",
                   "bench-" + std::to_string(i)) != LogOutcome::kTaken)
      ++kept;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  take();
  std::printf(
      "logger: %d events in %.2f s: %.0f events/s (%zu statement files, %d kept, %zu "
      "error lines)\n",
      events, seconds, events / seconds, files, kept, d.errors.Count());
  fs::remove_all(root);
  return kept == 0 ? 0 : 1;
}
