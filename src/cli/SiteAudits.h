// Check-ups of many sites without a window: each site's RunAudit on a thread of its own, several
// sites at once, the reports handed to the caller on its thread as they finish.
//
// Threads: RunSiteAudits runs on the calling thread and waits for its own threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audit/SiteAudit.h"

struct TSiteAuditOptions {
  TAuditOptions Audit;  // for every site; its Stopped is asked as well as Stop
  int Jobs = 1;         // sites checked at once
  // When it turns true (from any thread, a signal handler included): the check-ups under way
  // end early (the checks not done are Unable) and no further site starts.
  const std::atomic<bool>* Stop = nullptr;
  // Each finished check-up (its place in the list and its report), on the calling thread, in
  // the order they finish.
  std::function<void(size_t index, const TAuditReport&)> OnReport;
};

// Checks up on every target; the reports in the order given, nothing for a site that never
// started (a stop came first).
std::vector<std::optional<TAuditReport>> RunSiteAudits(const std::vector<TAuditTarget>& targets,
                                                       const TSiteAuditOptions& options);
