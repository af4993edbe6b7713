// The two matchers on the same pattern and subject (input as in RegexFuzzInput.h). One engine
// backtracks, the other sends every search to the linear matcher at once; wherever the
// backtracker answers by itself, both find the same match with the same groups, match after
// match (ExecNext). A search that backtracking gave up on went linear anyway and is not compared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "RegexFuzzInput.h"

namespace {

// One search of `engine`; false when it raised (the loop then ends).
bool Search(TRegexEngine& engine, bool first, bool& found) {
  try {
    found = first ? engine.ExecPos(1) : engine.ExecNext();
  } catch (const ERegexError& err) {
    // Ten counted loops nested, or a back-reference's budget.
    if (err.Code != 1014 && err.Code != 1016 && err.Code != 1017) std::abort();
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRegexFuzzInput input;
  if (!input.Parse(data, size)) return 0;
  TRegexEngine backtracking;
  TRegexEngine linear;
  input.Configure(backtracking, input.Pattern);
  input.Configure(linear, input.Pattern);
  linear.SetLinearFirst(true);
  try {
    backtracking.Compile();
  } catch (const ERegexError&) {
    return 0;
  }
  backtracking.SetInputString(input.Subject);
  linear.SetInputString(input.Subject);
  for (int round = 0; round < 64; ++round) {
    const uint64_t before = TRegexEngine::LinearSearchCount();
    bool found = false;
    bool linear_found = false;
    if (!Search(backtracking, round == 0, found)) break;
    const bool compared = TRegexEngine::LinearSearchCount() == before;
    if (!Search(linear, round == 0, linear_found)) break;
    if (compared) {
      if (found != linear_found) std::abort();
      for (int g = 0; found && g < 15; ++g) {
        if (backtracking.MatchStart(g) != linear.MatchStart(g) ||
            backtracking.MatchLength(g) != linear.MatchLength(g)) {
          std::abort();
        }
      }
    }
    if (!found || !linear_found) break;
    // Both go on from their own match; after a search that was not compared they may differ.
    if (!compared) break;
  }
  return 0;
}
