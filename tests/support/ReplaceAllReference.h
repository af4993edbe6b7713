// ReplaceAll written the slow way, for the tests and the fuzz target to hold the real one to:
// upper-cased copies, remainders cut after every match, each remainder searched from its own
// start with the lead-byte rule and the NUL stop. Quadratic and obviously faithful.
// Header-only: the fuzz targets include it without the test support library.
#pragma once

#include <string>

#include "runtime/CodePage.h"

inline std::string ReferenceReplaceAll(const std::string& text, const std::string& pattern,
                                       const std::string& replacement) {
  std::string search = AnsiUpperCase(text), patt = AnsiUpperCase(pattern), input = text, result;
  while (!search.empty()) {
    size_t visible = search.find('\0');
    if (visible == std::string::npos) visible = search.size();
    size_t found = std::string::npos;
    for (size_t p = 0; !patt.empty() && p + patt.size() <= visible; ++p) {
      if (ByteType(search, p) != mbTrailByte && search.compare(p, patt.size(), patt) == 0) {
        found = p;
        break;
      }
    }
    if (found == std::string::npos) return result + input;
    result += input.substr(0, found) + replacement;
    input.erase(0, found + pattern.size());
    search.erase(0, found + patt.size());
  }
  return result;
}
