// The ground of the end-to-end tests: a folder of the test's own, the set-up tool, and driver 7's
// site (shared tree, demo data, settings file) with its panels on the simulator.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "panelsim/process.h"
#include "tests/e2e/child.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/text.h"

namespace ordane::e2e {

class SiteFixture : public ::testing::Test {
 protected:
  // A fresh folder "<name>_<pid>_<n>" below the temporary folder.
  explicit SiteFixture(const std::string& name)
      : root_(fs::temp_directory_path() /
              (name + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter_))) {
    fs::create_directories(root_);
  }
  // A passing test's folder goes; a failing test's stays, and the ends of its logs are shown.
  ~SiteFixture() override {
    if (!HasFailure()) {
      std::error_code ec;
      fs::remove_all(root_, ec);
      return;
    }
    for (const char* log : {"driver.log", "eventsvc.log", "tools.log"})
      if (auto text = ReadWholeFile(root_ / log); text && !text->empty())
        std::fprintf(stderr, "--- %s (end)\n%s\n", log, Right(*text, 20000).c_str());
  }

  // Runs the set-up tool (`tool_`) with `args` (output in tools.log); its exit code.
  int Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{tool_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c(argv, {}, root_ / "tools.log");
    return c.Wait(60);
  }

  // Driver 7's site on `cxn`: the shared tree, the demo data with `panels` panels, each pointed
  // at the simulator's TCP panel of the same place, the settings file (debug lines on, with
  // `settings` added to its arguments, the console off), the driver record marked running, and
  // sql_ open.
  void MakeSite(const std::string& cxn, const panelsim::SimProcess& sim, int panels,
                const std::vector<std::string>& settings = {}) {
    ASSERT_EQ(Tool({"share", "--root", (root_ / "share").string(), "--demo"}), 0);
    ASSERT_EQ(Tool({"demo-data", "--db", cxn, "--panels", std::to_string(panels), "--driver-id",
                    "7"}),
              0);
    std::vector<std::string> args{"settings", "--file", (root_ / "ordane.ini").string(), "--db",
                                  cxn, "--remote", (root_ / "share").string(), "--debug", "1"};
    args.insert(args.end(), settings.begin(), settings.end());
    ASSERT_EQ(Tool(args), 0);
    // No console: tests run side by side, and those that want one give it a free port.
    IniDocument ini = IniDocument::Load(root_ / "ordane.ini");
    ini.Set("OS", "Console_Port", "0");
    ASSERT_TRUE(ini.Save(root_ / "ordane.ini"));
    sql_ = db::NewConnection();
    sql_->Open(cxn, "", "");
    for (int i = 0; i < panels; ++i) {
      const auto& p = sim.panels().at(static_cast<std::size_t>(i));
      sql_->Execute("update channels set port2 = " + std::to_string(p.port) +
                    " where driver_id = 7 and channel = " + std::to_string(i));
      sql_->Execute("update controllers set ec_1_name = '" + p.host + "' where address = '7." +
                    std::to_string(i) + "'");
    }
    sql_->Execute("update drivers set status = 1 where driver_id = 7");
  }

  // The driver's environment: this site's settings file, lock and unit folder.
  Env DriverEnv() const {
    return {{"ORDANE_SETTINGS", (root_ / "ordane.ini").string()},
            {"ORDANE_LOCK_FILE", (root_ / "driver.lock").string()},
            {"ORDANE_UNIT_DIR", (root_ / "units").string()}};
  }
  // The first field of the first row of `query`; "" when there is none.
  std::string One(const std::string& query) {
    db::Recordset rs;
    rs.Open(query, *sql_);
    return rs.Eof() ? std::string() : rs.Text(rs.Fields().at(0));
  }
  fs::path Folder() const { return root_ / "share" / "Drivers" / "7"; }

  static inline int counter_ = 0;
  fs::path root_;
  fs::path tool_ = Bin("ordanectl");  // the build's, unless a test runs an installed one
  std::unique_ptr<db::Connection> sql_;
};

}  // namespace ordane::e2e
