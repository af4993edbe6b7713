// The text helpers that cut values out of result pages. Their edge behaviour decides what a
// result field shows, so the edges are pinned here: "0" versus the empty text, blanks kept,
// case ignored only on single-byte characters, matches only on character starts, and the NUL
// that ends the search.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "query/MyThreadUnit.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "support/ReplaceAllReference.h"

TEST(TextBetween, ZeroWhenADelimiterIsMissingOrEmpty) {
  EXPECT_EQ(TextBetween("<b>12</b>", "<i>", "</b>"), "0");
  EXPECT_EQ(TextBetween("<b>12</b>", "<b>", "</i>"), "0");
  EXPECT_EQ(TextBetween("", "<b>", "</b>"), "0");
  EXPECT_EQ(TextBetween("<b>12</b>", "", "</b>"), "0");
  EXPECT_EQ(TextBetween("<b>12</b>", "<b>", ""), "0");
  EXPECT_EQ(TextBetween("<b>12</b>", "<B>", "</b>"), "0");  // bytes compared exactly
}

TEST(TextBetween, EmptyWhenEndFollowsDirectlyOrOnlyPrecedesStart) {
  EXPECT_EQ(TextBetween("x<b></b>", "<b>", "</b>"), "");
  EXPECT_EQ(TextBetween("</b> <b>12", "<b>", "</b>"), "");
  EXPECT_EQ(TextBetween("ab", "ab", "b"), "");    // the end inside start counts as present
  EXPECT_EQ(TextBetween("<b>", "<b>", "<"), "");  // nothing at all after start
}

TEST(TextBetween, FirstStartThenFirstEndAfterIt) {
  EXPECT_EQ(TextBetween("<b>first and long</b> <b>2</b>", "<b>", "</b>"), "first and long");
  EXPECT_EQ(TextBetween("aXbXc", "X", "X"), "b");
  EXPECT_EQ(TextBetween("aaa", "a", "a"), "");
  std::string page("k=\0v\0;", 6);
  EXPECT_EQ(TextBetween(page, "=", ";"), std::string("\0v\0", 3));  // NUL is just a byte
}

TEST(TextBetween, ByteSearchIgnoresCharacterBoundaries) {
  // 0xD4 0xBC is 约; in "\xB0\xD4\xBC\xC1" the bytes D4 BC straddle two characters and are
  // still found by the byte search.
  std::string page = "\xB0\xD4\xBC\xC1<i>5</i>";
  EXPECT_EQ(TextBetween(page, "\xD4\xBC", "</i>"), "\xC1<i>5");
}

TEST(DigitsOnly, CountsAreKeptWithTheirBlanks) {
  EXPECT_EQ(DigitsOnly("1,234,567"), "1,234,567");
  EXPECT_EQ(DigitsOnly(" \t12,3\r\n"), " \t12,3\r\n");
  EXPECT_EQ(DigitsOnly(std::string("\0 7 \x01", 5)), std::string("\0 7 \x01", 5));
  EXPECT_EQ(DigitsOnly(","), ",");
  EXPECT_EQ(DigitsOnly(""), "");
  EXPECT_EQ(DigitsOnly("   "), "   ");
}

TEST(DigitsOnly, AnythingElseGivesZero) {
  for (std::string bad : {"1.5", "12a", "+3", "-3", "1 2", "0x10", "12!", "\xFF"})
    EXPECT_EQ(DigitsOnly(bad), "0") << bad;
  EXPECT_EQ(DigitsOnly("12" + Gbk(u8"万")), "0");
}

TEST(TrimSuffix, RemovesOneTrailingCopyIgnoringCase) {
  EXPECT_EQ(TrimSuffix("a|||b|||", "|||"), "a|||b");
  EXPECT_EQ(TrimSuffix("a||||||", "|||"), "a|||");
  EXPECT_EQ(TrimSuffix("www.Site.COM", ".com"), "www.Site");
  EXPECT_EQ(TrimSuffix("|||", "|||"), "");
  EXPECT_EQ(TrimSuffix("abc", "x"), "abc");
}

