// Template expansion, replacement and the error texts.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RegexTestUtil.h"
#include "runtime/CodePage.h"

namespace {

TEST(RegexTemplateTest, ExpandTemplate) {
  TRegexEngine e;
  e.SetExpression("(b)c");
  ASSERT_TRUE(e.Exec("abcd"));
  EXPECT_EQ(e.ExpandTemplate("$1-$0"), "b-bc");
  EXPECT_EQ(e.ExpandTemplate("${1}0"), "b0");
  EXPECT_EQ(e.ExpandTemplate("$10"), "");
  EXPECT_EQ(e.ExpandTemplate("$14"), "");
  EXPECT_EQ(e.ExpandTemplate("$x"), "$x");
  EXPECT_EQ(e.ExpandTemplate("${1"), "${1");
  EXPECT_EQ(e.ExpandTemplate("\\$$1"), "$b");
  EXPECT_EQ(e.ExpandTemplate("a\\nb"), "anb");
  EXPECT_EQ(e.ExpandTemplate("x\\"), "x\\");
  EXPECT_EQ(e.ExpandTemplate("$&|${&}|${}|${0}"), "bc|bc|bc|bc");
  EXPECT_EQ(e.ExpandTemplate("$"), "$");
  EXPECT_EQ(e.ExpandTemplate("${x}"), "${x}");
  EXPECT_EQ(e.ExpandTemplate("$&1"), "bc1");
  EXPECT_EQ(e.ExpandTemplate("$001"), "b");
  // Group numbers are computed in 32 bits and wrap.
  EXPECT_EQ(e.ExpandTemplate("$4294967297|$2147483648|$99999999999999999999"), "b||");
  EXPECT_EQ(e.ExpandTemplate(""), "");
}

TEST(RegexTemplateTest, ExpandTemplateNeedsProgramAndInput) {
  TRegexEngine e;
  try {
    e.ExpandTemplate("x");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1003);
  }
  e.SetExpression("a");
  try {
    e.ExpandTemplate("x");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1005);
  }
  e.SetExpression("(");
  EXPECT_THROW(e.ExpandTemplate(""), ERegexError);
  // After a failed search the groups are unset: references insert nothing.
  e.SetExpression("(a)");
  EXPECT_FALSE(e.Exec("b"));
  EXPECT_EQ(e.ExpandTemplate("[$1$0]"), "[]");
}

TEST(RegexReplaceTest, ReplaceMatches) {
  TRegexEngine e;
  e.SetExpression("x");
  EXPECT_FALSE(e.GetModifier(1));
  EXPECT_EQ(e.ReplaceMatches("aXbxc", "-", false), "a-b-c");
  EXPECT_TRUE(e.GetModifier(1));  // switched on for good
  e.SetExpression("x*");
  EXPECT_EQ(e.ReplaceMatches("ab", "-", false), "-a-b-");
  EXPECT_EQ(e.ReplaceMatches("", "-", false), "-");
  e.SetExpression("(\\w+)@(\\w+)");
  EXPECT_EQ(e.ReplaceMatches("a@b, c@d", "$2@$1", true), "b@a, d@c");
  EXPECT_EQ(e.ReplaceMatches("a@b, c@d", "$2@$1", false), "$2@$1, $2@$1");
  e.SetExpression("q");
  EXPECT_EQ(e.ReplaceMatches("abc", "-", false), "abc");
  // Bytes after a 0 byte are never searched but are kept.
  EXPECT_EQ(e.ReplaceMatches(std::string("q\0q", 3), "-", false), std::string("-\0q", 3));
}

TEST(RegexReplaceTest, PlaceholdersBecomeGroupReferences) {
  const std::string pattern = "\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]";
  const std::string tmpl =
      "<" + Gbk(u8"[参数2]") + "|" + Gbk(u8"[参数12]") + "|" + Gbk(u8"[参数123]") + ">";
  EXPECT_EQ(ReplaceByPattern(pattern, tmpl, "\\$$1", true), "<$2|$12|" + Gbk(u8"[参数123]") + ">");
  EXPECT_EQ(ReplaceByPattern("A", "aAa", "b", false), "bbb");
  EXPECT_THROW(ReplaceByPattern("(", "x", "y", false), ERegexError);
}

TEST(RegexReplaceTest, ReplaceByPatternRunsInManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &results] {
      std::string text;
      for (int i = 0; i < 200; ++i) text += "k" + std::to_string(t) + "=v;";
      for (int round = 0; round < 20; ++round) {
        results[t] = ReplaceByPattern("(k\\d)=(\\w)", text, "$2:$1", true);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) {
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += "v:k" + std::to_string(t) + ";";
    EXPECT_EQ(results[t], expected);
  }
}

TEST(RegexErrorTest, RaisedErrorsCarryTheirCodeAndText) {
  // Each row fails for real; the raised error names its code, and its text is the engine's
  // message for that code (with the parse position for a compile error).
  struct Case {
    const char* pattern;
    std::string subject;
    int code;
    const char* prefix;  // "" where the message has no stage
    int position;        // -1 for a search error, which names none
  } cases[] = {
      {"ab\\", "x", reTrailingBackslash, "TRegexEngine(comp): ", 3},
      {"*a", "x", reNothingToRepeat, "TRegexEngine(comp): ", 1},
      {"a(b|*)", "x", reNothingToRepeat, "TRegexEngine(comp): ", 5},
      {"x[ab", "x", reUnmatchedBracket, "TRegexEngine(comp): ", 4},
      {"[a\\", "x", reClassTrailingBackslash, "TRegexEngine(comp): ", 3},
      {"(a", "x", reUnmatchedOpen, "TRegexEngine(comp): ", 2},
      {"(x+x+)+[yz]\\1", std::string(30, 'x'), reStepLimitExceeded, "TRegexEngine(exec): ", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    TRegexEngine e;
    e.SetExpression(c.pattern);
    e.SetMatchStepLimit(1000);
    try {
      e.Exec(c.subject);
      ADD_FAILURE() << "no error";
    } catch (const ERegexError& err) {
      EXPECT_EQ(err.Code, c.code);
      EXPECT_EQ(e.LastErrorCode(), c.code);
      std::string text = e.ErrorMessage(c.code);
      if (c.position >= 0) text += " (pos " + std::to_string(c.position) + ")";
      EXPECT_EQ(err.Message(), text);
      EXPECT_EQ(err.Message().rfind(c.prefix, 0), 0u);
    }
  }
  // A bad modifier index is raised with a code that has no text of its own.
  TRegexEngine e;
  try {
    e.SetModifier(7, true);
    ADD_FAILURE() << "no error";
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, reBadModifierIndex);
    EXPECT_EQ(err.Message(), "Unknown error");
  }
  EXPECT_EQ(e.ErrorMessage(117), "Unknown error");
  EXPECT_EQ(e.ErrorMessage(0), "No errors");
}

// ReportError is the one way out for every error, so an override sees them all.
class CountingEngine : public TRegexEngine {
 public:
  void ReportError(int code) override {
    ++reports;
    TRegexEngine::ReportError(code);
  }
  std::string ErrorMessage(int code) const override {
    return code == 115 ? "nothing to repeat" : TRegexEngine::ErrorMessage(code);
  }
  int reports = 0;
};

TEST(RegexErrorTest, ErrorsGoThroughTheVirtualReportError) {
  CountingEngine e;
  e.SetExpression("*");
  try {
    e.Compile();
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Message(), "nothing to repeat (pos 1)");
  }
  EXPECT_THROW(e.SetModifier(9, true), ERegexError);
  EXPECT_EQ(e.reports, 2);
}

}  // namespace
