// The whole event path under load: 32 simulated panels, the real paneldriver (with
// libpanelif.so) and the real eventsvc on a fresh SQLite site (PostgreSQL with --pg), measured
// in one run and printed as a table, each figure beside its goal. Asserts nothing.
//
//   1. the hand-over limit of this machine: per event a small file created, renamed, read and
//      deleted, plus one single-row commit on the same database (measured first, alone);
//   2. sustained events a second from the panels in load mode to `events` rows;
//   3. the delay from a panel raising an event to its row at a steady 100 events a second in
//      all (this program raises them and polls the database every few milliseconds);
//   4. 10,000 events kept by the panels while the driver is stopped: the time from starting the
//      driver until all of them are rows;
//   5. the peak memory (VmHWM) of the driver and of the event service;
//   6. the staleness of the panel status: whenever a status file is written, its time less the
//      panel's own time in its `PanelStatus` text (DATE=, TIME=), over --staleness-seconds.
//
// usage: event_storm [--pg] [--staleness-seconds S] [--storm-rate R] [--storm-seconds S]
//                    [--latency-seconds S] [--drain-budget MS] [--keep]
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "db/pgtest.h"
#include "panelsim/process.h"
#include "tests/e2e/child.h"
#include "util/ini.h"

namespace fs = std::filesystem;
using ordane::e2e::Bin;
using ordane::e2e::Child;
using ordane::e2e::Env;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPanels = 32;
constexpr int kBuffered = 10000;

struct Options {
  bool pg = false;
  bool keep = false;
  double staleness_seconds = 600;
  double storm_rate = 4000;  // events a second offered by all panels together
  double storm_seconds = 15;
  double latency_seconds = 30;
  int drain_budget_ms = 0;  // the driver's Drain_Budget; 0 keeps its default
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}
void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// VmHWM of a live process in kB, or -1.
long PeakKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int Run(const std::vector<std::string>& argv, const fs::path& log) {
  Child c(argv, {}, log);
  return c.started() ? c.Wait(120) : -1;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
  return v[std::min(at, v.size() - 1)];
}

class Storm {
 public:
  Storm(const Options& o, const fs::path& root, std::string cxn)
      : o_(o), root_(root), cxn_(std::move(cxn)), log_(root / "bench.log") {}

  int Main();

 private:
  bool MakeSite();
  // Rows of panel events (system code RD); the driver's own link events (HS) are left out.
  long Rows() {
    try {
      const auto rs = sql_->Query("select count(*) from events where event_id like 'RD%'");
      return rs.rows.empty() || !rs.rows[0][0] ? 0 : std::stol(*rs.rows[0][0]);
    } catch (...) {
      return -1;
    }
  }
  // Events raised in load mode by all panels so far.
  long LoadSent() {
    long sum = 0;
    for (int n = 1; n <= kPanels; ++n) {
      const std::string s = sim_.Command(std::to_string(n) + " status");
      const auto at = s.find("load_sent=");
      if (at != std::string::npos) sum += std::atol(s.c_str() + at + 10);
    }
    return sum;
  }
  bool WaitRows(long target, double timeout) {
    const auto start = Clock::now();
    while (Rows() < target) {
      if (Seconds(start) > timeout) return false;
      Sleep(50);
    }
    return true;
  }
  void StartDriver() {
    driver_ = std::make_unique<Child>(
        std::vector<std::string>{Bin("paneldriver"), "-debug"},
        Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()},
            {"ORDANE_LOCK_FILE", (root_ / "driver.lock").string()}},
        root_ / "driver.log");
  }
  fs::path StatusFile(int slot) {
    char name[32];
    std::snprintf(name, sizeof name, "Controller%03d", slot);
    return root_ / "share" / "Drivers" / "7" / "Status" / name;
  }

  double HandOverLimit();
  double Sustained(long* raised, long* rows, double* drain);
  std::vector<double> Delays();
  double Buffered();
  void Staleness(double* first_max, double* last_max, double* first_mean, double* last_mean,
                 double* window, long* samples);

  Options o_;
  fs::path root_;
  std::string cxn_;
  fs::path log_;
  ordane::panelsim::SimProcess sim_;
  std::unique_ptr<ordane::db::Connection> sql_;
  std::unique_ptr<Child> driver_, service_;
  long waiting_files_ = 0;
};