TEST(TrimSuffix, TextUnchangedWhenSuffixIsEmptyLongerOrStartsInsideACharacter) {
  EXPECT_EQ(TrimSuffix("abc", ""), "abc");
  EXPECT_EQ(TrimSuffix("ab", "xab"), "ab");
  EXPECT_EQ(TrimSuffix("", "a"), "");
  // 0xB0 0x7C is one GBK character whose second byte is "|": "||" after it does not end in a
  // "|||" that starts on a character boundary.
  EXPECT_EQ(TrimSuffix("\xB0|||", "|||"), "\xB0|||");
  EXPECT_EQ(TrimSuffix("x\xB0||||", "|||"), "x\xB0|");
  // A trail byte that looks like a letter is part of a character, not a letter.
  EXPECT_EQ(TrimSuffix("\xB0\x61", "\xB0\x41"), "\xB0\x61");
}

TEST(ReplaceAll, CaseIsIgnoredAndReplacementIsNotSearchedAgain) {
  EXPECT_EQ(ReplaceAll("HTTP://a.com http://b.com Http://c", "http://", ""), "a.com b.com c");
  EXPECT_EQ(ReplaceAll("aAb", "a", "Aa"), "AaAab");
  EXPECT_EQ(ReplaceAll("aaaaa", "aa", "X"), "XXa");  // occurrences never overlap
  EXPECT_EQ(ReplaceAll("abc", "abc", ""), "");
  EXPECT_EQ(ReplaceAll("abc", "", "X"), "abc");
  EXPECT_EQ(ReplaceAll("", "a", "X"), "");
  EXPECT_EQ(ReplaceAll("ab", "abc", "X"), "ab");
}

TEST(ReplaceAll, MatchesStartOnlyOnCharacterBoundaries) {
  const std::string yue = Gbk(u8"约");  // 0xD4 0xBC
  ASSERT_EQ(yue, "\xD4\xBC");
  // 0xB0 0xD4 is one character and 0xBC 0xC1 another: the bytes of 约 straddle them.
  EXPECT_EQ(ReplaceAll("\xB0\xD4\xBC\xC1", yue, ""), "\xB0\xD4\xBC\xC1");
  EXPECT_EQ(ReplaceAll(yue + "1,234" + yue, yue, ""), "1,234");
  EXPECT_EQ(ReplaceAll("\xB0\xD4\xBC\xC1" + yue + "9", yue, ""),
            "\xB0\xD4\xBC\xC1"
            "9");
  // A candidate on a trail byte is skipped and the search goes on behind it.
  EXPECT_EQ(ReplaceAll("\xB0\x41"
                       "A\xB0\x41",
                       "A", "-"),
            "\xB0\x41-\xB0\x41");
}

TEST(ReplaceAll, TrailBytesThatLookLikeLettersKeepTheirCase) {
  // 0xB0 0x61 and 0xB0 0x41 are two different characters, not case variants of one.
  EXPECT_EQ(ReplaceAll("\xB0\x61", "\xB0\x41", "X"), "\xB0\x61");
  EXPECT_EQ(ReplaceAll("\xB0\x41", "\xB0\x41", "X"), "X");
}

TEST(ReplaceAll, TheFirstNulEndsTheSearch) {
  const std::string text("ab\0ab", 5);
  EXPECT_EQ(ReplaceAll(text, "b", "X"), std::string("aX\0ab", 5));
  EXPECT_EQ(ReplaceAll(std::string("\0a", 2), "a", "X"), std::string("\0a", 2));
  // A pattern holding a NUL could only match across the NUL, which the search never sees.
  EXPECT_EQ(ReplaceAll(text, std::string("b\0", 2), "X"), text);
  EXPECT_EQ(ReplaceAll("abab", std::string("a\0", 2), "X"), "abab");
}

