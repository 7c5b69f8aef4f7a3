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

extern char** environ;
namespace fs = std::filesystem;

namespace ordane {
namespace {

using Env = std::map<std::string, std::string>;

// A child process with extra environment; stdout and stderr go to `log`.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const Env& env, const fs::path& log) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string v(*e);
      if (!env.count(v.substr(0, v.find('=')))) vars.push_back(v);
    }
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it has not ended within `seconds`.
  int Wait(int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// Polls `done` until it holds or `seconds` pass.
bool Eventually(const std::function<bool()>& done, int seconds = 30) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

std::string Bin(const char* name) { return (fs::path(ORDANE_BIN_DIR) / name).string(); }

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

  // A second driver on the same lock ends at once while the first runs. The first has no
  // settings and so no driver record: it is held in its one-second start-up wait long enough.
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
    // The start event's file is taken in and stored as an events statement file.
    EXPECT_TRUE(Eventually([&] {
      return !ListMatching(root_ / "share" / "Events", "7_*.evn").empty() &&
             ListMatching(ResolvePath(Folder(), "events"), "*.evt").empty();
    }));

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
    // The stop event waits in its file for the next start.
    auto stopped = ListMatching(ResolvePath(Folder(), "events"), "*.evt");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_NE(IniDocument::Load(stopped[0]).Text().find("HS002"), std::string::npos);
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
