#include "service/timers.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "commands/command_queues.h"
#include "events/event_file_reader.h"
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
  d.Timer1 =
      d.loop.AddTimer("Timer1", std::chrono::milliseconds(100), false, [&d] { Timer1_Timer(d); });
  d.Timer2 =
      d.loop.AddTimer("Timer2", std::chrono::milliseconds(1000), false, [&d] { Timer2_Timer(d); });
}

void Timer1_Timer(Driver& d) {
  // A panel table is being stored and yields between its items: the events and commands wait
  // (in the panels and the queues, not lost) until its transaction is committed.
  if (d.TableUploadRunning) return;
  Routine r(d.errors, "ERR_Timer1_Timer");
  r.Step([&] { Process_Evt_Files(d); });
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
  if (!d.TableUploadRunning) r.Step([&] { Exec_dbCMDs(d); });
}

bool DelayedCommandDue(const std::string& due, const LocalTime& now) {
  return ValueOf0(due) < now.minute * 100 + now.second;
}

void Process_Evt_Files(Driver& d) {
  Routine r(d.errors, "err_Process_Evt_Files");
  const fs::path folder = ResolvePath(d.DriverFolder, "\\Events");
  std::vector<fs::path> files = ListMatching(folder, "*.alm");
  for (const fs::path& f : ListMatching(folder, "*.evt")) files.push_back(f);
  bool any_held = false;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    std::vector<std::string> items;
    std::string content;
    std::int16_t log_type = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      // Not ours to read, or gone since the listing: it stays, is named once, and the files
      // after it go on.
      const std::string why = std::strerror(errno);
      any_held = true;
      if (d.HeldEventFiles.insert(name).second)
        r.Report(kErrFileNotFound, "cannot open event file " + file.string() + ": " + why);
      continue;
    }
    d.errors.LastErrorNumber = 0;
    const bool read = r.Step([&] {
      std::stringstream ss;
      ss << in.rdbuf();
      content = ss.str();
      items = ReadEventFileItems(content, kEventFileItems);
      items.resize(kEventFileItems);
      log_type = ToInt16(ValueOf0(items[4]));
    });
    if (!read) {
      const auto number = d.errors.LastErrorNumber;
      if (number == kErrSubscript || number == kErrOverflow) {
        SetAside(d, file);
        continue;
      }
      return;  // a read that failed midway: it stays and is tried again on a later tick
    }

    LogOutcome outcome = LogOutcome::kRetryLater;
    std::string failure;
    try {
      outcome = I_logevent(d, items[0], items[1], items[2], items[3], log_type, items[5],
                           EventFileIdentity(name, ModifiedNs(file), content));
    } catch (const EndProcess&) {
      throw;
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (outcome == LogOutcome::kTaken) {
      d.HeldEventFiles.erase(name);
      // A file that cannot be deleted is logged again on the next tick; its identity is the
      // same, so the event service stores it once.
      std::error_code ec;
      fs::remove(file, ec);
      if (ec)
        r.Report(kErrPathAccess, "cannot delete event file " + file.string() + ": " + ec.message());
      continue;
    }
    any_held = true;
    if (d.HeldEventFiles.insert(name).second)
      r.Report(kErrGeneric, "event file kept until it can be stored: " + file.string() +
                                (failure.empty() ? std::string() : " (" + failure + ")"));
    // The logger cannot store now; the files after this one wait for a later tick with it.
    // A failure of the logger itself (not of the platform) does not hold up the others.
    if (failure.empty()) return;
  }
  if (!any_held) d.HeldEventFiles.clear();  // every file listed was taken or set aside
}

}  // namespace ordane
