// The matcher's semantics and the search interface: positions, groups, ExecNext, anchors, word
// edges, back-references, and search hints that never change a result.
#include <gtest/gtest.h>

#include <random>

#include "RegexTestUtil.h"
#include "runtime/StrUtils.h"

namespace {

TEST(RegexMatchTest, GroupsOfTheLastMatch) {
  TRegexEngine e;
  e.SetExpression("<title>(.*?)</title>");
  e.SetModifier(1, true);
  ASSERT_TRUE(e.Exec("x<TITLE>Home</title>"));
  EXPECT_EQ(e.MatchStart(0), 2);
  EXPECT_EQ(e.MatchText(1), "Home");
  EXPECT_EQ(e.LastMatchedGroup(), 1);

  e.SetExpression("(a)|b");
  ASSERT_TRUE(e.Exec("b"));
  EXPECT_EQ(e.LastMatchedGroup(), 0);
  EXPECT_EQ(e.MatchStart(1), -1);
  EXPECT_EQ(e.MatchLength(1), -1);
  EXPECT_EQ(e.MatchText(1), "");
  EXPECT_EQ(e.MatchText(0), "b");
  EXPECT_EQ(e.MatchStart(15), -1);
  EXPECT_EQ(e.MatchStart(-1), -1);

  // A failed search forgets the last match.
  EXPECT_FALSE(e.Exec("c"));
  EXPECT_EQ(e.MatchStart(0), -1);
  EXPECT_EQ(e.LastMatchedGroup(), 0);
  TRegexEngine fresh;
  EXPECT_EQ(fresh.LastMatchedGroup(), -1);
}

TEST(RegexMatchTest, ExecNextStepsOverEmptyMatches) {
  EXPECT_EQ(AllMatches("x*", "ab"), "1: 2: 3:");
  EXPECT_EQ(AllMatches("a|", "ab"), "1:a 2: 3:");
  EXPECT_EQ(AllMatches("\\d+", "a12b345"), "2:12 5:345");
  EXPECT_EQ(FirstMatch("x*", ""), "1:");
  EXPECT_EQ(FirstMatch("a", ""), "none");

  TRegexEngine e;
  e.SetExpression("a");
  e.SetInputString("abab");
  EXPECT_TRUE(e.ExecPos(2));
  EXPECT_EQ(e.MatchStart(0), 3);
  EXPECT_TRUE(e.ExecPos(5) == false);  // just past the end: no error, no match
  EXPECT_FALSE(e.ExecPos(6));
}

TEST(RegexMatchTest, SearchErrors) {
  TRegexEngine e;
  e.SetExpression("a");
  try {
    e.ExecPos(1);
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1005);
    EXPECT_EQ(err.Message(), "TRegexEngine(exec): No Input String Specified");
  }
  try {
    e.ExecNext();
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1007);
    EXPECT_EQ(err.Position, 0);
    EXPECT_EQ(err.Message(), "TRegexEngine(exec): ExecNext Without Exec[Pos]");
  }
  e.SetInputString("a");
  try {
    e.ExecPos(0);
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1006);
  }
  e.SetExpression("");
  EXPECT_EQ(e.Expression(), "");
  try {
    e.Exec("a");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1003);
  }
  try {
    e.SetModifier(7, true);
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1013);
    EXPECT_EQ(err.Message(), "Unknown error");
  }
  EXPECT_THROW(e.GetModifier(0), ERegexError);
  EXPECT_EQ(e.LastErrorCode(), 1013);
}

TEST(RegexMatchTest, SubjectEndsAtZeroByte) {
  TRegexEngine e;
  e.SetExpression("b");
  EXPECT_FALSE(e.Exec(std::string("a\0b", 3)));
  e.SetExpression("a$");
  EXPECT_TRUE(e.Exec(std::string("a\0b", 3)));
}

