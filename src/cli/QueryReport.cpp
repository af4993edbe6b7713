#include "cli/QueryReport.h"

#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>

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
std::string Reason(const TFieldResult& r) {
  switch (r.State) {
    case fsValue:
      return "";
    case fsFailed:
      return Utf8(FetchReason(r.Fetch));
    default:
      return Utf8(StateWord(r.State));
  }
}

nlohmann::json FieldJson(const TFieldResult& r) {
  nlohmann::json j;
  j["text"] = r.HasValue() ? Utf8(r.Text) : "";
  if (auto number = FieldNumber(r)) j["number"] = *number;
  else j["number"] = nullptr;
  j["outcome"] = StateName(r.State);
  j["reason"] = Reason(r);
  j["url"] = Utf8(r.Fetch.Url);
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

}  // namespace

void WriteJson(std::ostream& out, const std::vector<TQueryRecord>& records) {
  nlohmann::json all = nlohmann::json::array();
  for (const TQueryRecord& record : records) {
    nlohmann::json site;
    site["site"] = Utf8(record.Site);
    site["started"] = IsoTime(record.StartedUnixMs);
    nlohmann::json fields = nlohmann::json::object();
    for (int f = 0; f < rfFieldCount; ++f) {
      fields[ResultFieldName(static_cast<TResultField>(f))] = FieldJson(record.Fields[f]);
    }
    site["fields"] = fields;
    if (auto seconds = FieldNumber(record.Fields[rfAlexa6])) site["load_time"] = *seconds;
    else site["load_time"] = nullptr;
    site["thumbnail"] = {{"outcome", StateName(record.Picture.State)},
                         {"reason", Reason(record.Picture)},
                         {"url", Utf8(record.Picture.Fetch.Url)}};
    all.push_back(site);
  }
  // Texts from pages may hold bytes that are not UTF-8 after all: replace, never throw.
  out << all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void WriteCsv(std::ostream& out, const std::vector<TQueryRecord>& records) {
  out << "site";
  for (int f = 0; f < rfFieldCount; ++f) {
    const std::string name = ResultFieldName(static_cast<TResultField>(f));
    out << ',' << name << ',' << name << " outcome";
  }
  out << "\r\n";
  for (const TQueryRecord& record : records) {
    out << CsvCell(Utf8(record.Site));
    for (const TFieldResult& r : record.Fields) {
      out << ',' << CsvCell(r.HasValue() ? Utf8(r.Text) : "") << ',' << StateName(r.State);
    }
    out << "\r\n";
  }
}

void WriteTable(std::ostream& out, const std::vector<TQueryRecord>& records) {
  for (const TQueryRecord& record : records) {
    out << Utf8(record.Site) << "  (" << IsoTime(record.StartedUnixMs) << ")\n";
    for (int f = 0; f < rfFieldCount; ++f) {
      const TFieldResult& r = record.Fields[f];
      out << "  " << std::left << std::setw(9) << ResultFieldName(static_cast<TResultField>(f))
          << (r.HasValue() ? Utf8(r.Text) : "— " + Reason(r)) << "\n";
    }
    out << "  " << std::left << std::setw(9) << "Image1"
        << (record.Picture.HasValue() ? std::string("ok") : "— " + Reason(record.Picture))
        << "\n";
  }
}

int ExitStatusOf(const std::vector<TQueryRecord>& records) {
  for (const TQueryRecord& record : records) {
    for (const TFieldResult& r : record.Fields) {
      if (!r.HasValue()) return 3;
    }
  }
  return 0;
}
