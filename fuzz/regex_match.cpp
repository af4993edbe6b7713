// Searching arbitrary subjects with arbitrary patterns: byte 0 picks the modifiers, byte 1 the
// pattern's length (up to 63), then come the pattern and the subject (up to 512 bytes). Every
// match lies inside the subject and its groups inside the match's reach; ExecNext moves
// forward; and the search hints never change a result: the same pattern behind ".{0}(...)",
// which leaves the search no hint, finds the same matches. Budgets keep backtracking short.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "RegexFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRegexFuzzInput input;
  if (!input.Parse(data, size)) return 0;
  const std::string& pattern = input.Pattern;
  const std::string& subject = input.Subject;

  TRegexEngine hinted;
  TRegexEngine plain;
  input.Configure(hinted, pattern);
  input.Configure(plain, ".{0}(" + pattern + ")");
  try {
    hinted.Compile();
  } catch (const ERegexError&) {
    return 0;
  }
  bool compare = true;
  try {
    plain.Compile();
  } catch (const ERegexError&) {
    compare = false;  // a 15th group, or a comment that swallows the ')'
  }
  // The twin's extra group renumbers the pattern's groups, so a back-reference (\1 .. \9) there
  // names another group than in the original: such patterns are not compared.
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') compare = false;
      ++i;
    }
  }
  const int visible = static_cast<int>(std::string(subject.c_str()).size());
  try {
    hinted.SetInputString(subject);
    if (compare) plain.SetInputString(subject);
    int last_end = 0;
    bool found = hinted.ExecPos(1);
    bool plain_found = compare && plain.ExecPos(1);
    for (int round = 0; round < 600; ++round) {
      if (compare && found != plain_found) std::abort();
      if (!found) break;
      const int start = hinted.MatchStart(0);
      const int length = hinted.MatchLength(0);
      if (start < 1 || length < 0 || start + length > visible + 1 || start < last_end) {
        std::abort();
      }
      if (hinted.MatchText(0) != subject.substr(start - 1, length)) std::abort();
      if (compare && (plain.MatchStart(0) != start || plain.MatchLength(0) != length)) {
        std::abort();
      }
      for (int g = 1; g <= 14; ++g) {
        const int s = hinted.MatchStart(g);
        if (s >= 0 && (s < 1 || s + hinted.MatchLength(g) > visible + 1)) std::abort();
        if (compare && g < 14 && s != plain.MatchStart(g + 1)) std::abort();
      }
      hinted.ExpandTemplate("$0${1}$2\\$&");
      last_end = start + length;
      found = hinted.ExecNext();
      plain_found = compare && plain.ExecNext();
    }
  } catch (const ERegexError& err) {
    if (err.Code != 1014 && err.Code != 1016 && err.Code != 1017) std::abort();
  }
  return 0;
}
