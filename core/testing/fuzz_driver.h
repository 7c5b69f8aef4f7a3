// A driver over fakes for fuzz targets: a fresh folder tree (on /dev/shm when there is one, so
// that the many files a run writes stay in memory), a real SQLite file with the full schema and
// driver 12's folders, with both connections open. Targets add their rows and files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/driver.h"
#include "core/testing/fake_system_library.h"
#include "db/db.h"
#include "panel/fake_panel_library.h"
#include "schema/schema.h"

namespace ordane {

// A broken promise of the code under fuzzing: abort, so that libFuzzer keeps the input.
inline void FuzzCheck(bool ok) {
  if (!ok) std::abort();
}

struct FuzzDriver {
  explicit FuzzDriver(const std::string& name)
      : root((std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                         : std::filesystem::temp_directory_path()) /
             (name + "_" + std::to_string(::getpid()))),
        clock(LocalTime{2026, 12, 5, 21, 18, 42}),
        loop(clock),
        service(root / "units", "/usr/bin/paneldriver"),
        d(clock, loop, panel, lib, service) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "share" / "Drivers" / "12" / "Events");
    const std::string cxn = "sqlite:" + (root / "ordane.db").string();
    lib.settings["OS/Cxn_Access_Control"] = cxn;
    lib.settings["OS/Cxn_Hardware"] = cxn;
    sql = db::NewConnection();
    sql->Open(cxn, "", "");
    schema::CreateSchema(*sql);
    d.DriverId = 12;
    d.RemotePath = (root / "share").string();
    d.DriverFolder = (root / "share" / "Drivers" / "12").string();
    d.db.OpenDatabases(1, d.settings, lib, d.errors);
  }

  // Rows of `events` and `alarms` together.
  std::int64_t Rows() {
    db::ResultSet r =
        sql->Query("SELECT (SELECT COUNT(*) FROM events) + (SELECT COUNT(*) FROM alarms)");
    return std::atoll(r.rows.at(0).at(0).value_or("0").c_str());
  }

  std::filesystem::path root;
  TestClock clock;
  MessageLoop loop;
  FakePanelLibrary panel;
  FakeSystemLibrary lib;
  ServiceControl service;
  Driver d;
  std::unique_ptr<db::Connection> sql;
};

}  // namespace ordane
