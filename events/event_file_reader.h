// Reading the event files that other programs drop into the driver's "\Events" folder: six
// items, the arguments of the event logger in order, and the identity under which the event
// service stores the event once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ordane {

inline constexpr std::size_t kEventFileItems = 6;

// The items of an event file, read like sequential input: comma- or line-separated, a quoted
// item may hold commas and line ends (a doubled quote stands for one), blanks around unquoted
// items removed. More than `max_items` items is Error(kErrSubscript).
std::vector<std::string> ReadEventFileItems(const std::string& content, std::size_t max_items);

// The identity of the event an event file holds: its name, its modification time and its
// content (by length and digest). The same file read again (after the driver was stopped
// between storing it and deleting it) gives the same identity; a new file that happens to
// reuse an old name and text gives another, since it was written at another time. One line:
// control characters of the name are written as "%" and two hexadecimal digits.
std::string EventFileIdentity(const std::string& name, std::int64_t modified_ns,
                              const std::string& content);

// The file's modification time in nanoseconds since the epoch; 0 when it cannot be read.
std::int64_t ModifiedNs(const std::filesystem::path& file);

}  // namespace ordane
