// What the regex search targets read from an input: byte 0 picks the modifiers, byte 1 the
// pattern's length (up to 63), then come the pattern and the subject (up to 512 bytes); and the
// engine set up with them and with budgets that keep backtracking short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "regex/RegexEngine.h"

struct TRegexFuzzInput {
  uint8_t Mods = 0;
  std::string Pattern;
  std::string Subject;

  // False when the input is too short to name a pattern.
  bool Parse(const uint8_t* data, size_t size) {
    if (size < 2) return false;
    const size_t pattern_length = data[1] & 63;
    if (size < 2 + pattern_length) return false;
    Mods = data[0];
    Pattern.assign(reinterpret_cast<const char*>(data) + 2, pattern_length);
    Subject.assign(reinterpret_cast<const char*>(data) + 2 + pattern_length,
                   size - 2 - pattern_length);
    if (Subject.size() > 512) Subject.resize(512);
    return true;
  }

  void Configure(TRegexEngine& engine, const std::string& pattern) const {
    for (int index = 1; index <= 6; ++index) engine.SetModifier(index, (Mods >> index) & 1);
    engine.SetMatchStepLimit(200000);
    engine.SetMatchStackLimit(1 << 20);
    engine.SetExpression(pattern);
  }
};
