#include "audit/SiteAudit.h"

#include <chrono>

TAuditReport RunAudit(const TAuditTarget& target, const TAuditOptions& /*options*/) {
  TAuditReport report;
  report.Site = target.Shown.empty() ? target.Host : target.Shown;
  report.StartedUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  for (TAuditCheck check : kAuditChecks) {
    TAuditResult result;
    result.Check = check;
    result.Reason = "尚未实现";
    report.Results.push_back(std::move(result));
  }
  return report;
}
