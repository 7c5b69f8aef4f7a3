// The service shell: the command-line switches, the service events, the two ways the driver
// stops, the unload sequence, the operator's Connect/Terminate operations and the workstation
// hardware-tree refresh.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

inline constexpr const char* kWindowCaption = "Intrusion Alarm Panel Driver";

// Reads the command line (lower-cased): "-install" and "-uninstall"/"-uninstallq" do their work
// and end the process; "-debug" runs in the foreground; any other non-empty command line stops
// the driver through ShutDriver. Then tells the service manager the driver is up.
void Init_Service(Driver& d, const std::string& command_line);

// Service events: Stop runs ShutDriver; Pause and Continue are logged and change nothing.
void OnServiceStop(Driver& d);
void OnServicePause(Driver& d);
void OnServiceContinue(Driver& d);
// The service shell's error entry: an error-priority entry in the system log (109, 1) with the
// text "[" + error number + "] " + description.
void ReportServiceError(Driver& d, const Error& e);

// Orderly stop on the operator's request or a lost database: timers off, every link closed, a
// two-second wait, then the unload sequence. Ends the process (throws EndProcess).
void Shutdown(Driver& d);
// Stop on the service manager's request, ending with a stop request for service "11000".
// Ends the process. `from_service_manager` is true when the manager asked (no request back).
void ShutDriver(Driver& d, bool from_service_manager = false);
// The unload sequence: Timer1 off, latched-card files deleted, "HS002" logged, the driver record's
// status set to 0, the databases closed. Does not end the process; its callers do.
void UnloadMain(Driver& d);
// Closing the main window: every link closed, the unload sequence, end.
void TerminateMain(Driver& d);

// The operator's two buttons, acting on the panel number in `panel_text` ("0" followed by the
// text, read as a number: an empty or non-numeric text is panel 0).
void ConnectButton(Driver& d, const std::string& panel_text);
void TerminateButton(Driver& d, const std::string& panel_text);

// Asks every workstation (at most 11) to reload its hardware tree.
void Refresh_ORDANE_HW_Tree(Driver& d);

}  // namespace ordane
