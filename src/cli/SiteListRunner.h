// The one site-list runner under every kind of run over a list (queries, check-ups; the crawl,
// positions and watching as they come): it reads the list as it goes, keeps --jobs sites in
// flight, hands each result to the output in the order of the list, shows the progress line and
// answers Ctrl-C. A kind of run is a TSiteRunMode: what starts one site's run and what is done
// with its result.
//
// Memory: the runs in flight and at most Window finished results waiting for one before them;
// nothing that grows with the list. When the window is full, no site starts until the one it
// waits for ends (its time-out bounds that).
//
// Threads: RunSiteList runs on the calling thread, which serves as the main thread of the runs
// for its duration (it installs a main-thread queue of its own and restores the previous one).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "cli/SiteList.h"
#include "runtime/Thread.h"

class TSiteRunMode {
 public:
  // Called on the runner's thread, once, when a site's run has ended: with what writes its result
  // (called in list order, on the runner's thread; it owns the result until then).
  using TEnded = std::function<void(std::function<void()> write)>;

  virtual ~TSiteRunMode() = default;
  // Starts `site`'s run in `slot` (0 .. jobs-1, no run of its own under way). `ended` must be
  // called on the runner's thread (QueueOnMainThread from a thread of the run's own), exactly
  // once, also when nothing could start.
  virtual void Start(size_t slot, const TSiteName& site, TEnded ended) = 0;
  // Stops the runs under way, as the window's Stop button does; each still ends.
  virtual void Stop() = 0;
  // After the last run ended, while the runner's queue still serves: lets the runs' threads go.
  virtual void Finish(TPumpQueue& queue) { (void)queue; }
  // What ends the output as valid JSON between two writes; "" when nothing needs to.
  virtual const char* Closing() const { return ""; }
};

struct TSiteListOptions {
  int Jobs = 1;       // sites in flight at once
  size_t Window = 0;  // finished results held for one before them; 0: kWindowPerJob x Jobs
  // When it turns true (from any thread, a signal handler included): the runs under way stop
  // (TSiteRunMode::Stop) and no further site starts. Looked at every kStopPollMs.
  const std::atomic<bool>* Stop = nullptr;
  // Turns false when the output could not be written: no further site starts, the runs under
  // way end as they would (and are stored). Null: not watched.
  const std::ostream* Output = nullptr;
  // After each site ends, on the calling thread: the sites done (those the list skipped among
  // them), and the names (TSiteName::Site, GBK) of those under way.
  std::function<void(size_t done, const std::string& running)> Progress;
  // While the output is standard output: a second Ctrl-C ends it with the mode's Closing.
  bool ClosesStandardOutput = false;
};
inline constexpr size_t kWindowPerJob = 4;
inline constexpr int kStopPollMs = 100;

enum class TSiteListEnd {
  Done,        // every site of the list ran
  Stopped,     // a stop (or an output that failed) came first
  ListFailed,  // the list could not be read on (a line was told on the error stream)
};

TSiteListEnd RunSiteList(TSiteList& list, TSiteRunMode& mode, const TSiteListOptions& options,
                         std::ostream& err);

// Runs `mode` over `list` as the program does on a terminal: Ctrl-C and SIGTERM answered
// (TStopSignals), the progress line, standard output closed as valid JSON by a second Ctrl-C, and
// no site started once `out` could not be written.
TSiteListEnd RunSiteListOfTool(TSiteList& list, TSiteRunMode& mode, int jobs, std::ostream& out,
                               std::ostream& err);

// Ctrl-C and SIGTERM while a list runs: the first sets StopRequested (the runs stop as the Stop
// button stops them; what they found is written and stored), a second ends the program at once,
// after writing what closes standard output as valid JSON (SetClosing). SIGPIPE is ignored, so
// that an output closed by its reader is a failed write (the exit status says so), not a death.
// One at a time, on the main thread; restores what was installed before.
class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;
  static const std::atomic<bool>* StopRequested();
  // What a second signal writes to standard output before the program ends; null: nothing
  // (while a result is being written, or the output is not standard output).
  static void SetClosing(const char* closing);
};

// How far a list has come, on one line of a terminal's stderr rewritten in place ("[12/50] 8.3 s
// a.com, b.com"; "[12]" when the length is not known); nothing for one site or when stderr is
// not a terminal. Other lines on stderr begin with "\r", so that they write over it.
class TProgressLine {
 public:
  // total: the sites of the list, 0 when not known.
  TProgressLine(size_t total, std::ostream& err);
  // `names` (GBK): the sites under way.
  void Show(size_t done, const std::string& names);
  // Takes the line away, once the list is done.
  void End();
  bool Shown() const { return shown_; }

 private:
  std::ostream& err_;
  const size_t total_;
  const bool shown_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};
