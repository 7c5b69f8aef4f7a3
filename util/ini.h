// INI files with the semantics of the Windows private-profile calls, which the settings, the
// status files, the event descriptions and the actions all rely on:
//  - sections and keys are matched without regard to case, the first match wins;
//  - values are trimmed of blanks, and a value in matching quotes loses them;
//  - a read returns at most 511 characters;
//  - a write creates the file and the section when missing, replaces the key's line in place
//    (or adds it at the end of its section) and keeps every other line as it was;
//  - a value is a C string: a NUL ends it; line breaks in it become blanks;
//  - malformed lines are skipped, never fatal.
// Files are replaced atomically (written beside the target and renamed), so a reader never
// sees half a file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ordane {

inline constexpr std::size_t kIniReadLimit = 511;

// An INI file held in memory line by line, for several reads or writes with one file access.
class IniDocument {
 public:
  IniDocument() = default;
  // Reads `path`; a missing or unreadable file gives an empty document.
  static IniDocument Load(const std::filesystem::path& path);
  static IniDocument Parse(std::string_view text);

  // The value of key in section, or nullopt when the section or key is absent.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // Sets key = value (see the rules above).
  void Set(std::string_view section, std::string_view key, std::string_view value);
  // The names of the keys of a section, in file order (first occurrence of each).
  std::vector<std::string> Keys(std::string_view section) const;

  std::string Text() const;
  // Writes the document to `path` atomically; false (with errno set) on failure.
  bool Save(const std::filesystem::path& path) const;

 private:
  // Index of the first line of `section`'s header, or npos.
  std::size_t FindSection(std::string_view section) const;

  std::vector<std::string> lines_;  // without their line ends ("\r" kept off as well)
  bool crlf_ = false;               // the file used CR LF line ends
};

// GetPrivateProfileString: the value, or `fallback` when absent; at most 511 characters.
std::string ReadProfileString(const std::filesystem::path& path, std::string_view section,
                              std::string_view key, std::string_view fallback = {});
// WritePrivateProfileString: false when the file cannot be written.
bool WriteProfileString(const std::filesystem::path& path, std::string_view section,
                        std::string_view key, std::string_view value);

// Writes `content` to `path` so that no reader ever sees it half-written: a temporary file in
// the same folder, renamed into place. Overwrites an existing file.
bool WriteFileAtomic(const std::filesystem::path& path, std::string_view content);

}  // namespace ordane