bool Storm::MakeSite() {
  if (!sim_.Start(Bin("panelsim"), {"--panels", std::to_string(kPanels), "--base-port", "0"})) {
    std::fprintf(stderr, "panelsim: %s\n", sim_.error().c_str());
    return false;
  }
  if (Run({Bin("ordanectl"), "share", "--root", (root_ / "share").string()}, log_) != 0 ||
      Run({Bin("ordanectl"), "demo-data", "--db", cxn_, "--panels", std::to_string(kPanels),
           "--driver-id", "7"},
          log_) != 0 ||
      Run({Bin("ordanectl"), "settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn_,
           "--remote", (root_ / "share").string(), "--status-timer", "1000"},
          log_) != 0) {
    std::fprintf(stderr, "ordanectl failed; see %s\n", log_.c_str());
    return false;
  }
  if (o_.drain_budget_ms > 0) {
    ordane::IniDocument ini = ordane::IniDocument::Load(root_ / "ordane.ini");
    ini.Set("OS", "Drain_Budget", std::to_string(o_.drain_budget_ms));
    if (!ini.Save(root_ / "ordane.ini")) return false;
  }
  sql_ = ordane::db::NewConnection();
  sql_->Open(cxn_, "", "");
  // The simulator's ports were picked by the system; the demo data's panels follow them.
  for (int i = 0; i < kPanels; ++i) {
    const auto& p = sim_.panels()[static_cast<std::size_t>(i)];
    sql_->Execute("update channels set port2 = " + std::to_string(p.port) +
                  " where driver_id = 7 and channel = " + std::to_string(i));
    sql_->Execute("update controllers set ec_1_name = '" + p.host + "' where address = '7." +
                  std::to_string(i) + "'");
  }
  return true;
}

// Per event: a small file placed under a temporary name, renamed, read back and deleted, and
// one single-row commit, all on the site's own folder and database.
double Storm::HandOverLimit() {
  const fs::path folder = root_ / "handover";
  fs::create_directories(folder);
  const std::string body(420, 'x');  // about a sealed events statement
  const std::string insert =
      "insert into events (address, event_id, name, data) values ('7.0.2.I1', 'RD001', "
      "'hand-over', '";
  const auto start = Clock::now();
  int n = 0;
  char buf[1024];
  while (n < 20000 && (n < 200 || Seconds(start) < 4)) {
    const std::string tmp = (folder / (".7_" + std::to_string(n) + ".evn")).string();
    const std::string name = (folder / ("7_" + std::to_string(n) + ".evn")).string();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ::write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()))
      return NAN;
    ::close(fd);
    if (::rename(tmp.c_str(), name.c_str()) != 0) return NAN;
    fd = ::open(name.c_str(), O_RDONLY);
    if (fd < 0 || ::read(fd, buf, sizeof buf) <= 0) return NAN;
    ::close(fd);
    ::unlink(name.c_str());
    sql_->Execute(insert + std::to_string(n) + "')");
    ++n;
  }
  const double rate = n / Seconds(start);
  sql_->Execute("delete from events");
  fs::remove_all(folder);
  return rate;
}

// The panels raise o_.storm_rate events a second in all; after a few seconds to settle, the
// rows stored in o_.storm_seconds give the rate. Then the load stops and every raised event
// must become a row (the time that takes is returned in *drain).
double Storm::Sustained(long* raised, long* rows, double* drain) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.4f", o_.storm_rate / kPanels);
  const long base = Rows();
  sim_.Command(std::string("all load ") + rate);
  Sleep(3000);
  const long before = Rows();
  const auto start = Clock::now();
  Sleep(static_cast<int>(o_.storm_seconds * 1000));
  const long after = Rows();
  const double result = (after - before) / Seconds(start);
  // Where the events wait tells which stage limits: statement files in the folder are the
  // event service's, events still in the panels the driver's.
  waiting_files_ = 0;
  for (const auto& e : fs::directory_iterator(root_ / "share" / "Events"))
    waiting_files_ += e.is_regular_file();
  sim_.Command("all load 0");
  *raised = LoadSent();
  const auto stop = Clock::now();
  WaitRows(base + *raised, 300);
  *drain = Seconds(stop);
  *rows = Rows() - base;
  return result;
}

