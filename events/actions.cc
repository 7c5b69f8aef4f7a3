#include "events/actions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/service_control.h"
#include "db/db.h"
#include "events/event_files.h"
#include "events/lookups.h"
#include "util/error.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr int kInterCommDriver = 199;

fs::path ShareFile(Driver& d, const std::string& relative) {
  return ResolvePath(d.RemotePath, relative);
}

std::string DriverFolderOf(Driver& d, const std::string& driver) {
  return ResolvePath(d.RemotePath, "\\Drivers\\" + driver).string();
}

// The text before the n-th "." of `s` (the whole text when it has fewer).
std::string UpToDot(const std::string& s, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = InStr(s, ".", pos + 1);
    if (pos == 0) return s;
  }
  return Left(s, pos - 1);
}

// A controller address ("7.3") read as a decimal number and rounded: the command file's number.
int RoundedNumber(const std::string& text) {
  const double v = std::atof(Trim(text).c_str());
  if (!std::isfinite(v) || std::fabs(v) > 1e9) return 0;
  return static_cast<int>(std::lround(v));
}

std::string HexText(const std::string& message) {
  std::string out;
  char digits[3];
  for (unsigned char c : message) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    out += digits;
  }
  return out;
}

// Replaces the first `placeholder` of `text` only.
void ReplaceFirst(std::string& text, const std::string& placeholder, const std::string& value) {
  const std::size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

}  // namespace

void AfterStore(Driver& d, std::function<void()> action) {
  if (d.PendingActions != nullptr) {
    d.PendingActions->push_back(std::move(action));
  } else {
    action();
  }
}

void EventSourceAction(Driver& d, const std::string& address, const std::string& description,
                       const std::string& name) {
  const std::string source = r_device(d, "devices", address, "Event_Source");
  if (source.empty()) return;
  const std::size_t dot = InStr(source, ".");
  const std::int64_t driver = ValueOf0(dot ? Left(source, dot - 1) : source);
  const std::int32_t controller = d.lib.Get_Cnr(source);
  const std::int64_t reader =
      static_cast<std::int64_t>(d.lib.Get_Sub(source)) * 2 + ValueOf0(Right(source, 1)) - 1;
  if (driver == d.DriverId) return;
  const std::string line = "326 " + std::to_string(controller) + " " + std::to_string(reader) +
                           " 2 5 1 5 0 0 \"" + PadCut(description, 16) + PadCut(name, 16) + "\"";
  WriteCommandFile(d, DriverFolderOf(d, std::to_string(driver)), line, controller, "cmd");
}

std::string InterCommMessage(const std::string& command, const std::string& aa,
                             const std::string& bb) {
  const std::string f_aa = Right("FFFF" + aa, 4), f_bb = Right("FFFF" + bb, 4);
  const std::string z_aa = Right("0000" + aa, 4);
  if (command == "I" || command == "H" || command == "V" || command == "K" || command == "J" ||
      command == "N")
    return command + f_aa + f_bb;
  if (command == "Q" || command == "P" || command == "L" || command == "T" || command == "t")
    return command + f_aa;
  if (command == "R" || command == "M" || command == "S") return command + z_aa;
  if (command == "O") return command + z_aa + "\r";
  return "";
}

void Send_InterComm(Driver& d, const std::string& command, const std::string& aa,
                    const std::string& bb) {
  Routine r(d.errors, "ERR_Send_InterComm");
  const std::string message = InterCommMessage(command, aa, bb);
  if (message.empty()) return;
  const fs::path file =
      ShareFile(d, "\\Drivers\\" + std::to_string(kInterCommDriver) + "\\commands\\it.000");
  if (!WriteFileAtomic(file, message + "\n"))
    r.Report(kErrPathAccess,
             FormatErrorNumber(kErrPathAccess) + " (cannot write " + file.string() + ")");
}

void IntercomAction(Driver& d, const std::string& address) {
  const fs::path ini = ShareFile(d, "\\InterComm" + std::to_string(d.DriverId) + ".ini");
  const std::string command = ReadIni(ini, address, "Command");
  if (command.empty()) return;
  Send_InterComm(d, command, ReadIni(ini, address, "AA"), ReadIni(ini, address, "BB"));
}

