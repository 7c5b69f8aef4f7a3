#include "util/paths.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

std::vector<std::string> Components(std::string_view relative) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : relative) {
    if (c == '\\' || c == '/') {
      if (!cur.empty()) parts.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(std::move(cur));
  return parts;
}

}  // namespace

fs::path ResolvePath(const fs::path& root, std::string_view relative) {
  fs::path p = root;
  bool exists = true;  // while the path so far exists, look the next component up
  for (const std::string& part : Components(relative)) {
    if (part == ".") continue;
    if (exists && part != "..") {
      std::error_code ec;
      if (fs::exists(p / part, ec)) {
        p /= part;
        continue;
      }
      std::vector<std::string> matches;
      for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (EqualsNoCase(name, part)) matches.push_back(name);
      }
      if (!matches.empty()) {
        std::sort(matches.begin(), matches.end());
        p /= matches.front();
        continue;
      }
      exists = false;
    }
    p /= part;
  }
  return p;
}

bool EnsureFolder(const fs::path& root, std::string_view relative, fs::path* resolved) {
  fs::path p = ResolvePath(root, relative);
  if (resolved) *resolved = p;
  std::error_code ec;
  fs::create_directories(p, ec);
  return fs::is_directory(p, ec);
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one back-tracking point for the last "*".
  std::size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<fs::path> ListMatching(const fs::path& folder, std::string_view pattern) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ec2;
    if (!it->is_regular_file(ec2)) continue;
    std::string name = it->path().filename().string();
    if (!name.empty() && name[0] == '.') continue;  // temporaries of atomic writes
    if (WildcardMatch(pattern, name)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace ordane
