#include "util/text.h"

#include <gtest/gtest.h>

namespace ordane {
namespace {

TEST(Text, PositionsCountFromOne) {
  EXPECT_EQ(InStr("abc-def", "-"), 4u);
  EXPECT_EQ(InStr("abc-def-", "-", 5), 8u);
  EXPECT_EQ(InStr("abc", "x"), 0u);
  EXPECT_EQ(InStr("abc", "c", 4), 0u);
  EXPECT_EQ(InStr("", "a"), 0u);
  EXPECT_EQ(Mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Mid("abcdef", 5), "ef");
  EXPECT_EQ(Mid("abc", 7), "");
  EXPECT_EQ(Left("abc", 5), "abc");
  EXPECT_EQ(Right("abcdef", 3), "def");
  EXPECT_EQ(Right("ab", 3), "ab");
}

TEST(Text, TrimRemovesBlanksOnly) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("\ta\0"), std::string("\ta\0", 2).substr(0, 2));
  EXPECT_EQ(Trim(std::string(" x\0 ", 4)), std::string("x\0", 2));
  EXPECT_EQ(LTrim("  a "), "a ");
  EXPECT_EQ(RTrim("  a "), "  a");
}

TEST(Text, QuotingAndPadding) {
  EXPECT_EQ(SqlQuote("O'Brien's"), "O''Brien''s");
  EXPECT_EQ(SqlQuote("x'; drop table events; --"), "x''; drop table events; --");
  EXPECT_EQ(PadCut("7.06a12", 5), "7.06a");
  EXPECT_EQ(PadCut("", 5), "     ");
  EXPECT_EQ(ZeroPad(7, 3), "007");
  EXPECT_EQ(CString(std::string("ab\0cd", 5)), "ab");
  EXPECT_TRUE(EqualsNoCase("Events", "eVENTS"));
  EXPECT_FALSE(EqualsNoCase("Event", "Events"));
  EXPECT_EQ(OneLine(std::string("a\nb%c\0d\x7f e", 10)), "a%0Ab%25c%00d%7F e");
}

}  // namespace
}  // namespace ordane
