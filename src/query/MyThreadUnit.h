// The query workers and the job table: one MyThread per job number 0..10, each sending its
// requests to the search and ranking services, cutting its values out of the answer pages and
// handing each value to the UI thread the moment it has it.
//
// Threads: a MyThread runs its job on its own thread. What the workers of one run share is the
// run (TQueryRun): its stop request and its fetch session (proxy routes, pacing, kept-alive
// connections; each safe to use from any thread), and the fetchers handed in, which are called
// from many workers at once and must be safe for that. Values travel through the run, which
// posts them to the main-thread queue (runtime/Thread.h); the sink behind it is touched only on
// the UI thread. A main-thread queue must be installed before workers are started.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/NetFetchSession.h"
#include "query/Jpeg.h"
#include "query/Outcome.h"
#include "query/QueryRecord.h"
#include "query/UseFunction.h"
#include "runtime/Classes.h"
#include "runtime/Thread.h"
#include "services/ServiceHosts.h"
#include "services/ServiceTable.h"

class TQueryRun;

// Fetches one page and says how the fetch ended. Never raises.
class TPageFetcher {
 public:
  virtual ~TPageFetcher() = default;
  virtual TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                                TQueryRun& run) = 0;
  // FetchPage with the field's own headers and first visit; a fetcher that knows neither
  // fetches as FetchPage does.
  virtual TPageResult FetchRequest(const std::string& url, const TPageRequest& request,
                                   TFetchMode mode, TQueryRun& run) {
    (void)request;
    return FetchPage(url, "", mode, run);
  }
};

// Downloads the thumbnail picture: writes the response body into destination, or raises on any
// failure (no connection, an error status, ...).
class TImageFetcher {
 public:
  virtual ~TImageFetcher() = default;
  virtual void Get(const std::string& url, TStream& destination, TQueryRun& run) = 0;
  // Get with the field's own headers; a fetcher that knows none gets as Get does.
  virtual void GetWith(const std::string& url, const std::vector<THeader>& headers,
                       TStream& destination, TQueryRun& run) {
    (void)headers;
    Get(url, destination, run);
  }
};

// The production page fetcher: the query layer's FetchPage through the run's session.
class TGetPageFetcher : public TPageFetcher {
 public:
  int ReadTimeoutMs = kQueryReadTimeoutMs;  // for each connect and read

  TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                        TQueryRun& run) override;
  TPageResult FetchRequest(const std::string& url, const TPageRequest& request, TFetchMode mode,
                           TQueryRun& run) override;
};

// The production thumbnail download through the run's session, following redirects, with the
// 20000 ms read time-out and the workers' user agent; an error status raises.
class TNetImageFetcher : public TImageFetcher {
 public:
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  void Get(const std::string& url, TStream& destination, TQueryRun& run) override;
  void GetWith(const std::string& url, const std::vector<THeader>& headers, TStream& destination,
               TQueryRun& run) override;
};

// Where a job's results end up. Called on the UI thread only.
class TJobSink {
 public:
  virtual ~TJobSink() = default;
  virtual void SetFieldResult(TResultField field, const TFieldResult& result) = 0;
  // picture is null when the thumbnail could not be had; result says why (or where it came
  // from).
  virtual void SetPicture(const TRgbImage* picture, const TFieldResult& result) = 0;
};

// Everything a worker reaches outside itself. Copied into each worker, so the fetchers and the
// definitions live as long as the last worker that uses them.
struct TQueryServices {
  std::shared_ptr<TPageFetcher> Pages;
  std::shared_ptr<TImageFetcher> Images;
  TServiceHosts Hosts = DefaultServiceHosts();
  std::function<uint32_t()> Ticks;             // millisecond tick counter; empty: the runtime's
  std::shared_ptr<const TServiceTable> Table;  // the requests; empty: the built-in ones
  // A proxy URL for every request (TProxySettings::ForQuery); "": as the environment says,
  // read when each run starts.
  std::string Proxy;
  // Spaces the requests to each server, over every run these services serve; null: no pacing.
  std::shared_ptr<TRequestPacing> Pacing;
  // Kept-alive connections shared by every run these services serve; null: each run its own.
  std::shared_ptr<TNetConnectionPool> Connections;
};

// What the program uses: FetchPage, the HTTP thumbnail download, the default hosts, the
// runtime's tick counter and the built-in definitions.
TQueryServices DefaultQueryServices();

