// Conversions between the hexadecimal, bit and decimal texts that panels and system tables use
// for bit maps (holidays, schedule days, routing sites, area levels). They work digit by digit,
// never throw, and signal bad input by a fixed result.
#pragma once

#include <string>

namespace ordane {

// Hexadecimal text to bit text, 4 bits a digit, most significant first. Trims and upper-cases
// `text` in place; returns "" when a character is not a hexadecimal digit.
std::string HexToBits(std::string& text);

// Bit text to hexadecimal text, padded on the right with "0" to whole digits. "" for a text
// that holds anything but "0" and "1"; "0" for an empty text.
std::string BitsToHex(const std::string& text);

// Hexadecimal text to its value. Upper-cases `text` in place (blanks stay); 0 for an empty
// text or one that holds a character that is not a hexadecimal digit.
double HexToNumber(std::string& text);

// Decimal text to bit text without leading zeros ("0" for 0 and for an empty text); "" when
// the text holds "." or ",". `text` is not changed.
std::string DecimalToBits(const std::string& text);

}  // namespace ordane
