// velmora-query --crawl: each site of a list crawled whole (TCrawler), stored in the crawl tables
// of the history's SQLite file as it goes, judged, and written in the order of the list as a
// table, JSON, JSON Lines or CSV (a row per finding), and, with --html, into one self-contained
// HTML report. The findings are read from the store as they are written: a crawl's findings are
// never held in memory.
//
// Memory: a site in flight holds its crawl's workers and a page each; its result is a few numbers
// until it is written. Threads: the runner's (TSiteRunMode), and a thread per site in flight.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/QueryMode.h"
#include "crawl/Crawler.h"

// What --fail-on makes exit status 3 (besides a crawl that did not finish).
enum class TCrawlFailOn { Nothing, Error, Warning, New };

struct TSiteCrawlOptions {
  TCrawlOptions Crawl;  // for every site; its Stopped is asked as well as Stop
  int Jobs = 1;         // sites crawled at once
  TCrawlFailOn FailOn = TCrawlFailOn::Nothing;
  std::string HtmlPath;  // "": no HTML report
  // As TSiteListOptions::Stop.
  const std::atomic<bool>* Stop = nullptr;
  std::shared_ptr<TSiteWatch> Watch;  // as TSiteQueryOptions::Watch
};

// One site's crawl as the report sees it.
struct TCrawlResult {
  std::string Site;  // as the user wrote it (UTF-8)
  TCrawlOutcome Outcome;
};

class TCrawlMode : public TSiteRunMode {
 public:
  // `store` and `sink` outlive the mode.
  TCrawlMode(const TSiteCrawlOptions& options, TCrawlStore& store, TResultSink<TCrawlResult>& sink);
  ~TCrawlMode() override;
  void Start(size_t slot, const TSiteName& site, TEnded ended) override;
  void Stop() override { stop_ = true; }
  void Finish(TPumpQueue& queue) override;
  const char* Closing() const override { return sink_.Closing(); }

 private:
  TCrawlStore& store_;
  TResultSink<TCrawlResult>& sink_;
  TCrawlOptions crawl_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;  // by slot
};

// The SQLite file the crawls are kept in for a history location: the history's own file, or the
// user's default one (said on `err`) when the history is a PostgreSQL database, which keeps no
// crawls yet; "" when not even that is known.
std::string CrawlStorePath(const std::string& history_location, std::ostream& err);
// velmora-query --crawl over `list`; the exit status: 0 every crawl done (and nothing that
// --fail-on names found), 3 a crawl did not finish or --fail-on matched, 2 the store could not be
// opened, 4 the output could not be written.
int CrawlList(TSiteList& list, const TSiteCrawlOptions& options, TReportFormat format,
              const std::string& store_path, std::ostream& out, std::ostream& err);
// velmora-query --history SITE --crawl: the site's stored crawls, oldest first.
int ShowCrawlHistory(const std::string& site, TReportFormat format, const std::string& store_path,
                     std::ostream& out, std::ostream& err);
// velmora-query --crawl --rules: each rule's id, severity and meaning.
void WriteCrawlRules(std::ostream& out);
// "error", "warning", "new" (as --fail-on takes them); none for another word.
std::optional<TCrawlFailOn> CrawlFailOnOf(const std::string& word);

struct TToolFlags;
namespace CLI {
class App;
}  // namespace CLI

// --crawl and the flags only a crawl takes (--rules, --max-pages, --max-depth, --connections,
// --no-external, --fail-on, --html).
void AddCrawlFlags(CLI::App& app, TToolFlags& flags);
// velmora-query --crawl over `list`, as the command line set it up.
int CrawlTask(TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err);
