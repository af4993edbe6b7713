// What the content checks share: the problems a check finds, gathered as it finds them.
//
// Thread-safety: plain values.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "audit/AuditReport.h"

// A check's problems in the order found. The mark is the worst of them (Pass when there are
// none); the reason names every problem, the worst first, in one line.
class TAuditFindings {
 public:
  // mark: Warn or Fail; reason: one short Chinese clause.
  void Add(TAuditMark mark, std::string reason);
  bool Empty() const { return found_.empty(); }
  // Sets result's Mark and Reason; `passed` is the reason when nothing was found.
  void Finish(TAuditResult& result, const std::string& passed) const;

 private:
  std::vector<std::pair<TAuditMark, std::string>> found_;
};

