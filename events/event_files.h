// The files of the event path that the driver writes for others: event and alarm files in the
// driver's "\events" folder (taken in again by the event file scan), the latched-card file, and
// one-line command files for other drivers. Every file appears complete and under a name no
// other file has (a clash draws a new number).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/driver.h"
#include "util/error.h"

namespace ordane {

// A number from 1 to 999999 for file names.
std::int32_t RandomFileNumber();
// Tests only: draws the file numbers from `low` to `high` instead, so that name clashes are
// certain; (0, 0) restores 1 to 999999.
void SetFileNumberRangeForTests(std::int32_t low, std::int32_t high);

// What a statement file carries: an `events` (kind 0) or an `alarms` (kind 1) INSERT.
inline constexpr int kEventStatement = 0;
inline constexpr int kAlarmStatement = 1;

// The text inside a statement file's seal (syslib/statement.h): the identity under which the
// event service stores the statement once, and the statement.
std::string StatementFileText(const std::string& identity, const std::string& statement);
// Splits such a text again; false when it has no identity line.
bool SplitStatementFileText(const std::string& text, std::string* identity, std::string* statement);

// Thrown when a statement file cannot be placed (the events folder missing and not creatable,
// read-only, full; the seal's key file unreadable). Nothing of the file is left behind, and
// writing it again later with the same identity is harmless.
struct StatementStoreFailure : Error {
  using Error::Error;
};

// The statement queue: seals `statement` with its identity (xKeyHide with the driver's fixed
// key) and places it as DriverId_n.evn (kind 0) or DriverId_n.aln (kind 1) into
// RemotePath/Events, created when missing below an existing RemotePath. Returns the file's
// path; throws StatementStoreFailure.
std::filesystem::path QueueStatement(Driver& d, const std::string& statement, int kind,
                                     const std::string& identity);

// The alarm routing: the event code's "routeid" (hexadecimal; bit 1 is site 1) selects sites
// of the site map (setting "SiteMap_Folder", else RemotePath, + "/sites.map"; sections "Site"
// n with "Enabled", "RemotePath" and "KeyFile"). Each enabled site gets a copy in its
// RemotePath/Events, named n.aln, sealed under the site's own key file (relative to the site
// map's folder unless absolute) with identity + "/site" + n. A site without a key file, or
// whose copy cannot be written, gets none, and an error line says so; the routing goes on.
void RouteAlarm(Driver& d, const std::string& code, const std::string& statement,
                const std::string& identity);

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
                          const std::string& code, const std::string& detail, std::int16_t log_type,
                          const std::string& extra);

// Drops `line` as a one-line command file into `folder` + "\commands\", named "11000" + a
// random number + "." + the first three characters of `extension` followed by `number` as
// three digits. Errors are ignored (a missing folder loses the command).
void WriteCommandFile(Driver& d, const std::string& folder, const std::string& line, int number,
                      const std::string& extension);

// Sends a protocol text to the driver of a monitor address ("driver.controller.sub.Mn") as the
// command line "001:" + text, in a command file whose extension is the monitor's controller.
void ProtocolForward(Driver& d, const std::string& monitor, const std::string& text);

}  // namespace ordane
