// What bounds a search: no recursion per byte (deep matches run on small thread stacks), the
// backtracking stack's budget and the step budget, each reported as our own error.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "RegexTestUtil.h"

namespace {

// Runs fn on a thread with a stack of `stack_bytes` and waits for it.
void RunOnStack(size_t stack_bytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  auto* task = new std::function<void()>(fn);
  const int rc = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        auto* f = static_cast<std::function<void()>*>(arg);
        (*f)();
        delete f;
        return nullptr;
      },
      task);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(rc, 0);
  pthread_join(thread, nullptr);
}

// Outcome of one search: "match@start+length", "none" or "error <code>".
std::string Outcome(TRegexEngine& e, const std::string& subject) {
  try {
    if (!e.Exec(subject)) return "none";
    return "match@" + std::to_string(e.MatchStart(0)) + "+" + std::to_string(e.MatchLength(0));
  } catch (const ERegexError& err) {
    return "error " + std::to_string(err.Code);
  }
}

TEST(RegexLimitsTest, LongMatchesNeedNoStack) {
  // Loops over groups, lazy loops over '.' without s, and choices per byte: a megabyte each,
  // on a thread whose stack is 256 KiB.
  const std::string abab(1 << 20, 'a');
  std::string pairs;
  for (int i = 0; i < (1 << 19); ++i) pairs += "ab";
  std::string results[5];
  RunOnStack(256 << 10, [&] {
    TRegexEngine e;
    e.SetExpression("(ab)*$");
    results[0] = Outcome(e, pairs);
    e.SetExpression("x(.*?)y");
    e.SetModifier(3, false);
    results[1] = Outcome(e, "x" + abab + "y");
    e.SetExpression("(a|b)+c");
    results[2] = Outcome(e, pairs + "c");
    e.SetExpression("((ab){1,3})+$");
    results[3] = Outcome(e, pairs);
    e.SetExpression("<title>(.*?)</title>");
    e.SetModifier(1, true);
    results[4] = Outcome(e, abab + "<TITLE>t</title>");
  });
  EXPECT_EQ(results[0], "match@1+1048576");
  EXPECT_EQ(results[1], "match@1+1048578");
  EXPECT_EQ(results[2], "match@1+1048577");
  EXPECT_EQ(results[3], "match@1+1048576");
  EXPECT_EQ(results[4], "match@1048577+16");
}

TEST(RegexLimitsTest, SixteenMegabytesOnAnOrdinaryThreadStack) {
  // Any pattern over 16 MiB on an 8 MiB stack ends with a result or, with a back-reference, one
  // of our errors. Without one the linear matcher answers where backtracking gives up.
  const std::string big(16 << 20, 'a');
  struct Row {
    const char* pattern;
    int64_t step_limit;
    const char* outcome;
  } rows[] = {
      {"(a|b)*[bc]\\1", 0, "error 1016"},  // one choice point per byte, kept for backtracking
      {"(a|b)*[bc]", 0, "none"},
      {"a+$", 0, "match@1+16777216"},
      {"(?-s)(.)+?b\\1", 5'000'000, "error 1017"},
      {"(?-s)(.)+?b", 5'000'000, "none"},
      {"[^<>]+(c|d)", 0, "none"},           // quadratic for the backtracker
      {"[^<>]+(c|d)\\1", 0, "error 1017"},  // the same with a back-reference: the budget ends it
  };
  std::string results[std::size(rows)];
  int64_t quadratic_steps = 0;
  RunOnStack(8 << 20, [&] {
    TRegexEngine e;
    for (size_t r = 0; r < std::size(rows); ++r) {
      e.SetExpression(rows[r].pattern);
      e.SetMatchStepLimit(rows[r].step_limit);
      results[r] = Outcome(e, big);
    }
    quadratic_steps = e.SearchSteps();
  });
  for (size_t r = 0; r < std::size(rows); ++r)
    EXPECT_EQ(results[r], rows[r].outcome) << rows[r].pattern;
  // Past the largest page the default budget grows no further.
  EXPECT_GE(quadratic_steps, TRegexEngine::DefaultStepBudget(8 << 20));
  EXPECT_LT(quadratic_steps, TRegexEngine::DefaultStepBudget(8 << 20) + 100);
  EXPECT_EQ(TRegexEngine::DefaultStepBudget(16 << 20), TRegexEngine::DefaultStepBudget(8 << 20));
}

TEST(RegexLimitsTest, StackBudget) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "ab";
  TRegexEngine e;
  e.SetMatchStackLimit(64 << 10);
  e.SetExpression("(ab|a)*c");  // the linear matcher needs no stack
  EXPECT_EQ(Outcome(e, text + "c"), "match@1+10001");
  e.SetExpression("(ab|a)*c\\1");
  try {
    e.Exec(text + "cab");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1016);
    EXPECT_EQ(err.Position, 0);
    EXPECT_EQ(err.Message(), "TRegexEngine(exec): Backtrack Stack Exceeded");
  }
  EXPECT_EQ(e.MatchStart(0), -1);
  e.SetMatchStackLimit(16 << 20);
  EXPECT_EQ(Outcome(e, text + "cab"), "match@1+10003");
}

