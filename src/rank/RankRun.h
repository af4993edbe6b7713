// Where a site stands for keywords on each engine: the result pages of every engine asked as its
// [[rank]] definition says, page after page until the site's first organic result, the depth,
// or the end of the results, and an outcome for each keyword and engine as for every other value:
// found (with the position, the URL that ranked and the pages read), not in the first Depth,
// blocked by a verification page, failed (with the reason), or stopped.
//
// Politeness: the engines are asked at once, one thread each, but the pages of one engine one
// after another, DelayMs from the answer to one to the next request. A verification page
// (or a refusing status: 403, 429, 503) stops that engine for the whole run: no further page of
// it is asked, and its remaining keywords are blocked too.
//
// Texts are UTF-8 (keywords, URLs, reasons). Threads: RunRanks blocks the calling thread until
// every engine is done; OnPosition is called from the engines' threads, one call at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/NetFetchSession.h"
#include "query/PageFetcher.h"
#include "services/ServiceHosts.h"
#include "services/ServiceTable.h"

// The positions a run looks through by default, and the most it may be asked to.
inline constexpr int kDefaultRankDepth = 100;
inline constexpr int kMaxRankDepth = 1000;
// The services' delay between two requests to one engine.
inline constexpr int kDefaultRankDelayMs = 1000;

// How a keyword stands on one engine. The numbers are stored in the history and never change.
enum class TRankState {
  Found = 0,       // Position holds the site's first organic position
  NotInDepth = 1,  // the site is not among the first Depth organic results (or all there are)
  Blocked = 2,     // the engine answered with its verification page
  Failed = 3,      // a page could not be had or read; Reason says why
  Stopped = 4,     // the run was stopped before the answer was known
};

struct TRankPosition {
  std::string Keyword;
  std::string Engine;  // TRankDef::Engine
  TRankState State = TRankState::Failed;
  int Position = 0;   // 1-based, counting organic results only; 0 unless Found
  std::string Url{};  // the landing URL that ranked; "" unless Found
  int Pages = 0;      // result pages read
  int Depth = kDefaultRankDepth;
  std::string Reason{};   // Failed: why; Blocked: a refusing status, or that an earlier page was
                          // blocked
  std::string PageUrl{};  // the last page asked
};

// One run of positions of a site.
struct TRankReport {
  std::string Site;
  int64_t StartedUnixMs = 0;
  int64_t ElapsedMs = 0;
  // Keyword by keyword in the order asked, each keyword's engines in the order asked.
  std::vector<TRankPosition> Positions{};
};

struct TRankAsk {
  std::string Site;                    // the host name as requests carry it
  std::vector<std::string> Keywords;   // not empty
  std::vector<std::string> Engines{};  // TRankDef::Engine names; empty: every enabled engine
  int Depth = kDefaultRankDepth;       // 1 .. kMaxRankDepth
  bool Subdomains = false;             // any subdomain of the site matches
};

struct TRankRunOptions {
  TServiceHosts Hosts = DefaultServiceHosts();
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  // Between the answer to one page of an engine and the request for its next page (ms).
  int DelayMs = kDefaultRankDelayMs;
  // The routes: the run's own session goes along them, keeping its connections alive from page
  // to page.
  TProxySettings Proxies{};
  const std::atomic<bool>* Stop = nullptr;
  // Each position as soon as it is known.
  std::function<void(const TRankPosition&)> OnPosition{};
};

// The engines of `ask` found in `ranks` in the order asked, or the names that are none (or
// switched off) in `unknown`.
std::vector<const TRankDef*> RankEngines(const std::vector<TRankDef>& ranks,
                                         const std::vector<std::string>& names,
                                         std::vector<std::string>& unknown);

// Asks every engine of `ask` (all of them known to `ranks`: see RankEngines).
TRankReport RunRanks(const std::vector<TRankDef>& ranks, const TRankAsk& ask,
                     const TRankRunOptions& options);

// The URL of result page `page` (1-based) of `keyword` on `def`'s engine.
std::string RankPageUrl(const TRankDef& def, const std::string& keyword, int page,
                        const TServiceHosts& hosts);

// The words an outcome is shown in: "第 3 位" for a position, "不在前 100", "被验证页面拦截",
// "失败：reason", "已停止".
std::string RankStateText(const TRankPosition& p);
// A stable English word for files and programs: "found", "not-in-depth", "blocked", "failed",
// "stopped"; and back (Failed for a word that is none).
const char* RankStateWord(TRankState state);
TRankState RankStateOfWord(const std::string& word);
