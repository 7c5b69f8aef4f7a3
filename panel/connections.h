// Connecting and hanging up one panel while the driver runs (the "POLL" commands and the
// operator's buttons), the texts that open each kind of line, the state request that follows,
// and the redial of a modem line whose port the library has reopened.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/driver.h"

namespace ordane {

// The connection text and link name of a panel, from its controllers and channels rows.
struct PanelConnection {
  enum class Line { kNone, kSerial, kModem, kTcp };
  Line line = Line::kNone;
  std::string PortName;
  std::string ConnectString;
  std::string DialCommand;  // MODEMCOMMAND text for a modem line
};
// Connection types are compared as texts: "0" to "3" are serial lines, "1" to "3" of them with
// a modem (so "10" is a modem line too), "4" is TCP/IP, anything else has no line.
PanelConnection::Line LineOf(const std::string& connection_type);

// The texts for one panel: serial lines are "COM" + the channel's port, TCP/IP lines are known
// by the controller's ec_1_name and reached at the number of "0" + the channel's port2.
PanelConnection BuildConnection(const std::string& connection_type, const std::string& ec_1_name,
                                const std::string& channel_port, const std::string& baud_rate,
                                const std::string& port2);

// The modem's escape and hang-up commands for a serial port name.
std::string ModemEscape(const std::string& port);
std::string ModemHangUp(const std::string& port);

// Opens the link of the panel at controller address `panel` (0 to 31) from its controllers and
// channels rows: the slot is cleared, the library is given the connection text (and a modem
// line the dial), the link counts as established, the parked messages are sent and the panel
// is asked for its state. A panel without a controllers row is left alone (reported).
void ConnectPanel(Driver& d, std::int16_t panel);
// Hangs the panel up: a modem line gets the escape and "ATH"; the link counts as not
// connected, its controllers row gets cstatus 0 and the panel is asked for its state. The
// library keeps the link (only the operator's Terminate releases it).
void DisconnectPanel(Driver& d, std::int16_t panel);

// Asks one panel for its whole state (after a connect or disconnect). Nothing for a slot
// without a link name. `flag` is accepted and not used.
void request_io(Driver& d, std::int16_t panel, int flag);

// A lost modem line: the library closes the port and opens it again after its retry interval,
// but the modem it finds is on-hook. The dial is repeated once the port is open again.
std::chrono::milliseconds RedialDelay();
void ScheduleRedial(Driver& d, int slot);
// Sends the dial of every modem line whose redial is due (called on the polling timer).
void RedialModems(Driver& d);

}  // namespace ordane
