// The texts of commands, read without any driver state: command messages ("324 2 1": code,
// panel slot, arguments), the fields of a command file, the keyword of a command and the
// panel clock text. Everything here is fed text from other programs and people.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace ordane {

inline constexpr int kCommandSlots = 32;

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

// The commands of a command file: fields separated by commas and line ends, leading blanks
// skipped, trailing blanks of an unquoted field dropped; a field that begins with a double
// quote runs to the next double quote (or the end of the file) and may hold commas and line
// ends; what follows the closing quote up to the next separator is dropped.
std::vector<std::string> ReadCommandFields(std::string_view content);

// The keyword of a command: the first three characters of its first blank-separated word,
// lower-cased ("dnl", "fin", "ini", "pol", "rgn", "dbg", or anything else).
std::string CommandKind(std::string_view command);

// A text as it may be shown in an error line: cut to 80 characters, control bytes made visible.
std::string Shown(std::string_view text);

}  // namespace ordane
