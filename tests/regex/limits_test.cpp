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
  // Any pattern over 16 MiB on an 8 MiB stack ends with a result or one of our errors.
  const std::string big(16 << 20, 'a');
  std::string results[4];
  RunOnStack(8 << 20, [&] {
    TRegexEngine e;
    e.SetExpression("(a|b)*[bc]");  // one choice point per byte, kept for backtracking
    results[0] = Outcome(e, big);
    e.SetExpression("a+$");
    results[1] = Outcome(e, big);
    e.SetExpression("(?-s)(.)+?b");
    e.SetMatchStepLimit(5'000'000);
    results[2] = Outcome(e, big);
    e.SetExpression("[^<>]+(c|d)");  // quadratic: every start, every length
    results[3] = Outcome(e, big);
  });
  EXPECT_EQ(results[0], "error 1016");
  EXPECT_EQ(results[1], "match@1+16777216");
  EXPECT_EQ(results[2], "error 1017");
  EXPECT_EQ(results[3], "error 1017");
}

TEST(RegexLimitsTest, StackBudget) {
  TRegexEngine e;
  e.SetExpression("(ab|a)*c");
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "ab";
  e.SetMatchStackLimit(64 << 10);
  try {
    e.Exec(text + "c");
    FAIL();
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 1016);
    EXPECT_EQ(err.Position, 0);
    EXPECT_EQ(err.Message(), "TRegexEngine(exec): Backtrack Stack Exceeded");
  }
  EXPECT_EQ(e.MatchStart(0), -1);
  e.SetMatchStackLimit(16 << 20);
  EXPECT_EQ(Outcome(e, text + "c"), "match@1+10001");
}

TEST(RegexLimitsTest, StepBudgetStopsExponentialBacktracking) {
  TRegexEngine e;
  e.SetExpression("(a|aa)+$");
  e.SetMatchStepLimit(2'000'000);
  const std::string text = std::string(40, 'a') + "b";
  EXPECT_EQ(Outcome(e, text), "error 1017");
  EXPECT_EQ(e.LastErrorCode(), 1017);
  // The engine stays usable; small cases finish within the budget.
  EXPECT_EQ(Outcome(e, "aaab"), "none");
  EXPECT_EQ(Outcome(e, "aaa"), "match@1+3");
  e.SetExpression("(x+x+)+[yz]");
  e.SetMatchStepLimit(1000);
  EXPECT_EQ(Outcome(e, std::string(30, 'x')), "error 1017");
  EXPECT_EQ(Outcome(e, "xxy"), "match@1+3");
}

}  // namespace
