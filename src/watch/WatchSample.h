// TWatchSample: what one stored run measured, as the watch's rules compare it: a list of named
// values, each from a source (what kind of thing it is: an index count, a check's mark, the
// certificate's days left) and about a subject (which one: the field, the check, the keyword).
// A rule names the source it looks at, so a new kind of number (keyword positions, say) is one
// more source filled in here and nothing else.
//
// A value the run could not read (a failed fetch, a check that could not run) is in the sample
// with Read false: it is not a change, but the watch counts how often in a row it failed.
//
// Plain values; texts UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/AuditReport.h"
#include "query/QueryRecord.h"

class TCrawlStore;

// The kinds of run a site has; a run is compared only with runs of its own kind.
enum class TWatchKind { Query, Audit, Crawl };
// "query", "audit", "crawl".
std::string_view WatchKindName(TWatchKind kind);

// The sources the built-in rules know.
inline constexpr std::string_view kWatchIndex = "index";        // pages indexed, per engine
inline constexpr std::string_view kWatchRank = "rank";          // a ranking's place (Tranco)
inline constexpr std::string_view kWatchPosition = "position";  // a keyword's place
inline constexpr std::string_view kWatchHome = "home";          // the home page answers
inline constexpr std::string_view kWatchCertificate = "certificate_days";  // days left
inline constexpr std::string_view kWatchCheck = "check";                   // a check's mark
inline constexpr std::string_view kWatchRobots = "robots";           // robots.txt's rules digest
inline constexpr std::string_view kWatchRobotsShut = "robots_shut";  // 1: every crawler shut out
inline constexpr std::string_view kWatchSitemapUrls = "sitemap_urls";
inline constexpr std::string_view kWatchNewErrors = "new_errors";  // a crawl's new error findings

struct TWatchValue {
  std::string Source = {};
  std::string Subject = {};  // unique within its source in one sample; "" when the source has one
  std::string Caption = {};  // as people name it: "百度收录", "证书剩余天数"
  bool Read = false;         // false: the run could not read it this time
  std::optional<double> Number = {};  // a number's value; none for words and digests
  std::string Text = {};   // the value compared when there is no number ("pass", a digest)
  std::string Shown = {};  // the value as an alert shows it
};

struct TWatchSample {
  TWatchKind Kind = TWatchKind::Query;
  std::string Site = {};  // as the history keeps it
  std::string RunId = {};
  int64_t StartedUnixMs = 0;
  // Runs of one site are compared only within one series: a query's set of definitions (values
  // of two sets are not one series); "" for the other kinds.
  std::string Series = {};
  std::vector<TWatchValue> Values = {};

  const TWatchValue* Find(std::string_view source, std::string_view subject) const;
};

// A query's values: each engine's index count, the Tranco rank (the current set's Alexa1), the
// home page (its title's fetch). Fields that were not asked (switched off, retired, stopped) are
// left out: they are neither values nor failures.
TWatchSample QuerySample(const TQueryRecord& record, const std::string& run_id);
// A check-up's values: the certificate's days left, each check's mark, robots.txt's digest and
// whether it shuts every crawler out, the sitemaps' URL count, the home page (its head check).
TWatchSample AuditSample(const TAuditReport& report, const std::string& run_id);
// A stored crawl's values: its new error findings, counted only when `count_findings` (a crawl
// compared with the one before it; the older ones only say whether they finished).
TWatchSample CrawlSample(TCrawlStore& store, int64_t crawl, bool count_findings);
