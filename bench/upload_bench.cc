// The 249-user upload: a panel's token table and user names, from the panel's answer waiting in
// the library to the last row committed, through the dispatcher (Main_Process) and the upload
// handlers, on the demo installation in a real SQLite file, once on disk and once on /dev/shm.
// A 10 ms timer runs on the driver's message loop meanwhile: its ticks during the upload show
// that the handlers' yield per user keeps the loop alive. For comparison, in the same process:
// the same rows written by a plain loop of statements, without yielding (the floor the database
// sets). Goal: at most 1 s for the upload on SQLite. Prints its figures; asserts nothing.
//
// usage: upload_bench [ROUNDS]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/demo_site.h"
#include "config/config.h"
#include "core/driver.h"
#include "db/db.h"
#include "panel/fake_panel_library.h"
#include "panelsim/model.h"
#include "responses/dispatcher.h"
#include "schema/demo.h"
#include "schema/share.h"
#include "syslib/seal.h"
#include "syslib/syslib.h"
#include "util/text.h"

namespace fs = std::filesystem;
using namespace ordane;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kSlot = 0;
constexpr const char* kPort = "127.0.0.1";

// A table answer as the library hands it over: type, link name, the items joined by a blank.
std::string Response(const std::string& type, const std::vector<std::string>& items) {
  std::string text = type + "\n" + kPort + "\n";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? " " : "") + items[i];
  return text;
}

std::string One(db::Connection& c, const std::string& query) {
  db::Recordset rs;
  rs.Open(query, c);
  return rs.Eof() ? std::string() : rs.Text(rs.Fields().at(0));
}

struct Figures {
  double seconds = 0;
  long ticks = 0;
  double longest_gap = 0;  // seconds without a tick (from the start, between ticks, to the end)
  long rows = 0;  // personnel, credentials and access records added
};

void Report(const char* where, const char* what, const std::vector<Figures>& runs) {
  std::vector<double> s;
  long ticks = 0, rows = 0;
  double gap = 0;
  for (const auto& f : runs) {
    s.push_back(f.seconds);
    ticks += f.ticks;
    rows = f.rows;
    gap = std::max(gap, f.longest_gap);
  }
  std::sort(s.begin(), s.end());
  const double median = s[s.size() / 2];
  std::printf("%-9s %-31s median %6.1f ms  best %6.1f ms  worst %6.1f ms  %5.1f ticks/run  "
              "longest without a tick %6.1f ms  %ld rows%s\n",
              where, what, median * 1e3, s.front() * 1e3, s.back() * 1e3,
              static_cast<double>(ticks) / static_cast<double>(runs.size()), gap * 1e3, rows,
              std::string(what).rfind("upload", 0) != 0 ? ""
              : rows == 0                                ? "  (no rows stored: no handlers?)"
              : median <= 1.0                            ? "  (goal 1 s: met)"
                                                         : "  (goal 1 s: MISSED)");
}

