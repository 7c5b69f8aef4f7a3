// Commands parked in table cBuffer while a panel's link was down.
#pragma once

#include <cstdint>

#include "core/driver.h"

namespace ordane {

// Sends the panel's parked command messages and empties its part of the buffer. Callers set
// the panel's LinkState to 1 first.
void Process_Buffer(Driver& d, std::int16_t panel);

}  // namespace ordane