TEST(RegexLimitsTest, BacktrackingGivesUpOnlyWithBackReferences) {
  // Exponential backtracking: with a back-reference the budget ends it; without one the linear
  // matcher takes over and answers.
  const uint64_t linear_before = TRegexEngine::LinearSearchCount();
  TRegexEngine e;
  e.SetExpression("(a|aa)+\\1$");
  e.SetMatchStepLimit(2'000'000);
  const std::string text = std::string(40, 'a') + "b";
  EXPECT_EQ(Outcome(e, text), "error 1017");
  EXPECT_EQ(e.LastErrorCode(), 1017);
  // The engine stays usable; small cases finish within the budget.
  EXPECT_EQ(Outcome(e, "aaab"), "none");
  EXPECT_EQ(Outcome(e, "aaaa"), "match@1+4");
  EXPECT_EQ(TRegexEngine::LinearSearchCount(), linear_before);
  e.SetExpression("(a|aa)+$");
  EXPECT_EQ(Outcome(e, text), "none");
  EXPECT_EQ(TRegexEngine::LinearSearchCount(), linear_before + 1);
  e.SetExpression("(x+x+)+y");
  e.SetMatchStepLimit(0);
  EXPECT_EQ(Outcome(e, std::string(42, 'x') + "z xxy"), "match@45+3");
  EXPECT_EQ(e.MatchText(1), "xx");
  EXPECT_EQ(TRegexEngine::LinearSearchCount(), linear_before + 2);
  // ExecNext after a search the linear matcher answered goes to it at once.
  e.SetExpression("(x+x+)+y|(q)");
  ASSERT_EQ(Outcome(e, std::string(42, 'x') + "z xxy qxxxy"), "match@45+3");
  ASSERT_TRUE(e.ExecNext());
  EXPECT_EQ(Describe(e), "49:q|-|49:q");
  ASSERT_TRUE(e.ExecNext());
  EXPECT_EQ(Describe(e), "50:xxxy|50:xxx");
  EXPECT_FALSE(e.ExecNext());
  EXPECT_EQ(TRegexEngine::LinearSearchCount(), linear_before + 6);
}

TEST(RegexLimitsTest, BackReferencesCostTheBytesTheyCompare) {
  // (a+)\1 compares up to half the rest of the text for every start and every length: cubic
  // work in bytes, quadratic in nodes. 2000 bytes take 7 million node steps but compare 330
  // million bytes.
  TRegexEngine e;
  e.SetExpression("(a+)\\1[bc]");
  e.SetMatchStepLimit(20'000'000);
  EXPECT_EQ(Outcome(e, std::string(2000, 'a')), "error 1017");
  e.SetMatchStepLimit(0);
  EXPECT_EQ(Outcome(e, std::string(1 << 20, 'a')), "error 1017");
  EXPECT_GE(e.SearchSteps(), TRegexEngine::DefaultStepBudget(1 << 20));
  // A repeated back-reference and a lazy one pay for their copies too.
  const std::string half(1 << 16, 'a');
  e.SetExpression("^(a+)b\\1$");
  EXPECT_EQ(Outcome(e, half + "b" + half), "match@1+131073");
  EXPECT_GE(e.SearchSteps(), 2 * (half.size() >> 3));  // the repeat's scan and the copy
  e.SetExpression("^(a{256})b\\1{2,}?$");
  EXPECT_EQ(Outcome(e, half.substr(0, 256) + "b" + half), "match@1+65793");
  EXPECT_GE(e.SearchSteps(), half.size() >> 3);
  // So does a ".*" looking back for the one byte that may follow it, tried at every start
  // (quadratic in bytes: about four minutes over 8 MiB when it was free).
  e.SetExpression(".*#(\\d)\\1");
  EXPECT_EQ(Outcome(e, "#x" + std::string(1 << 20, 'y')), "error 1017");
  e.SetModifier(1, true);  // caseless: two bytes to look for, one at a time
  e.SetExpression(".*q(\\d)\\1");
  EXPECT_EQ(Outcome(e, "qx" + std::string(1 << 18, 'y')), "error 1017");
}

TEST(RegexLimitsTest, ProductionRulesStayWellInsideTheBudget) {
  // The program's own rules over the largest page, the value at its very end.
  std::string page = "<html><head><meta name=\"keywords\" content=\"site, tools\">\r\n";
  for (unsigned i = 0; page.size() < (8u << 20) - 512; ++i) {
    const std::string n = std::to_string(i * 7919 % 100000);
    page += "<div class=\"item\"><a href=\"/page/" + n + ".html\" title=\"Item " + n +
            "\">\xC4\xE3\xBA\xC3 link " + n +
            "</a> <span class=\"date\">2010-05-1</span></div>\r\n";
  }
  page +=
      "<title>T</title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">"
      "<span>Alexa Traffic Rank:</span> <a class=\"trafficstats\">\r\n 12,345</a>";
  const char* const rules[] = {
      "<title>(.*?)</title>",
      "<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>",
      "Alexa Traffic Rank:</span>.*?trafficstats\\\">\\s+(.*?)</a>",
  };
  const char* const values[] = {"T", "gbk", "12,345"};
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE(rules[r]);
    TRegexEngine e;
    e.SetExpression(rules[r]);
    e.SetModifier(1, true);
    ASSERT_TRUE(e.Exec(page));
    EXPECT_EQ(e.MatchText(1), values[r]);
    EXPECT_LT(e.SearchSteps(), TRegexEngine::DefaultStepBudget(page.size()) / 50);
  }
}

}  // namespace
