#include "util/conversions.h"

#include <gtest/gtest.h>

#include "util/error.h"
#include "util/values.h"

namespace ordane {
namespace {

TEST(Conversions, HexToBitsTrimsAndUppercasesTheCallersText) {
  struct Case { std::string in, bits, after; } cases[] = {
      {" a5 ", "10100101", "A5"}, {"1G", "", "1G"},  {"", "", ""},
      {"0f", "00001111", "0F"},   {"\tA", "", "\tA"}, {"FFFF", "1111111111111111", "FFFF"},
  };
  for (auto& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(HexToBits(text), c.bits) << "[" << c.in << "]";
    EXPECT_EQ(text, c.after) << "[" << c.in << "]";
  }
}

TEST(Conversions, BitsToHexPadsOnTheRight) {
  struct Case { std::string in, hex; } cases[] = {
      {"1", "8"},   {"101", "A"},    {"00010010", "12"}, {"", "0"},
      {"1 0", ""},  {"12", ""},      {"11111", "F8"},    {"0000", "0"},
  };
  for (auto& c : cases) EXPECT_EQ(BitsToHex(c.in), c.hex) << "[" << c.in << "]";
}

TEST(Conversions, HexToNumberUppercasesButKeepsBlanks) {
  struct Case { std::string in; double value; std::string after; } cases[] = {
      {"ff", 255, "FF"}, {"FFFF", 65535, "FFFF"}, {"F F", 0, "F F"}, {"", 0, ""},
      {"FFFFFFFFFF", 1099511627775.0, "FFFFFFFFFF"}, {"x1", 0, "X1"},
  };
  for (auto& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(HexToNumber(text), c.value) << "[" << c.in << "]";
    EXPECT_EQ(text, c.after);
  }
}

TEST(Conversions, DecimalToBitsHasNoLeadingZeros) {
  struct Case { std::string in, bits; } cases[] = {
      {"5", "101"}, {"4", "100"}, {"0", "0"}, {"", "0"}, {"12.5", ""}, {"1,5", ""},
      {"1", "1"},   {"255", "11111111"}, {"4294967296", "100000000000000000000000000000000"},
      // Card numbers wider than a machine number keep every bit.
      {"18446744073709551615", std::string(64, '1')},
      {"18446744073709551616", "1" + std::string(64, '0')},
      {"12345678901234567890", "1010101101010100101010011000110011101011000111110000101011010010"},
      {"9007199254740993", "1" + std::string(52, '0') + "1"},
      // The numeric reading of the text: blanks skipped, digits up to the first other character.
      {" 1 2x", "1100"}, {"abc", "0"}, {"007", "111"},
      // A negative value is below 1 after one halving.
      {"-5", "1"}, {"-4", "0"},
  };
  for (auto& c : cases) EXPECT_EQ(DecimalToBits(c.in), c.bits) << "[" << c.in << "]";
}

TEST(Values, NumericReadingsOfTexts) {
  struct Case { const char* in; std::int64_t value, of0; } cases[] = {
      {"12", 12, 12},     {" 1 2x", 12, 12}, {"", 0, 0},     {"abc", 0, 0},
      {"0A", 0, 0},       {"-5", -5, 0},     {"007", 7, 7},  {"3.9", 3, 3},
      {"99999999999999999999999", INT64_MAX, INT64_MAX},
  };
  for (auto& c : cases) {
    EXPECT_EQ(NumericValue(c.in), c.value) << "[" << c.in << "]";
    EXPECT_EQ(ValueOf0(c.in), c.of0) << "[" << c.in << "]";
  }
}

TEST(Values, HexReadingsAre16And32BitSigned) {
  struct Case { const char* in; std::int32_t v16, v32; } cases[] = {
      {"", 0, 0},           {"F9", 249, 249},       {"FFFF", -1, 65535},
      {"8000", -32768, 32768}, {" 1 0", 16, 16},    {"12G4", 0x12, 0x12},
      {"10000", 65536, 65536}, {"FFFFFFFF", -1, -1}, {"0000FFFF", -1, 65535},
  };
  for (auto& c : cases) {
    EXPECT_EQ(hexval(c.in), c.v16) << "[" << c.in << "]";
    EXPECT_EQ(hexval32(c.in), c.v32) << "[" << c.in << "]";
  }
  EXPECT_THROW(hexval32("123456789"), Error);
}

TEST(Values, SixteenBitFieldsRejectWhatDoesNotFit) {
  EXPECT_EQ(ToInt16(32767), 32767);
  EXPECT_EQ(ToInt16(-32768), -32768);
  try {
    ToInt16(32768);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrOverflow);
  }
}

}  // namespace
}  // namespace ordane
