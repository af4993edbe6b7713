// Code page 936 services: literals, both directions of the Qt boundary conversion over every
// GBK character, malformed input, the lead/trail byte walk and locale case mapping.
#include "runtime/CodePage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {
std::string U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }
}  // namespace

TEST(Gbk, LiteralsBecomeTheirGbkBytes) {
  EXPECT_EQ(Gbk(u8"查询"), "\xB2\xE9\xD1\xAF");
  EXPECT_EQ(Gbk(u8"网页无法访问").size(), 12u);
  EXPECT_EQ(Gbk(u8"a约b"),
            "a\xD4\xBC"
            "b");
  EXPECT_EQ(Gbk(u8"😀"), "?");  // outside UCS-2
  EXPECT_EQ(Gbk(u8""), "");
}

TEST(GbkUtf8, EveryGbkCharacterRoundTrips) {
  int mapped = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      std::string gbk{static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8 = GbkToUtf8(gbk);
      if (utf8.find('?') != std::string::npos) continue;  // an unassigned code
      ++mapped;
      ASSERT_EQ(Utf8ToGbk(utf8), gbk) << std::hex << lead << " " << trail;
    }
  }
  EXPECT_GT(mapped, 21000);  // GBK assigns about 21886 double-byte codes
}

// The built-in table is glibc's CP936 as tools/gen_gbk_table.py read it: every character is
// written as iconv writes it (a double-byte code), or as "?".
TEST(GbkUtf8, TheTableWritesEveryCharacterAsIconvDoes) {
  const iconv_t cd = iconv_open("CP936", "UCS-2LE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (unsigned c = 0x80; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    char out[8];
    char* ip = in;
    char* op = out;
    size_t in_left = sizeof in, out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool converted = iconv(cd, &ip, &in_left, &op, &out_left) != static_cast<size_t>(-1);
    const std::string written(out, sizeof out - out_left);
    const bool double_byte = converted && written.size() == 2 && IsLeadByte(written[0]);
    ASSERT_EQ(Ucs2ToGbk(static_cast<char16_t>(c)), double_byte ? written : "?") << std::hex << c;
  }
  iconv_close(cd);
}

TEST(GbkUtf8, MalformedAndUnmappableInputBecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToGbk("a\x80"
                      "b"),
            "a?b");
  EXPECT_EQ(Utf8ToGbk("\xC0\xAF"), "??");     // overlong
  EXPECT_EQ(Utf8ToGbk("\xED\xA0\x80"), "?");  // surrogate
  EXPECT_EQ(Utf8ToGbk("\xE4\xB8"), "?");      // cut short at the end
  EXPECT_EQ(Utf8ToGbk("\xE4\xB8"
                      "a"),
            "?a");                                // cut short by ASCII
  EXPECT_EQ(Utf8ToGbk("\xF4\x90\x80\x80"), "?");  // above U+10FFFF
  EXPECT_EQ(Utf8ToGbk(U8(u8"\u0E01")), "?");      // Thai: not in GBK
  EXPECT_EQ(Utf8ToGbk(std::string("\0", 1)), std::string("\0", 1));
  EXPECT_EQ(GbkToUtf8("\x80"), "?");
  EXPECT_EQ(GbkToUtf8("\xB2"), "?");  // lone lead byte at the end
  EXPECT_EQ(GbkToUtf8("\xFF"
                      "a"),
            "?a");
  EXPECT_EQ(GbkToUtf8("\xB2\xE9"
                      "x"),
            U8(u8"查x"));
}

TEST(Ucs2ToGbk, DefaultCharacterForWhatGbkLacks) {
  EXPECT_EQ(Ucs2ToGbk(u'中'), "\xD6\xD0");
  EXPECT_EQ(Ucs2ToGbk(u'A'), "A");
  EXPECT_EQ(Ucs2ToGbk(0x0E01), "?");
  EXPECT_EQ(Ucs2ToGbk(0xD800), "?");
  std::string out = "x";
  EXPECT_FALSE(AppendUcs2AsGbk(0x0E01, out));
  EXPECT_TRUE(AppendUcs2AsGbk(u'国', out));
  EXPECT_EQ(out, "x?\xB9\xFA");
}

TEST(ByteType, WalksCharactersFromTheStart) {
  const std::string s = "a\xB0\x41\xB0\xB0\xB0";  // a, B041, B0B0, lone B0
  EXPECT_EQ(ByteType(s, 0), mbSingleByte);
  EXPECT_EQ(ByteType(s, 1), mbLeadByte);
  EXPECT_EQ(ByteType(s, 2), mbTrailByte);
  EXPECT_EQ(ByteType(s, 3), mbLeadByte);
  EXPECT_EQ(ByteType(s, 4), mbTrailByte);  // 0xB0 as a trail byte
  EXPECT_EQ(ByteType(s, 5), mbLeadByte);   // a lead byte with nothing after it
  EXPECT_EQ(ByteType(s, 6), mbSingleByte);
  EXPECT_EQ(ByteType("", 0), mbSingleByte);
  EXPECT_FALSE(IsLeadByte(0x80));
  EXPECT_TRUE(IsLeadByte(0x81));
  EXPECT_TRUE(IsLeadByte(0xFE));
  EXPECT_FALSE(IsLeadByte(0xFF));
}

TEST(AnsiCase, SingleByteLettersOnlyNeverTrailBytes) {
  // 0xB0 0x61 and 0xB0 0x41 are different characters whose trail bytes look like a and A.
  EXPECT_EQ(AnsiUpperCase("ab\xB0\x61z"), "AB\xB0\x61Z");
  EXPECT_EQ(AnsiLowerCase("AB\xB0\x41Z"), "ab\xB0\x41z");
  EXPECT_EQ(AnsiUpperCase("\xB0"), "\xB0");  // lone lead byte at the end
  EXPECT_FALSE(AnsiSameText("\xB0\x61", "\xB0\x41"));
  EXPECT_TRUE(AnsiSameText("X\xB0\x61y", "x\xB0\x61Y"));
  EXPECT_NE(AnsiCompareText("\xB0\x61", "\xB0\x41"), 0);
  EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
  EXPECT_GT(AnsiCompareText("abc", "AB"), 0);
  EXPECT_EQ(AnsiCompareText("", ""), 0);
}

TEST(AnsiCase, WordAtATimeFoldingAgreesWithACharacterWalk) {
  // Every byte value at every offset of an eight-byte word, between ASCII runs and GBK pairs.
  std::string text;
  for (int b = 0; b < 256; ++b) {
    text += std::string(b % 11, 'q') + static_cast<char>(b) + "Zz@[`{";
    if (b % 3 == 0) text += "\xB0\x61\xB0\x7A";
  }
  for (size_t shift = 0; shift < 8; ++shift) {
    const std::string s = text.substr(shift);
    std::string upper = s, lower = s;
    for (size_t i = 0; i < s.size(); ++i) {
      if (ByteType(s, i) == mbTrailByte) continue;
      if (s[i] >= 'a' && s[i] <= 'z') upper[i] = static_cast<char>(s[i] - 32);
      if (s[i] >= 'A' && s[i] <= 'Z') lower[i] = static_cast<char>(s[i] + 32);
    }
    ASSERT_EQ(AnsiUpperCase(s), upper) << shift;
    ASSERT_EQ(AnsiLowerCase(s), lower) << shift;
  }
}
