#include "util/conversions.h"

#include <cmath>

#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr const char* kDigitBits[16] = {"0000", "0001", "0010", "0011", "0100", "0101",
                                        "0110", "0111", "1000", "1001", "1010", "1011",
                                        "1100", "1101", "1110", "1111"};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexToBits(std::string& text) {
  text = UCase(Trim(text));
  std::string bits;
  bits.reserve(text.size() * 4);
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0) return {};
    bits += kDigitBits[d];
  }
  return bits;
}

std::string BitsToHex(const std::string& text) {
  for (char c : text)
    if (c != '0' && c != '1') return {};
  if (text.empty()) return "0";
  std::string bits = text;
  if (bits.size() % 4) bits.append(4 - bits.size() % 4, '0');
  std::string hex;
  for (std::size_t i = 0; i < bits.size(); i += 4) {
    int d = 0;
    for (std::size_t j = 0; j < 4; ++j) d = d * 2 + (bits[i + j] - '0');
    hex += "0123456789ABCDEF"[d];
  }
  return hex;
}

double HexToNumber(std::string& text) {
  text = UCase(text);
  double v = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0) return 0;
    v = v * 16 + d;
  }
  return v;
}

std::string DecimalToBits(const std::string& text) {
  if (text.empty()) return "0";
  if (text.find_first_of(".,") != std::string::npos) return {};
  // The value is taken as the text's numeric reading; a value of zero is the bit text "0".
  double x = static_cast<double>(NumericValue(text));
  if (x < 1) return "0";
  std::string bits;
  while (x >= 1) {
    double half = x / 2;
    if (half != std::floor(half)) {
      bits.insert(bits.begin(), '1');
      x = half - 0.5;
    } else {
      bits.insert(bits.begin(), '0');
      x = half;
    }
  }
  return bits;
}

}  // namespace ordane
