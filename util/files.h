// Handing files to other programs: a file appears in its folder complete, and never replaces a
// file that its reader has not taken yet.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ordane {

// Creates a new file in `folder` named by `next_name()`, holding `content`. The content is
// written under a temporary name and then linked into place, so a reader never sees it half
// written; a name that is taken draws the next name (at most `attempts` times). Returns the
// path, or nullopt (errno set) when the file could not be placed.
std::optional<std::filesystem::path> PlaceNewFile(const std::filesystem::path& folder,
                                                  const std::function<std::string()>& next_name,
                                                  std::string_view content, int attempts = 100);

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

}  // namespace ordane
