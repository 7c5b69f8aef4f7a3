// The panel command builder: one system command message ("324 2 1": code, panel slot,
// arguments) becomes the panel interface library calls of its code, or, while the panel's
// link is not up, a row of cBuffer that is sent when the link comes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "commands/command_text.h"
#include "core/driver.h"

namespace ordane {

// The pause after each command to a panel, before that panel's next command.
inline constexpr std::chrono::milliseconds kCommandPause{500};
enum class SendOutcome {
  kSent,       // handed to the library (also a code that calls nothing)
  kParked,     // stored in cBuffer, the link being down
  kNotLinked,  // the link is down and parking was not asked for
  kRefused,    // a message that names no panel; reported
  kFailed,     // a library call or the parking insert failed; reported
};

// Carries out one command message. While the slot's link is not up the message is parked in
// cBuffer (unless `park` is false: the replay of parked messages keeps them where they are).
// The next command to the same panel waits until kCommandPause after this one; the wait
// yields to the message loop, and commands to other panels do not wait for it.
SendOutcome Send_PanelCmd(Driver& d, const std::string& message, bool park = true);

}  // namespace ordane