// Events at a steady 100 a second in all, raised by this program one at a time (the row keeps
// neither the event's data nor its number, so the raise time cannot travel with the event):
// point P of panel N opens, N and P taking turns so that an address comes back only every
// 10 s. Each new row is matched by its address to the raise time of that address's event.
std::vector<double> Storm::Delays() {
  long last_id = 0;
  {
    const auto rs = sql_->Query("select max(id) from events");
    if (!rs.rows.empty() && rs.rows[0][0]) last_id = std::stol(*rs.rows[0][0]);
  }
  const long base = Rows();
  std::map<std::string, Clock::time_point> raised;  // address -> raise time
  std::vector<double> delays;
  const auto start = Clock::now();
  const int total = static_cast<int>(o_.latency_seconds * 100);
  int sent = 0;
  while (sent < total || (!raised.empty() && Seconds(start) < o_.latency_seconds + 30)) {
    while (sent < total && Seconds(start) >= sent / 100.0) {
      const int panel = sent % kPanels, point = sent / kPanels % 32;
      char line[64];
      std::snprintf(line, sizeof line, "%d inject 01 01 %02X 00", panel + 1, point);
      const auto at = Clock::now();
      sim_.Command(line);
      raised["7." + std::to_string(panel) + ".2.I" + std::to_string(point + 1)] = at;
      ++sent;
    }
    const auto rs =
        sql_->Query("select id, address from events where id > " + std::to_string(last_id));
    const auto now = Clock::now();
    for (const auto& row : rs.rows) {
      if (!row[0]) continue;
      last_id = std::max(last_id, std::stol(*row[0]));
      const auto it = raised.find(row[1].value_or(""));
      if (it == raised.end()) continue;
      delays.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
      raised.erase(it);
    }
    Sleep(3);
  }
  WaitRows(base + total, 60);
  return delays;
}

// The driver stops; the panels raise kBuffered events between them; the driver starts.
double Storm::Buffered() {
  driver_->Signal(SIGTERM);
  driver_->Wait(30);
  const long base = Rows();
  for (int i = 0; i < kBuffered; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%d inject 01 01 %02X 00", i % kPanels + 1, i / kPanels % 32);
    sim_.Command(line);
  }
  const auto start = Clock::now();
  StartDriver();
  if (!WaitRows(base + kBuffered, 300)) return NAN;
  return Seconds(start);
}

