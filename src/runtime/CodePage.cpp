#include "runtime/CodePage.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "runtime/StrUtils.h"

namespace {

// Code page 936 as glibc's iconv reads it: for each double-byte code (lead 0x81..0xFE, trail
// 0x40..0xFE) the UCS-2 character it stands for, 0 for none. Made by tools/gen_gbk_table.py.
constexpr int kGbkTrails = 191;
constexpr uint16_t kGbkToUcs[126 * kGbkTrails] = {
#include "runtime/GbkTable.inc"
};

// Both directions, indexed directly, made from kGbkToUcs once and kept for the process's life
// (never destroyed, so a worker converting during exit finds them intact).
struct GbkTables {
  uint16_t to_gbk[65536];  // UCS-2 -> GBK code (one byte < 0x80, or lead<<8|trail); 0 = none
  uint16_t to_ucs[65536];  // GBK double-byte code -> UCS-2; 0 = none
};

const GbkTables& Tables() {
  static GbkTables* tables = [] {
    auto* t = new GbkTables;
    std::memset(t, 0, sizeof *t);
    for (unsigned c = 0; c < 0x80; ++c) t->to_gbk[c] = static_cast<uint16_t>(c);
    for (unsigned i = 0; i < std::size(kGbkToUcs); ++i) {
      const uint16_t ucs = kGbkToUcs[i];
      if (ucs == 0) continue;
      const unsigned lead = 0x81 + i / kGbkTrails, trail = 0x40 + i % kGbkTrails;
      const auto code = static_cast<uint16_t>((lead << 8) | trail);
      t->to_ucs[code] = ucs;
      t->to_gbk[ucs] = code;
    }
    return t;
  }();
  return *tables;
}

}  // namespace

long DecodeUtf8(std::string_view s, size_t& i) {
  unsigned char b = static_cast<unsigned char>(s[i++]);
  if (b < 0x80) return b;
  int extra;
  long cp;
  if (b >= 0xC2 && b <= 0xDF) { extra = 1; cp = b & 0x1F; }
  else if (b >= 0xE0 && b <= 0xEF) { extra = 2; cp = b & 0x0F; }
  else if (b >= 0xF0 && b <= 0xF4) { extra = 3; cp = b & 0x07; }
  else return -1;
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size()) return -1;
    unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3F);
    ++i;
  }
  static const long kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

void AppendUtf8(long cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool AppendUcs2AsGbk(char16_t ch, std::string& out) {
  uint16_t code = Tables().to_gbk[ch];
  if (ch != 0 && code == 0) {
    out += '?';
    return false;
  }
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else {
    out += static_cast<char>(code >> 8);
    out += static_cast<char>(code & 0xFF);
  }
  return true;
}

std::string Ucs2ToGbk(char16_t ch) {
  std::string r;
  AppendUcs2AsGbk(ch, r);
  return r;
}

size_t Utf8ToGbk(std::string_view utf8, std::string& out, bool stop_at_fault) {
  // ASCII is the same in both: copied at once (most stored values are digits).
  size_t i = 0;
  while (i < utf8.size() && static_cast<unsigned char>(utf8[i]) < 0x80) ++i;
  out.assign(utf8.data(), i);
  if (i == utf8.size()) return std::string_view::npos;
  out.reserve(utf8.size());
  while (i < utf8.size()) {
    const size_t start = i;
    const long cp = DecodeUtf8(utf8, i);
    if (cp >= 0 && cp <= 0xFFFF && AppendUcs2AsGbk(static_cast<char16_t>(cp), out)) continue;
    if (stop_at_fault) return start;
    if (cp < 0 || cp > 0xFFFF) out += '?';  // an unmappable character has its "?" already
  }
  return std::string_view::npos;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  Utf8ToGbk(utf8, out, false);
  return out;
}

std::string Gbk(std::u8string_view utf8) {
  return Utf8ToGbk(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

std::string GbkToUtf8(std::string_view gbk) {
  const GbkTables& t = Tables();
  // ASCII is the same in both: copied at once.
  size_t i = 0;
  while (i < gbk.size() && static_cast<unsigned char>(gbk[i]) < 0x80) ++i;
  std::string out(gbk.substr(0, i));
  if (i == gbk.size()) return out;
  out.reserve(gbk.size() * 3 / 2);
  for (; i < gbk.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(gbk[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      continue;
    }
    if (IsLeadByte(b) && i + 1 < gbk.size()) {
      uint16_t code = static_cast<uint16_t>((b << 8) | static_cast<unsigned char>(gbk[i + 1]));
      if (uint16_t u = t.to_ucs[code]) {
        AppendUtf8(u, out);
        ++i;
        continue;
      }
    }
    out += '?';
  }
  return out;
}

TMbcsByteType ByteType(std::string_view s, size_t index) {
  if (index >= s.size()) return mbSingleByte;
  size_t i = 0;
  for (;;) {
    bool lead = IsLeadByte(static_cast<unsigned char>(s[i]));
    if (i == index) return lead ? mbLeadByte : mbSingleByte;
    if (lead) {
      if (i + 1 == index) return mbTrailByte;
      i += 2;
    } else {
      i += 1;
    }
  }
}

char DecimalSeparator() {
  const lconv* lc = std::localeconv();
  return (lc && lc->decimal_point && lc->decimal_point[0]) ? lc->decimal_point[0] : '.';
}

// The locale case services map single-byte characters only: the second byte of a double-byte
// character may lie in 'A'..'Z' or 'a'..'z' (0x41..0x7A), and folding it would turn one Chinese
// character into another.
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Flips the case of every byte of w in first..last; all eight bytes must be below 0x80, so
// that the additions below carry into no neighbouring byte.
inline uint64_t FlipCaseOfAscii(uint64_t w, unsigned char first, unsigned char last) {
  const uint64_t at_least_first = w + (0x80 - first) * kOnes;  // bit 7 set where w >= first
  const uint64_t above_last = w + (0x80 - last - 1) * kOnes;   // bit 7 set where w > last
  return w ^ (((at_least_first & ~above_last) & kHighBits) >> 2);  // 0x80 >> 2 == 0x20
}

// Every single-byte character of s in first..last case-flipped; double-byte characters kept.
// Runs of eight ASCII bytes are done a word at a time: result pages are mostly markup.
std::string FlipSingleByteCase(std::string_view s, unsigned char first, unsigned char last) {
  std::string r(s);
  char* p = r.data();
  const size_t n = r.size();
  size_t i = 0;
  while (i < n) {
    uint64_t w;
    if (i + 8 <= n && (std::memcpy(&w, p + i, 8), (w & kHighBits) == 0)) {
      w = FlipCaseOfAscii(w, first, last);
      std::memcpy(p + i, &w, 8);
      i += 8;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c >= first && c <= last) p[i] = static_cast<char>(c ^ 0x20);
    i += IsLeadByte(c) ? 2 : 1;  // a trail byte is never a letter
  }
  return r;
}

}  // namespace

std::string AnsiUpperCase(std::string_view s) { return FlipSingleByteCase(s, 'a', 'z'); }
std::string AnsiLowerCase(std::string_view s) { return FlipSingleByteCase(s, 'A', 'Z'); }

int AnsiCompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  bool trail = false;  // the same for both texts: they are equal up to case before i
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(trail ? a[i] : LowChar(a[i]));
    unsigned char y = static_cast<unsigned char>(trail ? b[i] : LowChar(b[i]));
    if (x != y) return x < y ? -1 : 1;
    trail = !trail && IsLeadByte(x);
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AnsiCompareText(a, b) == 0;
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