std::string DelayProtocolRest(Driver& d, const std::string& monitor, const std::string& protocol) {
  const std::size_t colon = InStr(protocol, ":");
  if (colon == 0) return protocol;
  for (DelayedCommand& c : d.DelayedCameraCommands) {
    if (!c.Due.empty()) continue;
    const LocalTime now = d.clock.Now();
    const int second = now.second + 5;
    // The minute is not advanced when the second wraps: the polling timer reads the due time
    // as the number mmss and sends once the clock has passed it.
    const std::string seconds =
        second >= 60 ? "0" + Right(std::to_string(second), 1) : std::to_string(second);
    c.Due = ZeroPad(now.minute, 2) + seconds;
    c.Action = monitor + ":" + Mid(protocol, colon + 1, 250);
    break;
  }
  return Left(protocol, colon - 1);
}

void CameraCommand(Driver& d, int mode, const std::string& monitor, const std::string& camera,
                   const std::string& preset) {
  try {
    // A camera of another driver than the monitor's cannot be switched by it.
    const std::string driver = UpToDot(monitor, 1);
    if (driver != UpToDot(camera, 1)) return;
    const std::string controller = UpToDot(monitor, 2);
    const std::string sub_controller = UpToDot(monitor, 3);

    std::size_t m = InStr(monitor, "M"), c = InStr(camera, "C");
    std::string monitor_number = m ? Mid(monitor, m + 1, 4) : "";
    std::string camera_number = c ? Mid(camera, c + 1, 4) : "";

    db::Recordset rs;
    rs.Open("select driver_type from drivers where driver_id = " + std::to_string(ValueOf0(driver)),
            d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
    const std::string driver_type = rs.Eof() ? "" : rs.Text("driver_type");
    rs.Close();
    const fs::path dvr = ShareFile(d, "\\hardware\\" + driver_type + ".dvr");
    const std::int64_t camera_padding = ValueOf0(ReadIni(dvr, "Parameters", "camera_padding"));
    const std::int64_t monitor_padding = ValueOf0(ReadIni(dvr, "Parameters", "monitor_padding"));
    if (camera_padding > 0 && camera_padding < 100)
      camera_number =
          Right(std::string(static_cast<std::size_t>(camera_padding), '0') + camera_number,
                static_cast<std::size_t>(camera_padding));
    if (monitor_padding > 0 && monitor_padding < 100)
      monitor_number =
          Right(std::string(static_cast<std::size_t>(monitor_padding), '0') + monitor_number,
                static_cast<std::size_t>(monitor_padding));

    rs.Open("select connection_type, baud_rate, password from controllers where address = '" +
                SqlQuote(controller) + "'",
            d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
    if (rs.Eof()) return;
    const std::int64_t connection_type = ValueOf0(rs.Text("connection_type"));
    const std::string baud_rate = rs.Text("baud_rate");
    rs.Close();

    const std::string som = Right("00" + ReadIni(dvr, "Protocol", "SOM"), 2);
    const std::string eom = Right("00" + ReadIni(dvr, "Protocol", "EOM"), 2);
    const std::string ckm = Right("00" + ReadIni(dvr, "Protocol", "CKM"), 2);
    std::string message = ReadIni(dvr, "Protocol", std::to_string(mode));
    ReplaceFirst(message, "<SOM>", som);
    ReplaceFirst(message, "<EOM>", eom);
    ReplaceFirst(message, "<CKM>", ckm);
    ReplaceFirst(message, "<Data>", preset);
    ReplaceFirst(message, "<Mon>", monitor_number);
    ReplaceFirst(message, "<Cam>", camera_number);
    if (UCase(ReadIni(dvr, "Protocol", "Mode")) == "HEX") message = HexText(message);

    if (connection_type == 0) {
      WriteCommandFile(d, DriverFolderOf(d, driver), "001:" + message, RoundedNumber(controller),
                       "");
    } else if (connection_type == 50) {
      rs.Open("select comm_channel from sub_controllers where address = '" +
                  SqlQuote(sub_controller) + "'",
              d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
      const std::int64_t channel = rs.Eof() ? 0 : ValueOf0(rs.Text("comm_channel"));
      const int port = channel >= 3 && channel <= 5 ? static_cast<int>(channel) - 2 : 0;
      const std::size_t dot = InStr(sub_controller, ".");
      const std::string sub_text = Mid(sub_controller, dot + 1, 4);
      WriteCommandFile(
          d, DriverFolderOf(d, UpToDot(sub_controller, 1)),
          "320 " + sub_text + " " + baud_rate + " 0 " + std::to_string(port) + " " + message + "0",
          RoundedNumber(controller), "");
    }
  } catch (const EndProcess&) {
    throw;
  } catch (...) {
    // A camera that cannot be switched does not keep the event from being stored.
  }
}

void CameraActions(Driver& d, const std::string& address) {
  const fs::path ini = ShareFile(d, "\\camera" + std::to_string(d.DriverId) + ".ini");
  const std::string monitor = ReadIni(ini, address, "Monitor");
  const std::string camera = ReadIni(ini, address, "Camera");
  const std::string preset = ReadIni(ini, address, "Preset");
  const std::string protocol = ReadIni(ini, address, "Protocol");
  const std::string command = ReadIni(ini, address, "Command");
  if (command == "1") {
    ProtocolForward(d, monitor, DelayProtocolRest(d, monitor, protocol));
    return;
  }
  if (!monitor.empty() && !camera.empty()) {
    CameraCommand(d, 1, monitor, camera, preset);
    const std::size_t comma = InStr(preset, ",");
    if (comma) {
      CameraCommand(d, 20, monitor, camera, Trim(Left(preset, comma - 1)));
      CameraCommand(d, 22, monitor, camera, Trim(Mid(preset, comma + 1)));
    } else {
      CameraCommand(d, 30, monitor, camera, preset);
    }
  }
  IntercomAction(d, address);
}

void EmailAction(Driver& d, const std::string& code, const std::string& timestamp,
                 const std::string& address, const std::string& address_description,
                 const std::string& event_description, const std::string& name) {
  const std::string to = r_eventdesc(d, code, "Email");
  if (to.empty() || to == "999" || to.size() < 6 || to.find('.') == std::string::npos) return;
  const std::string when = ReplaceAll(ReplaceAll(timestamp, "\r", ""), "\n", "");
  const std::string subject = address_description + ":  " + event_description;
  std::string body = "Date:  " + when + "~vbcrlf~" + "Address:  " + address + "- " +
                     address_description + "~vbcrlf~" + "Event:  " + event_description + "~vbcrlf~";
  if (!name.empty()) body += "Name:  " + name;

  AfterStore(d, [&d, to, subject, body] {
    IniDocument request;
    request.Set("OS", "Command", "EMail");
    request.Set("OS", "To", to);
    request.Set("OS", "Subject", subject);
    request.Set("OS", "Body", body);
    auto placed = PlaceNewFile(
        d.RemotePath, [&] { return d.ComputerNameText + "_email" + d.lib.lastmod() + ".ODN"; },
        request.Text());
    if (!placed) throw Error(kErrPathAccess, "cannot write an e-mail request in " + d.RemotePath);

    const fs::path shell = ShareFile(d, "\\odn_shell");
    if (access(shell.c_str(), X_OK) != 0 || !fs::is_regular_file(shell) ||
        !SpawnDetached({shell.string(), placed->string()})) {
      Routine(d.errors, "err_I_logevent")
          .Report(kErrFileNotFound, shell.string() +
                                        " is missing or cannot be started; the e-mail "
                                        "request stays in " +
                                        placed->string());
    }
  });
}

void ControlPointAction(Driver& d, const std::string& address) {
  const fs::path ini = ShareFile(d, "\\ControlPoint" + std::to_string(d.DriverId) + ".ini");
  const std::string command = ReadIni(ini, address, "Command");
  if (command.empty()) return;
  d.errors.DebugLine("Control point " + address + ": command " + command + ", repeat " +
                     ReadIni(ini, address, "Repeat_Count") + ", on " +
                     ReadIni(ini, address, "ON_Time") + ", off " +
                     ReadIni(ini, address, "OFF_Time") + ", address " +
                     ReadIni(ini, address, "Address") + " (not run)");
}

void TriggerAction(Driver& d, const std::string& code, const std::string& address) {
  db::Recordset rs;
  rs.Open("select macro_id,time_schedule from triggers where event_id = '" + SqlQuote(code) +
              "' and controller_address = '" + SqlQuote(address) + "'",
          d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  for (; !rs.Eof(); rs.MoveNext())
    d.errors.DebugLine("Trigger " + code + " at " + address + ": macro " + rs.Text("macro_id") +
                       ", time schedule " + rs.Text("time_schedule") + " (not run)");
}

}  // namespace ordane
