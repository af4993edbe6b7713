// What velmora-query prints for check-ups: a table for people, JSON and CSV for programs, in the
// words of the check-up's report (audit/AuditReport.h). Texts are UTF-8; whatever came from the
// site (values, reasons, URLs, details) is written so that it cannot steer a terminal or a
// spreadsheet.
#pragma once

#include <optional>
#include <ostream>
#include <vector>

#include "audit/AuditReport.h"
#include "cli/QueryReport.h"

// Writes check-ups one by one, each flushed as it is added (as TReportWriter does):
// - Table: a block per site: its name, start, time taken and worst mark, then a line per check
//   (caption, mark word, value, reason) with its details indented beneath.
// - Json: an array of {"site", "started", "elapsed_ms", "worst", "checks": [{"check", "mark",
//   "value", "reason", "url", "details": [...], "numbers": {NAME: value}}]}, valid JSON once
//   Finish has run; JsonLines: the same objects, one a line.
// - Csv: a header, then a row per site and check: site, (started,) check, mark, value, reason,
//   url, then a column per trend number, filled on the row of the check that measured it.
// `with_time` adds "started" to the CSV rows (a stored series).
class TAuditWriter {
 public:
  TAuditWriter(std::ostream& out, TReportFormat format, bool with_time = false);
  void Add(const TAuditReport& report);
  void Finish();
  // What ends the output as valid JSON now (a JSON array's close), "" when nothing does.
  const char* Closing() const;

 private:
  std::ostream& out_;
  const TReportFormat format_;
  const bool with_time_;
  size_t count_ = 0;
};

// 0 when every check of every report passed, else 3 (a check warned, failed or could not run,
// or a site was never checked: nothing in its place).
int ExitStatusOf(const TAuditReport& report);
int ExitStatusOf(const std::vector<std::optional<TAuditReport>>& reports);
