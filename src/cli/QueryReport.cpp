#include "cli/QueryReport.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <optional>
#include <nlohmann/json.hpp>

#include "cli/ExitStatus.h"
#include "runtime/CodePage.h"

namespace {

std::string IsoTime(int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

// Why a field has no value, in words ("" for a value).
std::string Reason(const TFieldResult& r) { return GbkToUtf8(NoValueReason(r)); }

// The number a field's value states, as the history stores it.
std::optional<double> Number(TResultField field, const TFieldResult& r) {
  if (!r.HasValue()) return std::nullopt;
  return FieldNumber(field, r.Text);
}

nlohmann::json FieldJson(TResultField field, const TFieldResult& r) {
  nlohmann::json j;
  j["text"] = r.HasValue() ? GbkToUtf8(r.Text) : "";
  if (auto number = Number(field, r)) j["number"] = *number;
  else j["number"] = nullptr;
  j["outcome"] = OutcomeWord(r.State);
  j["reason"] = Reason(r);
  j["url"] = GbkToUtf8(r.Fetch.Url);
  j["http_status"] = r.Fetch.HttpStatus;
  j["elapsed_ms"] = r.Fetch.ElapsedMs;
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
  return fields.empty() ? AllTextFields() : fields;
}

}  // namespace

void WriteJson(std::ostream& out, const std::vector<TQueryRecord>& records,
               const std::vector<TResultField>& only) {
  const std::vector<TResultField> columns = Columns(only);
  nlohmann::json all = nlohmann::json::array();
  for (const TQueryRecord& record : records) {
    nlohmann::json site;
    site["site"] = GbkToUtf8(record.Site);
    site["started"] = IsoTime(record.StartedUnixMs);
    nlohmann::json fields = nlohmann::json::object();
    for (TResultField field : columns) {
      fields[ResultFieldName(field)] = FieldJson(field, record.Fields[field]);
    }
    site["fields"] = fields;
    if (auto seconds = Number(rfAlexa6, record.Fields[rfAlexa6])) site["load_time"] = *seconds;
    else site["load_time"] = nullptr;
    site["thumbnail"] = {{"outcome", OutcomeWord(record.Picture.State)},
                         {"reason", Reason(record.Picture)},
                         {"url", GbkToUtf8(record.Picture.Fetch.Url)}};
    all.push_back(site);
  }
  // Texts from pages may hold bytes that are not UTF-8 after all: replace, never throw.
  out << all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void WriteCsv(std::ostream& out, const std::vector<TQueryRecord>& records,
              const std::vector<TResultField>& only, bool with_time) {
  const std::vector<TResultField> columns = Columns(only);
  out << "site";
  if (with_time) out << ",started";
  for (TResultField field : columns) {
    const std::string name = ResultFieldName(field);
    out << ',' << name << ',' << name << " outcome";
  }
  out << "\r\n";
  for (const TQueryRecord& record : records) {
    out << CsvCell(GbkToUtf8(record.Site));
    if (with_time) out << ',' << IsoTime(record.StartedUnixMs);
    for (TResultField field : columns) {
      const TFieldResult& r = record.Fields[field];
      out << ',' << CsvCell(r.HasValue() ? GbkToUtf8(r.Text) : "") << ',' << OutcomeWord(r.State);
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
    out << TerminalSafe(GbkToUtf8(record.Site)) << "  (" << IsoTime(record.StartedUnixMs) << ")\n";
    for (TResultField field : columns) {
      const TFieldResult& r = record.Fields[field];
      out << "  " << std::left << std::setw(9) << ResultFieldName(field)
          << TerminalSafe(r.HasValue() ? GbkToUtf8(r.Text) : "— " + Reason(r)) << "\n";
    }
    if (!only.empty()) continue;
    out << "  " << std::left << std::setw(9) << ResultFieldName(rfPicture)
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
