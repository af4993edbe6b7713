// Byte-string helpers: formatting, trims, ASCII case, integer parsing at its limits, and the
// 1-based Pos/Copy pair that every parser above builds on.
#include "runtime/StrUtils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

TEST(Format, DirectivesTheMessagesUse) {
  EXPECT_EQ(Format("Socket Error # %d", 10061), "Socket Error # 10061");
  EXPECT_EQ(Format("%s=%u %x %X %c %%", "k", 4000000000u, 255, 255, 'z'), "k=4000000000 ff FF z %");
  EXPECT_EQ(Format("[%5d|%-3s|%03d]", 42, "a", 7), "[   42|a  |007]");
  EXPECT_EQ(Format("%lld %zu", -9000000000LL, size_t{3}), "-9000000000 3");
  EXPECT_EQ(Format("%s", ""), "");
  std::string big(5000, 'x');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
}

TEST(Trim, DropsBytesUpTo0x20OnlyAtTheEnds) {
  const std::string blanks("\0\t\r\n \x1F\x20", 7);
  EXPECT_EQ(Trim(blanks + "a b" + blanks), "a b");
  EXPECT_EQ(TrimLeft(blanks + "a "), "a ");
  EXPECT_EQ(TrimRight(" a" + blanks), " a");
  EXPECT_EQ(Trim(blanks), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\x21!\x21"), "\x21!\x21");
  EXPECT_EQ(Trim("\xA1\xA1x\xA1\xA1"), "\xA1\xA1x\xA1\xA1");  // GBK blanks are not bytes <= 0x20
}

TEST(CaseHelpers, AsciiLettersOnly) {
  EXPECT_EQ(UpperCase("abz@[`{AZ09\xE4\xFF"), "ABZ@[`{AZ09\xE4\xFF");
  EXPECT_EQ(LowerCase("ABZ@[`{az\xC4"), "abz@[`{az\xC4");
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("abcd", "ABC"), 0);
  EXPECT_LT(CompareText("", "a"), 0);
  EXPECT_LT(CompareText("a", "\xB0"), 0);  // bytes above 0x7F compare unsigned
  EXPECT_TRUE(SameText("Content-Length", "content-length"));
  EXPECT_FALSE(SameText("a", "a "));
  EXPECT_TRUE(StartsText("HTTP/", "http/1.1"));
  EXPECT_FALSE(StartsText("http/1.1x", "http/1.1"));
  EXPECT_TRUE(EndsText(".COM", "a.com"));
  EXPECT_FALSE(EndsText("xa.com", "a.com"));
}

TEST(TryStrToInt, AcceptsWhatTheRuntimeAccepts) {
  int32_t v = 0;
  EXPECT_TRUE(TryStrToInt("  -17", v));
  EXPECT_EQ(v, -17);
  EXPECT_TRUE(TryStrToInt("+8", v));
  EXPECT_EQ(v, 8);
  EXPECT_TRUE(TryStrToInt("$1F", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(TryStrToInt("0xff", v));
  EXPECT_EQ(v, 255);
  EXPECT_TRUE(TryStrToInt("-0x10", v));
  EXPECT_EQ(v, -16);
  EXPECT_TRUE(TryStrToInt("007", v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(TryStrToInt("2147483647", v));
  EXPECT_EQ(v, std::numeric_limits<int32_t>::max());
  EXPECT_TRUE(TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, std::numeric_limits<int32_t>::min());
}

TEST(TryStrToInt, FailsOnJunkAndOverflowLeavingTheValueAlone) {
  for (const char* bad : {"", " ", "-", "+", "$", "0x", "12 ", "1a", "a1", "1.0", "--1",
                          "2147483648", "-2147483649", "99999999999999999999", "0x1G"}) {
    int32_t v = 123;
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 123) << bad;
  }
  int64_t w = 0;
  EXPECT_TRUE(TryStrToInt64("9223372036854775807", w));
  EXPECT_EQ(w, std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(TryStrToInt64("-9223372036854775808", w));
  EXPECT_EQ(w, std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", w));
  EXPECT_FALSE(TryStrToInt64("0x10000000000000000", w));
  EXPECT_EQ(StrToIntDef("x", -1), -1);
  EXPECT_EQ(StrToIntDef("42", -1), 42);
  EXPECT_EQ(StrToInt64Def("", 5), 5);
}

TEST(IntText, DecimalAndPaddedHex) {
  EXPECT_EQ(IntToStr(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToHex(0, 0), "0");
  EXPECT_EQ(IntToHex(0xAB, 4), "00AB");
  EXPECT_EQ(IntToHex(0x12345, 2), "12345");  // never truncated
  EXPECT_EQ(IntToHex(UINT64_MAX, 1), "FFFFFFFFFFFFFFFF");
}

TEST(PosAndCopy, OneBasedAndClipped) {
  EXPECT_EQ(Pos("b", "abcb"), 2u);
  EXPECT_EQ(Pos("b", "abcb", 3), 4u);
  EXPECT_EQ(Pos("b", "abcb", 5), 0u);
  EXPECT_EQ(Pos("b", "abcb", 0), 0u);
  EXPECT_EQ(Pos("", "abc"), 0u);
  EXPECT_EQ(Pos("a", ""), 0u);
  EXPECT_EQ(Pos("abcd", "abc"), 0u);
  EXPECT_EQ(Pos(std::string_view("\0b", 2), std::string_view("a\0b", 3)), 2u);
  EXPECT_EQ(Copy("hello", 2, 3), "ell");
  EXPECT_EQ(Copy("hello", 0, 2), "he");
  EXPECT_EQ(Copy("hello", -5, 2), "he");
  EXPECT_EQ(Copy("hello", 4, 100), "lo");
  EXPECT_EQ(Copy("hello", 6, 1), "");
  EXPECT_EQ(Copy("hello", 2, 0), "");
  EXPECT_EQ(Copy("hello", 2, -1), "");
  EXPECT_EQ(Copy("hello", 1, std::numeric_limits<int64_t>::max()), "hello");
  EXPECT_EQ(Copy("hello", std::numeric_limits<int64_t>::max(), 1), "");
}
