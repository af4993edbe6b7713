// TCrawler: one polite crawl of one site, from its home page and its sitemaps over every page it
// links to on its own host (and the www./bare twin), with every external link checked once; what
// it reads goes to a TCrawlStore as it goes, and the rules judge the stored crawl at the end.
//
// Politeness, as crawlers that site owners trust behave:
// - robots.txt is obeyed with the group of the product token "VelmoraBot" (else "*"); a
//   robots.txt that the server fails to give (5xx, no answer) shuts the whole site, as RFC 9309
//   says; its Crawl-delay and --delay space the requests to the host (the larger of them);
// - at most Connections requests to the site at once, one to each external host;
// - 429 and 503 are waited out (Retry-After, seconds or a date; at most kCrawlRetryWaitMaxMs) and
//   asked again up to kCrawlRetries times, never judged as broken; a site that keeps answering
//   429/5xx slows the crawl down, then stops it with that reason.
// Traps: a URL longer than kCrawlMaxUrlBytes, one whose path repeats a segment, and a page past
// kCrawlMaxQueryRun pages of one path that each link the next query (a calendar's "next month")
// are not asked; nor is anything deeper than MaxDepth.
//
// Threads: Run blocks its caller and runs Connections workers of its own; Stopped (and the
// progress callback) are called from them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "crawl/CrawlStore.h"
#include "http/NetProxyRoute.h"

inline constexpr const char* kCrawlProductToken = "VelmoraBot";
inline constexpr int kCrawlRetries = 3;
inline constexpr int kCrawlRetryWaitMaxMs = 120'000;
inline constexpr int kCrawlMaxUrlBytes = 2'048;
inline constexpr int kCrawlMaxQueryRun = 3;
// The most bytes of a page read (a longer one is judged on these and counted as heavy).
inline constexpr int64_t kCrawlMaxBodyBytes = 8LL * 1024 * 1024;

struct TCrawlOptions {
  int MaxPages = 10'000;  // pages of the site asked, at most
  int MaxDepth = 10;      // clicks from the home page (depth 0)
  int Connections = 4;    // requests to the site at once
  int DelayMs = 0;        // at least this between two requests to one host
  int ReadTimeoutMs = 20'000;
  bool CheckExternal = true;
  bool Resume = false;  // go on with the site's crawl that did not finish
  int HttpsPort = 443;  // where the site's https server listens
  TProxySettings Proxies;
  std::function<bool()> Stopped;  // true: the crawl ends (it can be resumed)
};

// How far a crawl has come, for a progress line or bar.
struct TCrawlProgress {
  int64_t Asked = 0;   // URLs asked (or found in the store when resumed)
  int64_t Queued = 0;  // URLs waiting
  int64_t Broken = 0;  // answers that are errors so far
};

struct TCrawlOutcome {
  int64_t Crawl = 0;   // the stored crawl; 0 when the store could not begin one
  std::string State;   // "done", "stopped" or "failed"
  std::string Reason;  // why it did not finish ("" when done)
  bool Resumed = false;
};

// The User-Agent a crawl sends: "Mozilla/5.0 (compatible; VelmoraBot/<version>)".
std::string CrawlUserAgent();

class TCrawler {
 public:
  TCrawler(TCrawlStore& store, TCrawlOptions options);
  // Crawls `site` (an ASCII host name or address, with ":port" when not 80). Judges the crawl
  // when it got to its end.
  TCrawlOutcome Run(const std::string& site,
                    const std::function<void(const TCrawlProgress&)>& progress = {});

 private:
  class TRun;
  TCrawlStore& store_;
  const TCrawlOptions options_;
};
