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
  const size_t limit = std::min(text.size(), std::strlen(text.c_str()));
  const std::string upper_text = AnsiUpperCase(std::string_view(text).substr(0, limit));
  const std::string upper_pattern = AnsiUpperCase(pattern);
  const std::string_view hay(upper_text);
  const size_t m = upper_pattern.size();

  std::string out;
  out.reserve(text.size());
  size_t rest = 0;      // start of the remainder not yet copied to out
  size_t boundary = 0;  // a character start of the remainder; never passes a candidate
  size_t from = 0;      // where the next byte search begins
  for (;;) {
    const size_t hit = hay.find(upper_pattern, from);
    if (hit == std::string_view::npos) break;
    // Walk character by character from the remainder's start up to the hit; a walk that steps
    // over it shows the hit begins on a trail byte. The walk never goes back, so the whole
    // replacement stays linear in the length of the text.
    while (boundary < hit)
      boundary += IsLeadByte(static_cast<unsigned char>(hay[boundary])) ? 2 : 1;
    if (boundary != hit) {
      from = hit + 1;
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
