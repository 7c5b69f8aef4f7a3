#include "util/ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>

#include "util/text.h"

namespace ordane {

namespace {

// Splits "name = value" into trimmed key and value; false for a line without "=" or with an
// empty key.
bool SplitKeyLine(std::string_view line, std::string& key, std::string& value) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  if (key.empty()) return false;
  value = Trim(line.substr(eq + 1));
  return true;
}

// "[name]" (blanks around allowed) gives name; anything else is not a header.
bool SectionName(std::string_view line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(std::string_view(t).substr(1, close - 1));
  return true;
}

bool IsComment(std::string_view line) {
  std::string t = Trim(line);
  return !t.empty() && (t[0] == ';' || t[0] == '#');
}

std::string CleanValue(std::string_view value) {
  std::string v(CString(value));
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t nl = text.find('\n', i);
    std::string_view line = text.substr(i, nl == std::string_view::npos ? nl : nl - i);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
      doc.crlf_ = true;
    }
    doc.lines_.emplace_back(line);
    if (nl == std::string_view::npos) break;
    i = nl + 1;
  }
  return doc;
}

IniDocument IniDocument::Load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return Parse(ss.str());
}

std::size_t IniDocument::FindSection(std::string_view section) const {
  std::string name;
  for (std::size_t i = 0; i < lines_.size(); ++i)
    if (SectionName(lines_[i], name) && EqualsNoCase(name, section)) return i;
  return std::string::npos;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  std::size_t s = FindSection(section);
  if (s == std::string::npos) return std::nullopt;
  std::string name, k, v;
  for (std::size_t i = s + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i], name)) break;
    if (IsComment(lines_[i]) || !SplitKeyLine(lines_[i], k, v)) continue;
    if (!EqualsNoCase(k, key)) continue;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return std::string(CString(v));
  }
  return std::nullopt;
}

std::vector<std::string> IniDocument::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  std::size_t s = FindSection(section);
  if (s == std::string::npos) return keys;
  std::string name, k, v;
  for (std::size_t i = s + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i], name)) break;
    if (IsComment(lines_[i]) || !SplitKeyLine(lines_[i], k, v)) continue;
    bool seen = false;
    for (const auto& e : keys) seen = seen || EqualsNoCase(e, k);
    if (!seen) keys.push_back(k);
  }
  return keys;
}

void IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  std::string line = std::string(key) + "=" + CleanValue(value);
  std::size_t s = FindSection(section);
  if (s == std::string::npos) {
    // A new section goes at the end, after the last non-empty line.
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
    lines_.push_back("[" + std::string(section) + "]");
    lines_.push_back(line);
    return;
  }
  std::string name, k, v;
  std::size_t last = s;  // last non-empty line of the section
  for (std::size_t i = s + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i], name)) break;
    if (!Trim(lines_[i]).empty()) last = i;
    if (IsComment(lines_[i]) || !SplitKeyLine(lines_[i], k, v)) continue;
    if (EqualsNoCase(k, key)) {
      lines_[i] = line;
      return;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1), line);
}

std::string IniDocument::Text() const {
  std::string out;
  const char* eol = crlf_ ? "\r\n" : "\n";
  for (const auto& l : lines_) out.append(l).append(eol);
  return out;
}

bool IniDocument::Save(const std::filesystem::path& path) const {
  return WriteFileAtomic(path, Text());
}

bool WriteFileAtomic(const std::filesystem::path& path, std::string_view content) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::filesystem::path tmp =
      dir / ("." + path.filename().string() + "." + std::to_string(rng() % 1000000000) + ".tmp");
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      errno = saved;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return false;
  }
  return true;
}

std::string ReadProfileString(const std::filesystem::path& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
  auto v = IniDocument::Load(path).Get(section, key);
  std::string r = v ? *v : std::string(fallback);
  if (r.size() > kIniReadLimit) r.resize(kIniReadLimit);
  return r;
}

bool WriteProfileString(const std::filesystem::path& path, std::string_view section,
                        std::string_view key, std::string_view value) {
  IniDocument doc = IniDocument::Load(path);
  doc.Set(section, key, value);
  return doc.Save(path);
}

}  // namespace ordane
