#include "cli/QueryMode.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "cli/ReportSink.h"
#include "cli/TimeText.h"
#include "cli/ToolFlags.h"
#include "history/HistoryStore.h"
#include "http/NetConnectionPool.h"
#include "services/ServiceFile.h"
#include "watch/SiteWatch.h"

struct TQueryMode::TSlot {
  THeadlessView View;
  TNoUrlOpener Browser;
  std::unique_ptr<TQueryController> Controller;
  TEnded Ended;
};

TQueryMode::TQueryMode(const TSiteQueryOptions& options, TResultSink<TQueryRecord>& sink)
    : sink_(sink), services_(DefaultQueryServices()) {
  auto pages = std::make_shared<TGetPageFetcher>();
  auto images = std::make_shared<TNetImageFetcher>();
  pages->ReadTimeoutMs = images->ReadTimeoutMs = options.ReadTimeoutMs;
  if (options.DelayMs > 0) {
    pacer_ = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(options.DelayMs));
    services_.Pacing = pacer_;
  }
  // One pool for the batch: the sites reuse their connections to each service host.
  services_.Connections = std::make_shared<TNetConnectionPool>(
      kNetPoolIdleLimit, kNetSharedPoolMaxIdle, TNetConnectionPool::TClock{},
      kNetSharedPoolMaxIdlePerKey);
  services_.Pages = pages;
  services_.Images = images;
  services_.Hosts = options.Hosts;
  services_.Table = options.Table;
  services_.Proxy = options.Proxy;
}

TQueryMode::~TQueryMode() = default;

void TQueryMode::Start(size_t slot_index, const TSiteName& site, TEnded ended) {
  if (slots_.size() <= slot_index) slots_.resize(slot_index + 1);
  std::unique_ptr<TSlot>& slot = slots_[slot_index];
  if (!slot) {
    slot = std::make_unique<TSlot>();
    slot->Controller = std::make_unique<TQueryController>(slot->View, slot->Browser, services_);
    slot->Controller->OnRunFinished = [this, s = slot.get()](const TQueryRecord& record) {
      sink_.Ended(record);
      // Handed on rather than called here: the run that just ended is still being wound up.
      s->Ended([this, record] { sink_.Write(record); });
    };
  }
  sink_.Starting();
  slot->Ended = std::move(ended);
  slot->View.Site = site.Site;
  slot->Controller->Begin_btnClick();
  if (!slot->View.Running()) {  // too short a name: nothing started
    TQueryRecord record;
    record.Site = site.Site;
    sink_.Ended(record);
    slot->Ended([this, record] { sink_.Write(record); });
  }
}

void TQueryMode::Stop() {
  if (pacer_) pacer_->Stop();
  for (const std::unique_ptr<TSlot>& slot : slots_) {
    if (slot && slot->View.Running()) slot->Controller->Begin_btnClick();  // the Stop button
  }
}

void TQueryMode::Finish(TPumpQueue& queue) {
  // Every worker has reported; let them finish disposing of themselves before the queue goes.
  queue.PumpUntil([] { return MyThread::LiveCount() == 0; }, 60000);
  slots_.clear();
  services_.Connections->Close();
}

namespace {

// Keeps every record, in list order.
class TKeptRecords : public TResultSink<TQueryRecord> {
 public:
  void Write(const TQueryRecord& record) override { records.push_back(record); }
  std::vector<TQueryRecord> records;
};

}  // namespace

std::vector<TQueryRecord> RunSites(const std::vector<std::string>& sites,
                                   const TSiteQueryOptions& options) {
  std::vector<TSiteName> names;
  for (const std::string& site : sites)
    names.push_back({.Shown = site, .Request = site, .Site = site});
  TSiteList list(std::move(names), "");
  TKeptRecords kept;
  {
    TQueryMode mode(options, kept);
    TSiteListOptions run;
    run.Jobs = options.Jobs;
    run.Stop = options.Stop;
    if (options.Progress) {
      run.Progress = [&](size_t done, const std::string& running) {
        options.Progress(done, sites.size(), running);
      };
    }
    std::ostringstream unused;
    RunSiteList(list, mode, run, unused);
  }
  kept.records.resize(sites.size());  // the sites a stop kept from starting
  return kept.records;
}

void TellStoreMessage(THistoryStore& history, const char* prefix, std::ostream& err) {
  const std::string message = history.TakeMessage();
  if (!message.empty()) err << prefix << "velmora-query: " << message << "\n";
}

