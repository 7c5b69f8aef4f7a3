#include "events/lookups.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "db/db.h"
#include "events/actions.h"
#include "events/event_files.h"
#include "util/error.h"
#include "util/files.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

struct PrefixBase {
  const char* prefix;
  std::int32_t base;
};

// RD sits at 21500, inside the thousand of MC: the two families share one block of texts.
constexpr PrefixBase kTextBases[] = {
    {"AZ", 15000}, {"CE", 16000}, {"DO", 17000}, {"HS", 18000}, {"II", 19000}, {"IO", 20000},
    {"MC", 21000}, {"OO", 22000}, {"PO", 23000}, {"RI", 24000}, {"RO", 25000}, {"SA", 26000},
    {"SE", 27000}, {"TC", 28000}, {"TS", 29000}, {"UC", 30000}, {"PC", 31000}, {"RD", 21500},
};

// Reads a lookup's one value: the first row's column, "" when there is no row.
std::string FirstValue(const std::string& sql, db::Connection& c, const std::string& column) {
  db::Recordset rs;
  rs.Open(sql, c, db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  std::string value = rs.Eof() ? std::string() : rs.Text(column);
  rs.Close();
  return value;
}

// True when `number` says the database itself is gone or unreachable, a failure that passes;
// the logger keeps the event for a later try instead of storing it with words missing.
bool PlatformFailure(std::int64_t number) {
  return number == kErrObjectNotSet || number == kErrObjectInvalid || number == kErrClosedObject ||
         number == kErrDbUnspecified;
}

// The failure report of the lookups that handle their own errors. A lost database marks the
// event for a later try; while the event path already reports such a failure it is not
// reported again on every try.
template <class F>
void Guarded(Driver& d, Routine& r, F&& step) {
  try {
    step();
  } catch (const EndProcess&) {
    throw;
  } catch (const Error& e) {
    if (PlatformFailure(e.number())) {
      d.EventDatabaseLost = true;
      if (d.EventStoreFailing) return;
    }
    r.Report(e.number(), e.what());
  } catch (const std::exception& e) {
    r.Report(kErrGeneric, e.what());
  }
}

// A personnel id as the statements write it: a whole number without a fraction.
std::string IdText(double id) {
  if (std::isfinite(id) && std::floor(id) == id && std::fabs(id) < 1e15)
    return std::to_string(static_cast<long long>(id));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", std::isfinite(id) ? id : 0.0);
  return buffer;
}

}  // namespace

std::string r_eventdesc(Driver& d, const std::string& code, const std::string& column) {
  return FirstValue(
      "select " + column + " from EVENT_Descriptions where event_id = '" + SqlQuote(code) + "'",
      d.Access(), column);
}

std::int32_t EventTextResource(const std::string& code) {
  std::int32_t base = 0;
  const std::string prefix = Left(code, 2);
  for (const PrefixBase& p : kTextBases)
    if (prefix == p.prefix) base = p.base;
  return base + static_cast<std::int32_t>(ValueOf0(Right(code, 3)));
}

std::string r_eventtext(Driver& d, const std::string& code) {
  return d.lib.Resource_Str(EventTextResource(code));
}

std::string r_device(Driver& d, const std::string& table, const std::string& address,
                     const std::string& column) {
  Routine r(d.errors, "err_r_device");
  std::string value;
  Guarded(d, r, [&] {
    value = FirstValue(
        "select " + column + " from " + table + " where address = '" + SqlQuote(address) + "'",
        d.Hardware(), column);
  });
  return value;
}

std::string r_driver(Driver& d, const std::string& table, const std::string& driver_id,
                     const std::string& column) {
  Routine r(d.errors, "err_r_driver");
  std::string value;
  Guarded(d, r, [&] {
    // The id is written as the number it is; a text that is no number finds no driver.
    const std::string id = Trim(driver_id);
    const std::size_t dot = id.find('.');
    const std::string whole = id.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "0" : id.substr(dot + 1);
    if (!AllDigits(whole) || !(fraction.empty() || AllDigits(fraction)))
      throw Error(kErrDbStatement, "driver id \"" + driver_id + "\" is not a number");
    value = FirstValue(d.lib.TSQL("select " + column + " from " + table +
                                  " where driver_id = " + std::to_string(ValueOf0(whole))),
                       d.Hardware(), column);
  });
  return value;
}

