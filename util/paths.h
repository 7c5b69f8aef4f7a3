// Paths below the system's shared folder tree. The routines build them with "\" and do not
// agree on letter case ("\Events\" and "\events\" are one folder), so every component is looked
// up without regard to case against what exists; a component that does not exist keeps the
// spelling given, which is the spelling a created folder gets.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace ordane {

// `root` joined with `relative` ("\" or "/" separated; leading separators ignored), each
// component matched to an existing entry without regard to case (an exact match first).
std::filesystem::path ResolvePath(const std::filesystem::path& root, std::string_view relative);

// Resolves like ResolvePath and creates the missing folders; false when one cannot be created.
bool EnsureFolder(const std::filesystem::path& root, std::string_view relative,
                  std::filesystem::path* resolved = nullptr);

// True when `name` matches `pattern` ("*" any run, "?" one character), without regard to case.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The regular files of `folder` whose names match `pattern`, sorted by name. An absent folder
// gives none.
std::vector<std::filesystem::path> ListMatching(const std::filesystem::path& folder,
                                                std::string_view pattern);

}  // namespace ordane
