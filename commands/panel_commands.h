// The panel command builder: one system command message ("324 2 1": code, panel slot,
// arguments) becomes the panel interface library calls of its code, or, while the panel's
// link is not up, a row of cBuffer that is sent when the link comes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/driver.h"

namespace ordane {

// The pause after each command to a panel, before that panel's next command.
inline constexpr std::chrono::milliseconds kCommandPause{500};
// Longer messages are refused: no panel command comes near it, and it is the width of the
// command columns.
inline constexpr std::size_t kMaxCommandMessage = 4000;

// A command message taken apart. A message that names no panel slot (a slot word that is
// missing, not a number or outside 0 to 31) or that is too long is refused: `error` says why,
// and nothing is sent or parked. Other faults (a code that does not fit 16 bits) are reported
// in `error` too but leave the message usable with code 0.
struct CommandMessage {
  std::int16_t code = 0;
  std::int16_t slot = 0;
  std::string arguments;
  bool refused = false;
  std::int64_t error_number = 0;
  std::string error;
};
// `message` is read as a C string: a NUL ends it.
CommandMessage ParseCommandMessage(std::string_view message);

// "mmddyyhhnnAMPM": the panel clock text of `t` (12-hour clock).
std::string PanelClockText(const LocalTime& t);

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
