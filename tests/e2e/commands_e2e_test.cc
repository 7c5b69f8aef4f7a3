// Commands from the database and from command files reaching real panels: the paneldriver,
// libpanelif.so, panelsim and ordanectl as processes, on SQLite and on PostgreSQL. The panels'
// state is read back through the simulator's control lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
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
#include "util/error.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "syslib/statement.h"
#include "syslib/syslib.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Env;
using e2e::Eventually;

// Driver 7 with three TCP panels (slots 0 to 2 on simulator panels 1 to 3) and a modem panel
// on a pseudo-terminal (slot 3 on simulator panel 4, port COM9).
class CommandsSite : public e2e::SiteFixture {
 protected:
  CommandsSite() : SiteFixture("commands_e2e") {}
  ~CommandsSite() override {
    driver_.reset();
    if (HasFailure())
      if (auto trace = ReadWholeFile(Folder() / "panelif.trace"))
        std::fprintf(stderr, "--- trace\n%s\n", Right(*trace, 8000).c_str());
  }
  void StartSite(const std::string& cxn) {
    ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", "3", "--pty", "1", "--modem",
                                             "--base-port", "0", "--first-address", "51"}))
        << sim_.error();
    MakeSite(cxn, sim_, 3, {"--status-timer", "500"});
    sql_->Execute(
        "insert into controllers (address, driver_id, controller_address, poll, "
        "Connection_Type, EC_1_Name, cstatus) values ('7.3', 7, 3, 1, '1', '5551234', 0)");
    sql_->Execute(
        "insert into channels (driver_id, channel, port, baud_rate, port2) values "
        "(7, 3, '9', 9600, 0)");
    Env env = DriverEnv();
    env.insert({{"PANELIF_PORTMAP", "COM9=" + sim_.panels()[3].host},
                {"PANELIF_PING_MS", "1000"},
                {"PANELIF_DOWN_MS", "3000"},
                {"PANELIF_RETRY_MS", "500"}});
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"}, env,
                                      root_ / "driver.log");
    ASSERT_TRUE(driver_->started());
  }

  void Queue(int slot, const std::string& cmd) {
    sql_->Execute("insert into controller_commands (address, cmd) values ('7." +
                  std::to_string(slot) + "', '" + cmd + "')");
  }
  // A field of the simulator's status line of panel `n` ("areas", "connected"...).
  std::string SimStatus(int n, const std::string& field) {
    const std::string line = sim_.Command(std::to_string(n) + " status");
    const std::size_t at = line.find(" " + field + "=");
    if (at == std::string::npos) return "";
    const std::size_t start = at + field.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
  }
  std::string PointText(int n, int point) {
    return sim_.Command(std::to_string(n) + " cmd GETPOINTTEXT " + std::to_string(point));
  }
  std::string Trace() { return ReadWholeFile(Folder() / "panelif.trace").value_or(""); }
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  }

  void Run() {
    // Every panel linked, the modem panel dialled.
    ASSERT_TRUE(Eventually([&] {
      for (int i = 0; i < 4; ++i)
        if (SimStatus(i + 1, "connected") != "1") return false;
      return fs::exists(Folder() / "Status" / "Controller003");
    })) << "the panels did not link";
    Queue(0, "dbg 1");  // the library trace shows what reached each panel
    ASSERT_TRUE(Eventually([&] { return !Trace().empty(); }));

    // "324 2 1" arms area 1 of slot 2.
    ASSERT_EQ(SimStatus(3, "areas").substr(0, 1), "D");
    Queue(2, "324 2 1");
    EXPECT_TRUE(Eventually([&] { return SimStatus(3, "areas").substr(0, 1) == "A"; }));

    // A command file bypasses point 5 of slot 1, written under a temporary name and renamed.
    EXPECT_TRUE(PlaceNewFile(
        Folder() / "Commands", [] { return std::string("bypass.cm0"); }, "330 1 5\n"));
    EXPECT_TRUE(Eventually([&] {
      return sim_.Command("2 cmd POINTBYPASSSTATUS").find("PointBypassStatus 00001") !=
             std::string::npos;
    })) << sim_.Command("2 cmd POINTBYPASSSTATUS");
    EXPECT_TRUE(Eventually([&] { return !fs::exists(Folder() / "Commands" / "bypass.cm0"); }));

    // "302" sets the panel's clock to the present.
    ASSERT_EQ(sim_.Command("1 cmd SETDATETIME 0101201200AM"), "ok");
    ASSERT_NE(sim_.Command("1 cmd GETPANELSTATUS").find("DATE=01/01/2020"), std::string::npos);
    Queue(0, "302 0");
    EXPECT_TRUE(Eventually([&] {
      return sim_.Command("1 cmd GETPANELSTATUS").find("DATE=01/01/2020") == std::string::npos;
    }));
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char today[16];
    std::strftime(today, sizeof today, "%m/%d/%Y", &tm);
    EXPECT_NE(sim_.Command("1 cmd GETPANELSTATUS").find(std::string("DATE=") + today),
              std::string::npos);

    // Slot 1's panel goes off the line; the driver counts it lost and parks its commands.
    ASSERT_EQ(sim_.Command("2 down"), "ok");
    ASSERT_TRUE(Eventually(
        [&] { return One("select cstatus from controllers where address = '7.1'") == "0"; }));
    for (const char* cmd : {"402 1 6 FIRST", "324 1 2", "402 1 6 SECOND", "325 1 2", "324 1 3"})
      Queue(1, cmd);
    ASSERT_TRUE(Eventually(
        [&] { return One("select count(*) from cBuffer where address = '7.1'") == "5"; }));
    EXPECT_EQ(Count(Trace(), "402 1 6"), 0u);
    ASSERT_EQ(sim_.Command("2 up"), "ok");
    ASSERT_TRUE(Eventually(
        [&] { return One("select count(*) from cBuffer where address = '7.1'") == "0"; }));
    // In parking order: area 2 armed then disarmed, the second text last.
    EXPECT_TRUE(Eventually([&] { return SimStatus(2, "areas").substr(0, 3) == "DDA"; }))
        << SimStatus(2, "areas");
    EXPECT_NE(PointText(2, 6).find("SECOND"), std::string::npos) << PointText(2, 6);
    // Exactly once each.
    const std::string trace = Trace();
    EXPECT_EQ(Count(trace, "SETPOINTTEXT 6 FIRST"), 1u);
    EXPECT_EQ(Count(trace, "SETPOINTTEXT 6 SECOND"), 1u);
    EXPECT_EQ(Count(trace, " ARMAREA 2"), 1u);
    EXPECT_EQ(Count(trace, "DISARMAREA 2"), 1u);
    EXPECT_LT(trace.find("SETPOINTTEXT 6 FIRST"), trace.find(" ARMAREA 2"));
    EXPECT_LT(trace.find(" ARMAREA 2"), trace.find("SETPOINTTEXT 6 SECOND"));

    // "POLL 0 0" hangs slot 0 up: its commands are parked until "POLL 0 1" connects it again.
    Queue(0, "POLL 0 0");
    ASSERT_TRUE(Eventually(
        [&] { return One("select cstatus from controllers where address = '7.0'") == "0"; }));
    Queue(0, "324 0 4");
    ASSERT_TRUE(Eventually(
        [&] { return One("select count(*) from cBuffer where address = '7.0'") == "1"; }));
    EXPECT_EQ(SimStatus(1, "areas").substr(3, 1), "D");
    Queue(0, "poll 0 1");
    EXPECT_TRUE(Eventually([&] { return SimStatus(1, "areas").substr(3, 1) == "A"; }))
        << SimStatus(1, "areas");
    EXPECT_EQ(One("select count(*) from cBuffer where address = '7.0'"), "0");

    // The modem panel: the line drops, the library reopens the port, the driver dials again.
    const std::size_t dials = Count(Trace(), "ATD,T5551234");
    ASSERT_EQ(sim_.Command("4 drop"), "ok");
    EXPECT_TRUE(Eventually([&] { return Count(Trace(), "ATD,T5551234") > dials; }));
    EXPECT_TRUE(Eventually([&] { return SimStatus(4, "connected") == "1"; }));
    // "POLL 3 0" hangs it up (escape, ATH) and it stays down; "POLL 3 1" dials again.
    Queue(3, "POLL 3 0");
    EXPECT_TRUE(Eventually([&] { return Count(Trace(), "ATH") == 1; }));
    EXPECT_TRUE(Eventually([&] { return SimStatus(4, "connected") == "0"; }));
    const std::size_t hung_up = Count(Trace(), "ATD,T5551234");
    std::this_thread::sleep_for(std::chrono::seconds(5));  // more than a down and a retry
    EXPECT_EQ(Count(Trace(), "ATD,T5551234"), hung_up);
    Queue(3, "POLL 3 1");
    EXPECT_TRUE(Eventually([&] { return SimStatus(4, "connected") == "1"; }));

    // "ini" closes every link and starts the driver's panels again; commands go on.
    // (The start-up empties the driver's command queue: queue the next command once it has run,
    // which its start event "HS001" marks. The event file is taken in and becomes a sealed
    // statement file of the shared events folder, which no event service empties here.)
    auto lib = NewSystemLibrary(root_ / "ordane.ini");
    auto started = [&] {
      std::size_t n = 0;
      for (const auto& f : ListMatching(root_ / "share" / "Events", "*.evn")) {
        const std::string content = ReadWholeFile(f).value_or("");
        const std::string line = Trim(content.substr(0, content.find('\n')));
        try {
          if (auto t = UnpackStatement(lib->xKeyShow(line, kDriverKey)))
            n += Count(t->statement, "'HS001'");
        } catch (const Error&) {
        }
      }
      return n;
    };
    ASSERT_EQ(started(), 1u);
    Queue(2, "ini");
    ASSERT_TRUE(Eventually([&] { return started() == 2; }));
    Queue(2, "324 2 2");
    EXPECT_TRUE(Eventually([&] { return SimStatus(3, "areas").substr(1, 1) == "A"; }))
        << SimStatus(3, "areas");

    // "fin" stops the driver the orderly way.
    Queue(2, "fin");
    EXPECT_EQ(driver_->Wait(30), 0);
    EXPECT_EQ(One("select status from drivers where driver_id = 7"), "0");
    EXPECT_EQ(One("select count(*) from controller_commands"), "0");
  }

  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_;
};

TEST_F(CommandsSite, Sqlite) {
  StartSite("sqlite:" + (root_ / "ordane.db").string());
  Run();
}

TEST_F(CommandsSite, Postgres) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  StartSite(pg->CreateDatabase("commands"));
  Run();
}

}  // namespace
}  // namespace ordane
