#include "responses/dispatcher.h"

#include <chrono>
#include <cstdio>

#include "core/metrics.h"
#include "events/decoder.h"
#include "events/event_logger.h"
#include "events/lookups.h"
#include "panel/connections.h"
#include "panel/message_buffer.h"
#include "panel/panel_library.h"
#include "responses/uploads.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

std::int16_t LogTypeOf(Driver& d, const std::string& code) {
  return ToInt16(ValueOf0(r_eventdesc(d, code, "Log_Type")));
}

void LogPanelEvent(Driver& d, int slot, const std::string& code) {
  I_logevent(d, "0", d.ControllerAddress(slot), code, "", LogTypeOf(d, code), "");
}

void ReestablishedPanel(Driver& d, Routine& r, int i) {
  PanelSlot& slot = d.panels[static_cast<std::size_t>(i)];
  const std::string address = d.ControllerAddress(i);
  d.errors.DebugLine("Reestablished Panel:  " + address + "  (status=" +
                     std::to_string(slot.LinkState) + ")");
  slot.RedialAt = {};  // a modem line that came back needs no redial
  if (slot.LinkState == kLinkEstablished) return;
  r.Step([&] { LogPanelEvent(d, i, "PO001"); });
  r.Step([&] {
    d.Hardware().Execute("update [controllers] set cstatus=1 where address = '" + address + "'");
  });
  slot.LinkState = kLinkEstablished;
  metrics::LinksReestablished.Add();
  r.Step([&] { Process_Buffer(d, static_cast<std::int16_t>(i)); });
}

void LostPanel(Driver& d, Routine& r, int i) {
  PanelSlot& slot = d.panels[static_cast<std::size_t>(i)];
  const std::string address = d.ControllerAddress(i);
  d.errors.DebugLine("Lost Panel:  " + address + "  (status=" + std::to_string(slot.LinkState) +
                     ")");
  // Each notification means the library closed the line and will reopen it; a modem behind a
  // reopened port is on-hook until it is dialled again.
  r.Step([&] { ScheduleRedial(d, i); });
  if (slot.LinkState == kLinkLost) return;
  // A panel is declared lost at its third notification in a row, not at a passing glitch.
  if (++slot.LostCount <= d.LostLimit) return;
  r.Step([&] { LogPanelEvent(d, i, "PO003"); });
  r.Step([&] {
    d.Hardware().Execute("update [controllers] set cstatus=0 where address = '" + address + "'");
  });
  slot.LinkState = kLinkLost;
  metrics::LinksLost.Add();
  slot.LostCount = 0;
}

// Decodes and logs one panel event. `first_try` is false for an event held from an earlier
// tick: its status requests went out then, and its reports (a bad date, a log type that does
// not fit) were made then. Returns kRetryLater when the event could not be stored for a failure
// that passes; `failure` then says what failed when the logger did not say it itself.
LogOutcome HandleEvent(Driver& d, Routine& r, const std::string& buffer, bool first_try,
                       std::string& failure) {
  const auto step = [&](auto&& f) {
    if (first_try) {
      r.Step(f);
      return;
    }
    try {
      f();
    } catch (const EndProcess&) {
      throw;
    } catch (...) {
    }
  };
  // A failure here is the platform's (the lookups quote what they are given, the logger
  // reports its own errors): the event is kept for a later try rather than stored half done.
  const auto platform = [&](auto&& f) {
    try {
      f();
      return true;
    } catch (const EndProcess&) {
      throw;
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unknown failure";
    }
    return false;
  };

  DecodedEvent e = Decode_PanelEvent(d, buffer, first_try);
  step([&] { e.date = RepairEventYear(e.date, d.clock.Now()); });
  std::string log_type_text;
  if (!platform([&] { log_type_text = r_eventdesc(d, e.code, "Log_Type"); }))
    return LogOutcome::kRetryLater;
  std::int16_t log_type = 0;
  step([&] { log_type = ToInt16(ValueOf0(log_type_text)); });
  LogOutcome outcome = LogOutcome::kRetryLater;
  platform([&] {
    outcome =
        I_logevent(d, e.date + ";" + e.time, e.address, e.code, e.detail, log_type, "", e.identity);
  });
  if (outcome == LogOutcome::kTaken) metrics::EventTaken(e.date, e.time, d.clock.Now());
  return outcome;
}

