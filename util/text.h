// Text helpers that read like the routines they serve: positions count from 1, "trim" removes
// blanks (spaces) only, and every comparison is exact unless the name says otherwise.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ordane {

// Removes leading and trailing blanks (not tabs, not NULs).
std::string Trim(std::string_view s);
std::string LTrim(std::string_view s);
std::string RTrim(std::string_view s);

std::string UCase(std::string_view s);
std::string LCase(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);

// 1-based position of `needle` in `hay`, searching from 1-based `start`; 0 when absent.
// An empty needle is found at `start` (when start lies within hay or just after it).
std::size_t InStr(std::string_view hay, std::string_view needle, std::size_t start = 1);

// The first / last `n` characters (all of them when the text is shorter).
std::string Left(std::string_view s, std::size_t n);
std::string Right(std::string_view s, std::size_t n);
// `len` characters from 1-based `start` (to the end when len is npos); empty past the end.
std::string Mid(std::string_view s, std::size_t start, std::size_t len = std::string_view::npos);

// Every occurrence of `from` replaced by `to` (from must not be empty).
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// The text up to its first NUL character: what a C-string consumer of `s` sees.
std::string_view CString(std::string_view s);

// True when `s` is one or more of the digits 0 to 9 and nothing else.
bool AllDigits(std::string_view s);
// A text made safe to stand between single quotes in SQL: each ' becomes ''.
std::string SqlQuote(std::string_view s);

// `s` as one printable line: each control character (below 0x20, and 0x7F) and each "%" is
// written as "%" and two hexadecimal digits, so that no two texts look the same.
std::string OneLine(std::string_view s);

// Right-pads with blanks and cuts to exactly `width` characters.
std::string PadCut(std::string_view s, std::size_t width);

// `value` written in decimal with at least `width` digits, leading zeros added.
std::string ZeroPad(long long value, int width);

}  // namespace ordane
