#include "service/timers.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "commands/command_queues.h"
#include "events/event_files.h"
#include "events/event_logger.h"
#include "panel/message_buffer.h"
#include "panel/panel_library.h"
#include "responses/dispatcher.h"
#include "status/status_files.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::size_t kEventFileItems = 6;

// Sends one status request with the panel's link name.
template <class Export>
void Request(Driver& d, const std::string& port, Export call) {
  std::string text = port;
  (d.panel.*call)(text);
}

std::string DoorStatusRequest(const std::string& port) { return port + " GetStatus 0"; }

// A file whose items cannot be logged goes to "\Events\Rejected", so that the files after it
// are still taken in; an operator can look at it there.
void SetAside(Driver& d, const fs::path& file) {
  fs::path rejected;
  if (!EnsureFolder(file.parent_path(), "Rejected", &rejected)) return;
  std::error_code ec;
  fs::rename(file, rejected / file.filename(), ec);
  if (!ec) d.errors.DebugLine("event file set aside: " + (rejected / file.filename()).string());
}

}  // namespace

void CreateTimers(Driver& d) {
  d.Timer1 = d.loop.AddTimer("Timer1", std::chrono::milliseconds(100), false,
                             [&d] { Timer1_Timer(d); });
  d.Timer2 = d.loop.AddTimer("Timer2", std::chrono::milliseconds(1000), false,
                             [&d] { Timer2_Timer(d); });
}

void Timer1_Timer(Driver& d) {
  Routine r(d.errors, "ERR_Timer1_Timer");
  // Event files wait in their folder while events cannot be stored.
  if (EventLoggerStoresEvents()) r.Step([&] { Process_Evt_Files(d); });
  r.Step([&] { Exec_cmds(d); });
  r.Step([&] { Main_Process(d); });
  // Parked commands whose panel's pause has ended.
  r.Step([&] { Process_Buffers(d); });
}

void Timer2_Timer(Driver& d) {
  Routine r(d.errors, "ERR_Timer2_Timer");
  if (++d.StatusTick > kStatusTickPeriodEnd) d.StatusTick = 0;
  r.Step([&] { scrn_driver(d); });

  const LocalTime now = d.clock.Now();
  for (DelayedCommand& c : d.DelayedCameraCommands) {
    if (c.Action.empty()) continue;
    r.Step([&] {
      if (!DelayedCommandDue(c.Due, now)) return;
      const std::string action = c.Action;
      c = DelayedCommand{};
      const std::size_t colon = InStr(action, ":");
      if (colon > 0) ProtocolForward(d, Left(action, colon - 1), Mid(action, colon + 1));
    });
  }

  d.PollingActive = true;
  d.PanelCount = 0;
  for (int i = 0; i < kPanelSlots; ++i) {
    PanelSlot& slot = d.panels[static_cast<std::size_t>(i)];
    if (slot.PortName.empty()) continue;
    ++d.PanelCount;
    r.Step([&] { scrn_controller(d, i); });
    if (slot.BusyState.empty() && d.StatusTick == kStatusRequestTick) {
      r.Step([&] {
        std::string door = DoorStatusRequest(slot.PortName);
        d.panel.DOORCOMMAND(door);
      });
      r.Step([&] { Request(d, slot.PortName, &PanelLibrary::POINTBYPASSSTATUS); });
      r.Step([&] { Request(d, slot.PortName, &PanelLibrary::GETACTUALPOINTSTATUS); });
      r.Step([&] { Request(d, slot.PortName, &PanelLibrary::GETPANELSTATUS); });
    }
  }
  d.PollingActive = false;
  r.Step([&] { RedialModems(d); });
  r.Step([&] { Exec_dbCMDs(d); });
}

bool DelayedCommandDue(const std::string& due, const LocalTime& now) {
  return ValueOf0(due) < now.minute * 100 + now.second;
}

std::vector<std::string> ReadEventFileItems(const std::string& content, std::size_t max_items) {
  std::vector<std::string> items;
  std::size_t i = 0;
  const std::size_t n = content.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < n) {
    while (i < n && blank(content[i])) ++i;
    if (i >= n) break;
    std::string item;
    if (content[i] == '"') {
      // A quoted item runs to its closing quote; a doubled quote stands for one.
      ++i;
      while (i < n) {
        if (content[i] == '"') {
          if (i + 1 < n && content[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += content[i++];
      }
      while (i < n && content[i] != ',' && content[i] != '\n') ++i;  // rest up to the delimiter
    } else {
      while (i < n && content[i] != ',' && content[i] != '\n' && content[i] != '\r')
        item += content[i++];
      while (!item.empty() && blank(item.back())) item.pop_back();
    }
    if (i < n && content[i] == '\r') ++i;
    if (i < n && (content[i] == ',' || content[i] == '\n')) ++i;
    if (items.size() == max_items)
      throw Error(kErrSubscript, "event file holds more than " + std::to_string(max_items) +
                                     " items");
    items.push_back(std::move(item));
  }
  return items;
}

void Process_Evt_Files(Driver& d) {
  Routine r(d.errors, "err_Process_Evt_Files");
  const fs::path folder = ResolvePath(d.DriverFolder, "\\Events");
  std::vector<fs::path> files = ListMatching(folder, "*.alm");
  for (const fs::path& f : ListMatching(folder, "*.evt")) files.push_back(f);
  for (const fs::path& file : files) {
    std::vector<std::string> items;
    std::int16_t log_type = 0;
    d.errors.LastErrorNumber = 0;
    bool read = r.Step([&] {
      std::ifstream in(file, std::ios::binary);
      if (!in) throw Error(kErrFileNotFound, "cannot open event file " + file.string());
      std::stringstream ss;
      ss << in.rdbuf();
      items = ReadEventFileItems(ss.str(), kEventFileItems);
      items.resize(kEventFileItems);
      log_type = ToInt16(ValueOf0(items[4]));
    });
    if (!read) {
      const auto number = d.errors.LastErrorNumber;
      if (number == kErrSubscript || number == kErrOverflow) {
        SetAside(d, file);
        continue;
      }
      return;  // unreadable: it stays and is tried again on a later tick
    }
    if (!r.Step([&] { I_logevent(d, items[0], items[1], items[2], items[3], log_type, items[5]); }))
      d.db.DatabaseError = true;
    if (!d.db.DatabaseError) {
      std::error_code ec;
      fs::remove(file, ec);
    }
  }
}

}  // namespace ordane
