#include "events/event_file_reader.h"

#include <sys/stat.h>

#include <cstdio>

#include "util/error.h"
#include "util/text.h"

namespace ordane {

std::vector<std::string> ReadEventFileItems(const std::string& content, std::size_t max_items) {
  std::vector<std::string> items;
  std::size_t i = 0;
  const std::size_t n = content.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < n) {
    while (i < n && blank(content[i])) ++i;
    if (i >= n) break;
    std::string item;
    if (content[i] == '"') {
      // A quoted item runs to its closing quote; a doubled quote stands for one.
      ++i;
      while (i < n) {
        if (content[i] == '"') {
          if (i + 1 < n && content[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += content[i++];
      }
      while (i < n && content[i] != ',' && content[i] != '\n') ++i;  // rest up to the delimiter
    } else {
      while (i < n && content[i] != ',' && content[i] != '\n' && content[i] != '\r')
        item += content[i++];
      while (!item.empty() && blank(item.back())) item.pop_back();
    }
    if (i < n && content[i] == '\r') ++i;
    if (i < n && (content[i] == ',' || content[i] == '\n')) ++i;
    if (items.size() == max_items)
      throw Error(kErrSubscript,
                  "event file holds more than " + std::to_string(max_items) + " items");
    items.push_back(std::move(item));
  }
  return items;
}

std::string EventFileIdentity(const std::string& name, std::int64_t modified_ns,
                              const std::string& content) {
  // FNV-1a: the name, the time and the length already tell files apart; the digest only
  // guards against a file rewritten within the same nanosecond with other text.
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : content) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(h));
  return "file " + std::to_string(modified_ns) + " " + std::to_string(content.size()) + " " +
         digest + " " + OneLine(name);
}

std::int64_t ModifiedNs(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace ordane
