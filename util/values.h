// Readings of numbers from texts, as the settings, database fields and panel texts need them.
#pragma once

#include <cstdint>
#include <string_view>

namespace ordane {

// The decimal number formed by the leading digits of `s`, blanks skipped anywhere among them
// ("  1 2x" reads 12), 0 when there are none. A leading minus sign is honoured. Saturates
// instead of overflowing.
std::int64_t NumericValue(std::string_view s);

// The numeric value of "0" followed by `s`: an empty, missing or signed text reads as 0, and a
// field such as "0A" reads as 0. This is how most settings and fields are read.
std::int64_t ValueOf0(std::string_view s);
inline std::int64_t decval(std::string_view s) { return ValueOf0(s); }

// `s` read as hexadecimal: blanks skipped, reading stops at the first character that is not a
// hexadecimal digit, an empty text reads 0. hexval gives the 16-bit signed reading (FFFF is
// -1); a text of more than four digits keeps its 32-bit reading. hexval32 is the 32-bit signed
// reading (FFFFFFFF is -1); digits beyond 32 bits are an overflow error.
std::int32_t hexval(std::string_view s);
std::int32_t hexval32(std::string_view s);

// Narrowing for 16-bit fields: throws Error(kErrOverflow) when `v` does not fit.
std::int16_t ToInt16(std::int64_t v);

}  // namespace ordane
