// The rules a crawl judges a site by: each has a stable id (what scripts, the history and the
// alerts name it by), a severity and a one-line meaning for `--crawl --rules` and the report.
// A page that passes a rule writes nothing; a finding names the page it is about and a detail.
//
// Thread-safety: the table is immutable.
#pragma once

#include <span>
#include <string_view>

enum class TCrawlSeverity { Error, Warning, Notice };

struct TCrawlRule {
  std::string_view Id;  // "broken-link"
  TCrawlSeverity Severity;
  std::string_view Meaning;  // Chinese, one line
};

// Every rule, in the order reports list them (errors first).
std::span<const TCrawlRule> CrawlRules();
// The rule of that id; null when there is none.
const TCrawlRule* FindCrawlRule(std::string_view id);
// "error", "warning", "notice".
std::string_view CrawlSeverityName(TCrawlSeverity severity);

// The limits the page rules measure against.
inline constexpr int kCrawlTitleMinChars = 30;
inline constexpr int kCrawlTitleMaxChars = 75;
inline constexpr int kCrawlDeepDepth = 4;                         // deeper than this: "deep"
inline constexpr double kCrawlSlowFirstByteMs = 600;              // slower than this: "slow"
inline constexpr long long kCrawlHeavyBytes = 2LL * 1024 * 1024;  // HTML over this: "heavy"
