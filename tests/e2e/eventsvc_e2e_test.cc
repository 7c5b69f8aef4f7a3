// The event service as a process: statement files sealed with the site's key in the shared
// events folder, a real SQLite file or PostgreSQL server, and the service killed and started
// again while it works. Every event must end as exactly one row.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>
#include <string>

#include "db/db.h"
#include "db/pgtest.h"
#include "syslib/statement.h"
#include "syslib/syslib.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"
#include "util/error.h"
#include "util/files.h"
#include "util/ini.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Eventually;

// A site with no driver: the shared tree, an empty schema and the settings file.
class EventServiceSite : public e2e::SiteFixture {
 protected:
  EventServiceSite() : SiteFixture("eventsvc_e2e") {}

  void MakeSite(const std::string& cxn) {
    cxn_ = cxn;
    ASSERT_EQ(Tool({"share", "--root", (root_ / "share").string()}), 0);
    ASSERT_EQ(Tool({"init-db", "--db", cxn}), 0);
    ASSERT_EQ(Tool({"settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn, "--remote",
                    (root_ / "share").string()}),
              0);
    // Small batches, so that a kill meets the service between and inside many of them.
    IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
    ini.Set("OS", "EventService_BatchSize", "25");
    ini.Set("OS", "EventService_ScanSeconds", "1");
    ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));
    lib_ = NewSystemLibrary(root_ / "ordane.ini");
    sql_ = db::NewConnection();
    sql_->Open(cxn, "", "");
  }

  // Drops event `n` as a driver would, sealed with the site's key.
  void Drop(int n) {
    const std::string statement =
        "insert into [events] ([address], [event_id], [name]) values ('7.0.2.I1', 'RD070', 'event " +
        std::to_string(n) + "')";
    const std::string line = lib_->xKeyHide(PackStatement("7/P/" + std::to_string(n), statement), kDriverKey);
    ASSERT_TRUE(PlaceNewFile(root_ / "share" / "Events",
                             [&] { return "7_" + std::to_string(++file_) + ".evn"; }, line + "\n"));
  }

  // Starts the service and waits until it has set up its signals and its folder watch.
  std::unique_ptr<Child> StartService() {
    auto child = std::make_unique<Child>(
        std::vector<std::string>{Bin("eventsvc"), "--metrics-port", "0"},
        e2e::Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()}}, root_ / "eventsvc.log");
    ++starts_;
    EXPECT_TRUE(Eventually([&] { return Count("taking statement files") >= starts_; }, 20));
    return child;
  }
  std::size_t Count(const std::string& text) {
    const std::string log = ReadWholeFile(root_ / "eventsvc.log").value_or("");
    std::size_t n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  long Rows() {
    try {
      const db::ResultSet rs = sql_->Query("select count(*) from events");
      return rs.rows.empty() || !rs.rows[0][0] ? 0 : std::stol(*rs.rows[0][0]);
    } catch (const Error&) {
      return -1;
    }
  }
  std::size_t Waiting() {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root_ / "share" / "Events")) n += e.is_regular_file();
    return n;
  }

  // Every event 0..count-1 is exactly one row.
  void ExpectEachEventOnce(int count) {
    const db::ResultSet rs = sql_->Query("select name from events");
    std::multiset<std::string> names;
    for (const auto& row : rs.rows) names.insert(row[0].value_or(""));
    EXPECT_EQ(names.size(), static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n)
      EXPECT_EQ(names.count("event " + std::to_string(n)), 1u) << "event " << n;
  }

  void KilledThreeTimes() {
    constexpr int kEvents = 3000;
    for (int n = 0; n < kEvents; ++n) Drop(n);
    // Some events written twice, as a driver that restarted before its acknowledgement would.
    for (int n = 0; n < kEvents; n += 97) Drop(n);
    int kills_with_files_left = 0;
    for (int round = 1; round <= 3; ++round) {
      auto service = StartService();
      ASSERT_TRUE(service->started());
      const long target = kEvents * round / 4;
      ASSERT_TRUE(Eventually([&] { return Rows() >= target; }, 60)) << Rows();
      service->Signal(SIGKILL);
      service->Wait(10);
      kills_with_files_left += Waiting() > 0;
    }
    EXPECT_GT(kills_with_files_left, 0);
    auto service = StartService();
    ASSERT_TRUE(Eventually([&] { return Waiting() == 0; }, 120)) << Waiting() << " files left";
    // SIGTERM ends the service in the orderly way.
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(20), 0);
    ExpectEachEventOnce(kEvents);
  }

  std::string cxn_;
  int file_ = 0;
  std::size_t starts_ = 0;
  std::unique_ptr<SystemLibrary> lib_;
};

TEST_F(EventServiceSite, KilledThreeTimesInAStormOnSqlite) {
  MakeSite("sqlite:" + (root_ / "ordane.db").string());
  KilledThreeTimes();
}

TEST_F(EventServiceSite, KilledThreeTimesInAStormOnPostgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("site"));
  KilledThreeTimes();
}

TEST_F(EventServiceSite, PostgresStoppedAndStartedUnderASteadyFlow) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("site"));
  constexpr int kEvents = 1500;
  auto service = StartService();
  std::thread writer([&] {
    for (int n = 0; n < kEvents; ++n) {
      Drop(n);
      if (n % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  ASSERT_TRUE(Eventually([&] { return Rows() > 100; }, 30));
  sql_->Close();
  pg->Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  pg->Restart();
  writer.join();
  sql_->Open(cxn_, "", "");
  ASSERT_TRUE(Eventually([&] { return Waiting() == 0; }, 90)) << Waiting() << " files left";
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(20), 0);
  ExpectEachEventOnce(kEvents);
  const std::string log = ReadWholeFile(root_ / "eventsvc.log").value_or("");
  EXPECT_NE(log.find("the database is lost"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "share" / "Events" / "Rejected"));
}

TEST_F(EventServiceSite, FilesArrivingLaterAreTakenWithoutAScan) {
  MakeSite("sqlite:" + (root_ / "ordane.db").string());
  IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
  ini.Set("OS", "EventService_ScanSeconds", "3600");  // only the folder watch can see them
  ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));
  auto service = StartService();
  for (int n = 0; n < 10; ++n) Drop(n);
  ASSERT_TRUE(Eventually([&] { return Rows() == 10; }, 20)) << Rows();
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(20), 0);
}

}  // namespace
}  // namespace ordane
