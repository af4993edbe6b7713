// The query layer's text operations: cutting values out of result pages, extraction rules,
// and the page fetcher. All texts are GBK byte strings; positions are 1-based.
#pragma once

#include <cstdint>
#include <string>

// The bytes between the first `start` delimiter and the next `end` after it; "0" when the page
// is empty, or start or end occurs nowhere in it; empty when end follows start directly or
// occurs only before it.
std::string TextBetween(const std::string& page, const std::string& start, const std::string& end);
// The text itself when its trimmed bytes are only digits and commas, otherwise "0".
std::string DigitsOnly(const std::string& text);
// Text without one trailing copy of suffix (letter case ignored, never starting on a trail byte).
std::string TrimSuffix(const std::string& text, const std::string& suffix);
// Every occurrence of pattern (case ignored, on character boundaries) replaced; the replacement
// is never searched again. From the text's first NUL byte on, it is copied unchanged.
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);

// Runs an extraction rule ("[velmora]", "(*)", "[参数]" placeholders) over page and returns the
// captured text; never raises. allMatches == 1 collects every match, joined by separator.
std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char allMatches = 0, const std::string& separator = "|||",
                          bool templateMode = false, const std::string& templateRule = "",
                          const std::string& outputTemplate = "");

// What every request of a query sends as its user agent, and the read (and connect) time-out
// that bounds each of them.
inline constexpr const char* kQueryUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
inline constexpr int kQueryReadTimeoutMs = 20000;
// The largest page body GetPage takes (8 MiB); a longer one is a failed fetch.
inline constexpr int64_t kQueryMaxPageBytes = int64_t{8} << 20;

// Fetches one page with an HTTP GET and returns its text converted by mode (0 raw, 1 UTF-8,
// 2 Big5, 4 by the page's charset declaration), or the failure text on any failure.
std::string GetPage(const std::string& url, const std::string& cookie, int mode);

// A page taken as UTF-8, in GBK. All or nothing: a sequence cut short or holding a byte outside
// 0x80..0xBF gives the empty text. A well-formed four-byte sequence (beyond 16 bits) and any
// character GBK lacks become "?".
std::string Utf8PageToGbk(const std::string& page);

// "网页无法访问" in GBK: what GetPage returns when the fetch fails.
const std::string& FailureText();
