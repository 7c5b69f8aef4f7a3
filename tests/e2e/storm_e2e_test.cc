// The whole event path in an alarm storm: panelsim with eight panels, the real paneldriver with
// libpanelif.so, and the event service, as processes, on a real SQLite file or PostgreSQL
// server. Parts of the chain are killed, cut off or stopped while the panels raise events;
// every event raised must end as exactly one row.
//
// Each event is told from every other by what the logger writes for it: event number 02 (a
// report: one `events` row) of type 16, whose detail "Hour = 01 Minute = <R>" becomes the
// row's name, with R the event's own number on its panel; the panel is the row's address.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "db/pgtest.h"
#include "panelsim/process.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"
#include "util/error.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

constexpr int kPanels = 8;

class Storm : public e2e::SiteFixture {
 protected:
  Storm() : SiteFixture("storm_e2e") {}
  ~Storm() override {
    driver_.reset();
    service_.reset();
    sim_.Stop();
  }

  // Driver 7 with eight TCP panels on the simulator, its settings, and the database.
  void MakeSite(const std::string& cxn) {
    cxn_ = cxn;
    ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", std::to_string(kPanels), "--base-port",
                                             "0", "--first-address", "61"}))
        << sim_.error();
    SiteFixture::MakeSite(cxn, sim_, kPanels);
    IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
    ini.Set("OS", "EventService_ScanSeconds", "1");
    ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));
  }

  // The driver as its unit starts it; a lost link is tried again after half a second, so that
  // a hundred drops do not take minutes.
  void StartDriver() {
    Env env = DriverEnv();
    env["PANELIF_RETRY_MS"] = "500";
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"}, env,
                                      root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
  }
  void StartService() {
    service_ = std::make_unique<Child>(
        std::vector<std::string>{Bin("eventsvc"), "--metrics-port", "0"},
        Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()}}, root_ / "eventsvc.log");
    ASSERT_TRUE(service_->started());
  }

  std::string Sim(const std::string& line) {
    const std::string answer = sim_.Command(line);
    EXPECT_EQ(answer.substr(0, 2), "ok") << line << ": " << answer;
    return answer;
  }
  long Figure(int panel, const std::string& name) {
    const std::string status = sim_.Command(std::to_string(panel) + " status");
    const std::size_t at = status.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + name.size() + 2));
  }
  long Pending() {
    long n = 0;
    for (int p = 1; p <= kPanels; ++p) n += Figure(p, "pending");
    return n;
  }

  // Raises the next event of panel `panel` (1 to 8), told apart by its number on the panel.
  void Raise(int panel) {
    const int n = raised_[panel]++;
    Sim(std::to_string(panel) + " inject 02 16 01 " + std::to_string(n));
  }
  void RaiseRoundRobin(int count) {
    for (int i = 0; i < count; ++i) Raise(1 + i % kPanels);
  }
  int Raised() const {
    int n = 0;
    for (const auto& [panel, count] : raised_) n += count;
    return n;
  }

  long Count(const std::string& query) {
    try {
      const db::ResultSet rs = sql_->Query(query);
      return rs.rows.empty() || !rs.rows[0][0] ? 0 : std::stol(*rs.rows[0][0]);
    } catch (const Error&) {
      return -1;
    }
  }
  long Rows() { return Count("select count(*) from events where event_id = 'RD002'"); }
  std::size_t WaitingFiles() {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root_ / "share" / "Events"))
      n += e.is_regular_file() && e.path().filename().string()[0] != '.';
    return n;
  }

  // Waits until every raised event has its row, the panels hold nothing unacknowledged and no
  // statement file waits; then every raised event is exactly one row and there is no other.
  void ExpectEveryEventOnce(int seconds) {
    const long want = Raised();
    EXPECT_TRUE(Eventually([&] { return Rows() >= want && Pending() == 0 && WaitingFiles() == 0; },
                           seconds))
        << Rows() << " of " << want << " rows, " << Pending() << " pending in the panels, "
        << WaitingFiles() << " files waiting";
    const db::ResultSet rs =
        sql_->Query("select address, name from events where event_id = 'RD002'");
    std::map<std::pair<std::string, std::string>, int> rows;
    for (const auto& row : rs.rows) ++rows[{row[0].value_or(""), row[1].value_or("")}];
    int missing = 0, doubled = 0;
    for (const auto& [panel, count] : raised_)
      for (int n = 0; n < count; ++n) {
        const auto key = std::make_pair("7." + std::to_string(panel - 1),
                                        "Hour = 01 Minute = " + std::to_string(n));
        const int got = rows.count(key) ? rows.at(key) : 0;
        missing += got == 0;
        doubled += got > 1;
        if (got != 1 && missing + doubled <= 10)
          ADD_FAILURE() << key.first << " event " << n << ": " << got << " rows";
      }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(doubled, 0);
    EXPECT_EQ(rs.rows.size(), static_cast<std::size_t>(want));
    EXPECT_FALSE(fs::exists(root_ / "share" / "Events" / "Rejected"));
  }

  void WaitForLinks() {
    ASSERT_TRUE(Eventually([&] {
      return ReadProfileString(root_ / "share" / "Drivers" / "7" / "Status" / "Driver",
                               "Status_Drivers", "Online_Count") == std::to_string(kPanels);
    })) << "the panels did not link";
  }

  // 1. The driver killed three times while the panels raise 5,000 events.
  void DriverKilledThreeTimes() {
    constexpr int kEvents = 5000;
    StartService();
    StartDriver();
    WaitForLinks();
    RaiseRoundRobin(kEvents);
    // Each kill comes when the driver has had another quarter of the storm acknowledged to the
    // panels, while the rest still waits in them.
    for (int kill = 1; kill <= 3; ++kill) {
      const long target = kEvents * kill / 4;
      long pending = 0;
      ASSERT_TRUE(Eventually([&] { return kEvents - (pending = Pending()) >= target; }, 120))
          << pending << " pending";
      EXPECT_GT(pending, 0);
      driver_->Signal(SIGKILL);
      EXPECT_EQ(driver_->Wait(10), 128 + SIGKILL);
      StartDriver();
    }
    ExpectEveryEventOnce(180);
  }

  // 2. A hundred link drops spread over the panels while they raise events: every event once,
  // and each drop and return logged as the panel status events the driver's own account of the
  // link notices calls for.
  void HundredDrops() {
    constexpr int kDrops = 100, kEventsPerDrop = 40;
    StartService();
    StartDriver();
    WaitForLinks();
    for (int drop = 0; drop < kDrops; ++drop) {
      RaiseRoundRobin(kEventsPerDrop);
      const int panel = 1 + drop % kPanels;
      // A panel is dropped again only once it is back on the line.
      ASSERT_TRUE(Eventually([&] { return Figure(panel, "connected") == 1; }, 30)) << panel;
      Sim(std::to_string(panel) + " drop");
    }
    RaiseRoundRobin(kEventsPerDrop);
    ExpectEveryEventOnce(180);
    ASSERT_TRUE(Eventually([&] {
      for (int p = 1; p <= kPanels; ++p)
        if (Figure(p, "connected") != 1) return false;
      return true;
    }));

    // The notices as the driver took them, in order, per panel, and what they call for: the
    // start-up marks every polled panel linked; a return after a loss logs PO001; the third
    // loss notice in a row while not lost logs PO003 (a return in between does not reset the
    // count). Each debug line shows the state before its notice, which the count must agree
    // with.
    std::map<std::string, int> lost_notices, po001, po003;
    std::string disagreeing;  // a debug line whose state is not the one counted
    const auto expected = [&] {
      std::map<std::string, int> count, state;  // state: 1 linked, 3 lost
      po001.clear();
      po003.clear();
      lost_notices.clear();
      disagreeing.clear();
      std::istringstream log(ReadWholeFile(root_ / "driver.log").value_or(""));
      for (std::string line; std::getline(log, line);) {
        for (const char* what : {"Reestablished Panel:  ", "Lost Panel:  "}) {
          const std::size_t at = line.find(what);
          if (at == std::string::npos) continue;
          const std::size_t from = at + std::string(what).size();
          const std::string panel = line.substr(from, line.find(' ', from) - from);
          if (!state.count(panel)) state[panel] = 1;
          if (line.find("(status=" + std::to_string(state[panel]) + ")") == std::string::npos &&
              disagreeing.empty())
            disagreeing = line;
          if (what[0] == 'R') {
            if (state[panel] != 1) ++po001[panel];
            state[panel] = 1;
          } else {
            ++lost_notices[panel];
            if (state[panel] != 3 && ++count[panel] > 2) {
              ++po003[panel];
              state[panel] = 3;
              count[panel] = 0;
            }
          }
        }
      }
    };
    const auto rows = [&](const std::string& table, const std::string& code) {
      std::map<std::string, int> out;
      const db::ResultSet rs =
          sql_->Query("select address from " + table + " where event_id = '" + code + "'");
      for (const auto& row : rs.rows) ++out[row[0].value_or("")];
      return out;
    };
    EXPECT_TRUE(Eventually(
        [&] {
          expected();
          return rows("events", "PO001") == po001 && rows("events", "PO003") == po003 &&
                 rows("alarms", "PO003") == po003;
        },
        60));
    EXPECT_EQ(disagreeing, "");
    int notices = 0;
    for (int p = 0; p < kPanels; ++p) {
      const std::string panel = "7." + std::to_string(p);
      SCOPED_TRACE(panel);
      notices += lost_notices[panel];
      EXPECT_GE(lost_notices[panel], kDrops / kPanels);  // every drop was noticed
      EXPECT_GE(po003[panel], 1);
      EXPECT_EQ(po001[panel], po003[panel]);  // each loss was followed by its return
    }
    EXPECT_GE(notices, kDrops);
    EXPECT_EQ(rows("events", "PO001"), po001);
    EXPECT_EQ(rows("events", "PO003"), po003);
    EXPECT_EQ(rows("alarms", "PO003"), po003);
  }

  // 3. The event service stopped while 20,000 events are raised, then started.
  void ServiceStoppedWhileRaised() {
    constexpr int kEvents = 20000;
    StartDriver();
    WaitForLinks();
    const auto start = std::chrono::steady_clock::now();
    RaiseRoundRobin(kEvents);
    // The driver takes every event from the panels; the statement files wait in the folder.
    ASSERT_TRUE(Eventually([&] { return Pending() == 0; }, 180)) << Pending() << " pending";
    EXPECT_GE(WaitingFiles(), static_cast<std::size_t>(kEvents));
    EXPECT_EQ(Rows(), 0);
    const auto taken = std::chrono::steady_clock::now();
    StartService();
    ExpectEveryEventOnce(180);
    // For the reader of the test's output, not asserted: where the time goes.
    const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
    std::printf(
        "%d events: raised and taken by the driver in %.1f s, stored by the service in "
        "%.1f s\n",
        kEvents, seconds(taken - start), seconds(std::chrono::steady_clock::now() - taken));
  }

  std::string cxn_;
  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_, service_;
  std::map<int, int> raised_;  // panel -> events raised on it
};

