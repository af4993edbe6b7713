#include "cli/QueryReport.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <optional>
#include <nlohmann/json.hpp>

#include "cli/QueryTool.h"
#include "history/HistoryStore.h"
#include "runtime/CodePage.h"

namespace {

std::string Utf8(const std::string& gbk) { return GbkToUtf8(gbk); }

std::string IsoTime(int64_t unixMs) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

// Why a field has no value, in words ("" for a value).
std::string Reason(const TFieldResult& r) { return Utf8(HistoryReason(r)); }

// The number a field's value states, as the history stores it.
std::optional<double> Number(TResultField field, const TFieldResult& r) {
  if (!r.HasValue()) return std::nullopt;
  return HistoryNumber(field, r.Text);
}

nlohmann::json FieldJson(TResultField field, const TFieldResult& r) {
  nlohmann::json j;
  j["text"] = r.HasValue() ? Utf8(r.Text) : "";
  if (auto number = Number(field, r)) j["number"] = *number;
  else j["number"] = nullptr;
  j["outcome"] = HistoryOutcomeWord(r.State);
  j["reason"] = Reason(r);
  j["url"] = Utf8(r.Fetch.Url);
  j["http_status"] = r.Fetch.HttpStatus;
  j["elapsed_ms"] = r.Fetch.ElapsedMs;
  j["wire_bytes"] = r.Fetch.WireBytes;
  j["bytes"] = r.Fetch.Bytes;
  return j;
}

std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// The fields asked for: all of them when none are named.
std::vector<TResultField> Columns(const std::vector<TResultField>& fields) {
  if (!fields.empty()) return fields;
  std::vector<TResultField> all;
  for (int f = 0; f < rfFieldCount; ++f) all.push_back(static_cast<TResultField>(f));
  return all;
}

}  // namespace

void WriteJson(std::ostream& out, const std::vector<TQueryRecord>& records,
               const std::vector<TResultField>& only) {
  const std::vector<TResultField> columns = Columns(only);
  nlohmann::json all = nlohmann::json::array();
  for (const TQueryRecord& record : records) {
    nlohmann::json site;
    site["site"] = Utf8(record.Site);
    site["started"] = IsoTime(record.StartedUnixMs);
    nlohmann::json fields = nlohmann::json::object();
    for (TResultField field : columns) {
      fields[ResultFieldName(field)] = FieldJson(field, record.Fields[field]);
    }
    site["fields"] = fields;
    if (auto seconds = Number(rfAlexa6, record.Fields[rfAlexa6])) site["load_time"] = *seconds;
    else site["load_time"] = nullptr;
    site["thumbnail"] = {{"outcome", HistoryOutcomeWord(record.Picture.State)},
                         {"reason", Reason(record.Picture)},
                         {"url", Utf8(record.Picture.Fetch.Url)}};
    all.push_back(site);
  }
  // Texts from pages may hold bytes that are not UTF-8 after all: replace, never throw.
  out << all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void WriteCsv(std::ostream& out, const std::vector<TQueryRecord>& records,
              const std::vector<TResultField>& only, bool withTime) {
  const std::vector<TResultField> columns = Columns(only);
  out << "site";
  if (withTime) out << ",started";
  for (TResultField field : columns) {
    const std::string name = ResultFieldName(field);
    out << ',' << name << ',' << name << " outcome";
  }
  out << "\r\n";
  for (const TQueryRecord& record : records) {
    out << CsvCell(Utf8(record.Site));
    if (withTime) out << ',' << IsoTime(record.StartedUnixMs);
    for (TResultField field : columns) {
      const TFieldResult& r = record.Fields[field];
      out << ',' << CsvCell(r.HasValue() ? Utf8(r.Text) : "") << ',' << HistoryOutcomeWord(r.State);
    }
    out << "\r\n";
  }
}

std::string TerminalSafe(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b >= 0x20 && b != 0x7F) {
          out += c;
        } else {
          char code[5];
          std::snprintf(code, sizeof code, "\\x%02X", b);
          out += code;
        }
    }
  }
  return out;
}

void WriteTable(std::ostream& out, const std::vector<TQueryRecord>& records,
                const std::vector<TResultField>& only) {
  const std::vector<TResultField> columns = Columns(only);
  for (const TQueryRecord& record : records) {
    // Page texts and reasons come from the network: nothing of them may steer the terminal.
    out << TerminalSafe(Utf8(record.Site)) << "  (" << IsoTime(record.StartedUnixMs) << ")\n";
    for (TResultField field : columns) {
      const TFieldResult& r = record.Fields[field];
      out << "  " << std::left << std::setw(9) << ResultFieldName(field)
          << TerminalSafe(r.HasValue() ? Utf8(r.Text) : "— " + Reason(r)) << "\n";
    }
    if (!only.empty()) continue;
    out << "  " << std::left << std::setw(9) << "Image1"
        << (record.Picture.HasValue() ? std::string("ok")
                                      : TerminalSafe("— " + Reason(record.Picture)))
        << "\n";
  }
}

int ExitStatusOf(const std::vector<TQueryRecord>& records) {
  for (const TQueryRecord& record : records) {
    for (const TFieldResult& r : record.Fields) {
      if (!r.HasValue()) return kToolSomeFailed;
    }
  }
  return kToolDone;
}
