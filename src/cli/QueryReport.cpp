#include "cli/QueryReport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/ExitStatus.h"
#include "runtime/CodePage.h"
#include "services/ServiceFile.h"

namespace {

// Why a field has no value, in words ("" for a value).
std::string Reason(const TFieldResult& r) { return GbkToUtf8(NoValueReason(r)); }

// The number a field's value states, as the history stores it.
std::optional<double> Number(TResultField field, const TFieldResult& r) {
  if (!r.HasValue()) return std::nullopt;
  return FieldNumber(field, r.Text);
}

nlohmann::json FieldJson(TResultField field, const TFieldResult& r, const std::string& caption) {
  nlohmann::json j;
  j["caption"] = caption;
  j["text"] = r.HasValue() ? GbkToUtf8(r.Text) : "";
  if (auto number = Number(field, r))
    j["number"] = *number;
  else
    j["number"] = nullptr;
  j["outcome"] = OutcomeWord(r.State);
  j["reason"] = Reason(r);
  j["url"] = GbkToUtf8(r.Fetch.Url);
  j["http_status"] = r.Fetch.HttpStatus;
  j["elapsed_ms"] = r.Fetch.ElapsedMs;
  j["wire_bytes"] = r.Fetch.WireBytes;
  j["bytes"] = r.Fetch.Bytes;
  return j;
}

// The fields asked for: all of them when none are named.
std::vector<TResultField> Columns(const std::vector<TResultField>& fields) {
  return fields.empty() ? AllTextFields() : fields;
}

// One site's object of a JSON report; `caption` names each field.
template <typename TCaption>
nlohmann::json RecordJson(const TQueryRecord& record, const std::vector<TResultField>& columns,
                          const TCaption& caption) {
  nlohmann::json site;
  site["site"] = GbkToUtf8(record.Site);
  site["started"] = IsoTime(record.StartedUnixMs);
  site["services"] = record.ServiceSet;
  nlohmann::json fields = nlohmann::json::object();
  for (TResultField field : columns) {
    fields[ResultFieldName(field)] = FieldJson(field, record.Fields[field], caption(field));
  }
  site["fields"] = fields;
  if (auto seconds = Number(rfAlexa6, record.Fields[rfAlexa6]))
    site["load_time"] = *seconds;
  else
    site["load_time"] = nullptr;
  site["thumbnail"] = {{"outcome", OutcomeWord(record.Picture.State)},
                       {"reason", Reason(record.Picture)},
                       {"url", GbkToUtf8(record.Picture.Fetch.Url)}};
  return site;
}

}  // namespace

