// Commands parked in table cBuffer while a panel's link was down.
#pragma once

#include <cstdint>

#include "core/driver.h"

namespace ordane {

// Sends the panel's parked command messages in the order they were parked, deleting each row
// once its message has been handed to the library. It never waits for the panel's pause after
// a command: the messages that must wait stay parked, and Process_Buffers sends them as the
// pauses end, so a long replay holds up neither the panel's events nor other panels. The replay
// also stops, leaving the rest, when the link goes down again or a message fails; commands for
// the panel that come meanwhile are parked behind the rest. Callers set LinkState to 1 first.
void Process_Buffer(Driver& d, std::int16_t panel);

// Goes on with the replay of every linked panel whose parked messages wait and whose pause
// has ended (called on every tick of Timer1).
void Process_Buffers(Driver& d);

}  // namespace ordane
