#include "util/conversions.h"

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
  // The value is the text's numeric reading (blanks skipped, a sign, then the leading digits),
  // kept as its decimal digits: a card number of 20 digits and more is wider than any machine
  // number, and halving the digit text keeps every one of its bits.
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string digits;
  for (; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    if (text[i] < '0' || text[i] > '9') break;
    if (digits.empty() && text[i] == '0') continue;
    digits += text[i];
  }
  // A negative value is below 1 after its first halving: one bit, "1" when it was odd.
  if (negative) return !digits.empty() && (digits.back() - '0') % 2 == 1 ? "1" : "0";
  // Halve the digit text until nothing is left; each remainder is the next bit to the left.
  std::string bits;
  do {
    int carry = 0;
    std::string half;
    for (char c : digits) {
      int d = carry * 10 + (c - '0');
      if (!half.empty() || d / 2 != 0) half += static_cast<char>('0' + d / 2);
      carry = d % 2;
    }
    bits.insert(bits.begin(), carry ? '1' : '0');
    digits = std::move(half);
  } while (!digits.empty());
  return bits;
}

}  // namespace ordane
