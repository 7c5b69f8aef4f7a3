// Panel tables copied into the database on request: command rows 401 and 403 to 409 for one
// simulated panel, with the paneldriver, libpanelif.so, panelsim and the event service as
// processes, on SQLite and on PostgreSQL. Every table is compared, row by row, with what the
// simulator's control interface says the panel holds; the controller status file shows each
// upload's flag key empty while the table is asked for and "1" once it is stored, and the
// upload's title while the 249 users go in; a link that fails in the middle of a token table
// leaves the rows of the upload before it as they were.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
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
#include "util/files.h"
#include "util/ini.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

constexpr int kUsers = 250;
constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The text after `label` in the item that begins with it; nullopt when no item does.
std::optional<std::string> After(const std::vector<std::string>& items, const std::string& label) {
  for (const auto& item : items)
    if (item.rfind(label, 0) == 0) return item.substr(label.size());
  return std::nullopt;
}

long Hex(const std::string& text) { return std::strtol(text.c_str(), nullptr, 16); }

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Capitalised(std::string word) {
  for (std::size_t i = 0; i < word.size(); ++i)
    word[i] = static_cast<char>(i == 0 ? std::toupper(static_cast<unsigned char>(word[i]))
                                       : std::tolower(static_cast<unsigned char>(word[i])));
  return word;
}

// A panel's token field: site code and token number, or nothing for "FFFF".
struct TokenField {
  int site = 0;
  std::optional<long> number;
};
TokenField Field(const std::string& item, int j) {
  const std::string f = item.substr(static_cast<std::size_t>(11 * j), 10);
  TokenField t;
  t.site = static_cast<int>(Hex(f.substr(0, 2)));
  if (f.substr(2, 4) != "FFFF") t.number = Hex(f.substr(2, 4));
  return t;
}

class UploadsSite : public e2e::SiteFixture {
 protected:
  UploadsSite() : SiteFixture("uploads_e2e") {}
  ~UploadsSite() override {
    driver_.reset();
    service_.reset();
    if (HasFailure())
      if (auto trace = ReadWholeFile(Folder() / "panelif.trace"))
        std::fprintf(stderr, "--- trace (end)\n%s\n", Right(*trace, 6000).c_str());
  }

