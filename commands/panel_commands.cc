#include "commands/panel_commands.h"

#include <vector>

#include "core/metrics.h"
#include "db/db.h"
#include "panel/panel_library.h"
#include "status/status_files.h"
#include "util/report.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

static_assert(kCommandSlots == kPanelSlots);

namespace {

using Export = std::int16_t (PanelLibrary::*)(std::string&);

// What a code does: its library calls in order, each with the command text the previous call
// left, and the upload flag it empties afterwards (uploads started here are marked done by the
// upload handlers).
struct CodeAction {
  std::int16_t code;
  std::vector<Export> calls;
  const char* flag = nullptr;
};

const std::vector<CodeAction>& CodeTable() {
  using P = PanelLibrary;
  static const std::vector<CodeAction> table = {
      {303, {&P::UPDATEUSERNAME}},
      {304, {&P::UPDATETOKENTABLE}},
      {305, {&P::UPDATEUSERCLASS}},
      {306, {&P::UPDATESKED}},
      {307, {&P::SETHOLIDAY}},
      {321, {&P::DOORCOMMAND}},
      {322, {&P::SETONBOARDRELAY}},
      {323, {&P::SETOFFBOARDRELAY}},
      {324, {&P::ARMAREA}},
      {325, {&P::DISARMAREA}},
      {326, {&P::SILENCEBELL}},
      {330, {&P::BYPASSPOINT}},
      {350, {&P::BULKPOINTTEXTUPDATE}},
      {351, {&P::BULKUSERNAMEUPDATE}},
      {352, {&P::BULKTOKENTABLEUPDATE}},
      {353, {&P::BULKUSERCLASSUPDATE}},
      {401, {&P::GETPOINTTEXT}, "SE081"},
      {402, {&P::SETPOINTTEXT}},
      {403, {&P::READUSERNAMES}, "SE082"},
      {404, {&P::READUSERCLASSES, &P::READTOKENTABLES, &P::READUSERNAMES}, "SE082"},
      {405, {&P::READUSERCLASSES}},
      {406, {&P::READHOLIDAYS}, "SE086"},
      {407, {&P::READSKEDS}, "SE085"},
      {408, {&P::READPOINTTEXTALL, &P::GETDOORAREAS}, "SE081"},
      {409, {&P::READAUTHORITYLEVELS}, "SE080"},
  };
  return table;
}

SendOutcome ParkMessage(Driver& d, Routine& r, int slot, const std::string& message) {
  const bool parked = r.Step([&] {
    d.Hardware().Execute("INSERT INTO cBuffer ([address], [MSG]) VALUES ('" +
                         d.ControllerAddress(slot) + "','" + SqlQuote(message) + "') ");
  });
  if (!parked) return SendOutcome::kFailed;
  d.panels[static_cast<std::size_t>(slot)].ParkedPending = true;
  metrics::CommandsParked.Add();
  return SendOutcome::kParked;
}

// Makes the library calls of the message's code, each with the command text (PortName, a blank,
// the arguments) as the call before it left it, and starts the panel's pause.
SendOutcome Carry(Driver& d, Routine& r, const CommandMessage& m, PanelSlot& slot) {
  const std::string port = slot.PortName;
  std::string command = port + " " + m.arguments;
  bool failed = false;
  auto call = [&](Export e) {
    if (!r.Step([&] { (d.panel.*e)(command); })) failed = true;
  };
  if (m.code == 1) {
    // Only "!O" + area disarms here; the area is one less than the message's last digit.
    if (Left(m.arguments, 2) == "!O") {
      command = port + " " + std::to_string(ValueOf0(Right(m.arguments, 1)) - 1);
      call(&PanelLibrary::DISARMAREA);
    }
  } else if (m.code == 302) {
    command = port + " " + PanelClockText(d.clock.Now());
    call(&PanelLibrary::SETDATETIME);
  } else {
    for (const CodeAction& a : CodeTable()) {
      if (a.code != m.code) continue;
      if (m.code == 352) command = ReplaceAll(command, ":", ",");
      if (m.code == 404) slot.ActivityText = "Reading Token Tables";
      for (Export e : a.calls) call(e);
      if (a.flag != nullptr)
        r.Step(
            [&] { WriteIni(d, "Status_Controllers", a.flag, "", ControllerStatusFile(m.slot)); });
      break;
    }
  }
  slot.CommandPauseUntil = d.clock.SteadyNow() + kCommandPause;
  if (!failed) metrics::CommandsSent.Add();
  return failed ? SendOutcome::kFailed : SendOutcome::kSent;
}

// Yields to the message loop until the panel's pause after its last command is over.
void WaitForPanel(Driver& d, const PanelSlot& slot) {
  for (;;) {
    const auto now = d.clock.SteadyNow();
    if (now >= slot.CommandPauseUntil) return;
    d.loop.DoEvents(std::chrono::ceil<std::chrono::milliseconds>(slot.CommandPauseUntil - now));
  }
}

}  // namespace

