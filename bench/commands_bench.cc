// How long queued commands take to reach the panels: ROWS controller_commands rows for PANELS
// simulated panels (spread round the panels), from the commit of the rows until the simulator
// has carried out the last command of every panel. The real paneldriver, libpanelif.so,
// panelsim and ordanectl run as processes on a SQLite file. Each command sets the text of
// point 1 to its own number; the panel's link keeps its requests in order, so the last text
// arriving means every command before it did. Prints its figures beside the time the Part's
// pacing (0.5 s after every command, for every panel) would take; asserts nothing.
//
// usage: commands_bench [ROWS] [PANELS] [grouped]   (default 1000 rows, 32 panels, the rows
// taking the panels in turn; "grouped" queues all rows of panel 0 first, then those of panel 1...)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "panelsim/process.h"
#include "tests/e2e/child.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using ordane::e2e::Bin;

int Run(const std::vector<std::string>& argv, const fs::path& log) {
  ordane::e2e::Child child(argv, {}, log);
  return child.Wait(120);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int panels = argc > 2 ? std::atoi(argv[2]) : 32;
  const bool grouped = argc > 3 && std::string(argv[3]) == "grouped";
  if (rows < 1 || panels < 1 || panels > 32) {
    std::fprintf(stderr, "usage: commands_bench [ROWS] [PANELS 1..32]\n");
    return 2;
  }
  const fs::path root =
      fs::temp_directory_path() / ("commands_bench_" + std::to_string(::getpid()));
  fs::create_directories(root);
  const std::string cxn = "sqlite:" + (root / "ordane.db").string();
  const fs::path log = root / "bench.log";

  ordane::panelsim::SimProcess sim;
  if (!sim.Start(Bin("panelsim"), {"--panels", std::to_string(panels), "--base-port", "0"})) {
    std::fprintf(stderr, "panelsim: %s\n", sim.error().c_str());
    return 1;
  }
  if (Run({Bin("ordanectl"), "share", "--root", (root / "share").string()}, log) != 0 ||
      Run({Bin("ordanectl"), "demo-data", "--db", cxn, "--panels", std::to_string(panels),
           "--driver-id", "7"},
          log) != 0 ||
      Run({Bin("ordanectl"), "settings", "--file", (root / "ordane.ini").string(), "--db", cxn,
           "--remote", (root / "share").string(), "--status-timer", "1000"},
          log) != 0) {
    std::fprintf(stderr, "ordanectl failed; see %s\n", log.c_str());
    return 1;
  }
  auto sql = ordane::db::NewConnection();
  sql->Open(cxn, "", "");
  for (int i = 0; i < panels; ++i) {
    const auto& p = sim.panels()[static_cast<std::size_t>(i)];
    sql->Execute("update channels set port2 = " + std::to_string(p.port) +
                 " where driver_id = 7 and channel = " + std::to_string(i));
    sql->Execute("update controllers set ec_1_name = '" + p.host + "' where address = '7." +
                 std::to_string(i) + "'");
  }
  ordane::e2e::Child driver({Bin("paneldriver"), "-debug"},
                            {{"ORDANE_SETTINGS", (root / "ordane.ini").string()},
                             {"ORDANE_LOCK_FILE", (root / "driver.lock").string()}},
                            log);
  // Every panel linked: its status file is written.
  for (int waited = 0;; ++waited) {
    int linked = 0;
    for (int i = 0; i < panels; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "Controller%03d", i);
      linked += fs::exists(root / "share" / "Drivers" / "7" / "Status" / name);
    }
    if (linked == panels) break;
    if (waited > 600) {
      std::fprintf(stderr, "the panels did not link; see %s\n", log.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::vector<std::string> last(static_cast<std::size_t>(panels));
  std::vector<std::string> inserts;
  for (int r = 0; r < rows; ++r) {
    const int per_panel = (rows + panels - 1) / panels;
    const int panel = grouped ? r / per_panel : r % panels;
    const std::string text = "C" + std::to_string(r);
    last[static_cast<std::size_t>(panel)] = text;
    inserts.push_back("insert into controller_commands (address, cmd) values ('7." +
                      std::to_string(panel) + "', '402 " + std::to_string(panel) + " 1 " + text +
                      "')");
  }
  ordane::db::InTransaction(*sql, [&] {
    for (const std::string& insert : inserts) sql->Execute(insert);
  });
  const auto start = Clock::now();
  std::vector<bool> done(static_cast<std::size_t>(panels), false);
  int remaining = panels;
  double first_done = -1;
  while (remaining > 0) {
    for (int i = 0; i < panels; ++i) {
      if (done[static_cast<std::size_t>(i)]) continue;
      const std::string answer = sim.Command(std::to_string(i + 1) + " cmd GETPOINTTEXT 1");
      // "ok RetrievePointText 1" TAB the text, padded with blanks.
      std::string text = answer.substr(std::min(answer.size(), answer.find('\t') + 1));
      text.erase(text.find_last_not_of(' ') + 1);
      if (answer.find('\t') != std::string::npos && text == last[static_cast<std::size_t>(i)]) {
        done[static_cast<std::size_t>(i)] = true;
        --remaining;
        if (first_done < 0)
          first_done = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
    if (std::chrono::duration<double>(Clock::now() - start).count() > 3600) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  driver.Signal(SIGTERM);
  driver.Wait(30);
  sim.Stop();

  std::printf(
      "%d command rows for %d panel(s)%s: %s after %.1f s (%.1f commands/s); first panel "
      "done after %.1f s\n",
      rows, panels, grouped ? " queued panel by panel" : "",
      remaining == 0 ? "all carried out" : "NOT all carried out", seconds, rows / seconds,
      first_done);
  std::printf("  the Part's pacing (0.5 s after every command, whatever its panel): %.1f s\n",
              rows * 0.5);
  std::printf("  the per-panel pause alone (0.5 s between two commands of one panel): %.1f s\n",
              ((rows + panels - 1) / panels - 1) * 0.5);
  fs::remove_all(root);
  return remaining == 0 ? 0 : 1;
}
