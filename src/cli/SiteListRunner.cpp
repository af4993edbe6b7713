#include "cli/SiteListRunner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <vector>

#include "runtime/CodePage.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_signals{0};
// What ends standard output as valid JSON when the program ends at once; null while a result
// is being written (or the output is not standard output).
std::atomic<const char*> g_closing{nullptr};

void OnStopSignal(int signal) {
  if (g_signals.fetch_add(1) == 0) {
    g_stop = true;
    return;
  }
  if (const char* closing = g_closing.load()) {
    if (::write(1, closing, std::strlen(closing)) < 0) {
      // Nothing more can be done about it.
    }
  }
  ::_exit(128 + signal);
}

// At most n bytes of a GBK text, never ending inside a character.
std::string CutAtCharacter(const std::string& gbk, size_t n) {
  if (gbk.size() <= n) return gbk;
  if (ByteType(gbk, n) == mbTrailByte) --n;
  return gbk.substr(0, n);
}

}  // namespace

// ---- TStopSignals ----

namespace {
struct sigaction g_old_int = {};
struct sigaction g_old_term = {};
}  // namespace

TStopSignals::TStopSignals() {
  g_stop = false;
  g_signals = 0;
  g_closing = nullptr;
  struct sigaction on = {};
  on.sa_handler = OnStopSignal;
  sigemptyset(&on.sa_mask);
  sigaction(SIGINT, &on, &g_old_int);
  sigaction(SIGTERM, &on, &g_old_term);
}

TStopSignals::~TStopSignals() {
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
  g_closing = nullptr;
}

const std::atomic<bool>* TStopSignals::StopRequested() { return &g_stop; }

void TStopSignals::SetClosing(const char* closing) { g_closing = closing; }

// ---- TProgressLine ----

TProgressLine::TProgressLine(size_t total, std::ostream& err)
    : err_(err), total_(total), shown_(total != 1 && isatty(2)) {}

void TProgressLine::Show(size_t done, const std::string& names) {
  if (!shown_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  char line[64];
  if (total_ > 0) {
    std::snprintf(line, sizeof line, "\r[%zu/%zu] %.1f s  ", done, total_, seconds);
  } else {
    std::snprintf(line, sizeof line, "\r[%zu] %.1f s  ", done, seconds);
  }
  err_ << line << GbkToUtf8(CutAtCharacter(names, 60)) << "\x1b[K" << std::flush;
}

void TProgressLine::End() {
  if (shown_) err_ << "\r\x1b[K" << std::flush;
}

// ---- RunSiteList ----

TSiteListEnd RunSiteList(TSiteList& list, TSiteRunMode& mode, const TSiteListOptions& options,
                         std::ostream& err) {
  // Lives as long as the process: a worker may still be inside Post when its completion has
  // been handled.
  static TPumpQueue* queue = new TPumpQueue;
  TMainThreadQueue* previous = SetMainThreadQueue(queue);

  const size_t jobs = static_cast<size_t>(std::max(options.Jobs, 1));
  const size_t window = options.Window > 0 ? options.Window : kWindowPerJob * jobs;
  std::vector<std::optional<std::string>> slots(jobs);  // the name of each slot's site
  std::map<size_t, std::function<void()>> waiting;      // ended, by place in the list
  size_t started = 0, written = 0, ended = 0;
  bool list_over = false, stopping = false;

  auto closing = [&] {
    if (options.ClosesStandardOutput) TStopSignals::SetClosing(mode.Closing());
  };
  auto running = [&] {
    std::string names;
    for (const std::optional<std::string>& name : slots) {
      if (!name) continue;
      if (!names.empty()) names += ", ";
      names += *name;
    }
    return names;
  };
  auto write_ready = [&] {
    for (auto it = waiting.begin(); it != waiting.end() && it->first == written;
         it = waiting.erase(it), ++written) {
      TStopSignals::SetClosing(nullptr);
      it->second();
      closing();
    }
  };
  auto stop_asked = [&] { return options.Stop != nullptr && options.Stop->load(); };
  auto output_failed = [&] { return options.Output != nullptr && !*options.Output; };

  closing();
  while (true) {
    // Taken before the starts: a run that ends inside its Start (nothing could start) frees its
    // slot for the next round at once.
    const size_t seen = ended;
    if (!stopping && (stop_asked() || output_failed())) {
      stopping = true;
      if (stop_asked()) mode.Stop();
    }
    for (size_t slot = 0; slot < jobs && !stopping && !list_over; ++slot) {
      if (slots[slot]) continue;
      if (started - written >= window) break;  // the one waited for holds the rest back
      const std::optional<TSiteName> site = list.Next(err);
      if (!site) {
        list_over = true;
        break;
      }
      const size_t index = started++;
      slots[slot] = site->Site;
      mode.Start(slot, *site, [&, slot, index](std::function<void()> write) {
        slots[slot].reset();
        waiting.emplace(index, std::move(write));
        ++ended;
        write_ready();
        if (options.Progress) options.Progress(ended + list.Skipped(), running());
      });
      closing();  // the output may have opened for the first site
    }
    if ((list_over || stopping) && ended == started) break;
    const bool was_stopping = stopping;
    queue->PumpUntil(
        [&] { return ended != seen || (!was_stopping && (stop_asked() || output_failed())); },
        options.Stop != nullptr || options.Output != nullptr ? kStopPollMs : 3600 * 1000);
  }
  mode.Finish(*queue);
  SetMainThreadQueue(previous);
  TStopSignals::SetClosing(nullptr);
  if (list.Failed()) return TSiteListEnd::ListFailed;
  return stopping ? TSiteListEnd::Stopped : TSiteListEnd::Done;
}

TSiteListEnd RunSiteListOfTool(TSiteList& list, TSiteRunMode& mode, int jobs, std::ostream& out,
                               std::ostream& err) {
  TStopSignals signals;
  TProgressLine progress(list.Count(), err);
  TSiteListOptions run;
  run.Jobs = jobs;
  run.Stop = TStopSignals::StopRequested();
  run.Output = &out;
  run.ClosesStandardOutput = &out == &std::cout;
  if (progress.Shown()) {
    run.Progress = [&](size_t done, const std::string& running) { progress.Show(done, running); };
  }
  const TSiteListEnd end = RunSiteList(list, mode, run, err);
  progress.End();
  return end;
}