SendOutcome Send_PanelCmd(Driver& d, const std::string& message, bool park) {
  Routine r(d.errors, "ERR_Send_PanelCmd");
  const std::string text_message(CString(message));
  const CommandMessage m = ParseCommandMessage(text_message);
  if (!m.error.empty()) r.Report(m.error_number, m.error + ": " + Shown(text_message));
  if (m.refused) return SendOutcome::kRefused;

  PanelSlot& slot = d.panels[static_cast<std::size_t>(m.slot)];
  const bool behind_parked = park && slot.ParkedPending;
  if (slot.LinkState == kLinkEstablished && !behind_parked) WaitForPanel(d, slot);
  // The wait yields: the link may have been lost meanwhile.
  if (slot.LinkState != kLinkEstablished || behind_parked) {
    if (!park) return SendOutcome::kNotLinked;
    return ParkMessage(d, r, m.slot, text_message);
  }

  return Carry(d, r, m, slot);
}

SendOutcome Park_PanelCmd(Driver& d, const std::string& message) {
  Routine r(d.errors, "ERR_Send_PanelCmd");
  const std::string text_message(CString(message));
  const CommandMessage m = ParseCommandMessage(text_message);
  if (m.refused) return Send_PanelCmd(d, message);  // reported there
  return ParkMessage(d, r, m.slot, text_message);
}

bool PacedCommands::InPause(int slot) const {
  const PanelSlot& s = d_.panels[static_cast<std::size_t>(slot)];
  return s.LinkState == kLinkEstablished && d_.clock.SteadyNow() < s.CommandPauseUntil;
}

void PacedCommands::Submit(const std::string& message, std::function<void()> done) {
  const CommandMessage m = ParseCommandMessage(message);
  if (!m.refused) {
    auto& line = waiting_[static_cast<std::size_t>(m.slot)];
    if (!line.empty() || InPause(m.slot)) {
      line.push_back({message, std::move(done)});
      return;
    }
  }
  Send_PanelCmd(d_, message);
  if (done) done();
}

void PacedCommands::Park() {
  bool failed = false;
  for (auto& line : waiting_) {
    while (!line.empty() && !failed) {
      if (Park_PanelCmd(d_, line.front().message) != SendOutcome::kParked) {
        failed = true;  // the buffer cannot take it: the rest waits for its panels here
        break;
      }
      if (line.front().done) line.front().done();
      line.pop_front();
    }
  }
  if (failed) Flush();
}

void PacedCommands::Flush() {
  for (;;) {
    bool waiting = false, sent = false;
    auto next = Clock::SteadyTime::max();
    for (int slot = 0; slot < kPanelSlots; ++slot) {
      auto& line = waiting_[static_cast<std::size_t>(slot)];
      if (line.empty()) continue;
      waiting = true;
      if (InPause(slot)) {
        next = std::min(next, d_.panels[static_cast<std::size_t>(slot)].CommandPauseUntil);
        continue;
      }
      Waiting w = std::move(line.front());
      line.pop_front();
      Send_PanelCmd(d_, w.message);
      if (w.done) w.done();
      sent = true;
    }
    if (!waiting) return;
    if (!sent) {
      const auto now = d_.clock.SteadyNow();
      if (next > now) d_.loop.DoEvents(std::chrono::ceil<std::chrono::milliseconds>(next - now));
    }
  }
}

}  // namespace ordane
