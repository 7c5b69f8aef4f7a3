// The system library object: the shared services of the wider system that the driver reaches
// through one interface (settings store, SQL dialect translation, regions, text resources,
// sealing of statement texts, event integration, the panel-user store). The driver sees only
// the abstract SystemLibrary; NewSystemLibrary gives the real one, tests give fakes.
//
// Where things live (the real implementation):
//   settings file   an INI file; path from $ORDANE_SETTINGS, default /etc/ordane/ordane.ini.
//                   ReadSys1(section, key) reads it.
//   site key        32 random bytes, owner-only (mode 0600); path from setting "OS"/"KeyFile",
//                   else $ORDANE_KEYFILE, else "ordane.key" beside the settings file.
//                   xKeyHide/xKeyShow seal with it together with the driver's fixed key.
//   event integration  Write_EventAlarm appends one line per record to
//                   RemotePath/Integration/events.log (see syslib/README.md).
//   panel users     table panel_users (region_id, user_number, field, value) on the access
//                   connection; W_Panel writes, r/r_panel read.
//
// Every member throws ordane::Error on failure; the caller's routine reports it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "db/db.h"

namespace ordane {

// The driver's fixed three-letter key for the sealed settings and statement files.
inline constexpr std::string_view kDriverKey = "PDX";

// The prefix of every sealed text: "ORDX1:" + base64 of nonce and ciphertext.
inline constexpr std::string_view kSealedPrefix = "ORDX1:";

class SystemLibrary {
 public:
  virtual ~SystemLibrary() = default;

  // Called once, right after ReadSys1("OS", "LocalPath").
  virtual void init() = 0;
  // The setting's text from the settings store; empty when absent.
  virtual std::string ReadSys1(std::string_view section, std::string_view key) = 0;

  // Properties set by the process entry and the start-up sequence.
  virtual void set_SQL_Server(std::int16_t mode) = 0;
  virtual std::int16_t SQL_Server() const = 0;
  virtual void set_RemotePath(const std::string& path) = 0;
  virtual std::string RemotePath() const = 0;
  virtual void set_LocalPath(const std::string& path) = 0;
  virtual std::string LocalPath() const = 0;

  // Opens the library's own connection to the "access" or "hardware" database (the setting
  // "Cxn_Access_Control" or "Cxn_Hardware"). The two flags are accepted and not used.
  virtual void Init_CXN(std::string_view which, int flag1, int flag2) = 0;
  // Activates the application role `name` on `cxn` and returns the connection to use from then
  // on (PostgreSQL: SET ROLE; SQLite: the same connection unchanged). `password` is accepted
  // for the caller's form and not needed by either backend.
  virtual std::unique_ptr<db::Connection> AppRole_Set(std::unique_ptr<db::Connection> cxn,
                                                      const std::string& name,
                                                      std::string& password) = 0;

  // Seals `plain` with authenticated encryption keyed by `key` and the site key; the result is
  // one line of printable text starting with kSealedPrefix.
  virtual std::string xKeyHide(std::string_view plain, std::string_view key) = 0;
  // Opens a sealed text; a text without kSealedPrefix is returned unchanged (settings written
  // in the clear). Throws Error(kErrGeneric) when a sealed text was changed or the key differs.
  virtual std::string xKeyShow(std::string_view text, std::string_view key) = 0;

  // Translates a statement written in the dialect that SQL_Server selects (0: "#...#" date
  // literals; 1: SQL Server; 2: "To_Date(...)" times) into the dialect of the database the
  // library's access connection (or, before Init_CXN, the "Cxn_Access_Control" setting) names.
  virtual std::string TSQL(std::string_view sql) = 0;

  // Read_Data("global_settings", 1, "Max_Regions"): the value of the setting in the table;
  // empty when absent.
  virtual std::string Read_Data(std::string_view table, int flag, std::string_view key) = 0;
  // The region number of a controller address ("12.3") or a device address below it; 0 when
  // the controller is unknown.
  virtual std::int32_t Region_Return(std::string_view address) = 0;
  // A text resource by number (event descriptions and the driver's own texts); "" when absent.
  virtual std::string Resource_Str(std::int32_t number) = 0;
  // A hexadecimal text as a decimal text ("0A" → "10"); "0" for an empty or bad text.
  virtual std::string mHex2Dec(std::string_view hex) = 0;
  // A text that differs on every call, for unique file names (digits only).
  virtual std::string lastmod() = 0;
  // The sub-controller number (third component) and controller number (second component) of a
  // device address; 0 when the component is missing.
  virtual std::int32_t Get_Sub(std::string_view address) = 0;
  virtual std::int32_t Get_Cnr(std::string_view address) = 0;
  // The states of the secured areas of a panel, one character per area, area 1 last ("0"
  // unknown, "1" closed, "2" open, "3" open by schedule); "" when there are none.
  virtual std::string GetSecuredAreas(std::int32_t driver_id, std::int32_t slot) = 0;
  // Event integration: records one tab-separated event line (mode 2: event with alarm).
  virtual void Write_EventAlarm(std::string_view line, int mode) = 0;
  // Tells the alarm screens to refresh.
  virtual void Alarm_Refresh_ALM() = 0;
  // Records the last event code of a device address.
  virtual void Update_State(std::string_view event_code, std::string_view address) = 0;
  // The INI value of key in section of `file` (relative to RemotePath unless absolute); with
  // `flag` true the value is trimmed of a trailing "\" or "/".
  virtual std::string read_info(std::string_view file, std::string_view section,
                                std::string_view key, bool flag) = 0;

  // The panel-user store. W_Panel stores one field of one panel user of a region; r and
  // r_panel read a field back ("" when absent). r_panel takes the user by reference as the
  // caller does and leaves it unchanged.
  virtual void W_Panel(std::int16_t& region, std::int16_t& user, std::string_view field,
                       std::string_view value) = 0;
  virtual std::string r(std::int32_t region, std::int32_t user, std::string_view field) = 0;
  virtual std::string r_panel(std::int32_t region, std::int16_t& user, std::string_view field) = 0;

  // Why the settings store cannot give the driver its settings (a settings file that is
  // missing, unreadable, not a settings file, or names no database the driver knows), naming
  // the file; "" when it can. Every setting would read as empty in those cases, so the caller
  // ends with this one line instead of a cascade of failures that follow from it.
  virtual std::string SettingsProblem() { return {}; }
};

// The real system library over the settings file named by $ORDANE_SETTINGS (or the default).
std::unique_ptr<SystemLibrary> NewSystemLibrary();
// The same over an explicit settings file.
std::unique_ptr<SystemLibrary> NewSystemLibrary(const std::filesystem::path& settings_file);

// The settings file path: $ORDANE_SETTINGS, else /etc/ordane/ordane.ini.
std::filesystem::path SettingsFilePath();

}  // namespace ordane
