#include "events/event_logger.h"

#include <sodium.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "core/log.h"
#include "events/actions.h"
#include "events/event_files.h"
#include "events/lookups.h"
#include "util/error.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

#ifndef ORDANE_VERSION
#define ORDANE_VERSION "0.0.0"
#endif

namespace ordane {

namespace {

// The only error after which the logger goes on with its next step.
constexpr std::int64_t kErrResumable = 57097;
constexpr std::size_t kDescriptionLimit = 250;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

// A time text "hh:mm:ss" of digits.
bool WellFormedTime(const std::string& t) {
  return t.size() == 8 && t[2] == ':' && t[5] == ':' && IsDigits(t.substr(0, 2)) &&
         IsDigits(t.substr(3, 2)) && IsDigits(t.substr(6, 2));
}

std::string NumberText(double v) {
  if (std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 1e15)
    return std::to_string(static_cast<long long>(v));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", std::isfinite(v) ? v : 0.0);
  return buffer;
}

int ClampedInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, -2147483647, 2147483647));
}

// A fresh 128-bit number in hexadecimal: the identity of an event nobody else names.
std::string RandomIdentity() {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  char hex[33];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

// True for a failure that passes: a statement file that cannot be placed, the database gone
// while the event was being completed. The event is then kept for a later try.
bool Passing(const Error& e) {
  return dynamic_cast<const StatementStoreFailure*>(&e) != nullptr ||
         e.number() == kErrObjectNotSet || e.number() == kErrObjectInvalid ||
         e.number() == kErrClosedObject || e.number() == kErrDbUnspecified;
}

bool InRange(int v, int low, int high) { return v >= low && v <= high; }

// "12.0" as the secured areas and their settings files name it: "12-0".
std::string ReplaceFirstDot(const std::string& address) {
  const std::size_t dot = address.find('.');
  if (dot == std::string::npos) return address;
  return address.substr(0, dot) + "-" + address.substr(dot + 1);
}

// One call of the logger: the event's values as the steps build them.
class EventLog {
 public:
  EventLog(Driver& d, const std::string& timestamp, const std::string& address,
           const std::string& code, const std::string& detail, std::int16_t log_type,
           const std::string& extra, const std::string& identity)
      : d_(d),
        timestamp_(CString(timestamp)),
        address_(CString(address)),
        code_(CString(code)),
        detail_(CString(detail)),
        log_type_(log_type),
        extra_(CString(extra)),
        identity_(identity.empty() ? RandomIdentity()
                                   : ReplaceAll(ReplaceAll(identity, "\r", " "), "\n", " ")) {}

  LogOutcome Run();

 private:
  // Runs one step under the logger's rules: 57097 is reported and the call goes on; a failure
  // that passes ends the call for a later try; any other failure gives the event up.
  bool Step(const std::function<void()>& step);
  void Prepare();
  void Family();
  void PanelEventRule();
  void SecuredAreaWindowCheck();
  void EventRecord();
  void AlarmRecord();
  void IntegrationRecord();
  std::string Head(const std::string& columns) const;
  void PrepareRecord();

  Driver& d_;
  std::string timestamp_, address_, code_, detail_;
  std::int16_t log_type_;
  std::string extra_, identity_;

  std::string controller_, event_description_, display_timestamp_;
  std::string date_, time_text_, time_number_;
  std::string date_literal_, time_literal_, datetime_literal_;
  std::string address_description_, name_, device_;
  std::int32_t region_ = 0;
  std::string statement_;  // the statement built last, for the diagnostic line
  bool ended_ = false;     // a step ended the call
  bool retry_ = false;     // ... for a failure that passes
  std::string retry_why_;
};

bool EventLog::Step(const std::function<void()>& step) {
  if (ended_) return false;
  try {
    step();
    return true;
  } catch (const EndProcess&) {
    throw;
  } catch (const Error& e) {
    if (Passing(e)) {
      ended_ = retry_ = true;
      retry_why_ = FormatErrorNumber(e.number()) + " " + e.what();
      return false;
    }
    Routine(d_.errors, "err_I_logevent").Report(e.number(), e.what());
    if (!statement_.empty()) {
      std::string translated = statement_;
      try {
        translated = d_.lib.TSQL(statement_);
      } catch (...) {
      }
      LogLine(LogLevel::kError, "err_I_logevent: " + translated);
    }
    if (e.number() == kErrResumable) return true;
  } catch (const std::exception& e) {
    Routine(d_.errors, "err_I_logevent").Report(kErrGeneric, e.what());
  }
  d_.LogFailed = true;
  ended_ = true;
  return false;
}

void EventLog::Prepare() {
  d_.LogFailed = false;
  const std::size_t first = InStr(address_, ".");
  if (code_ == "HS001" || code_ == "HS002") {
    controller_ = std::to_string(d_.DriverId);
  } else {
    const std::size_t second = first ? InStr(address_, ".", first + 1) : 0;
    const std::string slot =
        first == 0 ? "" : Mid(address_, first + 1, second ? second - first - 1 : std::string::npos);
    controller_ = std::to_string(d_.DriverId) + "." + slot;
  }
  Step([&] {
    event_description_ = (code_ == "RO017" || code_ == "RO018" || code_ == "RO050")
                             ? extra_
                             : "" + r_eventtext(d_, code_);
  });

  bool now = timestamp_.empty() || timestamp_ == "0";
  if (!now) {
    display_timestamp_ = timestamp_;
    if (d_.settings.DriverDebug)
      d_.errors.DebugLine("Event:  " + timestamp_ + "  (" + address_ + ")  (" + code_ + ")");
    date_ = ReplaceAll(Left(timestamp_, 10), "/", "");
    time_text_ = Right(timestamp_, 8);
    // A date or time that is not digits would change the statement: such an event is stored
    // at the time it was logged, and the error list says so.
    if (date_.size() != 8 || !IsDigits(date_) || !WellFormedTime(time_text_)) {
      Routine(d_.errors, "err_I_logevent")
          .Report(kErrGeneric, "event " + code_ + " at " + address_ + " has the timestamp \"" +
                                   timestamp_ + "\"; it is logged at the current time");
      now = true;
    } else {
      time_number_ = Left(time_text_, 2) + Mid(time_text_, 4, 2) + "." + Right(time_text_, 2);
    }
  }
  if (now) {
    const LocalTime t = d_.clock.Now();
    time_text_ = ZeroPad(t.hour, 2) + ":" + ZeroPad(t.minute, 2) + ":" + ZeroPad(t.second, 2);
    time_number_ = ZeroPad(t.hour, 2) + ZeroPad(t.minute, 2);
    date_ = ZeroPad(t.month, 2) + ZeroPad(t.day, 2) + ZeroPad(t.year, 4);
    if (timestamp_.empty() || timestamp_ == "0")
      display_timestamp_ = std::string(kMonths[(t.month + 11) % 12]) + " " + ZeroPad(t.day, 2) +
                           ", " + ZeroPad(t.year, 4) + "  " + time_text_;
  }

  const std::string yyyy = Right(date_, 4), mm = Left(date_, 2), dd = Mid(date_, 3, 2);
  const std::int16_t mode = d_.settings.SqlServerMode;
  date_literal_ = mode == 0 ? "#" + yyyy + "-" + mm + "-" + dd + "#" : "'" + yyyy + mm + dd + "'";
  time_literal_ = mode == 2 ? "To_Date('" + time_text_ + "','HH24:MI:SS')" : "'" + time_text_ + "'";
  datetime_literal_ = mode == 0 ? "#" + yyyy + "-" + mm + "-" + dd + " " + time_text_ + "#"
                                : "'" + yyyy + mm + dd + " " + time_text_ + "'";

  name_.clear();
  d_.LastCredential.clear();
  d_.LastUnknownCredential.clear();
  Step([&] {
    device_ = InStr(address_, ".", InStr(address_, ".") + 1) > 0 && InStr(address_, ".") > 0
                  ? r_device(d_, "devices", address_, "Device")
                  : "";
  });
}

void EventLog::Family() {
  const std::string family = Left(code_, 2);
  auto description = [&](const std::string& table) {
    return Left(r_device(d_, table, address_, "Description"), kDescriptionLimit);
  };
  auto driver_description = [&] {
    std::string text = Left(r_driver(d_, "drivers", address_, "Description"), kDescriptionLimit);
    return text.empty() ? d_.ComputerNameText : text;
  };

  if (family == "RO" || family == "RI" || family == "UC") {
    Step([&] { address_description_ = description("devices"); });
    if (family == "RO") {
      if (code_ == "RO017" || code_ == "RO018") {
        if (!extra_.empty()) name_ = extra_;
      } else {
        d_.LastReader = address_;
        Step([&] { name_ = r_card(d_, detail_, "Name", code_, datetime_literal_); });
        AfterStore(d_, [&d = d_, address = address_, description = event_description_,
                        name = name_] { EventSourceAction(d, address, description, name); });
      }
    } else if (family == "UC") {
      d_.LastUnknownCredential = detail_;
    }
  } else if (family == "IO" || family == "II") {
    Step([&] { address_description_ = description("devices"); });
    if (code_ == "IO002" || code_ == "IO008" || code_ == "IO009" || code_ == "IO044") {
      AfterStore(d_, [&d = d_, address = address_] { IntercomAction(d, address); });
      Step([&] { ControlPointAction(d_, address_); });
    }
  } else if (family == "OO") {
    Step([&] { address_description_ = description("devices"); });
  } else if (family == "DO") {
    Step([&] { address_description_ = description("Sub_Controllers"); });
  } else if (family == "PO") {
    Step([&] { address_description_ = description("Controllers"); });
    if (code_ == "PO001" || code_ == "PO002" || code_ == "PO003")
      Step([&] { TriggerAction(d_, code_, address_); });
  } else if (family == "HS") {
    Step([&] { address_description_ = driver_description(); });
    name_ = d_.DriverDescription + " " + ORDANE_VERSION;
  } else if (family == "TS") {
    Step([&] { address_description_ = description("Controllers"); });
    Step([&] { region_ = d_.lib.Region_Return(address_); });
    Step([&] {
      name_ = Left(r_timeschedule(d_, ClampedInt(ValueOf0(detail_)), region_), kDescriptionLimit);
    });
    if (ValueOf0(Right(code_, 3)) == 1) Step([&] { SecuredAreaWindowCheck(); });
  } else if (family == "MC" || family == "TC") {
    address_description_.clear();
  } else if (family == "AZ") {
    Step([&] { address_description_ = description("Controllers"); });
    Step([&] {
      const std::size_t first = InStr(address_, ".");
      name_ =
          r_area(d_, Trim(first ? Mid(address_, first + 1, 3) : ""), ClampedInt(ValueOf0(detail_)));
    });
  } else if (family == "SA") {
    Step([&] { address_description_ = description("Controllers"); });
    Step([&] {
      const std::string dashed = ReplaceFirstDot(address_);
      name_ =
          ReadIni(ResolvePath(d_.RemotePath, "\\MPG" + dashed + ".ini"), detail_, "Description");
      if (name_.empty()) name_ = "Secured Area#" + detail_;
    });
  } else if (family == "SE") {
    Step([&] { address_description_ = driver_description(); });
  } else if (family == "RD") {
    Step([&] { PanelEventRule(); });
    if (address_.find('I') != std::string::npos)
      AfterStore(d_, [&d = d_, address = address_] { CameraActions(d, address); });
  }
}

void EventLog::PanelEventRule() {
  if (detail_.find('=') != std::string::npos) {
    name_ = Trim(detail_);
    detail_.clear();
    const std::size_t first = InStr(address_, ".");
    const std::size_t second = first ? InStr(address_, ".", first + 1) : 0;
    const std::string controller_part = second ? Left(address_, second - 1) : address_;
    if (const std::size_t at = InStr(name_, "UserID="); at > 0) {
      const std::int32_t user_region = d_.lib.Region_Return(controller_part);
      detail_ = Mid(name_, at + 7, 5);
      std::string sub = "0";
      if (const std::size_t dot = InStr(detail_, "."); dot > 0) {
        sub = Mid(detail_, dot + 1, 1);
        detail_ = Left(detail_, dot - 1);
      } else {
        detail_ = std::to_string(ValueOf0(RTrim(Left(detail_, 3))));
      }
      if (!name_.empty()) event_description_ += ":  " + name_;
      const std::int64_t user = ValueOf0(detail_);
      if (user > 0) {
        name_ = r_user(d_, ClampedInt(user), ClampedInt(ValueOf0(sub)), user_region);
      } else {
        name_ = "Installer";
      }
      detail_ += "." + sub;
    } else if (const std::size_t sked = InStr(name_, "Sked="); sked > 0) {
      detail_ = Mid(name_, sked + 5, 3);
      name_ = r_sked(d_, ClampedInt(ValueOf0(detail_)), controller_part);
      if (name_.empty()) name_ = "Sked#" + detail_;
    }
  }
  if (address_.find_first_of("ROI") != std::string::npos) {
    static const char* const kOffBoard[][2] = {
        {".1.O250", ".0.O1"}, {".1.O251", ".0.O2"}, {".1.O252", ".0.O3"}};
    for (const auto& [from, to] : kOffBoard) {
      const std::string f(from);
      if (address_.size() >= f.size() && Right(address_, f.size()) == f) {
        address_ = Left(address_, address_.size() - f.size()) + to;
        break;
      }
    }
    address_description_ =
        Left(r_device(d_, "devices", address_, "Description"), kDescriptionLimit);
  } else {
    address_description_ =
        Left(r_device(d_, "Controllers", address_, "Description"), kDescriptionLimit);
  }
}

void EventLog::SecuredAreaWindowCheck() {
  const std::size_t first = InStr(address_, ".");
  const std::size_t second = first ? InStr(address_, ".", first + 1) : 0;
  const std::int64_t slot = ValueOf0(
      first ? Mid(address_, first + 1, second ? second - first - 1 : std::string::npos) : "");
  const std::string states =
      Right(std::string(64, '0') + d_.lib.GetSecuredAreas(d_.DriverId, ClampedInt(slot)), 64);
  const std::string dashed = ReplaceFirstDot(address_);
  const std::int64_t when = ValueOf0(detail_);
  for (int area = 1; area <= 63; ++area) {
    const char state = states[static_cast<std::size_t>(64 - area)];
    // The window events are written once the time schedule event is stored, so that an event
    // logged again later does not raise them twice.
    auto raise = [&](const char* code) {
      AfterStore(d_, [&d = d_, address = address_, area, code] {
        std::string timestamp = "0", at = address, event = code, number = std::to_string(area),
                    extra;
        F_logevent(d, timestamp, at, event, number, extra);
      });
    };
    if (ValueOf0(r_securedarea(d_, area, dashed, "Open_Window_Time")) == when && state == '1')
      raise("SA005");
    if (ValueOf0(r_securedarea(d_, area, dashed, "Closed_Window_Time")) == when &&
        (state == '2' || state == '3'))
      raise("SA006");
  }
}

// The first steps of both record steps: the region, and backquotes for the quotes of the
// texts that are written between quotes without doubling.
void EventLog::PrepareRecord() {
  if (region_ == 0 && controller_.find('.') != std::string::npos)
    region_ = d_.lib.Region_Return(controller_);
  address_description_ = ReplaceAll(address_description_, "'", "`");
  name_ = ReplaceAll(name_, "'", "`");
}

std::string EventLog::Head(const std::string& columns) const {
  return columns + "VALUES (" + std::to_string(region_) + "," + date_literal_ + "," +
         time_literal_ + "," + time_number_ + ",'" + time_text_ + "','" + SqlQuote(address_) +
         "','" + address_description_ + "','" + SqlQuote(device_) + "','" + SqlQuote(code_) +
         "','" + SqlQuote(event_description_) + "','" + name_;
}

void EventLog::EventRecord() {
  PrepareRecord();
  static const std::string kBase =
      "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, ";
  const std::string log_type = std::to_string(log_type_);
  if (detail_.empty()) {
    statement_ = Head(kBase + "log_type) ") + "'," + log_type + ") ";
  } else if (detail_.find(' ') != std::string::npos) {
    statement_ = Head(kBase + "data2, log_type) ") + "',' '," + log_type + ") ";
  } else {
    if (d_.LastUnknownCredential.empty()) d_.LastUnknownCredential = " ";
    const std::string head = Head(kBase + "data2, log_type, data, group_id) ") + "','" +
                             SqlQuote(d_.LastUnknownCredential) + "'," + log_type + ",";
    const std::string person = NumberText(d_.LastPersonnelId);
    statement_ = d_.LastCredential.size() >= 10
                     ? head + "0," + person + ") "
                     : head + std::to_string(ValueOf0(d_.LastCredential)) + "," + person + ") ";
  }
  if (statement_.find("VALUES") != std::string::npos)
    QueueStatement(d_, statement_, kEventStatement, identity_ + "/events");
}

void EventLog::AlarmRecord() {
  const std::string device_type =
      InStr(address_, ".") > 0 && InStr(address_, ".", InStr(address_, ".") + 1) > 0
          ? r_device(d_, "devices", address_, "Device_Type")
          : " ";
  if (log_type_ > 110) log_type_ = static_cast<std::int16_t>(log_type_ - 110);
  const std::string priority = std::to_string(log_type_);
  PrepareRecord();
  static const std::string kBase =
      "INSERT INTO alarms ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, ";
  const std::string tail_type = SqlQuote(device_type) + "','Active'," + priority;
  if (detail_.empty()) {
    statement_ = Head(kBase + "device_type,status,priority) ") + "','" + tail_type + ") ";
  } else if (detail_.find(' ') != std::string::npos) {
    statement_ =
        Head(kBase + "data2, device_type,status,priority) ") + "',' ','" + tail_type + ") ";
  } else {
    const std::string columns = kBase + "data2, device_type,status,priority,data) ";
    if (d_.LastUnknownCredential.size() >= 10) {
      statement_ = Head(columns) + "','" + SqlQuote(d_.LastUnknownCredential) + "','" + tail_type +
                   "," + NumberText(d_.LastPersonnelId) + ") ";
    } else {
      if (d_.LastUnknownCredential.empty()) d_.LastUnknownCredential = d_.LastCredential;
      statement_ = Head(columns) + "','" + SqlQuote(d_.LastUnknownCredential) + "','" + tail_type +
                   "," + std::to_string(ValueOf0(d_.LastCredential)) + ") ";
    }
  }
  if (statement_.find("VALUES") != std::string::npos)
    QueueStatement(d_, statement_, kAlarmStatement, identity_ + "/alarms");
  d_.lib.Alarm_Refresh_ALM();
  RouteAlarm(d_, code_, statement_, identity_);
}

void EventLog::IntegrationRecord() {
  const std::string region_name =
      region_ > 0 && static_cast<std::size_t>(region_) < d_.regions.RegionNames.size()
          ? d_.regions.RegionNames[static_cast<std::size_t>(region_)]
          : "";
  const std::vector<std::string> fields = {datetime_literal_,
                                           time_text_,
                                           region_name,
                                           address_,
                                           Left(address_description_, 50),
                                           ";" + Trim(event_description_) + ";",
                                           Left(name_, 50),
                                           d_.LastCredential,
                                           d_.LastUnknownCredential,
                                           Right("00000" + code_, 5)};
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? "\t" : "") + fields[i];
  d_.lib.Write_EventAlarm(line, 2);
}