// One panel event: the one held from an earlier tick, else the next one the library has. An
// event that cannot be stored is held, so that the library does not acknowledge it to its panel
// until it is; its failure is reported once.
enum class EventTake { kNone, kTaken, kHeld };

EventTake TakePanelEvent(Driver& d, Routine& r) {
  const bool held = !d.HeldEventLine.empty();
  std::string event = d.HeldEventLine;
  if (!held) {
    event.assign(kEventBufferLength, ' ');
    if (!r.Step([&] { d.panel.GETEVENTRESPONSE(event); })) return EventTake::kNone;
    if (InStr(event, "-") == 0) return EventTake::kNone;
  }
  std::string failure;
  const LogOutcome outcome = HandleEvent(d, r, event, !held, failure);
  if (outcome == LogOutcome::kTaken) {
    if (held)
      d.errors.DebugLine("held panel event stored after " + std::to_string(d.HeldEventTries + 1) +
                         " tries: " + std::string(CString(event)));
    d.HeldEventLine.clear();
    d.HeldEventTries = 0;
    return EventTake::kTaken;
  }
  if (!held) {
    d.HeldEventLine = event;
    r.Report(kErrGeneric,
             "panel event held until it can be stored: " + std::string(CString(event)) +
                 (failure.empty() ? std::string() : " (" + failure + ")"));
  }
  ++d.HeldEventTries;
  return EventTake::kHeld;
}


void Dispatch(Driver& d, Routine& r, int i, const CommandResponse& c, const std::string& buffer) {
  PanelSlot& slot = d.panels[static_cast<std::size_t>(i)];
  const std::string& t = c.type;
  const UploadInput in{i, c.data, c.extra, buffer};
  if (t == "DefaultStatus") return;
  if (t == "PanelStatus")
    slot.PanelStatusText = c.data;
  else if (t == "FirmwareVersion")
    slot.FirmwareText = c.data;
  else if (t == "AreaStatus")
    slot.AreaStatusText = c.data;
  else if (t == "DoorStatus")
    slot.DoorStatusText = c.data;
  else if (t == "ReadAuthorityLevels")
    r.Step([&] { UploadAuthorityLevels(d, in); });
  else if (t == "On-boardRelayStatus")
    slot.OnBoardRelayText = c.data;
  else if (t == "Off-boardRelayStatus")
    slot.OffBoardRelayText = c.data;
  else if (t == "PointBypassStatus")
    slot.BypassText = c.data;
  else if (t == "ActualPointStatus")
    slot.PointStatusText = c.data;
  else if (t == "ReestablishedPanel")
    ReestablishedPanel(d, r, i);
  else if (t == "LostPanel")
    LostPanel(d, r, i);
  else if (t == "CommandTimeOut")
    return;
  else if (t == "RetrievePointText")
    r.Step([&] { StorePointText(d, in); });
  else if (t == "GetDoorAreas")
    r.Step([&] { StoreDoorAreas(d, in); });
  else if (t == "ReadHolidays")
    r.Step([&] { UploadHolidays(d, in); });
  else if (t == "ReadPointTextAll")
    r.Step([&] { UploadPointTexts(d, in); });
  else if (t == "ReadUserClasses")
    r.Step([&] { UploadUserClasses(d, in); });
  else if (t == "ReadTokenTables")
    r.Step([&] { UploadTokenTables(d, in); });
  else if (t == "ReadUserNames")
    r.Step([&] { UploadUserNames(d, in); });
  else if (t == "ReadSkeds")
    r.Step([&] { UploadSkeds(d, in); });
}

// Takes one command response and dispatches it; false when none waited.
bool TakeCommandResponse(Driver& d, Routine& r) {
  std::string buffer(kCommandBufferLength, ' ');
  r.Step([&] { d.panel.GETCOMMANDRESPONSE(buffer); });
  const CommandResponse c = SplitCommandResponse(buffer);
  if (c.link_name.empty()) return false;
  int i = 0;
  while (i < kPanelSlots && d.panels[static_cast<std::size_t>(i)].PortName != c.link_name) ++i;
  if (i == kPanelSlots) {
    r.Report(kErrSubscript, "command response " + c.type + " for unknown panel " + c.link_name);
    return true;
  }
  Dispatch(d, r, i, c, buffer);
  return true;
}

}  // namespace

