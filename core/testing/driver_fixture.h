// A driver over fakes, a test clock, a temporary shared folder tree and a real SQLite database
// file with the full schema, for the driver's unit tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "db/db.h"
#include "panel/fake_panel_library.h"
#include "schema/schema.h"
#include "util/files.h"
#include "core/driver.h"
#include "core/testing/fake_system_library.h"

namespace ordane {

// The files of a folder by name, with their content.
inline std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& f : std::filesystem::directory_iterator(folder))
    if (f.is_regular_file()) files[f.path().filename().string()] = ReadWholeFile(f.path()).value_or("<missing>");
  return files;
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest()
      : root_(std::filesystem::temp_directory_path() /
              ("driver_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter_))),
        clock_(LocalTime{2026, 12, 5, 21, 18, 42}),
        loop_(clock_),
        service_(root_ / "units", "/usr/bin/paneldriver"),
        d_(clock_, loop_, panel_, lib_, service_) {
    std::filesystem::create_directories(root_ / "share");
    db_path_ = (root_ / "ordane.db").string();
    lib_.settings["OS/RemotePath"] = (root_ / "share").string();
    lib_.settings["OS/Status_Timer"] = "1000";
    lib_.settings["OS/Cxn_Access_Control"] = "sqlite:" + db_path_;
    lib_.settings["OS/Cxn_Hardware"] = "sqlite:" + db_path_;
    setenv("ORDANE_LOCK_FILE", (root_ / "lock").c_str(), 1);
    auto c = db::NewConnection();
    c->Open("sqlite:" + db_path_, "", "");
    schema::CreateSchema(*c);
    sql_ = std::move(c);
  }
  ~DriverTest() override {
    // The error list says why a step failed; show it with a failing test.
    if (HasFailure())
      for (const auto& line : d_.errors.Lines()) std::fprintf(stderr, "  list: %s\n", line.c_str());
    std::filesystem::remove_all(root_);
  }

  // Runs a statement on the test's own connection to the database.
  void Sql(const std::string& statement) { sql_->Execute(statement); }
  std::string One(const std::string& query) {
    db::Recordset rs;
    rs.Open(query, *sql_);
    return rs.Eof() ? std::string("<none>") : rs.Text(rs.Fields().at(0));
  }
  // A driver as after its start-up: databases open, driver 12 in share/Drivers/12.
  void StartedDriver() {
    d_.DriverId = 12;
    d_.RemotePath = (root_ / "share").string();
    d_.DriverFolder = (root_ / "share" / "Drivers" / "12").string();
    std::filesystem::create_directories(d_.DriverFolder);
    d_.db.OpenDatabases(1, d_.settings, lib_, d_.errors);
  }

  static inline int counter_ = 0;
  std::filesystem::path root_;
  std::string db_path_;
  TestClock clock_;
  MessageLoop loop_;
  FakePanelLibrary panel_;
  FakeSystemLibrary lib_;
  ServiceControl service_;
  Driver d_;
  std::unique_ptr<db::Connection> sql_;
};

}  // namespace ordane
