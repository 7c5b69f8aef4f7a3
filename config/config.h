// The driver's settings and its two database connections: the process entry's reading of the
// settings (section "OS" of the settings store, read once), opening and closing of the access
// control and hardware connections, INI reads, the region names and the computer name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"
#include "syslib/syslib.h"
#include "util/report.h"

namespace ordane {

// The settings of section "OS", read once at process entry.
struct Settings {
  std::int16_t SqlServerMode = 0;  // "SQL_Server"
  std::int16_t UseAppRole = 0;     // "SQL_AppRole"
  std::string AppRoleName;         // "Database_AppName"
  std::string AppRolePassword;     // "Database_AppPassword", unsealed
  std::string DatabaseUser;        // "Database_UserName", only when SqlServerMode != 0
  std::string DatabasePassword;    // "Database_Passwordn", unsealed, only when mode != 0
  std::string CxnAccessControl;    // "Cxn_Access_Control"
  std::string CxnHardware;         // "Cxn_Hardware"
  bool DriverDebug = false;        // "DriverDebug"
  std::string LocalPath;           // "LocalPath"
  std::string RemotePath;          // "RemotePath"
  std::int64_t StatusTimer = 0;    // "Status_Timer"
  // One line per setting that could not be read as it stands (a sealed password that does not
  // open), naming the setting; such a setting keeps its default.
  std::vector<std::string> problems;
  std::string SiteMapFolder;       // "SiteMap_Folder": where "sites.map" is; "" is RemotePath
  // "Drain_Budget": milliseconds that one Timer1 pass may spend taking waiting panel events,
  // and as many again for waiting command responses (1 to 1000). Most of the 100 ms tick: at
  // half of it an alarm storm reached the event service at under half the rate the event path
  // can go, the rest of each tick spent waiting for the next.
  std::int64_t DrainBudgetMs = 90;
};

// How a setting is read.
enum class SettingKind { kText, kNumber16, kNumber, kFlag, kSealed };

// One row of the settings table: key, how it is read, default when absent, and where it goes.
struct SettingRow {
  std::string_view key;
  SettingKind kind;
  std::string_view fallback;
  bool only_with_sql_server;  // read only when SqlServerMode is non-zero, else empty
};

// The table itself, in reading order ("SQL_Server" first: later rows depend on it).
const std::vector<SettingRow>& SettingsTable();

// Reads every setting of the table through `lib`: numbers and flags as the value of "0" + text
// (a flag is on when that is not 0, so "DriverDebug=1" is on and "DriverDebug=true" is off),
// sealed values through xKeyShow with kDriverKey. A setting that cannot be read keeps its
// default; a sealed one that does not open also leaves a line in `problems`.
Settings ReadSettings(SystemLibrary& lib);

// True when a connection string carries a password of its own (a PostgreSQL URI with
// "user:password@" or a "password" parameter, or a key/value string with "password=").
bool ConnectionHoldsPassword(std::string_view connection);
// A connection string as messages show it: itself, or a note in its place when it holds a
// password.
std::string ShownConnection(std::string_view connection);

// The process entry steps before the start-up sequence: ReadSys1("OS","LocalPath"), init,
// ReadSettings, SQL_Server property, each step's failure ignored.
Settings ProcessEntry(SystemLibrary& lib);

// The two connections of the driver.
class Databases {
 public:
  std::unique_ptr<db::Connection> AccessControlConnection;
  std::unique_ptr<db::Connection> HardwareConnection;
  bool DatabaseError = false;
  // Why the last OpenDatabases(1) failed: the setting, its connection (unless it holds a
  // password) and the backend's own message; "" after a successful open.
  std::string OpenFailure;

  // Mode 1 opens both (access control first; a failure ends the routine, leaving the later one
  // unopened); any other mode closes both, going on after a failure. Failures set DatabaseError
  // and, with DriverDebug, write "!!!!!!  Data Error <number>- <description>" as a debug line.
  void OpenDatabases(int mode, const Settings& settings, SystemLibrary& lib,
                     ErrorReporter& reporter);
};

// GetPrivateProfileString with a 512-character buffer: at most 511 characters, "" when the
// file, section or key is absent.
std::string ReadIni(const std::filesystem::path& file, std::string_view section,
                    std::string_view key);

struct Regions {
  std::int16_t MaxRegions = 0;
  std::vector<std::string> RegionNames;  // indexed 0 .. MaxRegions + 1
};

// Loads the region names from region_descriptions on `hardware`. A region_id outside
// 0..MaxRegions+1 is reported through `reporter` with the label last set, and loading goes on.
void LoadRegions(Regions& regions, db::Connection& hardware, SystemLibrary& lib,
                 ErrorReporter& reporter);

// The host name, upper-cased.
std::string ComputerName();

}  // namespace ordane
