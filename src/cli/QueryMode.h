// Queries over a list of sites without a window: the same controller and workers as the window,
// each site a run of its own, several sites in flight at once (TSiteListRunner), every request
// to one service host at least a given time after the answer to the one before (services block
// clients that ask too fast), and the kept-alive connections shared by the whole batch.
//
// Memory: a site in flight holds its run (its pages while they are read: at most a page's limit
// each, one page per worker) and then its record until it is written; nothing else grows with
// the list. Threads: on the runner's thread (TSiteRunMode).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/QueryReport.h"
#include "cli/SiteListRunner.h"
#include "http/NetRequestPacer.h"
#include "query/QueryController.h"
#include "query/UseFunction.h"

class TSiteWatch;

struct TSiteQueryOptions {
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  int DelayMs = 1000;  // least time between two requests to one host; 0: no pacing
  int Jobs = 1;        // sites in flight at once
  TServiceHosts Hosts = DefaultServiceHosts();
  std::shared_ptr<const TServiceTable> Table;  // empty: the built-in definitions
  // A proxy URL for every request (http://, socks4://, socks4a://, socks5://, socks5h://, with
  // user:password@); "": as http_proxy, https_proxy, all_proxy and no_proxy say. no_proxy
  // applies either way; a URL that is not a usable proxy fails every request
  // (TFetchEnd::ProxyFailed).
  std::string Proxy;
  // After each site, on the calling thread: sites done, total, the sites still running.
  std::function<void(size_t done, size_t total, const std::string& current)> Progress;
  // As TSiteListOptions::Stop.
  const std::atomic<bool>* Stop = nullptr;
  // --watch: each stored run compared with the one before and its alerts delivered; null: not.
  std::shared_ptr<TSiteWatch> Watch;
};

// What a run over a list does with each result: Ended as soon as the site's run ended (store it,
// count it), Write in the order of the list. Starting is called before each site starts (an
// output that opens itself does so before the first). On the runner's thread.
template <typename TResult>
class TResultSink {
 public:
  virtual ~TResultSink() = default;
  virtual void Starting() {}
  virtual void Ended(const TResult& result) { (void)result; }
  virtual void Write(const TResult& result) = 0;
  // As TSiteRunMode::Closing.
  virtual const char* Closing() const { return ""; }
};

class TQueryMode : public TSiteRunMode {
 public:
  // `sink` outlives the mode.
  TQueryMode(const TSiteQueryOptions& options, TResultSink<TQueryRecord>& sink);
  ~TQueryMode() override;
  void Start(size_t slot, const TSiteName& site, TEnded ended) override;
  void Stop() override;
  void Finish(TPumpQueue& queue) override;
  const char* Closing() const override { return sink_.Closing(); }

 private:
  struct TSlot;
  TResultSink<TQueryRecord>& sink_;
  TQueryServices services_;
  std::shared_ptr<TNetRequestPacer> pacer_;  // null: no pacing
  std::vector<std::unique_ptr<TSlot>> slots_;
};

// Queries every site of a list held in memory (names as ParseSiteName's Site) and returns their
// records in the order given; a site that never started (a stop came first) has an empty record.
// For tests and benchmarks: it keeps every record (velmora-query lets each go once written).
std::vector<TQueryRecord> RunSites(const std::vector<std::string>& sites,
                                   const TSiteQueryOptions& options);

class THistoryStore;
struct TToolFlags;
namespace CLI {
class App;
}  // namespace CLI

// The queries' own flags: --delay, --since, --resume.
void AddQueryFlags(CLI::App& app, TToolFlags& flags);
// The queries of the list the command line names (the definitions of --services, --resume).
int QueryTask(TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err);

// velmora-query's queries: each site of `list` queried, stored in the history at
// `history_location` as it ends, and written to `out` in `format` in the order of the list; the
// exit status (ExitStatus.h: 3 also when a stop came first, 2 when the list could not be read on).
int QueryList(TSiteList& list, const TSiteQueryOptions& options, TReportFormat format,
              const std::string& history_location, std::ostream& out, std::ostream& err);

// --resume --since: asks the history (read only) whether a site has a run stored since
// `since_ms`, site by site as the list is read. An answer the history cannot give is told on err
// (and ends the list: nothing is asked twice by mistake); none, after that line, when the history
// cannot be read at all, so that nothing runs.
std::optional<TSiteList::TSkip> StoredSince(const std::string& history_location, int64_t since_ms,
                                            std::ostream& err);
// Every message of the store once: a failure, and also a corrupt file set aside on the way.
void TellStoreMessage(THistoryStore& history, const char* prefix, std::ostream& err);
