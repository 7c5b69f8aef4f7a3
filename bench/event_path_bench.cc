// How many panel events a second the driver's event path carries on one core: the event line
// decoded, its log type looked up, the event completed by the description lookups and logged
// into sealed statement files (the real system library, a site key, the demo data on a real
// SQLite file, the demo share). Also the same through whole Main_Process passes, which add the
// command response poll and, with no response waiting, the 32 busy-state calls (to the
// in-process fake library). Prints its figures; asserts nothing.
//
// usage: event_path_bench [EVENTS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/demo_site.h"
#include "config/config.h"
#include "core/driver.h"
#include "db/db.h"
#include "events/decoder.h"
#include "events/event_logger.h"
#include "events/lookups.h"
#include "panel/fake_panel_library.h"
#include "responses/dispatcher.h"
#include "schema/demo.h"
#include "schema/share.h"
#include "syslib/seal.h"
#include "syslib/syslib.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;
using namespace ordane;

namespace {

// Event lines of the kinds a site sends most, on two panels: point alarms and restores, area
// arming with a user, relays, door events with a user, a time set.
std::vector<std::string> Lines() {
  std::vector<std::string> tails = {
      "01 01 04 00", "02 01 04 00", "10 13 0C 0", "11 13 0C 0",
      "14 09 FC 01", "15 09 0F 00", "18 1C 0C 3", "03 11 04 01 02 03 0C 02",
      "17 0C 21 00"};
  std::vector<std::string> lines;
  for (const char* link : {"127.0.0.1", "127.0.0.2"})
    for (const auto& t : tails)
      lines.push_back(std::string(link) + "-12/05/2026 10:00:00 {EVSEQ} " + t);
  return lines;
}

std::string Line(const std::vector<std::string>& lines, long n) {
  return ReplaceAll(lines[static_cast<std::size_t>(n) % lines.size()], "{EVSEQ}",
                    std::to_string(n + 1));
}

void ClearStatements(const fs::path& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
}

}  // namespace

int main(int argc, char** argv) {
  const long events = argc > 1 ? std::atol(argv[1]) : 20000;
  const fs::path root =
      fs::temp_directory_path() / ("event_path_bench_" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  const std::string cxn = bench::LayDownDemoSite(root);
  if (cxn.empty()) return 1;
  {
    auto c = db::NewConnection();
    c->Open(cxn, "", "");
    // The panel event descriptions the driver loads from its INI file at start-up.
    for (const auto& e : schema::PanelEvents())
      c->Execute(
          "insert or ignore into event_descriptions (event_id, description, log_type) values ('RD" +
          ZeroPad(e.number, 3) + "', '" + SqlQuote(e.description) + "', " +
          std::to_string(e.log_type) + ")");
  }

  auto lib = NewSystemLibrary(root / "ordane.ini");
  lib->init();
  TestClock clock(LocalTime{2026, 12, 5, 10, 0, 0});
  MessageLoop loop(clock);
  FakePanelLibrary panel;
  ServiceControl service(root / "units", "/usr/bin/paneldriver");
  Driver d(clock, loop, panel, *lib, service);
  d.DriverId = 7;
  d.RemotePath = (root / "share").string();
  d.DriverFolder = (root / "share" / "Drivers" / "7").string();
  lib->set_RemotePath(d.RemotePath);
  d.db.OpenDatabases(1, d.settings, *lib, d.errors);
  lib->Init_CXN("access", 1, 1);
  lib->Init_CXN("hardware", 1, 1);
  LoadRegions(d.regions, d.Hardware(), *lib, d.errors);
  d.panels[0].PortName = "127.0.0.1";
  d.panels[1].PortName = "127.0.0.2";
  const fs::path statements = root / "share" / "Events";
  const std::vector<std::string> lines = Lines();
  constexpr long kBatch = 2000;  // statement files are cleared between batches, untimed

  using Clock = std::chrono::steady_clock;
  auto run = [&](const char* name, auto&& one) {
    ClearStatements(statements);
    Clock::duration spent{};
    long taken = 0;
    for (long done = 0; done < events;) {
      const auto start = Clock::now();
      for (long i = 0; i < kBatch && done < events; ++i, ++done) taken += one(done);
      spent += Clock::now() - start;
      ClearStatements(statements);
      panel.ClearCalls();
    }
    const double seconds = std::chrono::duration<double>(spent).count();
    std::printf("%-34s %7ld events  %8.0f events/s  %7.1f us/event  (%ld taken)\n", name, events,
                static_cast<double>(events) / seconds, seconds * 1e6 / static_cast<double>(events),
                taken);
  };

  run("decode + log type + I_logevent", [&](long n) {
    std::string buffer = Line(lines, n) + std::string(1, '\0');
    buffer.resize(kEventBufferLength, ' ');
    const DecodedEvent e = Decode_PanelEvent(d, buffer);
    const auto log_type = ToInt16(ValueOf0(r_eventdesc(d, e.code, "Log_Type")));
    return I_logevent(d, e.date + ";" + e.time, e.address, e.code, e.detail, log_type, "",
                      e.identity) == LogOutcome::kTaken;
  });
  run("Main_Process passes", [&](long n) {
    panel.QueueEventLine(Line(lines, n));
    Main_Process(d);
    return d.HeldEventLine.empty();
  });
  for (const auto& line : d.errors.Lines()) std::printf("  list: %s\n", line.c_str());
  fs::remove_all(root);
  return 0;
}
