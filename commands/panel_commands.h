// The panel command builder: one system command message ("324 2 1": code, panel slot,
// arguments) becomes the panel interface library calls of its code, or, while the panel's
// link is not up, a row of cBuffer that is sent when the link comes back.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
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

// Carries out one command message. While the slot's link is not up, or parked messages of the
// slot still wait to be replayed, the message is parked in cBuffer (unless `park` is false: the
// replay of parked messages keeps them where they are).
// The next command to the same panel waits until kCommandPause after this one; the wait
// yields to the message loop, and commands to other panels do not wait for it.
SendOutcome Send_PanelCmd(Driver& d, const std::string& message, bool park = true);

// Parks a command message in cBuffer for its panel, to be sent when the panel's pause has
// ended (and its link is up), after the messages parked before it.
SendOutcome Park_PanelCmd(Driver& d, const std::string& message);

// Carries out a run of command messages (one pass of a command queue) so that a command for one
// panel never waits behind another panel's pause: a message whose panel is in its pause waits
// in that panel's line, behind the panel's earlier messages, while the messages of other panels
// go on. `done` runs once its message has been carried out (the queue then removes its record).
class PacedCommands {
 public:
  explicit PacedCommands(Driver& d) : d_(d) {}
  PacedCommands(const PacedCommands&) = delete;
  PacedCommands& operator=(const PacedCommands&) = delete;

  void Submit(const std::string& message, std::function<void()> done);
  // Carries out every waiting message, each panel's after its pause, yielding to the message
  // loop meanwhile. Callers flush before a keyword command, so that it follows the commands
  // queued before it.
  void Flush();
  // Parks every waiting message, in order, so that the queue's pass ends without waiting for
  // any panel: the parked messages follow as the pauses end. `done` runs for each one parked.
  // When the buffer cannot take a message, the rest are carried out as Flush does.
  void Park();

 private:
  struct Waiting {
    std::string message;
    std::function<void()> done;
  };
  bool InPause(int slot) const;

  Driver& d_;
  std::array<std::deque<Waiting>, kPanelSlots> waiting_;
};

}  // namespace ordane
