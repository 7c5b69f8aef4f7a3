// The process entry's settings, the two connections and the region table.
#include "config/config.h"

#include <unistd.h>

#include <climits>

#include "util/error.h"
#include "util/ini.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {
namespace {

using K = SettingKind;

// Where each row of the table lands in Settings.
void Store(Settings& s, std::string_view key, const std::string& text, std::int64_t number,
           bool flag) {
  if (key == "SQL_Server")
    s.SqlServerMode = static_cast<std::int16_t>(number);
  else if (key == "SQL_AppRole")
    s.UseAppRole = static_cast<std::int16_t>(number);
  else if (key == "Database_AppName")
    s.AppRoleName = text;
  else if (key == "Database_AppPassword")
    s.AppRolePassword = text;
  else if (key == "Database_UserName")
    s.DatabaseUser = text;
  else if (key == "Database_Passwordn")
    s.DatabasePassword = text;
  else if (key == "Cxn_Access_Control")
    s.CxnAccessControl = text;
  else if (key == "Cxn_Hardware")
    s.CxnHardware = text;
  else if (key == "DriverDebug")
    s.DriverDebug = flag;
  else if (key == "LocalPath")
    s.LocalPath = text;
  else if (key == "RemotePath")
    s.RemotePath = text;
  else if (key == "Status_Timer")
    s.StatusTimer = number;
  else if (key == "SiteMap_Folder")
    s.SiteMapFolder = text;
  else if (key == "Drain_Budget")
    s.DrainBudgetMs = number < 1 ? 1 : (number > 1000 ? 1000 : number);
}

// The debug line and flag of the connection routine's error handler.
void DataError(Databases& d, const Settings& settings, ErrorReporter& reporter, const Error& e) {
  d.DatabaseError = true;
  if (settings.DriverDebug) {
    reporter.DebugLine("!!!!!!  Data Error " + FormatErrorNumber(e.number()) + "- " + e.what());
  }
}

}  // namespace

const std::vector<SettingRow>& SettingsTable() {
  static const std::vector<SettingRow> table = {
      {"SQL_Server", K::kNumber16, "0", false},    {"SQL_AppRole", K::kNumber16, "0", false},
      {"Database_AppName", K::kText, "", false},   {"Database_AppPassword", K::kSealed, "", false},
      {"Database_UserName", K::kText, "", true},   {"Database_Passwordn", K::kSealed, "", true},
      {"Cxn_Access_Control", K::kText, "", false}, {"Cxn_Hardware", K::kText, "", false},
      {"DriverDebug", K::kFlag, "", false},        {"LocalPath", K::kText, "", false},
      {"RemotePath", K::kText, "", false},         {"Status_Timer", K::kNumber, "0", false},
      {"SiteMap_Folder", K::kText, "", false},     {"Drain_Budget", K::kNumber, "90", false},
  };
  return table;
}

Settings ReadSettings(SystemLibrary& lib) {
  Settings s;
  for (const SettingRow& row : SettingsTable()) {
    if (row.only_with_sql_server && s.SqlServerMode == 0) continue;  // stays empty
    try {
      std::string text = lib.ReadSys1("OS", row.key);
      if (text.empty()) text = row.fallback;
      std::int64_t number = 0;
      bool flag = false;
      switch (row.kind) {
        case K::kNumber16:
          number = ToInt16(ValueOf0(text));
          break;
        case K::kNumber:
          number = ValueOf0(text);
          break;
        case K::kFlag:
          flag = ValueOf0(text) != 0;
          break;
        case K::kSealed:
          try {
            text = lib.xKeyShow(text, kDriverKey);
          } catch (const Error& e) {
            // A key file that is missing or refused says itself what to do; a text that does
            // not open under the key was sealed under another one, or changed.
            s.problems.push_back(
                std::string(row.key) + ": the sealed password does not open and is taken as " +
                "empty: " + e.what() +
                (e.number() == kErrGeneric ? std::string("; seal it again with \"ordanectl "
                                                         "settings\", or restore the site key it "
                                                         "was sealed with")
                                           : std::string()));
            throw;
          }
          break;
        case K::kText:
          break;
      }
      Store(s, row.key, text, number, flag);
    } catch (...) {
      // A setting that cannot be read keeps its default.
    }
  }
  return s;
}

