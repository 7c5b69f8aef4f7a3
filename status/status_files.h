// The status files the workstations display: one per linked panel ("\Status\Controller" + slot
// as three digits, section "Status_Controllers") and one for the driver ("\Status\Driver",
// section "Status_Drivers"), rewritten on every tick of Timer2.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

// Writes key = value into section of DriverFolder + "\" + file (a leading "\" of file dropped),
// creating file and section when missing. Failures are ignored.
void WriteIni(Driver& d, const std::string& section, const std::string& key,
              const std::string& value, const std::string& file);

// The name of a panel's status file below DriverFolder: "\Status\Controller007".
std::string ControllerStatusFile(int slot);

// Rewrites the controller status file of a slot whose link is established, and deletes it
// otherwise.
void scrn_controller(Driver& d, int slot);
// Rewrites the driver status file: version, date and time, and (outside a polling pass) the
// number of panels.
void scrn_driver(Driver& d);

// "Driver:1.0.0   DLL:" + the library's version: the text of `library_info` after its first
// "Version " (from its eighth character when it has none) up to the next blank.
std::string VersionText(const std::string& library_info);
// "Dec 05, 2026   21:18:42".
std::string DateTimeText(const LocalTime& t);
// "01" + firmware cut or padded to 5 + busy state + " " + activity.
std::string VerInfo(const PanelSlot& slot);

}  // namespace ordane