  void StartSite(const std::string& cxn) {
    ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", "1", "--base-port", "0",
                                             "--first-address", "71"}))
        << sim_.error();
    // Status files every 100 ms, so that an upload's title is seen while it runs.
    MakeSite(cxn, sim_, 1, {"--status-timer", "100"});
    IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
    ini.Set("OS", "EventService_ScanSeconds", "1");
    ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));
    region_ = One("select region_id from controllers where address = '7.0'");
    Env env = DriverEnv();
    // A table request cut by a dropped link is given up after 4 seconds, not a minute.
    env.insert({{"PANELIF_RETRY_MS", "500"}, {"PANELIF_TABLE_MS", "4000"}});
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"}, env,
                                      root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
    service_ = std::make_unique<Child>(
        std::vector<std::string>{Bin("eventsvc"), "--metrics-port", "0"},
        Env{{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()}}, root_ / "eventsvc.log");
    ASSERT_TRUE(service_->started());
  }

  void Queue(const std::string& cmd) {
    sql_->Execute("insert into controller_commands (address, cmd) values ('7.0', '" + cmd + "')");
  }
  std::string Sim(const std::string& line) {
    const std::string answer = sim_.Command(line);
    EXPECT_EQ(answer.substr(0, 2), "ok") << line << ": " << answer;
    return answer;
  }
  std::vector<std::string> Table(const std::string& function) {
    auto items = sim_.Table(1, function);
    EXPECT_FALSE(items.empty()) << function;
    return items;
  }
  // A key of the controller status file of slot 0: nullopt while it is not there.
  std::optional<std::string> Status(const std::string& key) {
    return IniDocument::Load(Folder() / "Status" / "Controller000").Get("Status_Controllers", key);
  }
  // Every row of `query`, each as its fields joined by "|".
  std::vector<std::string> Rows(const std::string& query) {
    std::vector<std::string> rows;
    db::Recordset rs;
    rs.Open(query, *sql_);
    for (; !rs.Eof(); rs.MoveNext()) {
      std::string row;
      for (const auto& f : rs.Fields()) row += rs.Text(f) + "|";
      rows.push_back(row);
    }
    return rows;
  }
  std::map<std::string, std::string> Row(const std::string& query) {
    std::map<std::string, std::string> row;
    db::Recordset rs;
    rs.Open(query, *sql_);
    if (!rs.Eof())
      for (const auto& f : rs.Fields()) row[LCase(f)] = rs.Text(f);
    return row;
  }
  std::string PanelUser(int k, const std::string& field) {
    return One("select value from panel_users where region_id = " + region_ +
               " and user_number = " + std::to_string(k) + " and field = '" + field + "'");
  }

  // Queues `cmd` with the panel's answers held back a moment: the flag key is seen empty while
  // the table is asked for, then "1" once it is stored. True once the flag is "1".
  bool Upload(const std::string& cmd, const std::string& flag) {
    SCOPED_TRACE(cmd);
    Sim("1 hold 1500");
    Queue(cmd);
    EXPECT_TRUE(Eventually([&] { return Status(flag) == std::string(); }, 10))
        << flag << " is " << Status(flag).value_or("(absent)");
    const bool stored = Eventually([&] { return Status(flag) == "1"; }, 15);
    EXPECT_TRUE(stored) << flag << " is " << Status(flag).value_or("(absent)");
    return stored;
  }

  void CheckAuthorityLevels() {
    SCOPED_TRACE("authority levels");
    const auto items = Table("READAUTHORITYLEVELS");
    ASSERT_EQ(items.size(), 80u);
    std::vector<std::string> expected;
    for (int n = 0; n < 80; ++n) {
      const std::string v = After(items, "Authority Level " + std::to_string(n) + ": ").value();
      expected.push_back(std::to_string(n) + "|" + v.substr(0, 2) + v.substr(3, 2) +
                         v.substr(6, 2) + v.substr(9, 2) + "|");
    }
    EXPECT_EQ(Rows("select subitem, smash from authority_levels where address = '7.0' "
                   "order by subitem"),
              expected);
  }

  void CheckHolidays() {
    SCOPED_TRACE("holidays");
    const auto items = Table("READHOLIDAYS");
    ASSERT_EQ(items.size(), 366u);
    for (int t = 1; t <= 4; ++t) {
      std::vector<std::string> months(12);
      int d = 0;
      for (int m = 0; m < 12; ++m)
        for (int day = 0; day < kMonthDays[m]; ++day, ++d) {
          const long bits = Hex(After(items, "Day # " + std::to_string(d) + ": ").value());
          months[static_cast<std::size_t>(m)] += (bits >> (8 - t)) & 1 ? '1' : '0';
        }
      const auto row = Row("select * from sked_holidays where address = '7.0' and holiday_index = " +
                           std::to_string(t));
      ASSERT_FALSE(row.empty()) << "holiday table " << t;
      for (int m = 1; m <= 12; ++m)
        EXPECT_EQ(row.at(std::to_string(m)), months[static_cast<std::size_t>(m - 1)])
            << "table " << t << " month " << m;
    }
    EXPECT_EQ(One("select count(*) from sked_holidays where address = '7.0'"), "4");
  }

  void CheckSkeds() {
    SCOPED_TRACE("schedules");
    const auto items = Table("READSKEDS");
    ASSERT_EQ(items.size(), 40u);
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const std::string year = std::to_string(tm.tm_year + 1900);
    for (int n = 1; n <= 40; ++n) {
      SCOPED_TRACE("sked " + std::to_string(n));
      const auto f = Words(After(items, "SKED " + std::to_string(n - 1) + ": ").value());
      ASSERT_EQ(f.size(), 9u);
      const auto row = Row("select * from skeds where controller_address = '7.0' and sked_id = " +
                           std::to_string(n));
      ASSERT_FALSE(row.empty());
      auto num = [&](const char* column) { return ValueOf0(row.at(column)); };
      EXPECT_EQ(num("xept_holidays"), f[0] == "True" ? 1 : 0);
      const long days = Hex(f[1]);
      const char* weekdays[] = {"sunday",   "monday", "tuesday", "wednesday",
                                "thursday", "friday", "saturday"};
      for (int w = 0; w < 7; ++w) EXPECT_EQ(num(weekdays[w]), (days >> (6 - w)) & 1) << weekdays[w];
      const long holidays = Hex(f[2].substr(0, 1));
      for (int t = 1; t <= 4; ++t)
        EXPECT_EQ(row.at("holiday" + std::to_string(t)), (holidays >> (4 - t)) & 1 ? "1" : "0");
      EXPECT_EQ(row.at("sked_date"), std::to_string(Hex(f[3].substr(0, 1))) + "/" +
                                         std::to_string(Hex(f[3].substr(f[3].size() - 2))) + "/" +
                                         year);
      EXPECT_EQ(num("time_edit"), f[4] == "True" ? 1 : 0);
      const long minutes = Hex(f[5]);
      char time[48];
      std::snprintf(time, sizeof time, "%ld:%02ld", minutes / 60, minutes % 60);
      EXPECT_EQ(row.at("sked_time"), minutes / 60 > 24 ? std::string("00:00") : time);
      EXPECT_EQ(num("function_code"), Hex(f[6]));
      EXPECT_EQ(num("parameter1"), Hex(f[7]));
      EXPECT_EQ(num("parameter2"), Hex(f[8]));
    }
    EXPECT_EQ(One("select count(*) from skeds where controller_address = '7.0'"), "40");
  }

  // Point texts and areas of the 32 points, and the areas of the 8 readers.
  void CheckPointsAndReaders() {
    SCOPED_TRACE("points and readers");
    const auto items = Table("READPOINTTEXTALL");
    ASSERT_EQ(items.size(), 64u);
    for (int p = 1; p <= 32; ++p) {
      std::string text = Trim(After(items, "Point text " + std::to_string(p - 1) + ": ").value());
      for (char& c : text)
        if (c == '_' || c == 31) c = ' ';
      const std::string area = After(items, "Point Area " + std::to_string(p - 1) + ": ").value();
      const auto row = Row("select * from devices where address = '7.0.2.I" + std::to_string(p) + "'");
      ASSERT_FALSE(row.empty()) << "point " << p;
      EXPECT_EQ(row.at("description"), text) << "point " << p;
      EXPECT_EQ(ValueOf0(row.at("group_id")), ValueOf0(area) + 1) << "point " << p;
    }
    const std::string answer = Sim("1 cmd GETDOORAREAS");
    const auto areas = Words(answer.substr(answer.find("GetDoorAreas") + 12));
    ASSERT_EQ(areas.size(), 8u) << answer;
    for (int r = 1; r <= 8; ++r) {
      const long area = ValueOf0(areas[static_cast<std::size_t>(r - 1)]);
      EXPECT_EQ(ValueOf0(One("select group_id from devices where address = '7.0.3.R" +
                             std::to_string(r) + "'")),
                area == 16 ? 0 : area)
          << "reader " << r;
    }
  }

  // The users: the panel-user store holds every user's name, token and class; every token is a
  // credential of a person, that person has one access record for the panel's region with the
  // user's class, and a master token's person carries the user's name.
  void CheckUsers() {
    SCOPED_TRACE("users");
    const auto classes = Table("READUSERCLASSES");
    const auto names = Table("READUSERNAMES");
    const auto tokens = Table("READTOKENTABLES");
    ASSERT_EQ(classes.size(), static_cast<std::size_t>(kUsers));
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kUsers));
    ASSERT_EQ(tokens.size(), static_cast<std::size_t>(kUsers));
    EXPECT_EQ(PanelUser(0, "Name"), "INSTALLER");
    for (int k = 1; k < kUsers; ++k) {
      SCOPED_TRACE("user " + std::to_string(k));
      const std::string n = std::to_string(k);
      const std::string name = After(names, "~User Name " + n + ": ").value();
      EXPECT_EQ(Trim(PanelUser(k, "Name")), Trim(name));
      const std::string cls = After(classes, "User Class " + n + ": ").value();
      const std::string passcode = cls.substr(0, cls.find(' '));
      const std::size_t s = cls.find(' ');
      EXPECT_EQ(Trim(PanelUser(k, "Passcode")), passcode);
      const std::string token = After(tokens, "Token Table " + n + ": ").value();
      const TokenField master = Field(token, 0);
      const std::string master_text =
          master.number ? std::to_string(*master.number) : passcode;
      EXPECT_EQ(Trim(PanelUser(k, "Master")), master_text);
      if (ValueOf0(master_text) <= 0) continue;

      // The master token's person: access record and name.
      const std::string person = One("select record_id from credentials where credential_number = " +
                                     master_text + " and record_number = 1");
      ASSERT_GT(ValueOf0(person), 0) << "no credential " << master_text;
      const auto access = Row("select * from personnel_rec where record_id = " + person +
                              " and region = " + region_);
      ASSERT_FALSE(access.empty()) << "no access record for person " << person;
      EXPECT_EQ(ValueOf0(access.at("record_number")), k);
      EXPECT_EQ(ValueOf0(access.at("user_id")), k);
      EXPECT_EQ(ValueOf0(access.at("user_group")), ValueOf0("0" + cls.substr(s + 1, 1)));
      for (int a = 1; a <= 8; ++a)
        EXPECT_EQ(ValueOf0(access.at("area" + std::to_string(a))),
                  Hex(cls.substr(s + static_cast<std::size_t>(2 * a + 1), 1)))
            << "area " << a;
      EXPECT_EQ(ValueOf0(access.at("sub_user_group")), 0);
      const std::string full = name.substr(0, 16);
      const std::size_t blank = full.find(' ');
      const std::string first = Capitalised(blank == std::string::npos ? full : full.substr(0, blank));
      const std::string last =
          Capitalised(RTrim(blank == std::string::npos ? full : full.substr(blank + 1)));
      const auto who = Row("select * from personnel where id = " + person);
      EXPECT_EQ(Trim(who.at("first_name")), Trim(first));
      EXPECT_EQ(Trim(who.at("last_name")), Trim(last));
      EXPECT_EQ(Trim(who.at("name")), Trim(first + " " + last));

      // Sub tokens: a person of their own, named after the user and the field.
      for (int j = 1; j <= 3; ++j) {
        const TokenField sub = Field(token, j);
        if (!sub.number || *sub.number <= 0) continue;
        const std::string holder = One("select record_id from credentials where credential_number = " +
                                       std::to_string(*sub.number));
        ASSERT_GT(ValueOf0(holder), 0) << "no credential for sub token " << *sub.number;
        const std::string label = "Group " + region_ + " Sub User " + n + "." + std::to_string(j);
        EXPECT_EQ(Trim(One("select name from personnel where id = " + holder)), label);
        EXPECT_EQ(Trim(PanelUser(k, "Name" + std::to_string(j))), label);
        const auto sub_access = Row("select * from personnel_rec where record_id = " + holder +
                                    " and region = " + region_);
        ASSERT_FALSE(sub_access.empty());
        EXPECT_EQ(ValueOf0(sub_access.at("sub_user_group")), j);
      }
    }
    // One access record per person and region.
    EXPECT_EQ(Rows("select record_id, region, count(*) from personnel_rec "
                   "group by record_id, region having count(*) > 1"),
              std::vector<std::string>{});
  }

  // The rows a token upload writes.
  std::vector<std::string> UserRows() {
    std::vector<std::string> all;
    for (const char* table : {"personnel", "credentials", "personnel_rec", "panel_users"})
      for (auto& r : Rows(std::string("select * from ") + table + " order by " +
                          (std::string(table) == "panel_users" ? "region_id, user_number, field"
                                                               : "id")))
        all.push_back(std::string(table) + ": " + r);
    return all;
  }
  std::string Trace() { return ReadWholeFile(Folder() / "panelif.trace").value_or(""); }

  void Run() {
    ASSERT_TRUE(Eventually([&] { return Status("Ver_Info").has_value(); }))
        << "the panel did not link";
    Queue("dbg 1");  // the library trace shows the cut answer
    ASSERT_TRUE(Eventually([&] { return !Trace().empty(); }));

    // Without a handler that stores the first table there is nothing more to wait for.
    ASSERT_TRUE(Upload("409 0", "SE080"));
    CheckAuthorityLevels();
    Upload("406 0", "SE086");
    CheckHolidays();
    Upload("407 0", "SE085");
    CheckSkeds();
    Upload("408 0", "SE081");
    CheckPointsAndReaders();

    // One point's text (401): stored into its device row; the flag stays empty, as no table
    // upload follows to set it.
    Sim("1 cmd SETPOINTTEXT 5 Loading_Bay East");
    Sim("1 hold 1000");
    Queue("401 0 5");
    EXPECT_TRUE(Eventually([&] { return Status("SE081") == std::string(); }, 10));
    EXPECT_TRUE(Eventually([&] {
      return One("select description from devices where address = '7.0.2.I5'") ==
             "Loading Bay East";
    }, 15)) << One("select description from devices where address = '7.0.2.I5'");
    EXPECT_EQ(Status("SE081"), std::string());

    // User classes alone (405) have no flag; then the 249 users with their tokens and names
    // (404), their titles shown in the status file while they go in; then names alone (403).
    Queue("405 0");
    EXPECT_TRUE(Eventually([&] { return PanelUser(24, "Passcode") != ""; }, 15));
    // The two uploads take a fraction of a second: a thread of its own reads the status file
    // every few milliseconds meanwhile, so that a busy machine does not hide them.
    std::set<std::string> shown;
    std::mutex shown_lock;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
      while (watching) {
        if (auto v = Status("Ver_Info")) {
          std::lock_guard<std::mutex> hold(shown_lock);
          shown.insert(*v);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    Upload("404 0", "SE082");
    watching = false;
    watcher.join();
    // The handlers' own titles, not the command's "Reading Token Tables" set before the request.
    std::string seen;
    bool title_seen = false;
    for (const auto& v : shown) {
      seen += "[" + v + "] ";
      for (const std::string title : {"Reading Token Table", "Reading in User Names"})
        title_seen |= v.size() >= title.size() && v.compare(v.size() - title.size(), title.size(), title) == 0;
    }
    EXPECT_TRUE(title_seen) << "Ver_Info values seen: " << seen;
    CheckUsers();
    Sim("1 cmd UPDATEUSERNAME 7 o'neil mary");
    Upload("403 0", "SE082");
    CheckUsers();
    EXPECT_TRUE(Eventually([&] {
      return ValueOf0(One("select count(*) from events where address = '7.0' and event_id = 'SE083'")) > 0;
    }, 15)) << "the token upload's event did not reach the events table";

    // A link that fails after 20 items of the token table: the rows of the upload before stay
    // exactly as they were and changes the panel holds are not half taken. (The names request of
    // the same command may go out only once the link is back, and then it is answered and stored
    // whole, setting its flag: whether it does depends on the timing, so the flag is not checked.)
    const auto before = UserRows();
    Sim("1 cmd UPDATETOKENTABLE 5 0 11 4005");
    Sim("1 cmd UPDATETOKENTABLE 40 0 11 4040");
    Sim("1 cut-table 20 READTOKENTABLES");
    Queue("404 0");
    EXPECT_TRUE(Eventually([&] { return Trace().find("middle of its table answer") != std::string::npos; }, 15))
        << "the cut did not reach the library";
    // Past the library's time limit for the requests the drop took with it.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(UserRows(), before);
    EXPECT_EQ(One("select count(*) from credentials where credential_number in (4005, 4040)"), "0");

    // The next upload, on the link that came back, takes the panel's changes in full.
    Upload("404 0", "SE082");
    CheckUsers();
  }

  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_;
  std::unique_ptr<Child> service_;
  std::string region_;
};

TEST_F(UploadsSite, Sqlite) {
  StartSite("sqlite:" + (root_ / "ordane.db").string());
  Run();
}

TEST_F(UploadsSite, Postgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  StartSite(pg->CreateDatabase("uploads"));
  Run();
}

}  // namespace
}  // namespace ordane