bool ConnectionHoldsPassword(std::string_view connection) {
  const std::string c = LCase(Trim(connection));
  if (c.starts_with("postgresql://") || c.starts_with("postgres://")) {
    const std::string rest = c.substr(c.find("//") + 2);
    const std::string authority = rest.substr(0, rest.find_first_of("/?"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos)
      return true;
    const std::size_t query = rest.find('?');
    if (query == std::string::npos) return false;
    const std::string params = "&" + rest.substr(query + 1);
    return params.find("&password=") != std::string::npos;
  }
  if (c.starts_with("sqlite:")) return false;
  // Key/value form: "host=db user=ordane password=secret".
  for (std::size_t at = c.find("password"); at != std::string::npos;
       at = c.find("password", at + 1)) {
    if (at > 0 && c[at - 1] != ' ' && c[at - 1] != ';') continue;
    std::size_t eq = at + 8;
    while (eq < c.size() && c[eq] == ' ') ++eq;
    if (eq < c.size() && c[eq] == '=') return true;
  }
  return false;
}

std::string ShownConnection(std::string_view connection) {
  return ConnectionHoldsPassword(connection) ? "a connection string that holds a password"
                                             : Trim(connection);
}

Settings ProcessEntry(SystemLibrary& lib) {
  auto ignore = [](auto&& step) {
    try {
      step();
    } catch (...) {
    }
  };
  std::string local;
  ignore([&] { local = lib.ReadSys1("OS", "LocalPath"); });
  ignore([&] { lib.init(); });
  Settings s = ReadSettings(lib);
  ignore([&] { lib.set_SQL_Server(s.SqlServerMode); });
  return s;
}

void Databases::OpenDatabases(int mode, const Settings& settings, SystemLibrary& lib,
                              ErrorReporter& reporter) {
  DatabaseError = false;
  if (mode == 1) {
    // Both connection objects exist from here on, opened or not, so that a statement on one
    // that failed to open reports "not set"/"closed" and the loops end through DatabaseLost.
    if (!AccessControlConnection) AccessControlConnection = db::NewConnection();
    if (!HardwareConnection) HardwareConnection = db::NewConnection();
    OpenFailure.clear();
    auto open = [&](std::string_view key, std::unique_ptr<db::Connection>& target) {
      std::string cxn = lib.ReadSys1("OS", key);
      auto c = db::NewConnection();
      target = db::NewConnection();  // what stays behind when the open fails
      try {
        c->Open(cxn, settings.DatabaseUser, settings.DatabasePassword);
      } catch (const std::exception& e) {
        // Say which connection failed: the backend's message alone does not name it.
        const Error* known = dynamic_cast<const Error*>(&e);
        OpenFailure = std::string(key) + " (" + ShownConnection(cxn) + "): " + e.what();
        throw Error(known != nullptr ? known->number() : kErrGeneric, OpenFailure);
      }
      if (settings.UseAppRole == 1 && settings.SqlServerMode == 1) {
        std::string password = settings.AppRolePassword;
        c = lib.AppRole_Set(std::move(c), settings.AppRoleName, password);
      }
      target = std::move(c);
    };
    try {
      open("Cxn_Access_Control", AccessControlConnection);
      open("Cxn_Hardware", HardwareConnection);
    } catch (const Error& e) {
      DataError(*this, settings, reporter, e);
    } catch (const std::exception& e) {
      DataError(*this, settings, reporter, Error(kErrGeneric, e.what()));
    }
    return;
  }
  for (auto* c : {&AccessControlConnection, &HardwareConnection}) {
    try {
      if (*c) (*c)->Close();
    } catch (const Error& e) {
      DataError(*this, settings, reporter, e);
    } catch (const std::exception& e) {
      DataError(*this, settings, reporter, Error(kErrGeneric, e.what()));
    }
  }
}

std::string ReadIni(const std::filesystem::path& file, std::string_view section,
                    std::string_view key) {
  return Left(ReadProfileString(file, section, key, ""), kIniReadLimit);
}

void LoadRegions(Regions& regions, db::Connection& hardware, SystemLibrary& lib,
                 ErrorReporter& reporter) {
  // No label of its own: a failure carries the label of the routine that reported last.
  Routine r(reporter, "");
  r.Step([&] {
    std::int16_t max = ToInt16(ValueOf0(lib.Read_Data("global_settings", 1, "Max_Regions")));
    regions.MaxRegions = max == 0 ? 20 : max;
  });
  if (regions.MaxRegions == 0) regions.MaxRegions = 20;
  const std::int64_t last = static_cast<std::int64_t>(regions.MaxRegions) + 1;
  regions.RegionNames.assign(last < 0 ? 0 : static_cast<std::size_t>(last + 1), std::string());

  db::Recordset rs;
  r.Step([&] {
    rs.Open(lib.TSQL("select region_id,description from region_descriptions order by region_id"),
            hardware, db::CursorType::kForwardOnly, db::LockType::kOptimistic,
            db::CursorLocation::kClient);
  });
  for (;;) {
    bool eof = true;
    if (!r.Step([&] { eof = rs.Eof(); })) {
      reporter.DatabaseLost();  // a recordset that did not open has no rows to read
      break;
    }
    if (eof || reporter.DatabaseLost()) break;
    r.Step([&] {
      std::int64_t id = NumericValue(rs.Text("region_id"));
      if (id < 0 || id > last) {
        throw Error(kErrSubscript, "Subscript out of range (region " + std::to_string(id) + ")");
      }
      regions.RegionNames[static_cast<std::size_t>(id)] = rs.Text("description");
    });
    if (!r.Step([&] { rs.MoveNext(); })) break;
  }
  r.Step([&] { rs.Close(); });
}

std::string ComputerName() {
  char name[200] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  std::string text(name);
  // The computer name is the host's own name, without the domain.
  std::size_t dot = text.find('.');
  if (dot != std::string::npos) text.resize(dot);
  return UCase(text);
}

}  // namespace ordane
