// Looking up words for codes: the event-code descriptions of table event_descriptions.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

// The `column` of the event code's event_descriptions row as text; "" when the code has no
// row. Errors pass to the caller.
std::string r_eventdesc(Driver& d, const std::string& code, const std::string& column);

}  // namespace ordane
