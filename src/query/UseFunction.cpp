#include "query/UseFunction.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "cookies/NetCookieManager.h"
#include "encoding/BIG5_GB2312.h"
#include "http/NetHTTP.h"
#include "regex/RegexEngine.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "tls/NetSSLIOHandlerSocket.h"

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

// ---- The page fetcher ------------------------------------------------------------------
//
// No state between calls: every call makes and frees its own client and cookie manager, so up
// to eleven workers may fetch at once.

namespace {

// The first meta element that declares a charset; its group is the charset's name.
constexpr const char* kCharsetPattern =
    "<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>";

// The fetch mode a page's own charset declaration asks for: 1 for UTF-8, 2 for Big5, else 0.
int ModeFromDeclaration(const std::string& page) {
  static const std::string pattern = kCharsetPattern;
  std::string charset = LowerCase(ExtractByRule(page, pattern));
  if (charset.find("utf") != std::string::npos) return 1;
  if (charset.find("big") != std::string::npos) return 2;
  return 0;
}

}  // namespace

std::string Utf8PageToGbk(const std::string& page) {
  std::string out;
  out.reserve(page.size());
  const auto* p = reinterpret_cast<const unsigned char*>(page.data());
  const size_t n = page.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i++];
    if (b < 0x80) {
      out += static_cast<char>(b);
      continue;
    }
    const bool four = (b & 0xF8) == 0xF0;
    const int further = four ? 3 : (b & 0x20) ? 2 : 1;
    uint32_t ch = b & 0x3F;
    for (int k = 0; k < further; ++k, ++i) {
      if (i >= n || p[i] < 0x80 || p[i] > 0xBF) return std::string();
      ch = (ch << 6) | (p[i] & 0x3F);
    }
    if (four) out += '?';
    else AppendUcs2AsGbk(static_cast<char16_t>(ch & 0xFFFF), out);
  }
  return out;
}

std::string GetPage(const std::string& url, const std::string& cookie, int mode) {
  auto http = std::make_unique<TNetHTTP>();
  InstallTlsHandler(*http);  // plain http stays plain; a redirect to https is followed
  auto cookies = std::make_unique<TNetCookieManager>();
  http->SetCookieManager(cookies.get());
  http->SetHandleRedirects(true);
  http->SetReadTimeout(kQueryReadTimeoutMs);
  TNetHTTPLimits limits = http->Limits();
  limits.MaxBodyBytes = kQueryMaxPageBytes;  // eleven workers hold several copies of a page
  http->SetLimits(limits);
  http->Request().SetUserAgent(kQueryUserAgent);
  http->Request().SetReferer(url);
  http->Request().CustomHeaders().SetText("Cookie: " + cookie);

  std::string page;
  try {
    page = http->Get(url);
    if (mode == 4) mode = ModeFromDeclaration(page);
    if (mode == 1) page = Utf8PageToGbk(page);
    else if (mode == 2) page = Big5ToGB2312(page);
  } catch (...) {
    page = FailureText();
  }
  http.reset();
  cookies.reset();
  return page;
}

// ---- Extraction rules ----------------------------------------------------------------

namespace {

// "[参数" + one or two digits + "]" in an output template, for ReplaceByPattern.
const std::string& TemplatePlaceholderPattern() {
  static const std::string pattern = "\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]";
  return pattern;
}

}  // namespace

std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char allMatches, const std::string& separator,
                          bool templateMode, const std::string& templateRule,
                          const std::string& outputTemplate) {
  std::string result;
  if (page.empty()) return result;
  std::string working = templateMode ? templateRule : rule;
  if (working.empty()) return result;
  while (working.size() >= 2 && working[working.size() - 2] == '\r' && working.back() == '\n') {
    working.resize(working.size() - 2);
    if (working.empty()) return result;
  }
  working = ReplaceAll(working, "[velmora]", "(.*?)");
  working = ReplaceAll(working, "(*)", ".*?");
  working = ReplaceAll(working, Gbk(u8"[参数]"), "(.*?)");

  // Whatever goes wrong here (an invalid rule, a search that runs out of budget) only ends the
  // extraction; what was collected so far stays.
  try {
    TRegexEngine engine;
    engine.SetExpression(working);
    engine.SetModifier(1, true);  // modifier 1 is i: letter case ignored
    if (engine.Exec(page)) {
      // Chosen once, from the first match: the first group if any group took part.
      const int group = engine.LastMatchedGroup() >= 1 ? 1 : 0;
      const bool all = allMatches == 1;
      if (!templateMode) {
        if (!all) {
          result = engine.MatchText(group);
        } else {
          do {
            result += engine.MatchText(group);
            result += separator;
          } while (engine.ExecNext());
        }
      } else {
        const std::string item_template =
            ReplaceByPattern(TemplatePlaceholderPattern(), outputTemplate, "\\$$1", true);
        if (!all) {
          result = engine.ExpandTemplate(item_template);
        } else {
          const std::string number_placeholder = Gbk(u8"[序号]");
          int64_t counter = 1;
          do {
            result += ReplaceAll(engine.ExpandTemplate(item_template), number_placeholder,
                                 IntToStr(counter));
            result += separator;
            ++counter;
          } while (engine.ExecNext());
        }
      }
    }
  } catch (...) {
  }
  if (!separator.empty()) result = TrimSuffix(result, separator);
  return result;
}
