#include "cli/AuditMode.h"

#include <CLI/CLI.hpp>

#include "audit/AuditTarget.h"
#include "cli/ReportSink.h"
#include "cli/ToolFlags.h"
#include "history/HistoryStore.h"
#include "watch/SiteWatch.h"

TAuditMode::TAuditMode(const TSiteAuditOptions& options, TResultSink<TAuditReport>& sink)
    : sink_(sink), audit_(options.Audit), https_port_(options.HttpsPort) {
  if (!audit_.Pacing) {
    pacer_ = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(kAuditPolitenessMs),
                                                audit_.MaxParallel, TNetRequestPacer::TFrom::Start,
                                                TNetRequestPacer::TServer::Host);
    audit_.Pacing = pacer_;
  }
  audit_.Stopped = [this, stop = options.Stop, asked = options.Audit.Stopped] {
    return stop_.load() || (stop != nullptr && stop->load()) || (asked && asked());
  };
}

TAuditMode::~TAuditMode() {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

void TAuditMode::Start(size_t slot, const TSiteName& site, TEnded ended) {
  if (threads_.size() <= slot) threads_.resize(slot + 1);
  if (threads_[slot].joinable()) threads_[slot].join();  // its report is in already
  sink_.Starting();
  const TAuditTarget target = AuditTargetOf(site.Shown, site.Request, https_port_);
  threads_[slot] = std::thread([this, target, ended = std::move(ended)] {
    TAuditReport report = RunAudit(target, audit_);
    QueueOnMainThread([this, ended, report = std::move(report)] {
      sink_.Ended(report);
      ended([this, report] { sink_.Write(report); });
    });
  });
}

void TAuditMode::Stop() {
  stop_ = true;
  if (pacer_) pacer_->Stop();
}

void TAuditMode::Finish(TPumpQueue&) {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

int AuditList(TSiteList& list, const TSiteAuditOptions& options, TReportFormat format,
              const std::string& history_location, std::ostream& out, std::ostream& err) {
  const std::unique_ptr<THistoryStore> history = OpenHistoryStore(history_location);
  TellStoreMessage(*history, "", err);
  TReportSink<TAuditReport, TAuditWriter> sink(
      [&](const TAuditReport& report) {
        const std::string run_id = THistoryStore::NewRunId();
        history->RecordAudit(report, run_id);
        TellStoreMessage(*history, "\r", err);
        if (options.Watch) options.Watch->AfterAudit(*history, report, run_id);
      },
      [&] { return std::make_unique<TAuditWriter>(out, format); });
  TSiteListEnd end;
  {
    TAuditMode mode(options, sink);
    end = RunSiteListOfTool(list, mode, options.Jobs, out, err);
  }
  return sink.Finish(end);
}

void AddAuditFlags(CLI::App& app, TToolFlags& flags) {
  flags.AuditFlag = app.add_flag(
      "--audit", flags.Audit,
      "check up on each SITE itself instead of querying the services: https and its redirect, "
      "the certificate, HSTS, robots.txt, the sitemaps, the home page's head, compression, speed "
      "and weight, the addresses; each check passes (通过), warns (注意), fails (未通过) or "
      "could not run (无法检查). With --history SITE: its stored check-ups");
  app.add_option("--https-port", flags.HttpsPort,
                 "with --audit: the port of the sites' https server, for servers on other ports")
      ->type_name("N")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str()
      ->needs(flags.AuditFlag);
}

int AuditTask(const TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err) {
  TSiteAuditOptions checkup;
  checkup.Watch = flags.Query.Watch;
  checkup.Jobs = flags.Query.Jobs;
  checkup.HttpsPort = flags.HttpsPort;
  checkup.Audit.TimeoutMs = flags.Query.ReadTimeoutMs;
  checkup.Audit.Proxies = TProxySettings::ForQuery(flags.Query.Proxy);
  return AuditList(list, checkup, flags.Format(), history_location, out, err);
}
