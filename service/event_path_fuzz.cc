// Fuzz targets for the two ways events come in from outside, through the whole event path
// (decoder or event file reader, lookups on a real SQLite file, logger, statement files):
// - EVENT_LINE_FUZZ: the input is a panel's event line, taken by Main_Process from the panel
//   library. Whatever the panel sends, the event is taken (never held: the platform is
//   fine), every statement file it gives opens, carries the line's identity, and inserts
//   exactly one row.
// - EVENT_FILE_FUZZ: the input is the content of an event file. Process_Evt_Files takes it in
//   or sets it aside; it never stays in the folder to block the files after it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/driver.h"
#include "core/testing/fuzz_driver.h"
#include "db/db.h"
#include "events/decoder.h"
#include "events/event_files.h"
#include "panel/fake_panel_library.h"
#include "responses/dispatcher.h"
#include "schema/schema.h"
#include "service/timers.h"
#include "util/files.h"

namespace fs = std::filesystem;

namespace {

using namespace ordane;

struct World : FuzzDriver {
  World() : FuzzDriver("event_path_fuzz") {
    sql->Execute(
        "INSERT INTO devices (address, Description, Device, Device_Type) VALUES "
        "('12.0.2.I17', 'Lobby O''Brien', 'PIR', 'Point')");
    sql->Execute("INSERT INTO controllers (address, Description) VALUES ('12.0', 'Main')");
    sql->Execute("INSERT INTO Secured_Areas (address, id, Description) VALUES ('12.0', 2, 'Hall')");
    sql->Execute(
        "INSERT INTO skeds (controller_address, sked_id, description) VALUES ('12.0', 1, 'Night')");
    // Every panel event number logs as an event and an alarm.
    for (int n = 0; n < 1000; n += 7)
      sql->Execute("INSERT INTO event_descriptions (event_id, log_type) VALUES ('RD" +
                   std::string(n < 10    ? "00"
                               : n < 100 ? "0"
                                         : "") +
                   std::to_string(n) + "', 111)");
    d.panels[0].PortName = "127.0.0.1";
    d.panels[1].PortName = "COM2";
  }

  // Opens and runs every statement file; each must name `identity` (when given) and insert one
  // row. Returns how many there were.
  int RunStatements(const std::string& identity) {
    int n = 0;
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(fs::path(d.RemotePath) / "Events", ec)) {
      std::string line = ReadWholeFile(f.path()).value_or("");
      FuzzCheck(!line.empty() && line.back() == '\n');
      line.pop_back();
      std::string id, statement;
      FuzzCheck(SplitStatementFileText(lib.xKeyShow(line, kDriverKey), &id, &statement));
      if (!identity.empty()) FuzzCheck(id.rfind(identity + "/", 0) == 0);
      const std::int64_t before = Rows();
      sql->Execute(statement);
      FuzzCheck(Rows() == before + 1);
      ++n;
    }
    fs::remove_all(fs::path(d.RemotePath) / "Events");
    sql->Execute("DELETE FROM events");
    sql->Execute("DELETE FROM alarms");
    return n;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World* world = new World();
  Driver& d = world->d;
  d.errors.Clear();
  const std::string input(reinterpret_cast<const char*>(data), size);
#if defined(EVENT_LINE_FUZZ)
  // The library's buffer: the line cut to 1025 characters, its NUL, blanks.
  std::string buffer = input.substr(0, 1025) + std::string(1, '\0');
  buffer.resize(1026, ' ');
  world->panel.QueueEventLine(input.substr(0, 1025));
  Main_Process(d);
  FuzzCheck(d.HeldEventLine.empty());
  const bool event = input.substr(0, 1025).find('-') != std::string::npos;
  const std::string identity = event ? Decode_PanelEvent(d, buffer, false).identity : "";
  FuzzCheck(identity.find('\n') == std::string::npos);
  world->RunStatements(identity);
  world->panel.ClearCalls();
  while (world->panel.pending_command_responses() > 0) Main_Process(d);
#elif defined(EVENT_FILE_FUZZ)
  const fs::path folder = fs::path(d.DriverFolder) / "Events";
  fs::remove_all(folder);
  fs::create_directories(folder);
  { std::ofstream(folder / "1.alm", std::ios::binary) << input; }
  Process_Evt_Files(d);
  FuzzCheck(!fs::exists(folder / "1.alm"));
  world->RunStatements("");
#else
#error "define EVENT_LINE_FUZZ or EVENT_FILE_FUZZ"
#endif
  return 0;
}