// One pass drains what waits instead of taking one event and one response per tick: panel
// events while they wait, then command responses while they wait, each for at most the drain
// budget, so that an alarm storm is logged at the speed the logger can go and the periodic
// status answers of many panels never queue up behind a 100 ms tick, while the timers still
// run between passes. Each event is still logged before the next is asked for, which is what
// lets the library acknowledge it to its panel. A held event ends the events' part.
void Main_Process(Driver& d) {
  Routine r(d.errors, "ERR_Main_Process");
  const auto budget = std::chrono::milliseconds(d.settings.DrainBudgetMs);

  auto start = d.clock.SteadyNow();
  while (TakePanelEvent(d, r) == EventTake::kTaken && d.clock.SteadyNow() - start < budget) {
  }

  start = d.clock.SteadyNow();
  if (!TakeCommandResponse(d, r)) {
    PollBusyStates(d);
    return;
  }
  while (d.clock.SteadyNow() - start < budget && TakeCommandResponse(d, r)) {
  }
}

CommandResponse SplitCommandResponse(const std::string& buffer) {
  CommandResponse c;
  const std::size_t lf = InStr(buffer, "\n");
  if (lf == 0) return c;
  const std::string first = Left(buffer, lf - 1);
  const std::string rest = Trim(Mid(buffer, lf + 1));
  const std::size_t lf2 = InStr(rest, "\n");
  if (lf2 == 0) {  // link name, LF, notification
    c.type = Trim(ReplaceAll(rest, std::string(1, '\0'), " "));
    c.link_name = Trim(first);
    c.data = c.link_name;
    return c;
  }
  c.type = first;
  c.link_name = Trim(Left(rest, lf2 - 1));
  const std::string rest2 = Trim(Mid(rest, lf2 + 1));
  const std::size_t lf3 = InStr(rest2, "\n");
  if (lf3 == 0) {  // type, link name, data (still ending in the library's NUL)
    c.data = rest2;
    return c;
  }
  c.data = Trim(Left(rest2, lf3 - 1));
  std::string extra = Trim(Mid(rest2, lf3 + 1));
  if (!extra.empty()) extra.pop_back();  // the library's NUL
  c.extra = RTrim(extra);
  return c;
}

void ApplyBusyAnswer(PanelSlot& slot, const std::string& answer) {
  std::string state;
  if (InStr(answer, "Busy") > 0) {
    if (++slot.BusyCount > kBusyAnswersToShowBusy - 1) {
      state = "Busy";
      slot.BusyCount = kBusyAnswersToShowBusy;
    }
  }
  if (InStr(answer, "Not busy") > 0) {
    state = "Not busy";
    slot.BusyCount = 0;
  }
  if (InStr(answer, "Unknown panel") > 0) {
    state = "Unknown panel";
    slot.BusyCount = 0;
  }
  const std::string lower = LCase(state);
  if (lower == "not busy")
    slot.BusyState.clear();
  else if (lower == "busy")
    slot.BusyState = "Busy";
  else
    slot.BusyState = state;
}

void PollBusyStates(Driver& d) {
  Routine r(d.errors, "ERR_Main_Process");
  for (PanelSlot& slot : d.panels) {
    r.Step([&] {
      std::string buffer = UCase(slot.PortName) + std::string(1, '\0');
      buffer.resize(kBusyBufferLength, ' ');
      d.panel.GETBUSYSTATE(buffer);
      ApplyBusyAnswer(slot, buffer);
    });
  }
}

std::string RepairEventYear(const std::string& date, const LocalTime& now) {
  int month = 0, day = 0, year = 0;
  char s1 = 0, s2 = 0;
  if (std::sscanf(date.c_str(), "%d%c%d%c%d", &month, &s1, &day, &s2, &year) != 5 || month < 1 ||
      month > 12 || day < 1 || day > 31)
    throw Error(kErrGeneric, "Type mismatch: event date " + date);
  const std::int64_t age = now.DayNumber() - DaysFromCivil(year, month, day);
  if (age <= kYearRepairDays) return date;
  return Left(date, date.size() >= 4 ? date.size() - 4 : 0) + ZeroPad(now.year, 4);
}

}  // namespace ordane
