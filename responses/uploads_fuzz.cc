// Fuzz target for the table uploads: the input's first byte picks the response type, the rest
// is what the panel sent after the response's first two lines. Whatever it holds, the handler
// ends (no table left marked as running, no progress title left behind), every table is still
// there, and a table that was not complete never sets its flag.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/testing/fuzz_driver.h"
#include "responses/dispatcher.h"
#include "status/status_files.h"
#include "util/ini.h"
#include "util/paths.h"

namespace {

using namespace ordane;

constexpr const char* kTypes[] = {"ReadAuthorityLevels", "ReadPointTextAll", "RetrievePointText",
                                  "GetDoorAreas",        "ReadHolidays",     "ReadSkeds",
                                  "ReadUserClasses",     "ReadTokenTables",  "ReadUserNames"};

struct World : FuzzDriver {
  World() : FuzzDriver("uploads_fuzz") {
    sql->Execute(
        "INSERT INTO devices (address, device_address, description) VALUES "
        "('12.0.2.I1', 1, 'Hall'), ('12.0.2.I2', 2, 'Door'), ('12.0.3.R1', 1, 'Reader')");
    sql->Execute("INSERT INTO personnel (id, first_name, last_name) VALUES (41, 'Ann', 'Lee')");
    sql->Execute("INSERT INTO credentials (record_id, credential_number, record_number) "
                 "VALUES (41, 777, 1)");
    d.PanelUsers.assign(kPanelUserPanels, std::vector<PanelUser>(kPanelUsersPerPanel));
    d.panels[0].PortName = "127.0.0.1";
    d.panels[0].LinkState = kLinkEstablished;
  }
  std::int64_t Count(const std::string& table) {
    return std::stoll(sql->Query("SELECT COUNT(*) FROM " + table).rows.at(0).at(0).value_or("0"));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World w;
  if (size == 0) return 0;
  const std::string type = kTypes[data[0] % (sizeof kTypes / sizeof *kTypes)];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto status = ResolvePath(w.d.DriverFolder, ControllerStatusFile(0));
  WriteProfileString(status, "Status_Controllers", "SE080", "");
  w.panel.QueueCommandResponse(type + "\n127.0.0.1\n" + rest);
  Main_Process(w.d);
  FuzzCheck(!w.d.TableUploadRunning);
  FuzzCheck(w.d.panels[0].ActivityText.empty());
  FuzzCheck(w.Count("personnel") >= 1 && w.Count("credentials") >= 1 && w.Count("devices") == 3);
  // Authority levels are complete only with all 80 well-formed levels.
  if (ReadProfileString(status, "Status_Controllers", "SE080") == "1")
    FuzzCheck(type == "ReadAuthorityLevels" && w.Count("authority_levels") == 80);
  return 0;
}
