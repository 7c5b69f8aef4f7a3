// Commands parked in table cBuffer while a panel's link was down.
#pragma once

#include <cstdint>

#include "core/driver.h"

namespace ordane {

// Sends the panel's parked command messages in the order they were parked, deleting each row
// once its message has been handed to the library. The replay stops, leaving the rest for the
// next time the link comes up, when the link goes down again meanwhile or a message fails; a
// message parked during the replay is a new row and is never lost. Callers set the panel's
// LinkState to 1 first.
void Process_Buffer(Driver& d, std::int16_t panel);

}  // namespace ordane