std::string r_securedarea(Driver& d, int area, const std::string& address,
                          const std::string& column) {
  db::Recordset rs;
  rs.Open("select " + column + " from Secured_Areas where address = '" + SqlQuote(address) +
              "' and id = " + std::to_string(area),
          d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  if (rs.Eof()) return LCase(column) == "description" ? "Area=" + std::to_string(area) : "";
  return Trim(rs.Text(column));
}

std::string r_area(Driver& d, const std::string& slot, int area) {
  db::Recordset rs;
  rs.Open("select description from area_control where area_number = " + std::to_string(area) +
              " and controller_address = '" + SqlQuote(std::to_string(d.DriverId) + "." + slot) +
              "'",
          d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  return rs.Text("description");  // no row: "No current record", for the caller
}

std::string r_sked(Driver& d, int sked, const std::string& address) {
  db::Recordset rs;
  rs.Open("select description from skeds where sked_id = " + std::to_string(sked) +
              " and controller_address = '" + SqlQuote(address) + "'",
          d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  return rs.Required("description");
}

std::string r_timeschedule(Driver& d, int number, int region) {
  db::Recordset rs;
  rs.Open(d.lib.TSQL("select description from TimeSchedule_Descriptions where timeschedule_id = " +
                     std::to_string(number) + " and region_id = " + std::to_string(region)),
          d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  if (rs.Eof()) return "";
  return rs.Required("description");
}

std::string r_user(Driver& d, int user, int sub, int region) {
  std::string credential;
  if (sub != 0) {
    credential = d.lib.r(region, user, "Sub" + std::to_string(sub));
  } else {
    std::int16_t user16 = ToInt16(user);
    credential = d.lib.r_panel(region, user16, "Master");
  }
  const double id = CredentialLookup(d, credential);
  db::Recordset rs;
  rs.Open("select first_name, last_name from PERSONNEL where id = " + IdText(id), d.Access(),
          db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  if (rs.Eof()) return "UserID not found in Database";
  std::string name = rs.Text("first_name") + " " + rs.Text("last_name");
  d.LastCredential = credential;
  d.LastUnknownCredential.clear();
  return name;
}

std::string r_card(Driver& d, const std::string& credential, const std::string& /*column*/,
                   const std::string& code, const std::string& when) {
  Routine r(d.errors, "err_r_card");
  d.LastPersonnelId = 0;
  if (credential.find(' ') != std::string::npos) return "";

  std::string name;
  bool found = false;
  std::string ai_id;
  if (!credential.empty()) {
    Guarded(d, r, [&] {
      const double id = CredentialLookup(d, credential);
      db::Recordset rs;
      rs.Open(d.lib.TSQL("select id,first_name, last_name,ai_id from PERSONNEL where id = " +
                         IdText(id)),
              d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
      if (rs.Eof()) return;
      found = true;
      const std::string first = rs.Text("first_name"), last = rs.Text("last_name");
      name = !first.empty() && !last.empty() ? first + " " + last : first + last;
      name = Left(ReplaceAll(name, ";", ""), 50);
      d.LastCredential = credential;
      d.LastUnknownCredential.clear();
      d.LastPersonnelId = static_cast<float>(ValueOf0(rs.Text("id")));
      ai_id = rs.Text("ai_id");
    });
  }
  if (!found) {
    // Not found, or the lookup failed before it found the person.
    d.LastCredential = credential;
    d.LastUnknownCredential = credential;
    d.LastPersonnelId = 0;
    return "Not in Database";
  }

  static const char* const kCardUse[] = {"RO001", "RO002", "RO020", "RO021", "RO024",
                                         "RO025", "RO044", "RO045", "RO071"};
  static const char* const kAccessGranted[] = {"RO001", "RO002", "RO024", "RO025"};
  auto listed = [&](auto& list) {
    return std::find(std::begin(list), std::end(list), code) != std::end(list);
  };
  const std::string person = IdText(d.LastPersonnelId);
  if (listed(kCardUse)) {
    Guarded(d, r, [&] {
      d.Access().Execute("update Personnel set [last_reader] = '" + SqlQuote(d.LastReader) +
                         "' where id = " + person);
    });
    Guarded(d, r, [&] {
      d.Access().Execute("update Personnel set [last_used] = " + when + " where id = " + person);
    });
  }
  if (listed(kAccessGranted)) {
    Guarded(d, r, [&] {
      const std::int64_t ai = ValueOf0(ai_id);
      if (ai <= 0) return;
      db::Recordset rs;
      rs.Open(d.lib.TSQL("select Controller_Address,Disarm_Areas from alarm_integration where "
                         "AI_ID = " +
                         std::to_string(ai) + " and reader = '" + SqlQuote(d.LastReader) + "'"),
              d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
      if (rs.Eof()) return;
      const std::string controller = rs.Text("Controller_Address");
      const std::size_t dot = InStr(controller, ".");
      if (dot == 0) return;
      const std::int64_t driver = ValueOf0(Left(controller, dot - 1));
      const std::int64_t panel = ValueOf0(Mid(controller, dot + 1));
      // The last character stands for area 1.
      const std::string areas = rs.Text("Disarm_Areas");
      for (std::size_t i = 1; i <= areas.size(); ++i) {
        if (areas[areas.size() - i] != '1') continue;
        const std::string folder =
            ResolvePath(d.RemotePath, "\\Drivers\\" + std::to_string(driver)).string();
        const std::string line =
            "001 " + ZeroPad(panel, 3) + " !O" + ZeroPad(static_cast<long long>(i), 2) + ",";
        AfterStore(d, [&d, folder, line] { DynScrn_Req(d, folder, line); });
      }
    });
  }
  return name;
}

double CredentialLookup(Driver& d, const std::string& credential) {
  // Only a number goes into the statement; anything else has no credential row.
  const std::string number = Trim(credential);
  if (ValueOf0(credential) <= 0 || !AllDigits(number)) return 0;
  try {
    db::Recordset rs;
    rs.Open("select record_id from credentials where credential_number =" +
                std::to_string(ValueOf0(number)) + " and record_id > 0",
            d.Access(), db::CursorType::kForwardOnly, db::LockType::kOptimistic);
    if (rs.Eof()) return 0;
    return static_cast<double>(ValueOf0(rs.Text("record_id")));
  } catch (const Error& e) {
    if (PlatformFailure(e.number())) d.EventDatabaseLost = true;
    return 0;
  } catch (const std::exception&) {
    return 0;
  }
}

void DynScrn_Req(Driver& d, const std::string& target_folder, const std::string& line) {
  Routine r(d.errors, "err_DynScrn_Req");
  try {
    // The request appears whole under a name that no waiting request has; the target driver's
    // own commands folder must exist (a driver without one takes no requests).
    const fs::path commands = ResolvePath(target_folder, "\\commands");
    if (!fs::is_directory(commands))
      throw Error(kErrPathAccess, "no commands folder " + commands.string());
    auto placed = PlaceNewFile(
        commands, [&] { return d.ComputerNameText + d.lib.lastmod() + ".cm0"; }, line + "\n");
    if (!placed) throw Error(kErrPathAccess, "cannot write a request in " + commands.string());
  } catch (const EndProcess&) {
    throw;
  } catch (const Error& e) {
    r.Report(e.number(), FormatErrorNumber(e.number()) + " (" + e.what() + ")");
  } catch (const std::exception& e) {
    r.Report(kErrGeneric, e.what());
  }
}

}  // namespace ordane
