// The two matchers on the same pattern and subject: byte 0 picks the modifiers, byte 1 the
// pattern's length (up to 63), then come the pattern and the subject (up to 512 bytes). One
// engine backtracks, the other sends every search to the linear matcher at once; wherever the
// backtracker answers by itself, both find the same match with the same groups, match after
// match (ExecNext). A search that backtracking gave up on went linear anyway and is not compared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regex/RegexEngine.h"

namespace {

void Configure(TRegexEngine& engine, uint8_t mods, const std::string& pattern) {
  for (int index = 1; index <= 6; ++index) engine.SetModifier(index, (mods >> index) & 1);
  engine.SetMatchStepLimit(200000);
  engine.SetMatchStackLimit(1 << 20);
  engine.SetExpression(pattern);
}

// One search of each; false when either raised (the loop then ends).
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
  if (size < 2) return 0;
  const size_t pattern_length = data[1] & 63;
  if (size < 2 + pattern_length) return 0;
  const std::string pattern(reinterpret_cast<const char*>(data) + 2, pattern_length);
  std::string subject(reinterpret_cast<const char*>(data) + 2 + pattern_length,
                      size - 2 - pattern_length);
  if (subject.size() > 512) subject.resize(512);

  TRegexEngine backtracking;
  TRegexEngine linear;
  Configure(backtracking, data[0], pattern);
  Configure(linear, data[0], pattern);
  linear.SetLinearFirst(true);
  try {
    backtracking.Compile();
  } catch (const ERegexError&) {
    return 0;
  }
  backtracking.SetInputString(subject);
  linear.SetInputString(subject);
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