TEST(RegexMatchTest, GreedyAndLazy) {
  EXPECT_EQ(FirstMatch("a+?b", "aaab"), "1:aaab");
  EXPECT_EQ(FirstMatch("a*?", "aaa"), "1:");
  EXPECT_EQ(FirstMatch("<(.+)>", "<a><b>"), "1:<a><b>|2:a><b");
  EXPECT_EQ(FirstMatch("<(.+?)>", "<a><b>"), "1:<a>|2:a");
  EXPECT_EQ(FirstMatch("a{2,3}", "aaaa"), "1:aaa");
  EXPECT_EQ(FirstMatch("a{2,3}?", "aaaa"), "1:aa");
  EXPECT_EQ(FirstMatch("a{2,3}?b", "aaaab"), "2:aaab");
  EXPECT_EQ(FirstMatch("x[0-9]{1,2}?9", "x1999"), "1:x19");
  EXPECT_EQ(FirstMatch("(ab)+?c", "ababc"), "1:ababc|3:ab");
  EXPECT_EQ(FirstMatch("a*", "aaa", {{4, false}}), "1:");  // g off: every quantifier lazy
  EXPECT_EQ(FirstMatch("a*b", "aaa"), "none");
  // A lazy choice between a group and nothing prefers nothing.
  EXPECT_EQ(FirstMatch("(ab)??a", "aba"), "1:a");
  EXPECT_EQ(FirstMatch("(a)*", "aaa"), "1:aaa|3:a");
  EXPECT_EQ(FirstMatch("(a|b)*?c", "abbc"), "1:abbc|3:b");
}

TEST(RegexMatchTest, CountedLoopsRestoreTheirStateOnBacktracking) {
  // Failed continuations used to leave the loop depth one short, so backtracking into the body
  // found no active loop ("Loop Without LoopEntry !").
  EXPECT_EQ(FirstMatch("(a|ab){1,2}c", "abc"), "1:abc|1:ab");
  EXPECT_EQ(FirstMatch("(a|ab){1,2}?c", "abc"), "1:abc|1:ab");
  EXPECT_EQ(FirstMatch("((a|ab)x?){2}c", "aabc"), "1:aabc|2:ab|2:ab");
  // The outer loop counts its own iterations, the inner lazy one leaves its counter behind.
  EXPECT_EQ(FirstMatch("((ab)*?c){2}", "abcabababc"), "1:abcabababc|4:abababc|8:ab");
  EXPECT_EQ(FirstMatch("(x(ab)*?c){2}", "xabcxababcx"), "1:xabcxababc|5:xababc|8:ab");
  EXPECT_EQ(FirstMatch("(a){3}", "aa"), "none");
  EXPECT_EQ(FirstMatch("(ab){0}c", "abc"), "3:c");
}

TEST(RegexMatchTest, ElevenNestedCountedLoopsExceedTheLoopStack) {
  std::string pattern = "a";
  for (int i = 0; i < 10; ++i) pattern = "(" + pattern + "){1}";
  EXPECT_EQ(FirstMatch(pattern, "xa").substr(0, 4), "2:a|");
  pattern = "(" + pattern + "){1}";
  TRegexEngine e;
  e.SetExpression(pattern);
  EXPECT_FALSE(e.Exec("b"));  // never reaches the innermost loop
  try {
    e.Exec("a");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1014);
    EXPECT_EQ(err.Message(), "TRegexEngine(exec): Loop Stack Exceeded");
  }
}

TEST(RegexMatchTest, EmptyLoopBodiesEndTheirLoop) {
  EXPECT_EQ(FirstMatch("(a{0,3})*", "aaaa"), "1:aaaa|5:");
  EXPECT_EQ(FirstMatch("(a{0,3})*b", "b"), "1:b|1:");
  EXPECT_EQ(FirstMatch("(a{0,3})+?b", "aab"), "1:aab|1:aa");
  EXPECT_EQ(FirstMatch("(a{0,3}){2,}c", "ac"), "1:ac|2:");
  EXPECT_EQ(FirstMatch("((a{0,1})+)*x", "x"), "1:x|1:|1:");
  EXPECT_EQ(FirstMatch("(a{0,1}|b)*?c", "bc"), "1:bc|1:b");
  // Every iteration of a bounded loop runs, even empty ones.
  EXPECT_EQ(FirstMatch("(a{0,1}|cab){2,3}b", "acabb"), "1:acabb|2:cab");
}

