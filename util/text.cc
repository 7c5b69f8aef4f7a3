#include "util/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ordane {

std::string LTrim(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return std::string(s.substr(b));
}

std::string RTrim(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string UCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

std::string LCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::size_t InStr(std::string_view hay, std::string_view needle, std::size_t start) {
  if (start < 1 || start > hay.size() + 1) return 0;
  std::size_t pos = hay.find(needle, start - 1);
  return pos == std::string_view::npos ? 0 : pos + 1;
}

std::string Left(std::string_view s, std::size_t n) { return std::string(s.substr(0, n)); }

std::string Right(std::string_view s, std::size_t n) {
  return n >= s.size() ? std::string(s) : std::string(s.substr(s.size() - n));
}

std::string Mid(std::string_view s, std::size_t start, std::size_t len) {
  if (start < 1 || start > s.size()) return {};
  return std::string(s.substr(start - 1, len));
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string r;
  std::size_t i = 0;
  while (true) {
    std::size_t p = s.find(from, i);
    if (p == std::string_view::npos || from.empty()) break;
    r.append(s.substr(i, p - i)).append(to);
    i = p + from.size();
  }
  r.append(s.substr(i));
  return r;
}

std::string_view CString(std::string_view s) {
  std::size_t p = s.find('\0');
  return p == std::string_view::npos ? s : s.substr(0, p);
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string SqlQuote(std::string_view s) { return ReplaceAll(s, "'", "''"); }

std::string PadCut(std::string_view s, std::size_t width) {
  std::string r(s.substr(0, width));
  r.resize(width, ' ');
  return r;
}

std::string OneLine(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string ZeroPad(long long value, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", width, value);
  return buf;
}

}  // namespace ordane