// One site in `base`: the demo data on SQLite, the share, the settings, a driver over the
// in-process library with slot 0 linked.
int Run(const fs::path& base, const char* where, int rounds) {
  const fs::path root = base / ("upload_bench_" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  const std::string cxn = bench::LayDownDemoSite(root);
  if (cxn.empty()) return 1;
  auto sql = db::NewConnection();
  sql->Open(cxn, "", "");

  auto lib = NewSystemLibrary(root / "ordane.ini");
  lib->init();
  lib->set_RemotePath((root / "share").string());
  MessageLoop loop(RealClock());
  FakePanelLibrary panel;
  ServiceControl service(root / "units", "/usr/bin/paneldriver");
  Driver d(RealClock(), loop, panel, *lib, service);
  d.settings = ReadSettings(*lib);
  d.DriverId = 7;
  d.RemotePath = (root / "share").string();
  d.DriverFolder = (root / "share" / "Drivers" / "7").string();
  d.db.OpenDatabases(1, d.settings, *lib, d.errors);
  lib->Init_CXN("access", 1, 1);
  lib->Init_CXN("hardware", 1, 1);
  LoadRegions(d.regions, d.Hardware(), *lib, d.errors);
  d.PanelUsers.assign(kPanelUserPanels, std::vector<PanelUser>(kPanelUsersPerPanel));
  d.panels[kSlot].PortName = kPort;
  d.panels[kSlot].LinkState = kLinkEstablished;

  // The simulator's panel 1: 24 users with cards (four with a second card), 249 users in all.
  panelsim::PanelModel model(1, 32);
  const std::string classes = Response("ReadUserClasses", model.UserClassItems());
  const std::string tokens = Response("ReadTokenTables", model.TokenTableItems());
  const std::string names = Response("ReadUserNames", model.UserNameItems());
  panel.QueueCommandResponse(classes);  // the passcodes and levels the token upload uses
  Main_Process(d);

  long ticks = 0;
  Steady::time_point last_tick;
  double longest_gap = 0;
  auto gap_to = [&](Steady::time_point t) {
    longest_gap = std::max(longest_gap, std::chrono::duration<double>(t - last_tick).count());
    last_tick = t;
  };
  loop.AddTimer("bench tick", std::chrono::milliseconds(10), true, [&] {
    ++ticks;
    gap_to(Steady::now());
  });
  const std::string first_person = One(*sql, "select max(id) from personnel");
  const std::string first_credential = One(*sql, "select max(id) from credentials");
  const std::string first_access = One(*sql, "select max(id) from personnel_rec");
  auto added = [&] {
    return std::atol(One(*sql, "select count(*) from personnel where id > " + first_person).c_str()) +
           std::atol(One(*sql, "select count(*) from credentials where id > " + first_credential)
                         .c_str()) +
           std::atol(
               One(*sql, "select count(*) from personnel_rec where id > " + first_access).c_str());
  };
  // Each round starts from the same rows: what the previous round added goes, untimed.
  auto reset = [&] {
    sql->Execute("delete from personnel where id > " + first_person);
    sql->Execute("delete from credentials where id > " + first_credential);
    sql->Execute("delete from personnel_rec where id > " + first_access);
    sql->Execute("delete from panel_users");
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(root / "share" / "Events", ec)) fs::remove(f.path());
  };

  // One timed round of `work` from the same starting rows; `before` runs untimed.
  auto measure = [&](const std::function<void()>& before, const std::function<void()>& work) {
    reset();
    before();
    ticks = 0;
    longest_gap = 0;
    const auto start = Steady::now();
    last_tick = start;
    work();
    gap_to(Steady::now());
    Figures f;
    f.seconds = std::chrono::duration<double>(Steady::now() - start).count();
    f.ticks = ticks;
    f.longest_gap = longest_gap;
    f.rows = added();
    return f;
  };

  std::vector<Figures> uploads;
  for (int r = 0; r < rounds; ++r)
    uploads.push_back(measure(
        [&] {
          panel.QueueCommandResponse(tokens);
          panel.QueueCommandResponse(names);
        },
        [&] {
          Main_Process(d);  // the token table
          Main_Process(d);  // the user names
        }));

  // The floor: the same kind of rows by a plain loop, no handler, no yield. Per user with a
  // card: a person, a credential, an access record and the three name updates; per user the
  // five panel-user fields the handlers store.
  std::vector<Figures> plain;
  auto plain_loop = [&] {
    for (int k = 1; k < panelsim::kUsers; ++k) {
      const panelsim::User& u = model.user(k);
      std::int16_t region = 1, user = static_cast<std::int16_t>(k);
      for (const char* field : {"Master", "Sub1", "Sub2", "Sub3", "Name"})
        lib->W_Panel(region, user, field, u.name);
      for (int j = 0; j < 4; ++j) {
        const panelsim::Token& t = u.tokens[static_cast<std::size_t>(j)];
        if (t.number == 0xFFFF) continue;
        sql->Execute("insert into personnel (card_type) values ('Normal')");
        const std::string id = One(*sql, "select max(id) from personnel");
        sql->Execute("insert into credentials (record_id, credential_number, record_number, status, "
                     "facility_code, activate_date, de_activate_date) values (" +
                     id + ", " + std::to_string(t.number) + ", 1, 1, " + std::to_string(t.site) +
                     ", '1/1/2010', '1/1/2029')");
        sql->Execute("insert into personnel_rec (record_id, region, record_number, user_group, "
                     "area1, area2, area3, area4, area5, area6, area7, area8, user_id, "
                     "sub_user_group) values (" +
                     id + ", 1, " + std::to_string(k) + ", " + std::to_string(u.group) +
                     ", 1, 1, 1, 1, 0, 0, 0, 0, " + std::to_string(k) + ", " + std::to_string(j) +
                     ")");
        if (j == 0)
          for (const char* column : {"first_name", "last_name", "name"})
            sql->Execute(std::string("update personnel set ") + column + " = '" +
                         SqlQuote(u.name) + "' where id = " + id);
      }
    }
  };
  for (int r = 0; r < rounds; ++r) plain.push_back(measure([] {}, plain_loop));

  Report(where, "upload (tokens + names)", uploads);
  Report(where, "plain statement loop, no yield", plain);
  for (const auto& line : d.errors.Lines()) std::printf("  list: %s\n", line.c_str());
  sql->Close();
  fs::remove_all(root);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::max(1, argc > 1 ? std::atoi(argv[1]) : 5);
  std::printf("249 users, %d rounds each; ticks: a 10 ms timer on the driver's loop\n", rounds);
  int rc = Run(fs::temp_directory_path(), "disk", rounds);
  if (fs::is_directory("/dev/shm")) rc |= Run("/dev/shm", "/dev/shm", rounds);
  return rc;
}
