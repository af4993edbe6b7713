#include "query/UseFunction.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

// ---- Text helpers: TextBetween, DigitsOnly, TrimSuffix, ReplaceAll, FailureText ----------
//
// Pure functions of their arguments: safe on any thread. Total on any bytes.

namespace {

// Every byte of s is a digit or a comma.
bool OnlyDigitsAndCommas(std::string_view s) {
  for (char c : s)
    if (c != ',' && (c < '0' || c > '9')) return false;
  return true;
}

}  // namespace

std::string TextBetween(const std::string& page, const std::string& start, const std::string& end) {
  const std::string_view text(page);
  if (start.empty() || end.empty()) return "0";
  const size_t s = text.find(start);
  if (s == std::string_view::npos) return "0";
  const size_t from = s + start.size();
  const size_t e = text.find(end, from);
  if (e != std::string_view::npos) return page.substr(from, e - from);
  // No end after start: an end delimiter that occurs only before start still counts as
  // present, and that gives the empty text rather than "0".
  return text.find(end) != std::string_view::npos ? std::string() : std::string("0");
}

std::string DigitsOnly(const std::string& text) {
  return OnlyDigitsAndCommas(Trim(text)) ? text : std::string("0");
}

std::string TrimSuffix(const std::string& text, const std::string& suffix) {
  if (suffix.empty() || suffix.size() > text.size()) return text;
  const size_t tail = text.size() - suffix.size();
  if (ByteType(text, tail) == mbTrailByte) return text;
  if (!AnsiSameText(std::string_view(text).substr(tail), suffix)) return text;
  return text.substr(0, tail);
}

std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement) {
  if (pattern.empty()) return text;
  // The search sees the text only up to its first NUL; a pattern holding a NUL therefore never
  // matches, and everything from the NUL on is copied as it is.
  const void* nul = std::memchr(text.data(), '\0', text.size());
  const size_t limit = nul ? static_cast<const char*>(nul) - text.data() : text.size();
  const std::string upper_pattern = AnsiUpperCase(pattern);
  // Case matters only where the pattern has a letter: without one, no window that holds a
  // letter of the text can match either way, and the text is searched as it stands.
  const bool has_letter = std::any_of(pattern.begin(), pattern.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
  const std::string upper_text =
      has_letter ? AnsiUpperCase(std::string_view(text).substr(0, limit)) : std::string();
  const std::string_view hay =
      has_letter ? std::string_view(upper_text) : std::string_view(text).substr(0, limit);
  const size_t m = upper_pattern.size();

  std::string out;
  out.reserve(text.size());
  size_t rest = 0;      // start of the remainder not yet copied to out
  size_t boundary = 0;  // a character start of the remainder, at or before the next hit
  size_t from = 0;      // where the next byte search begins
  for (;;) {
    const size_t hit = hay.find(upper_pattern, from);
    if (hit == std::string_view::npos) break;
    // The byte before a run of lead-range bytes is a single byte or a trail byte, so a
    // character starts right after it and the run pairs up from there: the hit starts a
    // character when an even number of lead-range bytes precede it, counted back no further
    // than the last known start. Each byte is looked at once at most, as the known start then
    // moves past the hit.
    size_t run = hit;
    while (run > boundary && IsLeadByte(static_cast<unsigned char>(hay[run - 1]))) --run;
    if ((hit - run) % 2 != 0) {  // a trail byte; the next character starts after it
      boundary = from = hit + 1;
      continue;
    }
    out.append(text, rest, hit - rest);
    out += replacement;
    rest = boundary = from = hit + m;
  }
  out.append(text, rest, std::string::npos);
  return out;
}

const std::string& FailureText() {
  // Built once; never destroyed, so a worker finishing during exit still finds it.
  static const std::string* const text = new std::string(Gbk(u8"网页无法访问"));
  return *text;
}

// ---- End of text helpers ----------------------------------------------------------------
