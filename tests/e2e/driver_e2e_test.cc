// The driver as its users run it: the real paneldriver, libpanelif.so, panelsim and ordanectl
// as processes, on a temporary folder tree and a real SQLite file or PostgreSQL server.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "db/pgtest.h"
#include "panelsim/process.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "tests/e2e/child.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

class E2E : public ::testing::Test {
 protected:
  E2E() : root_(fs::temp_directory_path() / ("driver_e2e_" + std::to_string(::getpid()) + "_" +
                                             std::to_string(++counter_))) {
    fs::create_directories(root_);
  }
  ~E2E() override {
    if (HasFailure()) {
      for (const char* log : {"driver.log", "tools.log"})
        if (auto text = IniDocument::Load(root_ / log).Text(); !text.empty())
          std::fprintf(stderr, "--- %s\n%s\n", log, text.c_str());
    } else {
      fs::remove_all(root_);
    }
  }
  int Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Bin("ordanectl")};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c(argv, {}, root_ / "tools.log");
    return c.Wait(60);
  }
  Env DriverEnv() {
    return {{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()},
            {"ORDANE_LOCK_FILE", (root_ / "driver.lock").string()},
            {"ORDANE_UNIT_DIR", (root_ / "units").string()}};
  }
  static inline int counter_ = 0;
  fs::path root_;
};

