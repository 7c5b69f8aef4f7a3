// The metrics endpoints of the driver and the event service scraped during an event storm from
// the simulator's panels: the text parses, every counter only grows, and once the storm is
// stored the counters agree with the rows in the database.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/db.h"
#include "panelsim/process.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"
#include "util/error.h"
#include "util/ini.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;
using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

constexpr int kPanels = 4;
constexpr int kEvents = 600;

using Scrape = std::map<std::string, double>;

// The samples of an exposition text; a line that does not read as one fails the test.
Scrape Parse(const std::string& text) {
  Scrape out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string::npos || blank == 0) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    try {
      out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    } catch (...) {
      ADD_FAILURE() << "not a number: " << line;
    }
  }
  return out;
}

class MetricsInStorm : public e2e::SiteFixture {
 protected:
  MetricsInStorm() : SiteFixture("metrics_e2e") {}
  ~MetricsInStorm() override {
    driver_.reset();
    service_.reset();
    sim_.Stop();
  }

  std::optional<Scrape> Get(int port) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(15);
    auto r = c.Get("/metrics");
    if (!r || r->status != 200) return std::nullopt;
    return Parse(r->body);
  }
  Scrape Driver() {
    auto s = Get(console_port_);
    EXPECT_TRUE(s) << "the driver's metrics did not answer";
    return s.value_or(Scrape{});
  }
  Scrape Service() {
    auto s = Get(metrics_port_);
    EXPECT_TRUE(s) << "the event service's metrics did not answer";
    return s.value_or(Scrape{});
  }
  long Count(const std::string& query) {
    try {
      const db::ResultSet rs = sql_->Query(query);
      return rs.rows.empty() || !rs.rows[0][0] ? 0 : std::stol(*rs.rows[0][0]);
    } catch (const Error&) {
      return -1;
    }
  }
  long Pending() {
    long n = 0;
    for (int p = 1; p <= kPanels; ++p) {
      const std::string status = sim_.Command(std::to_string(p) + " status");
      const std::size_t at = status.find(" pending=");
      n += at == std::string::npos ? 1000000 : std::stol(status.substr(at + 9));
    }
    return n;
  }
  std::size_t WaitingFiles() {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root_ / "share" / "Events"))
      n += e.is_regular_file() && e.path().filename().string()[0] != '.';
    return n;
  }
  // Nothing on its way: every panel event taken, every statement file stored.
  bool Settled() {
    const Scrape d = Driver(), s = Service();
    const auto written = d.find("ordane_statement_files_written_total");
    const auto stored = s.find("ordane_eventsvc_events_stored_total");
    return written != d.end() && stored != s.end() && written->second == stored->second &&
           Pending() == 0 && WaitingFiles() == 0;
  }

  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_, service_;
  int console_port_ = e2e::FreePort();
  int metrics_port_ = e2e::FreePort();
};

TEST_F(MetricsInStorm, CountersFollowTheStormAndAgreeWithTheRows) {
  ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", std::to_string(kPanels), "--base-port", "0",
                                           "--first-address", "111"}))
      << sim_.error();
  MakeSite("sqlite:" + (root_ / "ordane.db").string(), sim_, kPanels);
  IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
  ini.Set("OS", "Console_Port", std::to_string(console_port_));
  ini.Set("OS", "EventService_ScanSeconds", "1");
  ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));

  service_ = std::make_unique<Child>(
      std::vector<std::string>{Bin("eventsvc"), "--metrics-port", std::to_string(metrics_port_)},
      Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()}}, root_ / "eventsvc.log");
  driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"},
                                    DriverEnv(), root_ / "driver.log");
  ASSERT_TRUE(Eventually([&] {
    auto s = Get(console_port_);
    return s && s->count("ordane_panel_links{state=\"established\"}") &&
           s->at("ordane_panel_links{state=\"established\"}") == kPanels;
  })) << "the panels did not link";
  ASSERT_TRUE(Eventually([&] { return Get(metrics_port_).has_value(); }));
  ASSERT_TRUE(Eventually([&] { return Settled(); }));

  const Scrape d0 = Driver(), s0 = Service();
  const long rows0 = Count("select count(*) from events where event_id = 'RD002'");

  // The storm, scraped as it goes: every counter only grows.
  Scrape last_d = d0, last_s = s0;
  const auto expect_growth = [](const Scrape& before, const Scrape& now) {
    for (const auto& [name, value] : before)
      if (name.ends_with("_total")) {
        ASSERT_TRUE(now.count(name)) << name;
        EXPECT_GE(now.at(name), value) << name;
      }
  };
  for (int i = 0; i < kEvents; ++i) {
    const std::string answer =
        sim_.Command(std::to_string(1 + i % kPanels) + " inject 02 16 01 " + std::to_string(i));
    ASSERT_EQ(answer.substr(0, 2), "ok") << answer;
    if (i % 100 == 99) {
      const Scrape d = Driver(), s = Service();
      expect_growth(last_d, d);
      expect_growth(last_s, s);
      EXPECT_LE(d.at("ordane_panel_events_taken_total"),
                d0.at("ordane_panel_events_taken_total") + i + 1);
      last_d = d;
      last_s = s;
    }
  }
  ASSERT_TRUE(Eventually(
      [&] {
        return Count("select count(*) from events where event_id = 'RD002'") == rows0 + kEvents &&
               Settled();
      },
      120))
      << Count("select count(*) from events where event_id = 'RD002'") - rows0 << " of " << kEvents
      << " rows";

  const Scrape d = Driver(), s = Service();
  expect_growth(last_d, d);
  expect_growth(last_s, s);
  // Each panel event was taken once and made one row.
  EXPECT_EQ(d.at("ordane_panel_events_taken_total") - d0.at("ordane_panel_events_taken_total"),
            kEvents);
  // Every statement file the driver wrote was stored once by the event service, and each stored
  // statement is one recorded identity.
  EXPECT_EQ(d.at("ordane_statement_files_written_total"),
            s.at("ordane_eventsvc_events_stored_total"));
  EXPECT_EQ(s.at("ordane_eventsvc_events_stored_total"),
            Count("select count(*) from applied_events"));
  EXPECT_GE(
      d.at("ordane_statement_files_written_total") - d0.at("ordane_statement_files_written_total"),
      kEvents);
  EXPECT_EQ(s.at("ordane_eventsvc_duplicate_files_total"), 0);
  EXPECT_EQ(s.at("ordane_eventsvc_rejected_files_total"), 0);
  EXPECT_EQ(d.at("ordane_database_errors_total"), 0);
  EXPECT_EQ(d.at("ordane_links_lost_total"), 0);
  EXPECT_EQ(d.at("ordane_panel_links{state=\"established\"}"), kPanels);
  EXPECT_GE(d.at("ordane_last_event_delay_seconds"), 0);
}

}  // namespace
}  // namespace ordane