TEST(ReplaceAll, AgreesWithItsDefinitionOnRandomTexts) {
  std::mt19937 rng(7);
  const char pool[] = {'a',    'A',    'b',    'B',    '\0',   ' ',   '\xB0',
                       '\xD4', '\xBC', '\x41', '\x61', '\xFE', '\x80'};
  auto random_text = [&](size_t max) {
    std::string s;
    for (size_t n = rng() % (max + 1); n > 0; --n) s += pool[rng() % std::size(pool)];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string text = random_text(24), pattern = random_text(3), replacement = random_text(3);
    ASSERT_EQ(ReplaceAll(text, pattern, replacement),
              ReferenceReplaceAll(text, pattern, replacement))
        << "round " << round;
  }
}

TEST(ApplyRules, TheFirstListThatFindsAValueWinsAndEveryStepIsTraced) {
  const std::string page = "<b>site.test</b>/ snap</font> <i> 1,234 </i> old:<u>x</u>";
  const std::vector<TStepList> rules = {
      {{TStepKind::Between, "<u>", "</u>"}, {TStepKind::DigitsOnly}},              // a value that is no number
      {{TStepKind::Between, "<em>", "</em>"}},                            // delimiters gone
      {{TStepKind::Between, "<i>", "</i>"}, {TStepKind::DigitsOnly}, {TStepKind::Append, "/9"}},  // this one
      {{TStepKind::Between, "<b>", "</b>"}},
  };
  std::vector<std::pair<size_t, bool>> seen;
  auto value = ApplyRules(page, rules, "site.test",
                          [&](const TStepTrace& t) { seen.emplace_back(t.List, t.Found); });
  EXPECT_EQ(value, " 1,234 /9");
  EXPECT_EQ(seen, (std::vector<std::pair<size_t, bool>>{
                      {0, true}, {0, false}, {1, false}, {2, true}, {2, true}, {2, true}}));
  // The site's name in a start delimiter; a stated 0 is a value; nothing found is nothing.
  EXPECT_EQ(ApplyRules(page, {{{TStepKind::BetweenSite, "<b>", "</b>/", "</font>"}}}, "site.test"), " snap");
  EXPECT_EQ(ApplyRules("<i>0</i>", {{{TStepKind::Between, "<i>", "</i>"}, {TStepKind::DigitsOnly}}}, ""), "0");
  EXPECT_EQ(ApplyRules("<i></i>", {{{TStepKind::Between, "<i>", "</i>"}}}, ""), std::nullopt);
  EXPECT_EQ(ApplyRules(page, {{{TStepKind::Rule, "<title>[velmora]</title>"}}}, ""), std::nullopt);
  EXPECT_EQ(ApplyRules(page, {}, ""), std::nullopt);
}

