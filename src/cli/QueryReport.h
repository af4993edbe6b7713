// What velmora-query prints for finished queries: a table for people, JSON and CSV for
// programs. Every text is written as UTF-8; a field without a value is never written as one
// (its text is empty and its outcome says why).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "query/QueryRecord.h"
#include "runtime/DateUtils.h"

enum class TReportFormat { Table, Json, JsonLines, Csv };

// Writes a report record by record: a table block, a CSV row (the header first), a JSON Lines
// line, or an element of a JSON array (valid JSON once Finish has run). `fields` and
// `with_time` as WriteCsv and WriteJson take them. Each record is flushed as it is added, so
// that what was finished is on the output however the program ends; stored runs, which come
// faster than any reader reads them, are rather written in large pieces (TFlush::WhenFull),
// the last at Finish.
enum class TFlush { EachRecord, WhenFull };
class TReportWriter {
 public:
  TReportWriter(std::ostream& out, TReportFormat format, std::vector<TResultField> fields = {},
                bool with_time = false, TFlush flush = TFlush::EachRecord);
  void Add(const TQueryRecord& record);
  void Finish();
  // What ends the output as valid JSON now (a JSON array's close), "" when nothing does.
  const char* Closing() const;
  // The definitions whose captions name the fields (a run's own, with a user's file); without
  // them, the built-in set each record names.
  void SetCaptions(std::shared_ptr<const TServiceTable> table) {
    captions_ = std::move(table);
    caption_cache_.clear();
  }

 private:
  // The caption of `field` in `record`'s definitions (UTF-8).
  const std::string& Caption(const TQueryRecord& record, TResultField field);
  // What a table line of `field` starts with: its name and caption, indented and aligned.
  const std::string& LineStart(const TQueryRecord& record, TResultField field);
  void WriteBlock();

  std::ostream& out_;
  const TReportFormat format_;
  const std::vector<TResultField> fields_;
  const bool with_time_;
  const TFlush flush_;
  size_t count_ = 0;
  std::shared_ptr<const TServiceTable> captions_;
  const TServiceTable* caption_table_ = nullptr;  // whose captions caption_cache_ holds
  std::vector<std::string> caption_cache_;        // by field
  std::vector<std::string> line_starts_;          // by field, as LineStart puts them
  // Table blocks not yet written: a record's, or (TFlush::WhenFull) up to kBlockBytes of them.
  static constexpr size_t kBlockBytes = 64 * 1024;
  std::string block_;
};

// One object per site: {"site", "started" (ISO 8601, UTC), "services" (the set of definitions),
// "fields": {NAME: {"caption", "text", "number", "outcome", "reason", "url", "http_status",
// "elapsed_ms"}}, "load_time" (seconds or null),
// "thumbnail": {"outcome", "reason", "url"}}, as a JSON array.
// `fields` limits the fields written (all 27 when empty), for a stored series of one field.
// JSON Lines holds the same objects, one a line.
void WriteJson(std::ostream& out, const std::vector<TQueryRecord>& records,
               const std::vector<TResultField>& fields = {});
// A header, then one row per site: "site", then each of the 27 field names followed by its
// outcome column ("Site1", "Site1 outcome", ...). RFC 4180 quoting.
// "started" follows "site" when `with_time` (a stored series).
void WriteCsv(std::ostream& out, const std::vector<TQueryRecord>& records,
              const std::vector<TResultField>& fields = {}, bool with_time = false);
// A readable table: one block per site, a line per field with its name, its caption and its
// value or its reason.
void WriteTable(std::ostream& out, const std::vector<TQueryRecord>& records,
                const std::vector<TResultField>& fields = {});

// A UTF-8 text that cannot steer a terminal: line breaks and tabs written as \n \r \t, other
// control bytes (escape sequences included) as \xNN.
std::string TerminalSafe(const std::string& utf8);
// TerminalSafe(utf8) appended to `out`.
void AppendTerminalSafe(std::string& out, std::string_view utf8);

// What every report of the tool shares: a time as IsoTime writes it (runtime/DateUtils.h); a text
// as one CSV cell a spreadsheet shows as text (control bytes as TerminalSafe writes them, a leading
// "=", "+", "-" or "@" behind a "'", RFC 4180 quoting); JSON text, where bytes that are not UTF-8
// after all are replaced rather than thrown on (indent -1: one line).
std::string CsvCell(const std::string& raw);
std::string Dumped(const nlohmann::json& j, int indent);

// 0 when every field and the thumbnail of every record has a value or is switched off, else 3.
int ExitStatusOf(const TQueryRecord& record);
int ExitStatusOf(const std::vector<TQueryRecord>& records);
