// Turning a panel's event line into a system event.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

// The decoded event: link name, date, time, device address, system event code and detail.
struct DecodedEvent {
  std::string link_name, date, time, address, code, detail;
};

// Splits `line` (the event line as the library wrote it, up to its NUL) and decodes it.
DecodedEvent Decode_PanelEvent(Driver& d, const std::string& line);

}  // namespace ordane
