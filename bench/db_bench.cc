// What the database layer's checks cost per statement: the one-statement scan alone, and whole
// event INSERTs (a 1,000-character name) through a connection to an SQLite file, each in its
// own transaction as the event path runs them. Prints statements per second.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "db/db.h"
#include "db/sql_scan.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  using namespace ordane::db;
  const std::string name(1000, 'n');
  auto statement = [&](int i) {
    return "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
           "address_description, device, event_id, event_description, name, data2, log_type) "
           "VALUES (0,'20261205','10:11:12',1011.12,'10:11:12','12.3.2.I" +
           std::to_string(i) + "','O`Brien''s door','','RD003','Opened','" + name + "',' ',102)";
  };

  const int scans = 200000;
  std::string sample = statement(1);
  auto start = Clock::now();
  int second = 0;
  for (int i = 0; i < scans; ++i) second += HasSecondStatement(sample, Backend::kSqlite) ? 1 : 0;
  double t = Seconds(start);
  std::printf("one-statement scan (%zu chars): %.0f statements/s (%.2f us each)%s\n",
              sample.size(), scans / t, t / scans * 1e6, second ? " WRONG" : "");

  fs::path file = fs::temp_directory_path() / ("ordane-db-bench-" + std::to_string(getpid()));
  auto c = NewConnection();
  c->Open("sqlite:" + file.string(), "", "");
  c->Execute(
      "CREATE TABLE events (id integer PRIMARY KEY AUTOINCREMENT, region_id integer, date text, "
      "time text, time_num real, time_string text, address text, address_description text, "
      "device text, event_id text, event_description text, name text, data2 text, data text, "
      "log_type integer, group_id real)");
  const int inserts = 5000;
  start = Clock::now();
  for (int i = 0; i < inserts; ++i) c->Execute(statement(i));
  t = Seconds(start);
  std::printf("SQLite event INSERT, one per transaction: %.0f statements/s (%.1f us each)\n",
              inserts / t, t / inserts * 1e6);
  c->Close();
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
  return 0;
}
