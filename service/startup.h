// Turning a freshly started process into a running driver, and the loading of the driver's
// event descriptions into the database.
#pragma once

#include <string>

#include "core/driver.h"
#include "panel/connections.h"  // PanelConnection, LineOf

namespace ordane {

// The start-up sequence: registers with the service manager (through Init_Service with
// `command_line`), reads the folders, opens the databases, loads event descriptions and
// regions, finds this computer's driver record (ending the process with EndProcess when there
// is none), prepares the folders, fills the panel table from the controllers assigned to this
// driver, connects every polled panel and starts the timers. Every failing step is reported
// under "ERR_Start_Up" and the sequence goes on.
void START_UP(Driver& d, const std::string& command_line);

// Adds to event_descriptions every code of sections 0 to 170 of "\Drivers\11000.ini" that the
// table does not have yet.
void Add_EventDes(Driver& d);


}  // namespace ordane