std::optional<TSiteList::TSkip> StoredSince(const std::string& history_location, int64_t since_ms,
                                            std::ostream& err) {
  // A history that is not there has nothing stored: it is not created by a read.
  if (!THistoryStore::IsDatabaseUrl(history_location) &&
      (history_location.empty() || ::access(history_location.c_str(), F_OK) != 0)) {
    return [](const TSiteName&) { return std::optional<bool>(false); };
  }
  THistoryStore::TOptions read_only;
  read_only.ReadOnly = true;
  std::shared_ptr<THistoryStore> history = OpenHistoryStore(history_location, read_only);
  auto cannot_read = [&err](const std::string& trouble) {
    err << "\rvelmora-query: --resume 读不到已存的查询（"
        << (trouble.empty() ? "the history cannot be read" : trouble)
        << "），此后没有查询任何站点。\n";
  };
  // A history that cannot be read at all is said before anything runs.
  if (!history->IsOpen()) {
    cannot_read(history->TakeMessage());
    return std::nullopt;
  }
  return [history, since_ms, cannot_read](const TSiteName& site) -> std::optional<bool> {
    bool stored = false;
    const bool read =
        history->EachRun({.Site = site.Site, .NoFields = true, .SinceUnixMs = since_ms},
                         [&](const THistoryQuery&) { stored = true; });
    const std::string trouble = history->TakeMessage();
    if (read && trouble.empty()) return stored;
    cannot_read(trouble);
    return std::nullopt;
  };
}

int QueryList(TSiteList& list, const TSiteQueryOptions& options, TReportFormat format,
              const std::string& history_location, std::ostream& out, std::ostream& err) {
  const std::unique_ptr<THistoryStore> history = OpenHistoryStore(history_location);
  TellStoreMessage(*history, "", err);
  TReportSink<TQueryRecord, TReportWriter> sink(
      [&](const TQueryRecord& record) {
        const std::string run_id = THistoryStore::NewRunId();
        history->Record(record, run_id);
        TellStoreMessage(*history, "\r", err);
        if (options.Watch) options.Watch->AfterQuery(*history, record, run_id);
      },
      [&] {
        auto writer = std::make_unique<TReportWriter>(out, format);
        writer->SetCaptions(options.Table);
        return writer;
      });
  TSiteListEnd end;
  {
    TQueryMode mode(options, sink);
    end = RunSiteListOfTool(list, mode, options.Jobs, out, err);
  }
  const int status = sink.Finish(end);
  // Runs the database did not take wait in the spool for the next start: the run is not whole.
  const THistoryStore::TUnstored unstored = history->WriteSpooled();
  if (unstored.Message.empty()) return status;
  err << "\rvelmora-query: " << unstored.Message << "\n";
  return std::max(status, kToolSomeFailed);
}

void AddQueryFlags(CLI::App& app, TToolFlags& flags) {
  flags.DelayFlag = app.add_option("--delay", flags.Query.DelayMs,
                                   "least time between two requests to one service host "
                                   "(services block clients that ask too fast)")
                        ->type_name("MS")
                        ->check(CLI::Range(0, 3600000))
                        ->capture_default_str();
  flags.SinceFlag =
      app.add_option("--since", flags.Since,
                     "with --resume or --history-export: from this time on (2026-12-08T00:00; "
                     "local time unless it ends in Z or an offset such as +08:00)")
          ->type_name("TIME")
          ->check(CLI::Validator(
              [](std::string& text) {
                return ParseTimeText(text) ? std::string()
                                           : "a time such as 2026-12-08T00:00 or 2026-12-08";
              },
              ""));
  flags.ResumeFlag =
      app.add_flag("--resume", flags.Resume,
                   "skip the sites that have a run in the history since --since (to restart a "
                   "machine that stopped without asking twice); with --crawl: go on with each "
                   "site's crawl that did not finish");
}

int QueryTask(TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err) {
  if (flags.Resume) {
    std::optional<TSiteList::TSkip> skip =
        StoredSince(history_location, *ParseTimeText(flags.Since), err);
    if (!skip) return kToolError;
    list.SetSkip(std::move(*skip));
  }
  const TServiceLoad load = LoadServicesToUse(flags.ServicesFile);
  err << ProblemsReport(load);
  flags.Query.Table = load.Table;
  return QueryList(list, flags.Query, flags.Format(), history_location, out, err);
}