TEST(RegexMatchTest, BackReferences) {
  EXPECT_EQ(FirstMatch("(a+)b\\1", "aabaa"), "1:aabaa|1:aa");
  EXPECT_EQ(FirstMatch("(a)|b\\1", "b"), "none");  // an unset group matches nothing
  EXPECT_EQ(FirstMatch("(x?)a\\1b", "ab"), "1:ab|1:");
  EXPECT_EQ(FirstMatch("(a)\\1", "aA", {{1, true}}), "1:aA|1:a");
  EXPECT_EQ(FirstMatch("(a)\\1", "aA"), "none");
  // Repeats over a back-reference repeat the whole capture.
  EXPECT_EQ(FirstMatch("(ab)\\1*", "abababx"), "1:ababab|1:ab");
  EXPECT_EQ(FirstMatch("(ab)\\1{2}", "ababx ababab"), "7:ababab|7:ab");
  EXPECT_EQ(FirstMatch("(ab)\\1{2}", "ababa"), "none");
  EXPECT_EQ(FirstMatch("(ab)\\1+?b", "ababab"), "none");
  EXPECT_EQ(FirstMatch("(ab)\\1*?a", "ababa"), "1:aba|1:ab");
  EXPECT_EQ(FirstMatch("(ab)\\1*ab", "ababab"), "1:ababab|1:ab");
  EXPECT_EQ(FirstMatch("(Ab)\\1+", "AbaBAB", {{1, true}}), "1:AbaBAB|1:Ab");
  // An empty capture repeats for free; an unset one allows zero repetitions only.
  EXPECT_EQ(FirstMatch("(b?)\\1{5}c", "c"), "1:c|1:");
  EXPECT_EQ(FirstMatch("(b)?\\1*c", "c"), "1:c");
  EXPECT_EQ(FirstMatch("(b)?\\1+c", "c"), "none");
}

TEST(RegexMatchTest, LineAnchors) {
  const Mods multi = {{5, true}};
  EXPECT_EQ(FirstMatch("^b", "a\nb"), "none");
  EXPECT_EQ(FirstMatch("^b", "a\nb", multi), "3:b");
  EXPECT_EQ(FirstMatch("^b", "a\rb", multi), "3:b");
  // Never between the CR and LF of a pair.
  EXPECT_EQ(AllMatches("^", "a\r\nb", multi), "1: 4:");
  EXPECT_EQ(AllMatches("$", "a\r\nb\n", multi), "2: 5: 6:");
  EXPECT_EQ(FirstMatch("a$", "a\nb"), "none");
  EXPECT_EQ(FirstMatch("\\Aa|b\\Z", "aab"), "1:a");
  EXPECT_EQ(AllMatches("\\Aa|b\\Z", "bab", multi), "3:b");
  // '$' of an inline (?m) may stand before a line break whatever the engine's modifier says.
  EXPECT_EQ(FirstMatch("(?m)$", "a\nb"), "2:");
  EXPECT_EQ(FirstMatch("(?m)$", "a\nb", multi), "2:");
  EXPECT_EQ(FirstMatch("(?m)^b", "a\nb"), "3:b");
  EXPECT_EQ(FirstMatch("a.c", "a\nc", {{3, false}}), "none");
  EXPECT_EQ(FirstMatch("a.c", "a\nc"), "1:a\nc");
  EXPECT_EQ(FirstMatch("a.+", "ab\r\nc", {{3, false}}), "1:ab");

  // Without the pair CR and LF are two line breaks, with a line start between them.
  TRegexEngine e;
  e.SetModifier(5, true);
  e.SetExpression("^");
  e.SetLinePairedSeparator("");
  EXPECT_EQ(e.LinePairedSeparator(), "");
  e.SetInputString("a\r\nb");
  ASSERT_TRUE(e.ExecPos(2));
  EXPECT_EQ(e.MatchStart(0), 3);
  e.SetLinePairedSeparator("\r\n");
  ASSERT_TRUE(e.ExecPos(2));
  EXPECT_EQ(e.MatchStart(0), 4);
  try {
    e.SetLinePairedSeparator("xx");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 128);
    EXPECT_EQ(err.Message(),
              "TRegexEngine(comp): LinePairedSeparator must countain two different chars or no "
              "chars at all (pos 0)");
  }
  EXPECT_THROW(e.SetLinePairedSeparator("abc"), ERegexError);
}

TEST(RegexMatchTest, WordEdgesAndClasses) {
  EXPECT_EQ(FirstMatch("\\bfoo\\b", "a foo b"), "3:foo");
  EXPECT_EQ(FirstMatch("\\bfoo\\b", "afoo"), "none");
  EXPECT_EQ(FirstMatch("\\Bo", "foo"), "2:o");
  EXPECT_EQ(AllMatches("\\b", "ab c"), "1: 3: 4: 5:");
  EXPECT_EQ(FirstMatch("\\w+", "\xC4\xE3\xBA\xC3"), "none");  // GBK bytes are no word bytes
  EXPECT_EQ(FirstMatch("\\w+", "\xC4\xE3_x9"), "3:_x9");
  EXPECT_EQ(FirstMatch("\\s+", "a \t\r\n\fb"), "2: \t\r\n\f");
  EXPECT_EQ(FirstMatch("\\S+", " ab "), "2:ab");
  EXPECT_EQ(FirstMatch("\\D\\d", "12a3"), "3:a3");
  EXPECT_EQ(FirstMatch("[^a-c]+", "abxyc"), "3:xy");
  EXPECT_EQ(FirstMatch("[A-C]+", "xaBc", {{1, true}}), "2:aBc");
  EXPECT_EQ(FirstMatch("[^A]+", "xaAb", {{1, true}}), "1:x");
  EXPECT_EQ(FirstMatch("ABC", "xabc", {{1, true}}), "2:abc");
  EXPECT_EQ(FirstMatch("\xB2\xCE", "\xB2\xCE", {{1, true}}), "1:\xB2\xCE");
}