// Watches every status file; each time one is written, its time less the panel's time in it.
void Storm::Staleness(double* first_max, double* last_max, double* first_mean, double* last_mean,
                      double* window, long* samples) {
  *window = std::min(60.0, o_.staleness_seconds / 2);
  std::vector<timespec> seen(kPanels, timespec{});
  struct Sample {
    double at, age;
  };
  std::vector<Sample> all;
  const auto start = Clock::now();
  while (Seconds(start) < o_.staleness_seconds) {
    for (int i = 0; i < kPanels; ++i) {
      struct stat st {};
      const std::string path = StatusFile(i).string();
      if (::stat(path.c_str(), &st) != 0) continue;
      if (st.st_mtim.tv_sec == seen[i].tv_sec && st.st_mtim.tv_nsec == seen[i].tv_nsec) continue;
      seen[i] = st.st_mtim;
      std::ifstream in(path);
      std::string line, status;
      while (std::getline(in, line))
        if (line.rfind("PanelStatus=", 0) == 0) status = line;
      const auto d = status.find("DATE="), t = status.find("TIME=");
      if (d == std::string::npos || t == std::string::npos) continue;
      std::tm tm{};
      if (std::sscanf(status.c_str() + d, "DATE=%d/%d/%d", &tm.tm_mon, &tm.tm_mday, &tm.tm_year) != 3 ||
          std::sscanf(status.c_str() + t, "TIME=%d:%d:%d", &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 3)
        continue;
      tm.tm_mon -= 1;
      tm.tm_year -= 1900;
      tm.tm_isdst = -1;
      const double panel = static_cast<double>(std::mktime(&tm));
      const double written = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
      all.push_back({Seconds(start), written - panel});
    }
    Sleep(100);
  }
  *samples = static_cast<long>(all.size());
  double fsum = 0, lsum = 0;
  long fn = 0, ln = 0;
  *first_max = *last_max = NAN;
  for (const auto& s : all) {
    if (s.at < *window) {
      *first_max = std::isnan(*first_max) ? s.age : std::max(*first_max, s.age);
      fsum += s.age;
      ++fn;
    }
    if (s.at >= o_.staleness_seconds - *window) {
      *last_max = std::isnan(*last_max) ? s.age : std::max(*last_max, s.age);
      lsum += s.age;
      ++ln;
    }
  }
  *first_mean = fn ? fsum / fn : NAN;
  *last_mean = ln ? lsum / ln : NAN;
}

void Line(const char* what, const std::string& measured, const std::string& goal, int ok) {
  std::printf("  %-46s %-22s %-26s %s\n", what, measured.c_str(), goal.c_str(),
              ok < 0 ? "" : ok ? "met" : "SHORT");
}
std::string Fmt(const char* f, double v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

int Storm::Main() {
  if (!MakeSite()) return 1;
  std::fprintf(stderr, "measuring the hand-over limit...\n");
  const double limit = HandOverLimit();

  StartDriver();
  service_ = std::make_unique<Child>(std::vector<std::string>{Bin("eventsvc")},
                                     Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()}},
                                     root_ / "eventsvc.log");
  // Every panel linked: its status file is written.
  for (int waited = 0;; ++waited) {
    int linked = 0;
    for (int i = 0; i < kPanels; ++i) linked += fs::exists(StatusFile(i));
    if (linked == kPanels) break;
    if (waited > 600) {
      std::fprintf(stderr, "the panels did not link; see %s\n", root_.c_str());
      return 1;
    }
    Sleep(100);
  }
  std::fprintf(stderr, "sustained storm (%.0f events/s offered)...\n", o_.storm_rate);
  long raised = 0, stored = 0;
  double drain = 0;
  const double sustained = Sustained(&raised, &stored, &drain);
  std::fprintf(stderr, "delays at 100 events/s...\n");
  const std::vector<double> delays = Delays();
  const long driver_peak_1 = PeakKb(driver_->pid());
  std::fprintf(stderr, "%d events buffered while the driver is stopped...\n", kBuffered);
  const double buffered = Buffered();
  std::fprintf(stderr, "panel status staleness for %.0f s...\n", o_.staleness_seconds);
  double fmax, lmax, fmean, lmean, window;
  long samples = 0;
  Staleness(&fmax, &lmax, &fmean, &lmean, &window, &samples);
  const long driver_peak = std::max(driver_peak_1, PeakKb(driver_->pid()));
  const long service_peak = PeakKb(service_->pid());
  driver_->Signal(SIGTERM);
  service_->Signal(SIGTERM);
  driver_->Wait(30);
  service_->Wait(30);
  sim_.Stop();

  const double p50 = Percentile(delays, 50), p99 = Percentile(delays, 99);
  const double period = 11 * 1.0;  // 11 status ticks of Status_Timer 1000 ms
  std::printf("event_storm: %d simulated panels, paneldriver + eventsvc on %s in %s%s\n",
              kPanels, o_.pg ? "PostgreSQL" : "SQLite", root_.parent_path().c_str(),
              o_.drain_budget_ms > 0 ? Fmt(", Drain_Budget %.0f ms", static_cast<double>(o_.drain_budget_ms)).c_str()
                                     : "");
  std::printf("  %-46s %-22s %-26s\n", "figure", "measured", "goal");
  Line("hand-over limit (file + one-row commit)", Fmt("%.0f /s", limit), "-", -1);
  Line("sustained events to rows", Fmt("%.0f /s", sustained),
       Fmt(">= 2000 /s and >= %.0f /s", 0.3 * limit),
       sustained >= 2000 && sustained >= 0.3 * limit);
  std::printf(
      "    (%.0f /s offered for %.0f s; %ld statement files waiting at its end; then %ld raised,\n"
      "     %ld rows, %.1f s to drain)\n",
      o_.storm_rate, o_.storm_seconds, waiting_files_, raised, stored, drain);
  Line("delay raise -> row at 100 /s, p50", Fmt("%.1f ms", p50), "<= 60 ms", p50 <= 60);
  Line("delay raise -> row at 100 /s, p99", Fmt("%.1f ms", p99), "<= 150 ms", p99 <= 150);
  std::printf("    (%zu events over %.0f s; max %.1f ms)\n", delays.size(), o_.latency_seconds,
              delays.empty() ? NAN : *std::max_element(delays.begin(), delays.end()));
  Line("10,000 buffered events, driver start -> rows", Fmt("%.1f s", buffered), "<= 10 s",
       buffered <= 10);
  Line("peak memory, paneldriver (VmHWM)", Fmt("%.1f MB", driver_peak / 1024.0), "< 20 MB",
       driver_peak >= 0 && driver_peak < 20 * 1024);
  Line("peak memory, eventsvc (VmHWM)", Fmt("%.1f MB", service_peak / 1024.0), "< 20 MB",
       service_peak >= 0 && service_peak < 20 * 1024);
  const std::string goal = Fmt("<= %.0f s, flat", period + 1);
  Line("status staleness, first window: max", Fmt("%.1f s", fmax), goal, fmax <= period + 1);
  Line("status staleness, last window: max", Fmt("%.1f s", lmax), goal, lmax <= period + 1);
  std::printf("    (windows of %.0f s over %.0f s; mean %.1f s first, %.1f s last; %ld writes)\n",
              window, o_.staleness_seconds, fmean, lmean, samples);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> double {
      if (i + 1 >= argc) return -1;
      return std::atof(argv[++i]);
    };
    if (a == "--pg")
      o.pg = true;
    else if (a == "--keep")
      o.keep = true;
    else if (a == "--staleness-seconds")
      o.staleness_seconds = value();
    else if (a == "--storm-rate")
      o.storm_rate = value();
    else if (a == "--storm-seconds")
      o.storm_seconds = value();
    else if (a == "--latency-seconds")
      o.latency_seconds = value();
    else if (a == "--drain-budget")
      o.drain_budget_ms = static_cast<int>(value());
    else
      o.staleness_seconds = -1;
    if (o.staleness_seconds < 2 || o.storm_rate <= 0 || o.storm_seconds <= 0 ||
        o.latency_seconds <= 0) {
      std::fprintf(stderr,
                   "usage: event_storm [--pg] [--staleness-seconds S] [--storm-rate R] "
                   "[--storm-seconds S] [--latency-seconds S] [--drain-budget MS] [--keep]\n");
      return 2;
    }
  }
  const fs::path root = fs::temp_directory_path() / ("event_storm_" + std::to_string(::getpid()));
  fs::create_directories(root);
  std::unique_ptr<ordane::db::TempPostgres> pg;
  std::string cxn = "sqlite:" + (root / "ordane.db").string();
  if (o.pg) {
    std::string why;
    pg = ordane::db::StartTempPostgres(&why);
    if (!pg) {
      std::fprintf(stderr, "PostgreSQL could not be started: %s\n", why.c_str());
      return 1;
    }
    cxn = pg->CreateDatabase("storm");
  }
  int rc = 1;
  {
    Storm storm(o, root, cxn);
    rc = storm.Main();
  }
  if (rc == 0 && !o.keep)
    fs::remove_all(root);
  else
    std::fprintf(stderr, "files kept in %s\n", root.c_str());
  return rc;
}
