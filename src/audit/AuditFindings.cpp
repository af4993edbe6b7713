#include "audit/AuditFindings.h"

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

