#include "util/values.h"

#include <cctype>
#include <limits>
#include <string>

#include "util/error.h"

namespace ordane {

std::int64_t NumericValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == ' ') continue;
    if (c < '0' || c > '9') break;
    int d = c - '0';
    v = (v > (kMax - d) / 10) ? kMax : v * 10 + d;
  }
  return negative ? -v : v;
}

std::int64_t ValueOf0(std::string_view s) { return NumericValue(std::string("0").append(s)); }

namespace {

// Reads hexadecimal digits (blanks skipped); sets `digits` to the number of digits read.
std::uint64_t ReadHex(std::string_view s, int& digits) {
  std::uint64_t v = 0;
  digits = 0;
  for (char c : s) {
    if (c == ' ') continue;
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else break;
    // Leading zeros do not count towards the width.
    if (digits == 0 && d == 0 && v == 0) continue;
    if (++digits > 16) throw Error(kErrOverflow, "Overflow");
    v = v * 16 + static_cast<unsigned>(d);
  }
  return v;
}

}  // namespace

std::int32_t hexval(std::string_view s) {
  int digits;
  std::uint64_t v = ReadHex(s, digits);
  if (digits <= 4) return static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
  if (digits <= 8) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  throw Error(kErrOverflow, "Overflow");
}

std::int32_t hexval32(std::string_view s) {
  int digits;
  std::uint64_t v = ReadHex(s, digits);
  if (digits > 8) throw Error(kErrOverflow, "Overflow");
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

std::int16_t ToInt16(std::int64_t v) {
  if (v < std::numeric_limits<std::int16_t>::min() || v > std::numeric_limits<std::int16_t>::max())
    throw Error(kErrOverflow, "Overflow");
  return static_cast<std::int16_t>(v);
}

}  // namespace ordane
