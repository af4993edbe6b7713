// Helpers shared by the regex tests: compiling with modifiers, collecting matches.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "regex/RegexEngine.h"

// Modifier settings as (index, on) pairs, index 1..6 = i r s g m x.
using Mods = std::initializer_list<std::pair<int, bool>>;

inline void ApplyMods(TRegexEngine& e, Mods mods) {
  for (const auto& [index, on] : mods) e.SetModifier(index, on);
}

// The program dump of `pattern` compiled with `mods`.
inline std::string DumpOf(const std::string& pattern, Mods mods = {}) {
  TRegexEngine e;
  ApplyMods(e, mods);
  e.SetExpression(pattern);
  e.Compile();
  return e.DumpProgram();
}

// One match as "start:text" of group 0, then "|start:text" for groups 1..LastMatchedGroup
// ("|-" for an unset group).
inline std::string Describe(const TRegexEngine& e) {
  std::string out = std::to_string(e.MatchStart(0)) + ":" + e.MatchText(0);
  for (int g = 1; g <= e.LastMatchedGroup(); ++g) {
    out += "|";
    out += e.MatchStart(g) < 0 ? "-" : std::to_string(e.MatchStart(g)) + ":" + e.MatchText(g);
  }
  return out;
}

// The first match of pattern in subject, or "none".
inline std::string FirstMatch(const std::string& pattern, const std::string& subject,
                              Mods mods = {}) {
  TRegexEngine e;
  ApplyMods(e, mods);
  e.SetExpression(pattern);
  return e.Exec(subject) ? Describe(e) : "none";
}

// Every match, Exec then ExecNext, joined by spaces.
inline std::string AllMatches(const std::string& pattern, const std::string& subject,
                              Mods mods = {}) {
  TRegexEngine e;
  ApplyMods(e, mods);
  e.SetExpression(pattern);
  std::string out;
  if (e.Exec(subject)) {
    do {
      if (!out.empty()) out += " ";
      out += Describe(e);
    } while (e.ExecNext());
  }
  return out.empty() ? "none" : out;
}

// The ERegexError code a compile of pattern raises (0 when it compiles), with its position.
inline std::pair<int, int> CompileError(const std::string& pattern, Mods mods = {}) {
  TRegexEngine e;
  ApplyMods(e, mods);
  e.SetExpression(pattern);
  try {
    e.Compile();
  } catch (const ERegexError& err) {
    return {err.Code, err.Position};
  }
  return {0, 0};
}
