#include "status/status_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"

#ifndef ORDANE_VERSION
#define ORDANE_VERSION "0.0.0"
#endif

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::size_t kDateTimeTextLimit = 41;

std::string StripNuls(const std::string& s) { return ReplaceAll(s, std::string(1, '\0'), ""); }

fs::path StatusPath(Driver& d, const std::string& file) {
  std::string name = file;
  if (!name.empty() && name[0] == '\\') name.erase(0, 1);
  return ResolvePath(d.DriverFolder, name);
}

}  // namespace

void WriteIni(Driver& d, const std::string& section, const std::string& key,
              const std::string& value, const std::string& file) {
  try {
    fs::path path = StatusPath(d, file);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    WriteProfileString(path, section, key, value);
  } catch (...) {
  }
}

std::string ControllerStatusFile(int slot) { return "\\Status\\Controller" + ZeroPad(slot, 3); }

std::string VerInfo(const PanelSlot& slot) {
  // The firmware text is stored as the library delivered it, ending in the library's NUL. That
  // NUL is not part of the version: left in, it would end the value in the file and hide the
  // busy state and the activity that follow it.
  return ZeroPad(slot.LinkState, 2) + PadCut(CString(slot.FirmwareText), 5) + slot.BusyState +
         " " + slot.ActivityText;
}

void scrn_controller(Driver& d, int slot_index) {
  Routine r(d.errors, "ERR_scrn_controller");
  const PanelSlot& slot = d.Slot(slot_index);
  const std::string file = ControllerStatusFile(slot_index);
  const std::pair<const char*, std::string> values[] = {
      {"Ver_Info", VerInfo(slot)},
      {"ControllerName", slot.PortName},
      {"MonitorPoints", slot.PointStatusText},
      {"OnBoardRelays", slot.OnBoardRelayText},
      {"OffBoardRelays", slot.OffBoardRelayText},
      {"AreaStatus", StripNuls(slot.AreaStatusText + ":" + slot.DoorStatusText)},
      {"PanelStatus", slot.PanelStatusText},
      {"BypassPoints", slot.BypassText},
  };
  if (slot.LinkState == kLinkEstablished) {
    // The eight keys are set in order in one pass over the file, so that a workstation never
    // reads a file with half of them new.
    r.Step([&] {
      fs::path path = StatusPath(d, file);
      std::error_code ec;
      fs::create_directories(path.parent_path(), ec);
      IniDocument doc = IniDocument::Load(path);
      for (const auto& [key, value] : values) doc.Set("Status_Controllers", key, value);
      doc.Save(path);
    });
  } else {
    r.Step([&] {
      std::error_code ec;
      fs::path path = StatusPath(d, file);
      if (fs::exists(path, ec)) fs::remove(path, ec);
    });
  }
}

std::string VersionText(const std::string& library_info) {
  std::string info(CString(library_info));
  std::size_t at = InStr(info, "Version ");
  std::string rest = Mid(info, at + 8);
  std::size_t blank = InStr(rest, " ");
  std::string version = blank ? Left(rest, blank - 1) : rest;
  return Trim("Driver:" + std::string(ORDANE_VERSION) + "   DLL:" + version);
}

std::string DateTimeText(const LocalTime& t) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %02d, %04d   %02d:%02d:%02d",
                kMonths[(t.month - 1) % 12], t.day, t.year, t.hour, t.minute, t.second);
  return RTrim(Left(buf, kDateTimeTextLimit));
}

void scrn_driver(Driver& d) {
  Routine r(d.errors, "err_scrn_driver");
  const std::string file = "\\Status\\Driver";
  std::string version, date_time;
  r.Step([&] { version = VersionText(d.PanelLibraryInfo); });
  r.Step([&] { date_time = DateTimeText(d.clock.Now()); });
  r.Step([&] {
    fs::path path = StatusPath(d, file);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    IniDocument doc = IniDocument::Load(path);
    doc.Set("Status_Drivers", "Version", version);
    doc.Set("Status_Drivers", "DT_Info", date_time);
    if (!d.PollingActive) doc.Set("Status_Drivers", "Online_Count", std::to_string(d.PanelCount));
    doc.Save(path);
  });
}

}  // namespace ordane
