#include "audit/AuditFindings.h"

#include <cstdio>

void TAuditFindings::Add(TAuditMark mark, std::string reason) {
  found_.emplace_back(mark, std::move(reason));
}

void TAuditFindings::Finish(TAuditResult& result, const std::string& passed) const {
  result.Mark = TAuditMark::Pass;
  result.Reason.clear();
  for (TAuditMark mark : {TAuditMark::Fail, TAuditMark::Warn}) {
    for (const auto& [found, reason] : found_) {
      if (found != mark) continue;
      if (result.Mark == TAuditMark::Pass) result.Mark = mark;
      if (!result.Reason.empty()) result.Reason += "；";
      result.Reason += reason;
    }
  }
  if (result.Reason.empty()) result.Reason = passed;
}

std::string AuditByteSize(int64_t bytes) {
  constexpr double kKiB = 1024.0, kMiB = 1024.0 * 1024.0;
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / kKiB);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / kMiB);
  }
  return text;
}