LogOutcome EventLog::Run() {
  d_.EventDatabaseLost = false;
  std::vector<std::function<void()>> pending;
  struct Pending {
    Driver& d;
    ~Pending() { d.PendingActions = nullptr; }
  } restore{d_};
  d_.PendingActions = &pending;
  Prepare();
  Family();
  Step([&] {
    EmailAction(d_, code_, display_timestamp_, address_, address_description_, event_description_,
                name_);
  });

  // A lookup that handled its own error may have lost the database: the words it should have
  // given are missing, so the event waits for the database rather than being stored without.
  if (!ended_ && d_.EventDatabaseLost) {
    ended_ = retry_ = true;
    retry_why_ = "the database was lost while the event was completed";
  }

  const int type = log_type_;  // the dispatch reads the log type as received
  const bool events = InRange(type, 1, 99) || InRange(type, 101, 103) || InRange(type, 111, 208);
  const bool alarms = InRange(type, 1, 99) || InRange(type, 111, 208);
  const bool integration = type == 101 || type == 103 || InRange(type, 111, 208);
  if (events) Step([&] { EventRecord(); });
  if (alarms) Step([&] { AlarmRecord(); });
  if (integration && !d_.LogFailed) Step([&] { IntegrationRecord(); });

  d_.PendingActions = nullptr;
  if (!retry_) {
    // The actions of a stored (or given up) event, in the order the event reached them.
    for (auto& action : pending) {
      try {
        action();
      } catch (const EndProcess&) {
        throw;
      } catch (const Error& e) {
        Routine(d_.errors, "err_I_logevent").Report(e.number(), e.what());
      } catch (const std::exception& e) {
        Routine(d_.errors, "err_I_logevent").Report(kErrGeneric, e.what());
      }
    }
  }

  if (retry_) {
    if (!d_.EventStoreFailing) {
      Routine(d_.errors, "err_I_logevent")
          .Report(kErrPathAccess, "event " + code_ + " at " + address_ + " cannot be stored now (" +
                                      retry_why_ + "); it is kept and logged again later");
      d_.EventStoreFailing = true;
    }
    return LogOutcome::kRetryLater;
  }
  if (d_.EventStoreFailing) {
    d_.EventStoreFailing = false;
    d_.errors.DebugLine("Events are stored again");
    LogLine(LogLevel::kInfo, "events are stored again");
  }
  return LogOutcome::kTaken;
}

}  // namespace

bool EventLoggerStoresEvents() { return true; }

LogOutcome I_logevent(Driver& d, const std::string& event_time, const std::string& address,
                      const std::string& code, const std::string& detail, std::int16_t log_type,
                      const std::string& extra, const std::string& identity) {
  return EventLog(d, event_time, address, code, detail, log_type, extra, identity).Run();
}

}  // namespace ordane
