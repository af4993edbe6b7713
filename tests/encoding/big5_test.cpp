// Big5 -> GB2312: the table's layout and fixed rows, the pair test and index formula, and the
// conversion's byte-for-byte behaviour, checked against glibc's own Big5 and GB2312 tables.
#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>

#include "encoding/BIG5_GB2312.h"

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Converts with glibc iconv; false when it refuses any of the input.
bool Iconv(const char* to, const char* from, const std::string& in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return r != static_cast<size_t>(-1) && il == 0;
}

// The conversion written out step by step, through the public pair test
// and index formula: the fast loop must agree with it on every input.
std::string ReferenceConvert(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    std::string pair = text.substr(i, 2);
    if (IsBig5Pair(pair)) {
      int index = Big5Index(pair);
      if (index >= 0 && index < kBig5TableSize) {
        out += static_cast<char>(Big5ToGBTable[index] >> 8);
        out += static_cast<char>(Big5ToGBTable[index] & 0xFF);
        i += 2;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

}  // namespace

TEST(Big5Table, FixedRowsHold) {
  struct Row {
    int code, index;
    uint16_t entry;
  };
  const Row rows[] = {
      {0xA140, 0, 0x2020},    {0xA141, 1, 0xA3AC},     {0xA142, 2, 0xA1A2},
      {0xA143, 3, 0xA1A3},    {0xA1A1, 63, 0x2020},    {0xA2AF, 234, 0xA3B0},
      {0xA344, 318, 0xA6A1},  {0xA440, 471, 0xD2BB},   {0xA4A4, 537, 0xD6D0},
      {0xADCC, 1990, 0xC3C7}, {0xB0EA, 2491, 0xB9FA},  {0xBEC7, 4654, 0xD1A7},
      {0xC940, 6280, 0x2020}, {0xFEFE, 14757, 0x2020},
  };
  for (const Row& r : rows) {
    std::string pair = Bytes({r.code >> 8, r.code & 0xFF});
    EXPECT_EQ(Big5Index(pair), r.index) << std::hex << r.code;
    EXPECT_EQ(Big5ToGBTable[r.index], r.entry) << std::hex << r.code;
  }
}

TEST(Big5Table, EntriesAreBlankOrGb2312CharactersAndEndAtTheLastAssignedCode) {
  int last = -1;
  for (int i = 0; i < kBig5TableSize; ++i) {
    uint16_t e = Big5ToGBTable[i];
    if (e == 0x2020) continue;
    last = i;
    int hi = e >> 8, lo = e & 0xFF;
    ASSERT_TRUE(hi >= 0xA1 && hi <= 0xFE && lo >= 0xA1 && lo <= 0xFE) << i;
    std::string utf8;
    ASSERT_TRUE(Iconv("UTF-8", "GB2312", Bytes({hi, lo}), utf8)) << "index " << i;
  }
  EXPECT_EQ(last, 13926);
}

TEST(Big5Table, UserDefinedAndUnassignedAreasAreBlank) {
  auto blank_range = [](int lo, int hi) {
    for (int code = lo; code <= hi; ++code) {
      std::string pair = Bytes({code >> 8, code & 0xFF});
      if (!IsBig5Pair(pair)) continue;
      ASSERT_EQ(Big5ToGBTable[Big5Index(pair)], 0x2020) << std::hex << code;
    }
  };
  blank_range(0xC6A1, 0xC8FE);  // reserved for user-defined characters
  blank_range(0xF9D6, 0xFEFE);  // vendor additions and the user-defined area
}

TEST(Big5Index, CornersOfTheLayout) {
  EXPECT_EQ(Big5Index(Bytes({0xA1, 0x40})), 0);
  EXPECT_EQ(Big5Index(Bytes({0xA1, 0x7E})), 62);
  EXPECT_EQ(Big5Index(Bytes({0xA1, 0xA1})), 63);
  EXPECT_EQ(Big5Index(Bytes({0xA1, 0xFE})), 156);
  EXPECT_EQ(Big5Index(Bytes({0xA2, 0x40})), 157);
  EXPECT_EQ(Big5Index(Bytes({0xFE, 0xFE})), 14757);
  EXPECT_EQ(Big5Index(Bytes({0xFF, 0x40})), 14758);  // lead byte not checked
  EXPECT_EQ(Big5Index(Bytes({0xFF, 0xFE})), 14914);
  EXPECT_EQ(Big5Index(Bytes({0xA4, 0xA4, 0x41})), 537);  // bytes past the pair ignored
}

TEST(Big5Index, NoIndexWithoutATrailByte) {
  EXPECT_EQ(Big5Index(""), -1);
  EXPECT_EQ(Big5Index(Bytes({0xA4})), -1);
  for (int trail : {0x00, 0x20, 0x3F, 0x7F, 0x80, 0xA0, 0xFF})
    EXPECT_EQ(Big5Index(Bytes({0xA4, trail})), -1) << trail;
}

TEST(IsBig5Pair, LeadFromA1UpwardsAndTrailInEitherRange) {
  EXPECT_TRUE(IsBig5Pair(Bytes({0xA1, 0x40})));
  EXPECT_TRUE(IsBig5Pair(Bytes({0xFF, 0xA1})));  // no upper bound on the lead
  EXPECT_TRUE(IsBig5Pair(Bytes({0xFE, 0x7E})));
  EXPECT_FALSE(IsBig5Pair(Bytes({0xA0, 0x40})));
  EXPECT_FALSE(IsBig5Pair(Bytes({0x41, 0x41})));
  EXPECT_FALSE(IsBig5Pair(Bytes({0xA4, 0x7F})));
  EXPECT_FALSE(IsBig5Pair(Bytes({0xA4, 0xFF})));
  EXPECT_FALSE(IsBig5Pair(Bytes({0xA4})));
  EXPECT_FALSE(IsBig5Pair(""));
}

TEST(Big5ToGB2312, CharactersAndTheirSimplifiedForms) {
  EXPECT_EQ(Big5ToGB2312(Bytes({0xB0, 0xEA})), Bytes({0xB9, 0xFA}));  // 國 -> 国
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA4, 0xA4})), Bytes({0xD6, 0xD0}));  // 中
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA1, 0x40})), "  ");                 // ideographic space
  // A sentence as a Big5 page would hold it, against the same sentence in GB2312.
  std::string big5, gb;
  ASSERT_TRUE(Iconv("BIG5", "UTF-8",
                    "<b>\xE4\xB8\xAD\xE8\x8F\xAF\xE5\xAD\xB8\xE7\x94\x9F\xE5\x80\x91</b>",
                    big5));  // 中華學生們
  ASSERT_TRUE(Iconv("GB2312", "UTF-8",
                    "<b>\xE4\xB8\xAD\xE5\x8D\x8E\xE5\xAD\xA6\xE7\x94\x9F\xE4\xBB\xAC</b>",
                    gb));  // 中华学生们
  EXPECT_EQ(Big5ToGB2312(big5), gb);
}

