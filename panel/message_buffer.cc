#include "panel/message_buffer.h"

#include <string>

#include "commands/panel_commands.h"
#include "db/db.h"
#include "util/report.h"

namespace ordane {

namespace {

bool InPause(Driver& d, const PanelSlot& slot) {
  return d.clock.SteadyNow() < slot.CommandPauseUntil;
}

}  // namespace

void Process_Buffer(Driver& d, std::int16_t panel) {
  Routine r(d.errors, "ERR_Process_Buffer");
  PanelSlot* slot = nullptr;
  if (!r.Step([&] { slot = &d.Slot(panel); })) return;
  const std::string address = std::to_string(d.DriverId) + "." + std::to_string(panel);
  db::Recordset rs;
  // The id grows with every row parked, so it gives the parking order.
  if (!r.Step([&] {
        rs.Open("select * from cBuffer where address = '" + address + "' order by id",
                d.Hardware());
      }))
    return;
  d.errors.LastErrorNumber = 0;
  slot->ParkedPending = false;
  while (!rs.Eof()) {
    if (d.errors.DatabaseLost()) {
      slot->ParkedPending = true;
      return;
    }
    // The rest waits for the panel's pause, or for its link.
    if (slot->LinkState != kLinkEstablished || InPause(d, *slot)) {
      slot->ParkedPending = true;
      break;
    }
    std::string id, message;
    if (!r.Step([&] {
          id = rs.Text("id");
          message = rs.Text("MSG");
        })) {
      slot->ParkedPending = true;
      break;
    }
    SendOutcome sent = Send_PanelCmd(d, message, /*park=*/false);
    // A row that names another panel goes to that panel, or to that panel's buffer.
    if (sent == SendOutcome::kNotLinked && ParseCommandMessage(message).slot != panel)
      sent = Send_PanelCmd(d, message);
    if (sent == SendOutcome::kNotLinked || sent == SendOutcome::kFailed) {
      slot->ParkedPending = true;
      break;
    }
    // Handed over (or a message that names no panel, reported, which no replay would send).
    if (!id.empty() && id.find_first_not_of("0123456789") == std::string::npos) {
      r.Step([&] {
        d.Hardware().Execute("DELETE FROM [cBuffer] WHERE [Address] = '" + address +
                             "' AND [id] = " + id);
      });
    }
    rs.MoveNext();
  }
  r.Step([&] { rs.Close(); });
}

void Process_Buffers(Driver& d) {
  for (int i = 0; i < kPanelSlots; ++i) {
    const PanelSlot& slot = d.panels[static_cast<std::size_t>(i)];
    if (slot.ParkedPending && slot.LinkState == kLinkEstablished && !InPause(d, slot))
      Process_Buffer(d, static_cast<std::int16_t>(i));
  }
}

}  // namespace ordane