TEST_F(Storm, DriverKilledThreeTimesOnSqlite) {
  MakeSite("sqlite:" + (root_ / "ordane.db").string());
  DriverKilledThreeTimes();
}

TEST_F(Storm, DriverKilledThreeTimesOnPostgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("storm"));
  DriverKilledThreeTimes();
}

TEST_F(Storm, HundredLinkDropsOnSqlite) {
  MakeSite("sqlite:" + (root_ / "ordane.db").string());
  HundredDrops();
}

TEST_F(Storm, HundredLinkDropsOnPostgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("storm"));
  HundredDrops();
}

TEST_F(Storm, ServiceStoppedWhileRaisedOnSqlite) {
  MakeSite("sqlite:" + (root_ / "ordane.db").string());
  ServiceStoppedWhileRaised();
}

TEST_F(Storm, ServiceStoppedWhileRaisedOnPostgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("storm"));
  ServiceStoppedWhileRaised();
}

// 4. PostgreSQL stopped and started again under a steady flow. With SQL_Server 1 the driver
// ends when it meets the lost database; it is started again, as systemd's restart would.
TEST_F(Storm, PostgresStoppedAndStartedUnderASteadyFlow) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  MakeSite(pg->CreateDatabase("storm"));
  ASSERT_EQ(ReadProfileString(root_ / "ordane.ini", "OS", "SQL_Server"), "1");
  StartService();
  StartDriver();
  WaitForLinks();
  // About 200 events a second, in steps of 20 ms.
  const auto flow = [&](int events) {
    for (int i = 0; i < events; i += kPanels) {
      RaiseRoundRobin(kPanels);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  };
  flow(600);
  ASSERT_TRUE(Eventually([&] { return Rows() > 0; }, 60));
  sql_->Close();
  pg->Stop();
  flow(600);
  // It ends through its orderly shutdown (status 0), not by a crash.
  EXPECT_EQ(driver_->Wait(60), 0) << "the driver did not end without its database";
  pg->Restart();
  sql_->Open(cxn_, "", "");
  StartDriver();
  flow(600);
  ExpectEveryEventOnce(180);
  const std::string log = ReadWholeFile(root_ / "eventsvc.log").value_or("");
  EXPECT_NE(log.find("the database is lost"), std::string::npos);
}

}  // namespace
}  // namespace ordane