TEST(Big5ToGB2312, BytesThatStartNoPairAreCopied) {
  std::string ascii = "<html><title>x</title>\r\n\t0123 ~\x7F";
  EXPECT_EQ(Big5ToGB2312(ascii), ascii);
  std::string high;
  for (int b = 0x80; b <= 0xA0; ++b) high += static_cast<char>(b);
  EXPECT_EQ(Big5ToGB2312(high), high);
  EXPECT_EQ(Big5ToGB2312(""), "");
  EXPECT_EQ(Big5ToGB2312(Bytes({'a', 0xA4})), Bytes({'a', 0xA4}));  // lone lead at the end
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA4, 0x20})), Bytes({0xA4, 0x20}));
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA4, 0x00, 0xA4, 0xA4})), Bytes({0xA4, 0x00, 0xD6, 0xD0}));
}

TEST(Big5ToGB2312, LeadFFIsCopiedAndItsTrailStartsTheNextPair) {
  EXPECT_EQ(Big5ToGB2312(Bytes({0xFF, 0xA4, 0xA4})), Bytes({0xFF, 0xD6, 0xD0}));
  EXPECT_EQ(Big5ToGB2312(Bytes({0xFF, 0xFF, 0xA4, 0xA4, 0xA4})),
            Bytes({0xFF, 0xFF, 0xD6, 0xD0, 0xA4}));
}

TEST(Big5ToGB2312, PairsAreTakenLeftToRight) {
  // A converted pair's trail byte is never reused as a lead byte.
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA4, 0xA4, 0xA4})), Bytes({0xD6, 0xD0, 0xA4}));
  EXPECT_EQ(Big5ToGB2312(Bytes({0xA4, 0x41, 0x41})).size(), 3u);
}

TEST(Big5ToGB2312, AgreesWithItsDefinitionOnRandomBytes) {
  std::mt19937 rng(20240601);
  // Bytes drawn mostly from the interesting ranges: leads, both trail ranges, 0xFF, ASCII.
  const int pool[] = {0x00, 0x20, 0x40, 0x41, 0x7E, 0x7F, 0x80, 0xA0, 0xA1,
                      0xA4, 0xC6, 0xC9, 0xF9, 0xFE, 0xFF, 'a',  '<'};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    size_t n = rng() % 40;
    for (size_t i = 0; i < n; ++i)
      text += static_cast<char>(rng() % 3 ? pool[rng() % std::size(pool)] : rng() % 256);
    std::string got = Big5ToGB2312(text);
    ASSERT_EQ(got.size(), text.size());
    ASSERT_EQ(got, ReferenceConvert(text)) << "round " << round;
  }
}