TEST_F(E2E, ServiceSwitchesAndTheSingleInstance) {
  Child install({Bin("paneldriver"), "-install"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(install.Wait(20), 0);
  const fs::path unit = root_ / "units" / "11000.service";
  ASSERT_TRUE(fs::exists(unit));
  EXPECT_EQ(ReadProfileString(unit, "X-Parameters", "TimerInterval"), "1000");
  EXPECT_NE(ReadProfileString(unit, "Service", "ExecStart").find("paneldriver"), std::string::npos);

  Child uninstall({Bin("paneldriver"), "-UNINSTALL"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(uninstall.Wait(20), 0);
  EXPECT_FALSE(fs::exists(unit));

  // An unknown switch stops the driver through its service stop path.
  Child unknown({Bin("paneldriver"), "-restart"}, DriverEnv(), root_ / "driver.log");
  EXPECT_EQ(unknown.Wait(20), 0);

  // A second driver on the same lock ends at once while the first runs. The first has a
  // database without a driver record: it is held in its one-second start-up wait long enough.
  const std::string cxn = "sqlite:" + (root_ / "ordane.db").string();
  ASSERT_EQ(Tool({"init-db", "--db", cxn}), 0);
  ASSERT_EQ(Tool({"settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn, "--remote",
                  (root_ / "share").string()}),
            0);
  Env env = DriverEnv();
  Child first({Bin("paneldriver"), "-debug"}, env, root_ / "driver.log");
  ASSERT_TRUE(Eventually([&] {  // the first driver holds the lock
    int fd = ::open(env["ORDANE_LOCK_FILE"].c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
  }, 10));
  Child second({Bin("paneldriver"), "-debug"}, env, root_ / "driver.log");
  EXPECT_EQ(second.Wait(20), 1);
  EXPECT_EQ(first.Wait(20), 0);
}

// What a new user meets first: a driver that cannot start says why in its first line and ends
// with a non-zero code; a computer without a driver record ends quietly, naming the computer.
TEST_F(E2E, ADriverThatCannotStartSaysWhyFirst) {
  const fs::path settings = root_ / "ordane.ini";
  const std::string share = (root_ / "share").string();
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    std::string first_line;  // its start
  } cases[] = {
      {"no settings file", [] {}, 78, "the settings file " + settings.string() + " does not exist"},
      {"garbage", [&] { std::ofstream(settings) << "\x01\x02 not [an ini\n\xff\xfe=\n"; }, 78,
       "the settings file " + settings.string() + " holds no section [OS]"},
      {"database folder missing",
       [&] {
         fs::remove(settings);
         ASSERT_EQ(Tool({"settings", "--file", settings.string(), "--db",
                         "sqlite:" + (root_ / "nowhere" / "o.db").string(), "--remote", share}),
                   0);
       },
       1,
       "cannot open the database of Cxn_Access_Control (sqlite:" +
           (root_ / "nowhere" / "o.db").string() + "): "},
      {"no driver record",
       [&] {
         const std::string cxn = "sqlite:" + (root_ / "ordane.db").string();
         ASSERT_EQ(Tool({"init-db", "--db", cxn}), 0);
         ASSERT_EQ(Tool({"settings", "--file", settings.string(), "--db", cxn, "--remote", share}),
                   0);
       },
       0, "no driver record of type 11000 for computer "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const fs::path log = root_ / (std::string(c.name) + ".log");
    Child driver({Bin("paneldriver"), "-debug"}, DriverEnv(), log);
    EXPECT_EQ(driver.Wait(20), c.code);
    std::ifstream in(log);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.rfind(c.first_line, 0), 0u) << first;
  }
}

// One site: three polled panels on the simulator and one that is not polled.
class SiteTest : public E2E, public ::testing::WithParamInterface<const char*> {
 protected:
  void StartSite(const std::string& cxn) {
    cxn_ = cxn;
    ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", "3", "--base-port", "0",
                                             "--first-address", "41"}))
        << sim_.error();
    ASSERT_EQ(Tool({"share", "--root", (root_ / "share").string()}), 0);
    ASSERT_EQ(Tool({"demo-data", "--db", cxn, "--panels", "3", "--driver-id", "7"}), 0);
    ASSERT_EQ(Tool({"settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn, "--remote",
                    (root_ / "share").string(), "--status-timer", "500", "--debug", "1"}),
              0);
    sql_ = db::NewConnection();
    sql_->Open(cxn, "", "");
    for (std::size_t i = 0; i < 3; ++i) {
      const auto& p = sim_.panels()[i];
      sql_->Execute("update channels set port2 = " + std::to_string(p.port) +
                    " where driver_id = 7 and channel = " + std::to_string(i));
      sql_->Execute("update controllers set ec_1_name = '" + p.host +
                    "' where address = '7." + std::to_string(i) + "'");
    }
    sql_->Execute("insert into controllers (address, driver_id, controller_address, poll, "
                  "Connection_Type, EC_1_Name, cstatus) values ('7.3', 7, 3, 0, '4', '127.0.0.99', 0)");
    sql_->Execute("update drivers set status = 1 where driver_id = 7");
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"},
                                      DriverEnv(), root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
  }
  std::string One(const std::string& query) {
    db::Recordset rs;
    rs.Open(query, *sql_);
    return rs.Eof() ? std::string() : rs.Text(rs.Fields().at(0));
  }
  fs::path Folder() { return root_ / "share" / "Drivers" / "7"; }
  std::string Status(int slot, const char* key) {
    return ReadProfileString(Folder() / "Status" / ("Controller" + ZeroPad(slot, 3)),
                             "Status_Controllers", key);
  }
  long Requests(int panel) {
    std::string status = sim_.Command(std::to_string(panel) + " status");
    std::size_t at = status.find("requests=");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 9));
  }

  void RunSite() {
    // Every polled panel: linked in the database and a status file with live data.
    ASSERT_TRUE(Eventually([&] {
      for (int i = 0; i < 3; ++i)
        if (Status(i, "AreaStatus").size() < 3 || Status(i, "MonitorPoints").empty() ||
            Status(i, "PanelStatus").empty())
          return false;
      return true;
    })) << "status files with live data did not appear";
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Status(i, "Ver_Info").substr(0, 6), "017.06") << i;
      EXPECT_EQ(Status(i, "ControllerName"), sim_.panels()[static_cast<std::size_t>(i)].host);
      EXPECT_EQ(One("select cstatus from controllers where address = '7." + std::to_string(i) + "'"), "1");
    }
    EXPECT_EQ(Status(0, "AreaStatus").find(':'), 8u);
    // The panel that is not polled gets nothing.
    EXPECT_FALSE(fs::exists(Folder() / "Status" / "Controller003"));
    EXPECT_EQ(One("select cstatus from controllers where address = '7.3'"), "0");
    // The driver's own file and the start event.
    const fs::path driver_file = Folder() / "Status" / "Driver";
    EXPECT_TRUE(Eventually([&] { return ReadProfileString(driver_file, "Status_Drivers", "Online_Count") == "3"; }));
    EXPECT_NE(ReadProfileString(driver_file, "Status_Drivers", "Version").find("   DLL:1."), std::string::npos);
    EXPECT_EQ(ReadProfileString(driver_file, "Status_Drivers", "DT_Info").size(), 23u);
    auto started = ListMatching(ResolvePath(Folder(), "events"), "*.evt");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_NE(IniDocument::Load(started[0]).Text().find("HS001"), std::string::npos);

    // A panel that says it is busy shows "Busy" after 40 busy answers, and is left alone.
    ASSERT_EQ(sim_.Command("3 busy 1").substr(0, 2), "ok");
    ASSERT_TRUE(Eventually([&] { return Status(2, "Ver_Info").find("Busy") != std::string::npos; }))
        << Status(2, "Ver_Info");
    const long busy_before = Requests(3), idle_before = Requests(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));  // more than 11 status ticks
    EXPECT_EQ(Requests(3), busy_before);
    EXPECT_GT(Requests(1), idle_before);

    // The service stop: the shutdown runs and the driver record is marked stopped.
    driver_->Signal(SIGTERM);
    EXPECT_EQ(driver_->Wait(30), 0);
    EXPECT_EQ(One("select status from drivers where driver_id = 7"), "0");
    EXPECT_EQ(ListMatching(ResolvePath(Folder(), "events"), "*.evt").size(), 2u);  // and HS002
  }

  panelsim::SimProcess sim_;
  std::string cxn_;
  std::unique_ptr<db::Connection> sql_;
  std::unique_ptr<Child> driver_;
};

TEST_F(SiteTest, SqliteSite) {
  StartSite("sqlite:" + (root_ / "ordane.db").string());
  RunSite();
}

TEST_F(SiteTest, PostgresSite) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  StartSite(pg->CreateDatabase("site"));
  RunSite();
}

}  // namespace
}  // namespace ordane