TEST(ApplyRules, JsonStepsPickOneMemberAndRefuseWhatTheyCannotHold) {
  std::string deep = std::string(100000, '[') + "1" + std::string(100000, ']');
  std::string wide = "{\"a\":[";
  for (int i = 0; i < 300000; ++i) wide += "0,";
  wide += "1],\"b\":7}";
  const struct {
    const char* name;
    std::string page;
    std::vector<TStep> steps;
    std::optional<std::string> value;
  } cases[] = {
      {"a member", R"({"r":{"rank":12}})", {{TStepKind::Json, "/r/rank"}}, "12"},
      {"an element", R"({"r":[5,6,{"x":"\u4e03"}]})", {{TStepKind::Json, "/r/2/x"}}, Gbk(u8"七")},
      {"a whole object as JSON",
       R"([{"a":[1,{"b":null}]}])",
       {{TStepKind::Json, "/0"}},
       R"({"a":[1,{"b":null}]})"},
      {"the root", "[1, 2]", {{TStepKind::Json, ""}}, "[1,2]"},
      {"a repeated name keeps the last",
       R"({"a":1,"a":{"b":2}})",
       {{TStepKind::Json, "/a/b"}},
       "2"},
      {"escaped names", R"({"a/b":{"~":3}})", {{TStepKind::Json, "/a~1b/~0"}}, "3"},
      {"an index with a leading zero", "[4,5]", {{TStepKind::Json, "/01"}}, std::nullopt},
      {"null is nothing", R"({"a":null})", {{TStepKind::Json, "/a"}}, std::nullopt},
      {"missing", R"({"a":1})", {{TStepKind::Json, "/b"}}, std::nullopt},
      {"past the end", "[1]", {{TStepKind::Json, "/1"}}, std::nullopt},
      {"no JSON after the member", R"({"a":1,)", {{TStepKind::Json, "/a"}}, std::nullopt},
      {"too deep to read", deep, {{TStepKind::Json, "/0"}}, std::nullopt},
      {"deep but within the limit",
       std::string(200, '[') + "1" + std::string(200, ']'),
       {{TStepKind::Json, "/0/0/0"}},
       std::string(197, '[') + "1" + std::string(197, ']')},
      {"a large page passed over", wide, {{TStepKind::Json, "/b"}}, "7"},
      {"a member too large to hold", wide, {{TStepKind::Json, "/a"}}, std::nullopt},
      {"the newest element",
       R"({"l":[{"d":"2024-01-02","v":1},{"d":"2024-03-01","v":2},{"v":3}]})",
       {{TStepKind::Newest, "/l", "/d"}, {TStepKind::Json, "/v"}},
       "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ApplyRules(c.page, {c.steps}, ""), c.value);
  }
}

TEST(LooksBlocked, VerificationPagesInEitherCase) {
  for (const std::string page : {Gbk(u8"请输入验证码"), Gbk(u8"百度安全验证"),
                                 std::string("Our systems have detected UNUSUAL TRAFFIC"),
                                 std::string("<form action=\"/sorry/index\">")}) {
    EXPECT_TRUE(LooksBlocked(page)) << page;
  }
  EXPECT_FALSE(LooksBlocked(Gbk(u8"百度一下，找到相关网页约1,230篇")));
}

TEST(FailureText, IsTheTwelveGbkBytesOfThePageCannotBeReached) {
  const std::string& text = FailureText();
  EXPECT_EQ(text.size(), 12u);
  EXPECT_EQ(text, Gbk(u8"网页无法访问"));
  EXPECT_EQ(GbkToUtf8(text), reinterpret_cast<const char*>(u8"网页无法访问"));
  EXPECT_EQ(&FailureText(), &text);  // built once
}

TEST(FieldFromPage, ValuesAreBoundedAndOverlongNumbersAreNoMatch) {
  TPageResult page;
  page.Outcome.End = TFetchEnd::Fetched;
  const TStepList title{{TStepKind::Between, "<t>", "</t>"}};
  const TStepList number{{TStepKind::Between, "<t>", "</t>"}, {TStepKind::DigitsOnly}};
  const std::string cut = Gbk(u8"…");
  const std::string zhong = Gbk(u8"中");
  struct Row {
    std::string value;
    const TStepList& rules;
    TFieldState state;
    std::string shown;
  };
  std::string chinese;
  for (int i = 0; i < 301; ++i) chinese += zhong;
  for (const Row& row :
       {Row{std::string(300, 'a'), title, TFieldState::Value, std::string(300, 'a')},
        Row{std::string(8 << 20, 'a'), title, TFieldState::Value, std::string(300, 'a') + cut},
        Row{"a" + chinese, title, TFieldState::Value, "a" + chinese.substr(0, 598) + cut},
        Row{std::string(30, '9'), number, TFieldState::Value, std::string(30, '9')},
        Row{std::string(31, '9'), number, TFieldState::NoMatch, ""}}) {
    page.Text = "<t>" + row.value + "</t>";
    const TFieldResult r = FieldFromPage(page, {row.rules}, "");
    EXPECT_EQ(r.State, row.state) << row.value.size();
    EXPECT_EQ(r.Text, row.shown) << row.value.size();
  }
}
