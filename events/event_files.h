// The files of the event path that the driver writes for others: event and alarm files in the
// driver's "\events" folder (taken in again by the event file scan), the latched-card file, and
// one-line command files for other drivers. Every file appears complete and under a name no
// other file has (a clash draws a new number).
#pragma once

#include <cstdint>
#include <string>

#include "core/driver.h"

namespace ordane {

// A number from 1 to 999999 for file names.
std::int32_t RandomFileNumber();

// Writes an event as a six-line event (".evt") or alarm (".alm") file, as its log type says,
// after recording it with the system library's Update_State. Log types 1-99 and 111-208 make an
// alarm file, 101-103 an event file, 999 (no log type found) sets LogFailed, others nothing.
// Reader events ("RO") of a latching reader also rewrite the latched-card file. Arguments are
// by reference as the callers hold them; none is changed.
void F_logevent(Driver& d, std::string& timestamp, std::string& address, std::string& code,
                std::string& detail, std::string& extra);

// The six lines of an event or alarm file. An item that holds a comma, a quote or blanks at its
// ends is quoted (a quote in it doubled), so that the reader gets it back unchanged.
std::string EventFileText(const std::string& timestamp, const std::string& address,
                          const std::string& code, const std::string& detail,
                          std::int16_t log_type, const std::string& extra);

// Drops `line` as a one-line command file into `folder` + "\commands\", named "11000" + a
// random number + "." + the first three characters of `extension` followed by `number` as
// three digits. Errors are ignored (a missing folder loses the command).
void WriteCommandFile(Driver& d, const std::string& folder, const std::string& line, int number,
                      const std::string& extension);

// Sends a protocol text to the driver of a monitor address ("driver.controller.sub.Mn") as the
// command line "001:" + text, in a command file whose extension is the monitor's controller.
void ProtocolForward(Driver& d, const std::string& monitor, const std::string& text);

}  // namespace ordane
