// Turning a panel's event line into a system event: the event line is split into its fields,
// the panel that sent it is found by its link name, the panel's event number becomes an "RD"
// system event code, and the panel event type decides the device address and the detail text.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

// The fields of an event line, each trimmed of blanks:
//   link name "-" date " " time " " EVSEQ " " event number " " type " " F1 " " R NUL
// The fields are taken one after the other; where a blank is missing, the field takes the rest
// of the line and the fields after it stay empty. F1 is taken (as the last two characters of
// "00" + the field) only when a blank follows it, and R is the rest up to the line's first NUL
// (empty when the line holds no NUL).
struct EventLineFields {
  std::string link_name, date, time, evseq, number, type, f1, r;
};
EventLineFields SplitEventLine(const std::string& line);

// The decoded event: link name, date, time, device address, system event code and detail, and
// the identity under which the event service stores it once.
struct DecodedEvent {
  std::string link_name, date, time, address, code, detail;
  std::string identity;
};

// Decodes one event line (the library's buffer: its text, a NUL, blanks). The slot is the first
// one whose link name equals the line's; none gives slot 32. After point, area and relay events
// the panel is asked for fresh status of that kind, unless `request_status` is false (an event
// decoded again for a later try) or no slot matched. A step that fails (a field that cannot be
// read, a lookup that fails) leaves its output as it was; nothing is reported.
DecodedEvent Decode_PanelEvent(Driver& d, const std::string& line, bool request_status = true);

// The identity of a panel event: the driver id, then the EVSEQ, date, time and event number of
// the line as the panel sent them, then the link name, separated by single blanks. Only the
// link name can hold blanks, so the text reads back unambiguously. It is one line: control
// characters are written as "%" and two hexadecimal digits. A panel that sends the
// event again (after a restart of the driver) gives the same identity.
std::string PanelEventIdentity(std::int16_t driver_id, const EventLineFields& f);

}  // namespace ordane
