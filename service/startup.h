// Turning a freshly started process into a running driver, and the loading of the driver's
// event descriptions into the database.
#pragma once

#include <string>

#include "core/driver.h"
#include "core/log.h"
#include "panel/connections.h"  // PanelConnection, LineOf

namespace ordane {

// Exit codes of a driver that cannot start. A settings file that is missing or unusable ends
// with EX_CONFIG, which the systemd unit does not restart (nothing changes until an operator
// mends it); a database that does not open ends with 1, which it does (the server may be
// starting as well).
inline constexpr int kExitConfiguration = 78;
inline constexpr int kExitNoDatabase = 1;

// Writes a line of the start-up to the log, and to the terminal of an operator who started the
// driver by hand (where the log does not already go).
void StartUpLine(LogLevel level, const std::string& text);
// Ends the start-up with `text` as an error line and the process with `code`.
[[noreturn]] void EndStartUp(int code, const std::string& text);

// The start-up sequence: registers with the service manager (through Init_Service with
// `command_line`), reads the folders, opens the databases, loads event descriptions and
// regions, finds this computer's driver record (ending the process with EndProcess when there
// is none), prepares the folders, fills the panel table from the controllers assigned to this
// driver, connects every polled panel and starts the timers. Every failing step is reported
// under "ERR_Start_Up" and the sequence goes on, except where nothing after could mend it:
// unusable settings and a database that does not open or holds no drivers table end the
// process at once with a non-zero code and one line that names the cause.
void START_UP(Driver& d, const std::string& command_line);

// Adds to event_descriptions every code of sections 0 to 170 of "\Drivers\11000.ini" that the
// table does not have yet.
void Add_EventDes(Driver& d);


}  // namespace ordane
