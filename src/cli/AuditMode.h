// Check-ups over a list of sites without a window: each site's RunAudit on a thread of its own,
// several sites at once (TSiteListRunner), every request to a site's host paced by one pacer
// that the batch shares.
//
// Memory: a site in flight holds its check-up (its pages while they are read) and then its
// report until it is written. Threads: the runner's (TSiteRunMode), and a thread per site in
// flight.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audit/SiteAudit.h"
#include "cli/AuditWriter.h"
#include "cli/QueryMode.h"

struct TSiteAuditOptions {
  TAuditOptions Audit;  // for every site; its Stopped is asked as well as Stop
  int Jobs = 1;         // sites checked at once
  int HttpsPort = 443;  // where the sites' https servers listen
  // As TSiteListOptions::Stop.
  const std::atomic<bool>* Stop = nullptr;
  std::shared_ptr<TSiteWatch> Watch;  // as TSiteQueryOptions::Watch
};

class TAuditMode : public TSiteRunMode {
 public:
  // `sink` outlives the mode.
  TAuditMode(const TSiteAuditOptions& options, TResultSink<TAuditReport>& sink);
  ~TAuditMode() override;
  void Start(size_t slot, const TSiteName& site, TEnded ended) override;
  void Stop() override;
  void Finish(TPumpQueue& queue) override;
  const char* Closing() const override { return sink_.Closing(); }

 private:
  TResultSink<TAuditReport>& sink_;
  TAuditOptions audit_;
  int https_port_;
  std::shared_ptr<TNetRequestPacer> pacer_;  // when the options name none
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;  // by slot; a slot's thread has ended (or is ending)
};

// velmora-query --audit: each site of `list` checked up on, stored in the history as it ends and
// written to `out` in `format` in the order of the list; the exit status as QueryList's.
int AuditList(TSiteList& list, const TSiteAuditOptions& options, TReportFormat format,
              const std::string& history_location, std::ostream& out, std::ostream& err);

// The check-ups' own flags: --audit, --https-port.
void AddAuditFlags(CLI::App& app, TToolFlags& flags);
// The check-ups of the list the command line names.
int AuditTask(const TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err);