// One run of a query: the hand-over from its workers to the UI thread, its stop request and the
// fetch session its workers fetch through. Workers post through it from any thread; the results
// run on the UI thread and reach the sink unless Detach was called first, after which they are
// dropped (a run that was replaced, or a window that is gone).
class TQueryRun : public std::enable_shared_from_this<TQueryRun> {
 public:
  // sink is not owned; it must stay alive until Detach. `proxies`, `pacing` and `connections`
  // serve the run's fetches (TNetFetchSession).
  static std::shared_ptr<TQueryRun> Create(
      TJobSink* sink, TProxySettings proxies = {}, std::shared_ptr<TRequestPacing> pacing = nullptr,
      std::shared_ptr<TNetConnectionPool> connections = nullptr);
  // UI thread: forget the sink; later deliveries are dropped.
  void Detach() { sink_ = nullptr; }
  // Any thread: deliver a field's result / the thumbnail to the UI thread.
  void SetFieldResult(TResultField field, TFieldResult result);
  void SetPicture(std::shared_ptr<const TRgbImage> picture, TFieldResult result);

  // The run's stop request: workers send no further request once it is set, and a fetch under
  // way ends at its next step. The run's idle connections are closed.
  void Stop() {
    stop_.store(true);
    session_.Close();
  }
  // The run's last worker is done: its idle connections are closed.
  void Finish() { session_.Close(); }
  bool StopRequested() const { return stop_.load(); }
  // The stop request as a fetch watches it.
  const std::atomic<bool>* StopFlag() const { return &stop_; }
  // What the run's fetches go through.
  TNetFetchSession& Session() { return session_; }

 private:
  TQueryRun(TJobSink* sink, TProxySettings proxies, std::shared_ptr<TRequestPacing> pacing,
            std::shared_ptr<TNetConnectionPool> connections);
  TJobSink* sink_;  // UI thread only
  std::atomic<bool> stop_{false};
  TNetFetchSession session_;
};

// The outcome of a fetched page for a field cut out by `rules` (the steps, then the
// fallbacks): "blocked" when the page or the URL it ended at holds one of the service's own
// `markers`, else its value, "blocked" for a verification page, else "no match" (with
// `no_match_note`); a failed fetch gives its failure. A value longer than kMaxValueCharacters is
// cut there (never inside a character) and ends in "…"; a number (rules with a digits step) of
// more than kMaxNumberDigits digits is no match.
inline constexpr size_t kMaxValueCharacters = 300;
inline constexpr size_t kMaxNumberDigits = 30;
TFieldResult FieldFromPage(const TPageResult& page, const std::vector<TStepList>& rules,
                           const std::string& site_name,
                           const std::vector<std::string>& markers = {},
                           const std::string& no_match_note = "");

// Job 0's load-time text: (end - start) / 1000 seconds in the shortest general form with at
// most 15 significant digits and the locale's decimal separator, followed by " 秒" (GBK). The
// readings are 32-bit tick counts; a counter that wrapped between them still gives the elapsed
// time.
std::string ElapsedSecondsText(uint32_t start, uint32_t end);

// One query worker. Construct with new; it starts at once (unless created suspended), runs its
// job, reports completion through on_terminate on the UI thread and then deletes itself.
class MyThread : public TThread {
 public:
  // on_terminate is attached before the thread can start. create_suspended leaves it to the
  // caller to call Start().
  MyThread(int job_number, std::string site_name, TQueryServices services,
           std::shared_ptr<TQueryRun> run, std::function<void(TThread*)> on_terminate,
           bool create_suspended = false);
  ~MyThread() override;

  int JobNumber() const { return job_number_; }
  // Workers constructed and not yet destroyed, process-wide.
  static int LiveCount() { return live_count_.load(); }

 protected:
  // Skips the job when termination was requested before it began; otherwise runs it to the end.
  void Execute() override;

 private:
  void RunJob();
  // One request of the job: a page cut by its rules, the home page with its load time, or the
  // thumbnail.
  void Perform(const TRequestDef& request, TResultField field);
  void Thumbnail(const TRequestDef& request);
  // The request's headers with the key in place of "{key}".
  std::vector<THeader> FieldHeaders(const TRequestDef& request) const;
  // Waits `span` unless the query is stopped first; false when it was.
  bool WaitUnlessStopped(std::chrono::milliseconds span) const;
  // The result every field of `request` gets when no request is made.
  void Skip(TResultField field, TFieldResult result);
  uint32_t Ticks() const;

  const int job_number_;
  TPageResult page_;         // the fetched page
  std::string request_url_;  // URL of the current request
  std::string key_;          // the current request's key ({key}); "" when it needs none
  const std::string site_name_;
  TQueryServices services_;
  std::shared_ptr<TQueryRun> run_;
  double start_time_ = 0, end_time_ = 0;  // the home page's tick readings

  static std::atomic<int> live_count_;
};
