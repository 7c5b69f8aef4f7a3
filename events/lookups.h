// Words for numbers and addresses: the description lookups the event path makes before it
// stores an event (event codes, devices, drivers, areas, skeds, time schedules, the person
// behind a panel user or a card), and the request files that card events send to other
// drivers.
//
// Every lookup reads one column of the first row of one query and returns it as text. Values
// from outside (addresses, codes, credential texts) go into the SQL between the quotes shown,
// with their single quotes doubled; numbers are written from numbers. Column and table names
// are the callers' own constants.
//
// Errors: r_device, r_driver and r_card report their own failures (labels "err_r_device",
// "err_r_driver", "err_r_card") and return what they had; CredentialLookup ignores its errors
// (0); DynScrn_Req reports under "err_DynScrn_Req". Every other lookup lets its error (a
// database error, a missing row where it has no no-row rule, a NULL in r_sked and
// r_timeschedule) pass to the caller as an ordane::Error.
#pragma once

#include <cstdint>
#include <string>

#include "core/driver.h"

namespace ordane {

// The `column` of the event code's EVENT_Descriptions row as text; "" when the code has no
// row. Access connection.
std::string r_eventdesc(Driver& d, const std::string& code, const std::string& column);

// The resource number of an event code's description: the base of its two-letter prefix plus
// the value of its last three characters ("RD070" is 21570; an unlisted prefix has base 0).
std::int32_t EventTextResource(const std::string& code);
// The description text of an event code, from the system library's text resources.
std::string r_eventtext(Driver& d, const std::string& code);

// The `column` of the row of `table` whose address is `address`; "" when there is none.
// Hardware connection; reports its own errors.
std::string r_device(Driver& d, const std::string& table, const std::string& address,
                     const std::string& column);

// The `column` of the row of `table` whose driver_id is the number `driver_id` (through TSQL);
// "" when there is none, or when `driver_id` is not a number. Hardware connection; reports its
// own errors.
std::string r_driver(Driver& d, const std::string& table, const std::string& driver_id,
                     const std::string& column);

// The `column` of secured area `area` of `address` ("12-0": the controller address with its
// first "." turned into "-"), trimmed of blanks. No row: "Area=" + area for the column
// "description" (any case), else "". Hardware connection.
std::string r_securedarea(Driver& d, int area, const std::string& address,
                          const std::string& column);

// The description of area `area` of panel `slot` (a slot text such as "0") of this driver. A
// missing row is an error. Hardware connection.
std::string r_area(Driver& d, const std::string& slot, int area);

// The description of sked `sked` of the controller `address`. A missing row or a NULL is an
// error. Access connection.
std::string r_sked(Driver& d, int sked, const std::string& address);

// The description of time schedule `number` in `region` (through TSQL); "" when there is no
// row; a NULL is an error. Access connection.
std::string r_timeschedule(Driver& d, int number, int region);

// The person behind panel user `user` (sub-number `sub`, 0 for the master token) of `region`:
// "first last", or "UserID not found in Database". A found person sets LastCredential to the
// credential and empties LastUnknownCredential. Access connection.
std::string r_user(Driver& d, int user, int sub, int region);

// The person behind a card: first and last name (at most 50 characters, no ";"), or "Not in
// Database" (then LastCredential and LastUnknownCredential are the card text); "" for a text
// with a blank. Records last_reader (LastReader) and last_used (`when`, a date-time literal)
// for the card-use codes, and sends the alarm-integration disarm requests for the
// access-granted codes. `column` is accepted and not used. Reports its own errors.
std::string r_card(Driver& d, const std::string& credential, const std::string& column,
                   const std::string& code, const std::string& when);

// The personnel record id of a credential number; 0 when the text is not a positive number,
// has no credential row, or the lookup fails.
double CredentialLookup(Driver& d, const std::string& credential);

// Drops `line` as a request file into `target_folder` + "\commands\", named ComputerName +
// the system library's lastmod + ".cm0". The file is written whole in this driver's folder
// first, then placed in the target folder under a name no other file has.
void DynScrn_Req(Driver& d, const std::string& target_folder, const std::string& line);

}  // namespace ordane