// A page's text as one CSV cell a spreadsheet shows as text: control bytes written as
// TerminalSafe does, and a leading "=", "+", "-" or "@" (a formula) behind a "'".
std::string CsvCell(const std::string& raw) {
  std::string text = TerminalSafe(raw);
  if (!text.empty() && std::strchr("=+-@", text[0]) != nullptr) text = "'" + text;
  if (text.find_first_of(",\"\r\n'") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Texts from pages may hold bytes that are not UTF-8 after all: replace, never throw.
std::string Dumped(const nlohmann::json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

TReportWriter::TReportWriter(std::ostream& out, TReportFormat format,
                             std::vector<TResultField> fields, bool with_time, TFlush flush)
    : out_(out), format_(format), fields_(Columns(fields)), with_time_(with_time), flush_(flush) {
  // Out at once: a program ended by a second Ctrl-C before the first record still leaves an
  // array (the signal's handler writes only the close).
  if (format_ == TReportFormat::Json) out_ << "[" << std::flush;
  if (format_ != TReportFormat::Csv) return;
  out_ << "site";
  if (with_time_) out_ << ",started";
  for (TResultField field : fields_) {
    const std::string name = ResultFieldName(field);
    out_ << ',' << name << ',' << name << " outcome";
  }
  out_ << "\r\n";
}

const std::string& TReportWriter::Caption(const TQueryRecord& record, TResultField field) {
  const TServiceTable* table = captions_ ? captions_.get() : BuiltInServiceSet(record.ServiceSet);
  // A long series names the same definitions run after run: their captions are looked up once,
  // and a table line's start (name and caption) put together once.
  if (caption_cache_.empty() || table != caption_table_) {
    caption_table_ = table;
    caption_cache_.clear();
    line_starts_.clear();
    for (int i = rfSite1; i <= rfPicture; ++i) {
      const auto f = static_cast<TResultField>(i);
      caption_cache_.push_back(
          GbkToUtf8(table != nullptr ? FieldCaption(*table, f) : ResultFieldCaption(f)));
      // Indented, the name in a column nine wide; the thumbnail's line has no caption.
      const std::string_view name = ResultFieldName(f);
      std::string start = "  ";
      start += name;
      if (name.size() < 9) start.append(9 - name.size(), ' ');
      if (f != rfPicture) {
        AppendTerminalSafe(start, caption_cache_.back());
        start += "  ";
      }
      line_starts_.push_back(std::move(start));
    }
  }
  return caption_cache_[field];
}

const std::string& TReportWriter::LineStart(const TQueryRecord& record, TResultField field) {
  Caption(record, field);
  return line_starts_[field];
}

void TReportWriter::Add(const TQueryRecord& record) {
  const auto caption = [&](TResultField field) -> const std::string& {
    return Caption(record, field);
  };
  switch (format_) {
    case TReportFormat::Json:
      // Each element indented as the array's member.
      out_ << (count_ == 0 ? "\n  " : ",\n  ")
           << ReplaceAll(Dumped(RecordJson(record, fields_, caption), 2), "\n", "\n  ");
      break;
    case TReportFormat::JsonLines:
      out_ << Dumped(RecordJson(record, fields_, caption), -1) << "\n";
      break;
    case TReportFormat::Csv:
      out_ << CsvCell(GbkToUtf8(record.Site));
      if (with_time_) out_ << ',' << IsoTime(record.StartedUnixMs);
      for (TResultField field : fields_) {
        const TFieldResult& r = record.Fields[field];
        out_ << ',' << CsvCell(r.HasValue() ? GbkToUtf8(r.Text) : "") << ','
             << OutcomeWord(r.State);
      }
      out_ << "\r\n";
      break;
    case TReportFormat::Table: {
      // Page texts and reasons come from the network: nothing of them may steer the terminal.
      // The block is put together first and written at once; stored runs (a long series has
      // many) gather in it until it is worth a write of its own.
      std::string& block = block_;
      AppendTerminalSafe(block, GbkToUtf8(record.Site));
      block += "  (";
      block += IsoTime(record.StartedUnixMs);
      block += ")\n";
      for (TResultField field : fields_) {
        const TFieldResult& r = record.Fields[field];
        block += LineStart(record, field);
        AppendTerminalSafe(block, r.HasValue() ? GbkToUtf8(r.Text) : "— " + Reason(r));
        block += '\n';
      }
      if (fields_ == AllTextFields()) {
        block += LineStart(record, rfPicture);
        block += record.Picture.HasValue() ? std::string("ok")
                                           : TerminalSafe("— " + Reason(record.Picture));
        block += '\n';
      }
      if (flush_ == TFlush::EachRecord || block.size() >= kBlockBytes) WriteBlock();
      break;
    }
  }
  ++count_;
  if (flush_ == TFlush::EachRecord) out_.flush();
}

const char* TReportWriter::Closing() const {
  if (format_ != TReportFormat::Json) return "";
  return count_ == 0 ? "]\n" : "\n]\n";
}

void TReportWriter::WriteBlock() {
  out_.write(block_.data(), static_cast<std::streamsize>(block_.size()));
  block_.clear();
}

void TReportWriter::Finish() {
  WriteBlock();
  out_ << Closing();
  out_.flush();
}

namespace {

void WriteAll(std::ostream& out, TReportFormat format, const std::vector<TQueryRecord>& records,
              const std::vector<TResultField>& fields, bool with_time) {
  TReportWriter writer(out, format, fields, with_time);
  for (const TQueryRecord& record : records) writer.Add(record);
  writer.Finish();
}

}  // namespace

void WriteJson(std::ostream& out, const std::vector<TQueryRecord>& records,
               const std::vector<TResultField>& only) {
  WriteAll(out, TReportFormat::Json, records, only, false);
}

void WriteCsv(std::ostream& out, const std::vector<TQueryRecord>& records,
              const std::vector<TResultField>& only, bool with_time) {
  WriteAll(out, TReportFormat::Csv, records, only, with_time);
}

void WriteTable(std::ostream& out, const std::vector<TQueryRecord>& records,
                const std::vector<TResultField>& only) {
  WriteAll(out, TReportFormat::Table, records, only, false);
}

void AppendTerminalSafe(std::string& out, std::string_view utf8) {
  const auto plain = [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b != 0x7F;
  };
  if (std::all_of(utf8.begin(), utf8.end(), plain)) {  // most texts
    out += utf8;
    return;
  }
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (plain(c)) {
          out += c;
        } else {
          char code[5];
          std::snprintf(code, sizeof code, "\\x%02X", b);
          out += code;
        }
    }
  }
}

std::string TerminalSafe(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  AppendTerminalSafe(out, utf8);
  return out;
}

int ExitStatusOf(const TQueryRecord& record) {
  // A field switched off, retired or waiting for a key was never asked for: it cannot have failed.
  auto failed = [](const TFieldResult& r) { return !r.HasValue() && !NotAsked(r.State); };
  if (failed(record.Picture)) return kToolSomeFailed;
  for (const TFieldResult& r : record.Fields) {
    if (failed(r)) return kToolSomeFailed;
  }
  return kToolDone;
}

int ExitStatusOf(const std::vector<TQueryRecord>& records) {
  for (const TQueryRecord& record : records) {
    if (ExitStatusOf(record) != kToolDone) return kToolSomeFailed;
  }
  return kToolDone;
}
