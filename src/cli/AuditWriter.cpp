#include "cli/AuditWriter.h"

#include <nlohmann/json.hpp>
#include <string>

#include "cli/ExitStatus.h"
#include "runtime/CodePage.h"

namespace {

// The columns a UTF-8 text takes on a terminal: CJK and other wide characters two.
size_t Columns(std::string_view utf8) {
  size_t columns = 0;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // Three-byte sequences from U+1100 on (E1 84 80) and all four-byte ones are wide enough.
    columns += length >= 3 && utf8.substr(i, 3) >= "\xE1\x84\x80" ? 2 : 1;
    i += length;
  }
  return columns;
}

// `utf8` followed by blanks up to `width` columns (at least one blank).
std::string Padded(std::string_view utf8, size_t width) {
  const size_t used = Columns(utf8);
  return std::string(utf8) + std::string(used < width ? width - used : 1, ' ');
}

// A trend number as a CSV cell: whole numbers without a fraction.
std::string NumberText(double value) {
  if (value == static_cast<double>(static_cast<int64_t>(value)) && value > -1e15 && value < 1e15)
    return std::to_string(static_cast<int64_t>(value));
  return Dumped(value, -1);
}

nlohmann::json ReportJson(const TAuditReport& report) {
  nlohmann::json checks = nlohmann::json::array();
  for (const TAuditResult& r : report.Results) {
    nlohmann::json numbers = nlohmann::json::object();
    for (const auto& [number, value] : r.Numbers) numbers[AuditNumberName(number)] = value;
    checks.push_back({{"check", AuditCheckName(r.Check)},
                      {"mark", AuditMarkName(r.Mark)},
                      {"value", r.Value},
                      {"reason", r.Reason},
                      {"url", r.Url},
                      {"details", r.Details},
                      {"numbers", numbers}});
  }
  return {{"site", report.Site},
          {"started", IsoTime(report.StartedUnixMs)},
          {"elapsed_ms", report.ElapsedMs},
          {"worst", AuditMarkName(report.Worst())},
          {"checks", checks}};
}

}  // namespace

TAuditWriter::TAuditWriter(std::ostream& out, TReportFormat format, bool with_time)
    : out_(out), format_(format), with_time_(with_time) {
  // Out at once, as TReportWriter's (a second Ctrl-C writes only the close).
  if (format_ == TReportFormat::Json) out_ << "[" << std::flush;
  if (format_ != TReportFormat::Csv) return;
  out_ << "site" << (with_time_ ? ",started" : "") << ",check,mark,value,reason,url";
  for (int n = 0; n < kAuditNumberCount; ++n)
    out_ << ',' << AuditNumberName(static_cast<TAuditNumber>(n));
  out_ << "\r\n";
}

void TAuditWriter::Add(const TAuditReport& report) {
  switch (format_) {
    case TReportFormat::Json:
      out_ << (count_ == 0 ? "\n  " : ",\n  ")
           << ReplaceAll(Dumped(ReportJson(report), 2), "\n", "\n  ");
      break;
    case TReportFormat::JsonLines:
      out_ << Dumped(ReportJson(report), -1) << "\n";
      break;
    case TReportFormat::Csv:
      for (const TAuditResult& r : report.Results) {
        out_ << CsvCell(report.Site);
        if (with_time_) out_ << ',' << IsoTime(report.StartedUnixMs);
        out_ << ',' << AuditCheckName(r.Check) << ',' << AuditMarkName(r.Mark) << ','
             << CsvCell(r.Value) << ',' << CsvCell(r.Reason) << ',' << CsvCell(r.Url);
        for (int n = 0; n < kAuditNumberCount; ++n) {
          out_ << ',';
          for (const auto& [number, value] : r.Numbers)
            if (static_cast<int>(number) == n) out_ << NumberText(value);
        }
        out_ << "\r\n";
      }
      break;
    case TReportFormat::Table:
      out_ << TerminalSafe(report.Site) << "  (" << IsoTime(report.StartedUnixMs) << ", "
           << report.ElapsedMs << " ms)  " << AuditMarkWord(report.Worst()) << "\n";
      for (const TAuditResult& r : report.Results) {
        out_ << "  " << Padded(AuditCheckCaption(r.Check), 12) << Padded(AuditMarkWord(r.Mark), 10)
             << TerminalSafe(r.Value) << (r.Value.empty() || r.Reason.empty() ? "" : "  ")
             << TerminalSafe(r.Reason) << "\n";
        for (const std::string& line : r.Details) out_ << "      " << TerminalSafe(line) << "\n";
      }
      break;
  }
  ++count_;
  out_.flush();
}

const char* TAuditWriter::Closing() const {
  if (format_ != TReportFormat::Json) return "";
  return count_ == 0 ? "]\n" : "\n]\n";
}

void TAuditWriter::Finish() {
  out_ << Closing();
  out_.flush();
}

int ExitStatusOf(const TAuditReport& report) {
  return report.Worst() == TAuditMark::Pass ? kToolDone : kToolSomeFailed;
}

int ExitStatusOf(const std::vector<std::optional<TAuditReport>>& reports) {
  for (const std::optional<TAuditReport>& report : reports)
    if (!report || ExitStatusOf(*report) != kToolDone) return kToolSomeFailed;
  return kToolDone;
}
