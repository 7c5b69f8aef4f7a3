// Fuzz target for the event logger: whatever an event file or a panel puts into an event's
// timestamp, address, code, detail and extra text, every statement the logger writes opens,
// names its identity, and inserts exactly one row when it is run on the real database (so no
// text from outside can end a quoted value, add a statement or break the syntax).
//
// Input: the first byte picks the log type, the rest is the six items separated by "\n"
// (timestamp, address, code, detail, extra, identity).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/driver.h"
#include "core/testing/fuzz_driver.h"
#include "db/db.h"
#include "events/event_files.h"
#include "events/event_logger.h"
#include "panel/fake_panel_library.h"
#include "schema/schema.h"
#include "util/files.h"

namespace fs = std::filesystem;

namespace {

using namespace ordane;

// The demo rows the logger's rules and actions look up, over the shared fuzz driver.
struct World : FuzzDriver {
  World() : FuzzDriver("logger_fuzz") {
    fs::create_directories(root / "share" / "Drivers" / "199" / "commands");
    fs::create_directories(root / "share" / "Drivers" / "20" / "commands");
    sql->Execute(
        "INSERT INTO devices (address, Description, Device, Device_Type, Event_Source) VALUES "
        "('12.0.2.I17', 'Lobby O''Brien', 'PIR', 'Point', NULL), "
        "('12.0.3.R1', 'Reader', 'Reader', 'Reader', '20.1.0.R1')");
    sql->Execute(
        "INSERT INTO controllers (address, Description, connection_type) VALUES "
        "('12.0', 'Main', '0'), ('20.1', 'Video', '0')");
    sql->Execute("INSERT INTO drivers (driver_id, driver_type) VALUES (20, 'CAMX')");
    sql->Execute("INSERT INTO personnel (id, first_name, last_name) VALUES (41, 'Ann', 'O''Lee')");
    sql->Execute("INSERT INTO credentials (record_id, credential_number) VALUES (41, 1234567)");
    sql->Execute(
        "INSERT INTO area_control (controller_address, area_number, description) "
        "VALUES ('12.0', 1, 'Hall')");
    sql->Execute(
        "INSERT INTO skeds (controller_address, sked_id, description) VALUES "
        "('12.0', 1, 'Night')");
    sql->Execute(
        "INSERT INTO event_descriptions (event_id, log_type, routeid) VALUES "
        "('RD070', 150, 'F')");
    std::ofstream(root / "share" / "camera12.ini")
        << "[12.0.2.I17]\nMonitor=20.1.0.M1\nCamera=20.1.0.C2\nPreset=1,2\n";
    std::ofstream(root / "share" / "InterComm12.ini") << "[12.0.2.I17]\nCommand=I\nAA=1\n";
    d.regions.RegionNames = {"", "North"};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World* world = new World();
  static const std::int16_t kLogTypes[] = {0,   1,   50,  99,  100, 101, 102,
                                           103, 111, 150, 208, 999, -5};
  if (size == 0) return 0;
  const std::int16_t log_type = kLogTypes[data[0] % (sizeof kLogTypes / sizeof kLogTypes[0])];
  std::vector<std::string> items(6);
  std::size_t item = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '\n' && item < 5) {
      ++item;
      continue;
    }
    items[item] += static_cast<char>(data[i]);
  }

  Driver& d = world->d;
  const fs::path events = fs::path(d.RemotePath) / "Events";
  fs::remove_all(events);
  for (const char* folder : {"Drivers/12/events", "Drivers/20/commands", "Drivers/199/commands"}) {
    fs::remove_all(fs::path(d.RemotePath) / folder);
    fs::create_directories(fs::path(d.RemotePath) / folder);
  }
  d.errors.Clear();
  I_logevent(d, items[0], items[1], items[2], items[3], log_type, items[4], items[5]);

  std::error_code ec;
  for (const auto& f : fs::directory_iterator(events, ec)) {
    std::string line = ReadWholeFile(f.path()).value_or("");
    FuzzCheck(!line.empty() && line.back() == '\n');
    line.pop_back();
    std::string identity, statement;
    FuzzCheck(SplitStatementFileText(world->lib.xKeyShow(line, kDriverKey), &identity, &statement));
    const std::int64_t before = world->Rows();
    world->sql->Execute(statement);
    FuzzCheck(world->Rows() == before + 1);
  }
  for (const char* table : {"events", "alarms", "controller_commands"})
    world->sql->Execute(std::string("DELETE FROM ") + table);
  return 0;
}
