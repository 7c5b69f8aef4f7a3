// The services under systemd, as far as a machine without a running systemd can show it: the
// units that "-install" and "--install" write pass systemd-analyze (verify, and security below
// an exposure of 2.0), both programs tell a notify socket they are ready and keep its watchdog
// alive, and --help/--version answer as Linux users expect.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "panelsim/process.h"
#include "tests/e2e/site.h"
#include "tests/e2e/tools.h"
#include "util/files.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;
using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;
using e2e::RunToEnd;
using e2e::Shell;

// A datagram socket in the role of systemd's notify socket: a thread of its own takes what a
// service sends as it comes, as systemd does.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    reader_ = std::thread([this] {
      char buffer[512];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(mu_);
        messages_.emplace_back(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  ~NotifySocket() {
    stop_ = true;
    reader_.join();
    ::close(fd_);
  }
  int Count(const std::string& message) {
    std::lock_guard<std::mutex> g(mu_);
    int n = 0;
    for (const auto& m : messages_) n += m == message;
    return n;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> messages_;
  std::thread reader_;
};

class Units : public e2e::SiteFixture {
 protected:
  Units() : SiteFixture("units_e2e") {}
};

TEST_F(Units, InstalledUnitsPassSystemdAnalyzeAndAreSandboxed) {
  // A site outside the services' own folder: the units must let them write there.
  const std::string cxn = "sqlite:" + (root_ / "db" / "ordane.db").string();
  fs::create_directories(root_ / "db");
  ASSERT_EQ(Tool({"settings", "--file", (root_ / "ordane.ini").string(), "--db", cxn, "--remote",
                  (root_ / "share").string()}),
            0);
  std::string out;
  ASSERT_EQ(RunToEnd({Bin("paneldriver"), "-install"}, DriverEnv(), root_ / "driver.log", &out), 0) << out;
  ASSERT_EQ(RunToEnd({Bin("eventsvc"), "--install"}, DriverEnv(), root_ / "eventsvc.log", &out), 0) << out;

  for (const char* name : {"11000.service", "ordane-eventsvc.service"}) {
    SCOPED_TRACE(name);
    const std::string text = ReadWholeFile(root_ / "units" / name).value_or("");
    for (const std::string& line : std::vector<std::string>{
             "Type=notify", "WatchdogSec=60", "Restart=on-failure", "User=ordane",
          "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes", "ProtectHome=yes",
          "StateDirectory=ordane", "ReadWritePaths=-" + (root_ / "share").string(),
          "ReadWritePaths=-" + (root_ / "db").string(),
          "Environment=ORDANE_SETTINGS=" + (root_ / "ordane.ini").string()})
      EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << " missing in\n" << text;
  }
  const std::string driver = ReadWholeFile(root_ / "units" / "11000.service").value_or("");
  EXPECT_NE(driver.find("\nExecStart=" + fs::canonical(Bin("paneldriver")).string() + "\n"),
            std::string::npos);
  EXPECT_NE(driver.find("\nRestartPreventExitStatus=78\n"), std::string::npos);

  if (std::string why = e2e::SystemdAnalyzeMissing(root_); !why.empty()) GTEST_SKIP() << why;
  for (const char* name : {"11000.service", "ordane-eventsvc.service"}) {
    SCOPED_TRACE(name);
    const fs::path unit = root_ / "units" / name;
    EXPECT_EQ(Shell("exec systemd-analyze verify " + unit.string(), root_ / "analyze.log", &out), 0);
    EXPECT_EQ(out, "");  // no complaint at all
    std::string overall;
    EXPECT_TRUE(e2e::ExposureBelowTwo(unit, root_ / "analyze.log", &overall)) << overall;
    std::printf("%s\n", overall.c_str());
  }
}

TEST_F(Units, BothServicesReportReadinessAndKeepTheWatchdogAlive) {
  panelsim::SimProcess sim;
  ASSERT_TRUE(sim.Start(Bin("panelsim"), {"--panels", "1", "--base-port", "0"})) << sim.error();
  MakeSite("sqlite:" + (root_ / "ordane.db").string(), sim, 1);
  NotifySocket driver_socket(root_ / "driver.notify"), events_socket(root_ / "eventsvc.notify");
  // A watchdog of 400 ms: each must say it is alive at least every 200 ms.
  Env env = DriverEnv();
  env["WATCHDOG_USEC"] = "400000";
  env["NOTIFY_SOCKET"] = driver_socket.path().string();
  Child driver({Bin("paneldriver")}, env, root_ / "driver.log");
  env["NOTIFY_SOCKET"] = events_socket.path().string();
  Child events({Bin("eventsvc"), "--metrics-port", "0"}, env, root_ / "eventsvc.log");

  for (NotifySocket* s : {&driver_socket, &events_socket}) {
    SCOPED_TRACE(s->path().filename().string());
    ASSERT_TRUE(Eventually([&] { return s->Count("READY=1") == 1; }, 20));
    // Ten come in 2 s on an idle machine. The test only asks that they keep coming: under the
    // sanitizers with the other tests beside it, a start-up can hold the loop for a second.
    const int before = s->Count("WATCHDOG=1");
    EXPECT_TRUE(Eventually([&] { return s->Count("WATCHDOG=1") - before >= 10; }, 20))
        << s->Count("WATCHDOG=1") - before << " notices";
  }
  events.Signal(SIGTERM);
  EXPECT_EQ(events.Wait(30), 0);
  EXPECT_EQ(events_socket.Count("STOPPING=1"), 1);

  // A watchdog meant for another process is not fed.
  NotifySocket other(root_ / "other.notify");
  env["NOTIFY_SOCKET"] = other.path().string();
  env["WATCHDOG_PID"] = "1";
  Child second_events({Bin("eventsvc"), "--metrics-port", "0"}, env, root_ / "eventsvc.log");
  ASSERT_TRUE(Eventually([&] { return other.Count("READY=1") == 1; }, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(other.Count("WATCHDOG=1"), 0);

  second_events.Signal(SIGTERM);
  EXPECT_EQ(second_events.Wait(30), 0);
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(30), 0);
  EXPECT_EQ(driver_socket.Count("STOPPING=1"), 1);
}

TEST_F(Units, HelpAndVersionAnswerAndOtherSwitchesKeepTheirRule) {
  const std::string version = std::string(" (ORDANE) ") + ORDANE_TEST_VERSION + "\n";
  std::string out;
  for (const char* program : {"paneldriver", "eventsvc", "ordanectl"}) {
    SCOPED_TRACE(program);
    EXPECT_EQ(RunToEnd({Bin(program), "--help"}, DriverEnv(), root_ / "out.log", &out), 0);
    EXPECT_EQ(out.rfind(std::string("usage: ") + program, 0), 0u) << out;
    EXPECT_EQ(RunToEnd({Bin(program), "--version"}, DriverEnv(), root_ / "out.log", &out), 0);
    EXPECT_EQ(out, program + version);
  }
  // The driver reads its switches without regard to case, as it does the others.
  EXPECT_EQ(RunToEnd({Bin("paneldriver"), "--VERSION"}, DriverEnv(), root_ / "out.log", &out), 0);
  EXPECT_EQ(out, "paneldriver" + version);
  // Any other switch still stops the driver at once, without usage text and without a unit.
  EXPECT_EQ(RunToEnd({Bin("paneldriver"), "-help"}, DriverEnv(), root_ / "out.log", &out), 0);
  EXPECT_EQ(out.find("usage"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(root_ / "units"));
}

}  // namespace
}  // namespace ordane