// Runs `pattern` with its hints and again behind ".{0}(...)", which leaves the matcher no hint
// at all (every position is tried), and compares every match.
void ExpectHintsChangeNothing(const std::string& pattern, const std::string& subject,
                              Mods mods = {}) {
  SCOPED_TRACE(pattern);
  TRegexEngine hinted;
  TRegexEngine plain;
  ApplyMods(hinted, mods);
  ApplyMods(plain, mods);
  hinted.SetExpression(pattern);
  plain.SetExpression(".{0}(" + pattern + ")");
  plain.Compile();
  ASSERT_TRUE(plain.LeadSet().all());
  hinted.SetInputString(subject);
  plain.SetInputString(subject);
  for (size_t offset = 1; offset <= subject.size() + 1; ++offset) {
    const bool found = hinted.ExecPos(static_cast<int>(offset));
    ASSERT_EQ(found, plain.ExecPos(static_cast<int>(offset))) << "offset " << offset;
    if (!found) continue;
    EXPECT_EQ(hinted.MatchStart(0), plain.MatchStart(0));
    EXPECT_EQ(hinted.MatchLength(0), plain.MatchLength(0));
    for (int g = 1; g < 14; ++g) EXPECT_EQ(hinted.MatchStart(g), plain.MatchStart(g + 1));
  }
}

TEST(RegexMatchTest, HintsNeverChangeAResult) {
  const std::string text = "xx<title>A</title> ab\r\nAB<b>abab</b> 123 a\nb\n";
  const char* const patterns[] = {
      "<title>(.*?)</title>",
      "ab",
      "^x",
      "x*ab",
      "b*</b>",
      "[ab]+",
      "\\d{2,}",
      "$",
      "a|<",
      "(a|b){2}",
      "(?i)AB",
      "(a{0,1}){1,2}<",
      "(?m)$",
      "(?m)^a",
      "b$",
      "\\bab",
      "(x{0,2}){1,}ti",
      "\\x00|x",
  };
  for (const char* p : patterns) {
    ExpectHintsChangeNothing(p, text);
    ExpectHintsChangeNothing(p, text, {{1, true}, {5, true}});
  }
}

TEST(RegexMatchTest, LeadLiteralFoundAtEveryDistanceFromTheEnd) {
  // The lead literal is looked for 32 starts at a time (or with memchr on a rare byte such as
  // ':') and bytewise near the end: subjects of every length up to 100 made of copies of the
  // literal in either case, copies with one byte changed, and single bytes of it, searched from
  // every offset.
  std::mt19937 rng(17);
  const std::string literals[] = {"<title>", "Ab",           "q",
                                  "aa aa",   "Rank:</span>", "<meta http=\"Content Type\" CHARSET"};
  for (const std::string& lit : literals) {
    for (size_t len = 0; len <= 100; len += 3) {
      std::string subject;
      while (subject.size() < len) {
        std::string piece = lit;
        for (char& c : piece) c = rng() % 2 ? UpChar(c) : c;
        if (rng() % 3 == 0) piece[rng() % piece.size()] = '-';
        if (rng() % 3 == 0) piece = piece.substr(rng() % piece.size(), 1);
        subject += piece;
      }
      subject.resize(len);
      SCOPED_TRACE(subject);
      ExpectHintsChangeNothing(lit, subject);
      ExpectHintsChangeNothing(lit, subject, {{1, true}});
    }
  }
}

TEST(RegexMatchTest, LoopThatCanBeSkippedDespiteItsMinimum) {
  // The body can match nothing, so the pattern can start with what follows the loop.
  TRegexEngine e;
  e.SetExpression("(a{0,1}){1,2}b");
  e.Compile();
  EXPECT_TRUE(e.LeadSet()['b']);
  EXPECT_TRUE(e.Exec("xb"));
  EXPECT_EQ(e.MatchStart(0), 2);
}

}  // namespace
