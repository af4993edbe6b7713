// Header lists: lookups by name, continuation lines, setting in place, and folding long values
// (widths, quotes, commas, double-byte characters).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "http/NetHeaderList.h"
#include "runtime/CodePage.h"

namespace {

std::vector<std::string> Lines(const TStringList& list) {
  return std::vector<std::string>(list.begin(), list.end());
}

TNetHeaderList ListOf(const std::vector<std::string>& lines) {
  TNetHeaderList h;
  for (const std::string& l : lines) h.Add(l);
  return h;
}

TEST(HeaderListLookup, NamesValuesAndContinuations) {
  TNetHeaderList h = ListOf({"Content-Type: text/html", "X-Long:  part one ", "\tpart two ",
                             "   part three", "", " orphan", "NoColonLine", " X: y"});
  EXPECT_EQ(h.IndexOfHeader("content-type"), 0);
  EXPECT_EQ(h.HeaderValue("CONTENT-TYPE"), "text/html");
  EXPECT_EQ(h.NameAt(0), "CONTENT-TYPE");
  EXPECT_EQ(h.HeaderValue("x-long"), "part one part two part three");  // the empty line ends it
  EXPECT_EQ(h.IndexOfHeader("NoColonLine"), -1);
  EXPECT_EQ(h.NameAt(6), "");
  EXPECT_EQ(h.IndexOfHeader("X"), -1);  // names are not trimmed
  EXPECT_EQ(h.IndexOfHeader(" x"), 7);
  EXPECT_EQ(h.HeaderValue("missing"), "");
  EXPECT_EQ(h.ValueAt(-1), "");
  EXPECT_EQ(h.ValueAt(h.Count()), "");
  EXPECT_EQ(h.NameAt(h.Count()), "");

  h.SetUnfoldContinuations(false);
  EXPECT_EQ(h.HeaderValue("X-Long"), "part one");
  h.SetCaseSensitiveNames(true);
  EXPECT_EQ(h.NameAt(0), "Content-Type");
  EXPECT_EQ(h.IndexOfHeader("content-type"), 0);  // lookups still ignore case
}

TEST(HeaderListLookup, RepeatedHeaders) {
  TNetHeaderList h = ListOf({"Set-Cookie: a=1", "Other: x", "set-cookie: b=2", " ;path=/"});
  EXPECT_EQ(h.HeaderValue("Set-cookie"), "a=1");
  TStringList values;
  h.CollectValues("SET-COOKIE", &values);
  EXPECT_EQ(Lines(values), (std::vector<std::string>{"a=1", "b=2 ;path=/"}));
  h.CollectValues("Set-Cookie", nullptr);  // no destination: nothing happens
}

TEST(HeaderListSet, AppendReplaceInPlaceAndRemove) {
  TNetHeaderList h = ListOf({"A: 1", "B: old", " cont", "\tcont2", "C: 3", "B: second"});
  h.SetHeader("b", "new");
  EXPECT_EQ(Lines(h), (std::vector<std::string>{"A: 1", "b: new", "C: 3", "B: second"}));
  h.SetHeader("D", "4");
  EXPECT_EQ(h[h.Count() - 1], "D: 4");
  h.SetHeader("B", "");
  EXPECT_EQ(Lines(h), (std::vector<std::string>{"A: 1", "C: 3", "B: second", "D: 4"}));
  h.SetHeader("missing", "");  // removing an absent header changes nothing
  EXPECT_EQ(h.Count(), 4);

  TNetHeaderList raw = ListOf({"A: 1", " cont", "B: 2"});
  raw.SetFoldOnSet(false);
  raw.SetHeader("A", "x");
  EXPECT_EQ(Lines(raw), (std::vector<std::string>{"A: x", " cont", "B: 2"}));
  raw.SetHeader("A", "");
  EXPECT_EQ(Lines(raw), (std::vector<std::string>{" cont", "B: 2"}));
}

TEST(HeaderListFold, WordsFoldWithinTheWidth) {
  std::string value;
  for (int i = 0; i < 60; ++i) value += (i ? " word" : "word") + std::to_string(i);
  TNetHeaderList h = ListOf({"First: 1", "Last: 2"});
  h.SetHeader("First", value);
  ASSERT_GT(h.Count(), 3);
  EXPECT_EQ(h[h.Count() - 1], "Last: 2");  // the folded header kept its place
  for (int i = 0; i + 1 < h.Count(); ++i) {
    EXPECT_LE(h[i].size(), 78u) << h[i];
    if (i > 0) {
      ASSERT_GE(h[i].size(), 2u);
      EXPECT_EQ(h[i][0], ' ');
      EXPECT_NE(h[i][1], ' ') << "continuation line starts with more than one blank";
    }
    EXPECT_NE(h[i].back(), ' ');
  }
  EXPECT_EQ(h.HeaderValue("first"), value);

  // Replacing the folded header removes all of its old continuation lines.
  h.SetHeader("First", "short");
  EXPECT_EQ(Lines(h), (std::vector<std::string>{"First: short", "Last: 2"}));
}

TEST(HeaderListFold, CommasStayAtLineEndsAtEveryWidth) {
  std::string value;
  for (int i = 0; i < 40; ++i) value += (i ? ", item" : "item") + std::to_string(i);
  for (int width = 10; width <= 80; ++width) {
    TNetHeaderList h;
    h.SetFoldWidth(width);
    h.SetHeader("List", value);
    for (int i = 0; i < h.Count(); ++i) {
      // The first line may also end right after the name, at the blank of the separator.
      if (i + 1 < h.Count() && h[i] != "List:") {
        EXPECT_EQ(h[i].back(), ',') << "width " << width << ": " << h[i];
      }
      if (i > 0) {
        EXPECT_EQ(h[i].substr(0, 1), " ");
        EXPECT_NE(h[i][1], ' ') << "width " << width << ": [" << h[i] << "]";
      }
    }
    EXPECT_EQ(h.HeaderValue("List"), value) << "width " << width;
  }
}

TEST(HeaderListFold, QuotesAndLongTokensAreNeverCut) {
  const std::string quoted = "\"" + std::string(40, 'q') + " " + std::string(60, 'r') + "\"";
  TNetHeaderList h;
  h.SetHeader("X", "a b " + quoted + " c d");
  bool found = false;
  for (const std::string& line : h) {
    if (line.find('"') != std::string::npos) {
      EXPECT_NE(line.find(quoted), std::string::npos) << line;
      found = true;
    }
  }
  EXPECT_TRUE(found);

  const std::string token(200, 't');
  TNetHeaderList t;
  t.SetHeader("T", token + " tail");
  // The only break before the token is the blank after the colon; the token itself grows its
  // line past the width.
  EXPECT_EQ(Lines(t), (std::vector<std::string>{"T:", " " + token, " tail"}));
  EXPECT_EQ(t.HeaderValue("T"), token + " tail");
}

TEST(HeaderListFold, ExistingBreaksAndShortLines) {
  TNetHeaderList h;
  EXPECT_EQ(h.FoldText("X: y   "), (std::vector<std::string>{"X: y"}));
  EXPECT_EQ(h.FoldText(""), (std::vector<std::string>{""}));
  // A value that already holds a fold is cut there, however short.
  h.SetHeader("X", "a\r\n b");
  EXPECT_EQ(Lines(h), (std::vector<std::string>{"X: a", " b"}));
  EXPECT_EQ(h.HeaderValue("X"), "a b");
  // A bare line break in a value cannot smuggle in a header line of its own.
  h.SetHeader("X", "a\r\nEvil: 1");
  EXPECT_EQ(Lines(h), (std::vector<std::string>{"X: a", " Evil: 1"}));
  EXPECT_EQ(h.IndexOfHeader("Evil"), -1);
}

TEST(HeaderListFold, DoubleByteCharactersStayWhole) {
  const std::string han = Gbk(u8"汉字");  // two characters, four bytes
  std::string value;
  for (int i = 0; i < 50; ++i) value += (i ? " " : "") + han + han.substr(0, 2);
  TNetHeaderList h;
  h.SetFoldWidth(20);
  h.SetHeader("G", value);
  ASSERT_GT(h.Count(), 1);
  for (const std::string& line : h) {
    // Every line holds whole characters: scanning pairs never runs past its end.
    size_t i = 0;
    while (i < line.size()) i += (static_cast<unsigned char>(line[i]) >= 0x81) ? 2 : 1;
    EXPECT_EQ(i, line.size()) << line;
  }
  EXPECT_EQ(h.HeaderValue("G"), value);
}

// Folding may only move blanks: every other byte of the value survives, in order, at every
// width, whatever mix of words, commas, quotes and double-byte characters the value holds.
TEST(HeaderListFold, NoByteIsLostAtAnyWidth) {
  auto without_blanks = [](const std::string& s) {
    std::string r;
    for (char c : s) {
      if (static_cast<unsigned char>(c) > 0x20) r += c;
    }
    return r;
  };
  const std::vector<std::string> parts = {"a",  "word",    ",",         ", ",  " ",     "  ", "\t",
                                          "\"", "\"q q\"", Gbk(u8"汉"), "x,y", "\r\n ", "\r"};
  std::mt19937 rng(11);
  std::uniform_int_distribution<size_t> pick(0, parts.size() - 1);
  std::uniform_int_distribution<int> count(1, 80), width(1, 90);
  for (int round = 0; round < 2000; ++round) {
    std::string value = "v";
    for (int k = count(rng); k > 0; --k) value += parts[pick(rng)];
    TNetHeaderList h;
    h.SetFoldWidth(width(rng));
    h.SetHeader("N", value);
    std::string joined;
    for (const std::string& line : h) joined += line;
    ASSERT_EQ(without_blanks(joined), "N:" + without_blanks(value))
        << "width " << h.FoldWidth() << " value [" << value << "]";
  }
}

TEST(HeaderListFold, WrapHeaderTextWithoutBreakCharacters) {
  EXPECT_EQ(WrapHeaderText("abcdefgh", "\r\n ", "", 3), "abcdefgh");
  EXPECT_EQ(WrapHeaderText("ab cd ef", "|", " ", 3), "ab |cd |ef");
  EXPECT_EQ(WrapHeaderText("", "\r\n ", " ,", 0), "");
}

}  // namespace
