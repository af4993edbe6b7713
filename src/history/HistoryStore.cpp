#include "history/HistoryStore.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>

#include "history/PgHistoryStore.h"
#include "history/SqliteHistoryStore.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

const char* const kFetchEndWords[] = {
    "fetched",      "host-not-found",     "refused",     "reset",     "connect-timeout",
    "read-timeout", "tls-refused",        "http-status", "too-large", "stopped",
    "proxy-failed", "too-many-redirects", "bad-answer",  "bad-url",   "resolve-timeout",
    "bad-coding",   "other-failure"};
static_assert(std::size(kFetchEndWords) == static_cast<size_t>(TFetchEnd::OtherFailure) + 1,
              "a word for every fetch end");

// The value whose word (words[value]) is `word`; fallback for a word that is none.
template <typename Enum, size_t N>
Enum EnumOfWord(const char* const (&words)[N], const std::string& word, Enum fallback) {
  for (size_t i = 0; i < N; ++i) {
    if (word == words[i]) return static_cast<Enum>(i);
  }
  return fallback;
}

// A packed row's URL that is the row before's.
constexpr std::string_view kSameUrl = "\\=";
// A packed row's number that is its text read as one.
constexpr std::string_view kSameAsText = "=";

// A column of a packed row: backslash, tab and newline escaped.
void AppendEscaped(std::string_view text, std::string& out) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

// `text` with its escapes undone: itself when it holds none, else the text put in `room`.
// `escaped`: whether `text` may hold an escape at all.
std::string_view Unescaped(std::string_view text, bool escaped, std::string& room) {
  if (!escaped || text.find('\\') == std::string_view::npos) return text;
  std::string& out = room;
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

// Whether all of `text` is a number, put in `value`.
template <typename T>
bool ParsedAll(std::string_view text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}
// The same for a double, sooner for plain digits (most stored numbers), which up to 15 of them
// are a double exactly.
bool ParsedAll(std::string_view text, double& value) {
  constexpr size_t kExactDigits = 15;
  if (!text.empty() && text.size() <= kExactDigits &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int64_t whole = 0;
    for (char c : text) whole = whole * 10 + (c - '0');
    value = static_cast<double>(whole);
    return true;
  }
  return ParsedAll<double>(text, value);
}

// The bytes a packed row's scan stops at: the column and row ends, and the escape.
constexpr std::array<bool, 256> kPackedStops = [] {
  std::array<bool, 256> stops{};
  stops['\t'] = stops['\n'] = stops['\\'] = true;
  return stops;
}();

}  // namespace

std::string THistoryStore::DefaultPath() {
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return "";
    base = std::string(home) + "/.local/share";
  }
  return base + "/velmora/history.sqlite3";
}

bool THistoryStore::IsDatabaseUrl(const std::string& location) {
  return StartsText("postgresql://", location) || StartsText("postgres://", location);
}

std::string THistoryStore::NewRunId() {
  // Fresh entropy every time: a generator seeded once would hand processes forked after its
  // seeding the same ids, and their runs would be taken for one another's and dropped.
  uint64_t bits[2] = {0, 0};
  if (::getrandom(bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
    std::random_device device;
    bits[0] = (uint64_t{device()} << 32) ^ device() ^ static_cast<uint64_t>(::getpid());
    bits[1] = (uint64_t{device()} << 32) ^ device();
  }
  return LowerCase(IntToHex(bits[0], 16) + IntToHex(bits[1], 16));
}

std::string THistoryStore::TakeMessage() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string m;
  m.swap(message_);
  return m;
}

void THistoryStore::Report(unsigned kind, const std::string& message) {
  if (reported_ & kind) return;
  reported_ |= kind;
  message_ = message;
}

std::vector<THistoryStore::TFieldRow> THistoryStore::FieldRows(const TQueryRecord& record) {
  std::vector<TFieldRow> rows;
  rows.reserve(kTextFieldCount + 1);
  for (int i = rfSite1; i <= rfPicture; ++i) {
    const auto field = static_cast<TResultField>(i);
    const TFieldResult& r = record.Result(field);
    TFieldRow row;
    row.Field = ResultFieldName(field);
    if (r.HasValue()) {
      row.Text = GbkToUtf8(r.Text);
      row.Number = FieldNumber(field, r.Text);
    }
    row.Outcome = OutcomeWord(r.State);
    row.Reason = GbkToUtf8(NoValueReason(r));
    row.FetchEnd = kFetchEndWords[static_cast<size_t>(r.Fetch.End)];
    row.HttpStatus = r.Fetch.HttpStatus;
    row.ElapsedMs = r.Fetch.ElapsedMs;
    row.Url = r.Fetch.Url;
    row.Detail = r.Fetch.Detail;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string THistoryStore::PackFields(const std::vector<TFieldRow>& rows) {
  std::string out;
  out.reserve(rows.size() * 24);
  char number[32];
  int next = rfSite1;  // the field a row without a name is
  for (size_t i = 0; i < rows.size(); ++i) {
    const TFieldRow& row = rows[i];
    const TFieldRow* before = i > 0 ? &rows[i - 1] : nullptr;
    if (i > 0) out += '\n';
    const std::optional<TResultField> field = ResultFieldByName(row.Field);
    if (!(field && *field == next)) AppendEscaped(row.Field, out);
    next = field ? *field + 1 : rfPicture + 1;
    out += '\t';
    AppendEscaped(row.Text, out);
    out += '\t';
    if (row.Number) {  // shortest exact form, whatever the locale; "=" when that is the text
      const std::string_view digits(
          number, std::to_chars(number, number + sizeof number, *row.Number).ptr - number);
      out += digits == row.Text ? std::string_view(kSameAsText) : digits;
    }
    out += '\t';
    // The outcome, the fetch's end, status and time: nothing when they are the row before's
    // (the fields of one page share them).
    const auto ditto = [&](const std::string& text, const std::string& text_before) {
      if (before == nullptr || text != text_before || text.empty()) AppendEscaped(text, out);
      out += '\t';
    };
    ditto(row.Outcome, before ? before->Outcome : "");
    ditto(row.FetchEnd, before ? before->FetchEnd : "");
    ditto(std::to_string(row.HttpStatus), before ? std::to_string(before->HttpStatus) : "");
    ditto(std::to_string(row.ElapsedMs), before ? std::to_string(before->ElapsedMs) : "");
    // Fields asked on one page share its URL: "\=" (which no escaped text is) says "the row
    // before's".
    if (before != nullptr && !row.Url.empty() && row.Url == before->Url) {
      out += kSameUrl;
    } else {
      AppendEscaped(row.Url, out);
    }
    out += '\t';
    AppendEscaped(row.Detail, out);
  }
  return out;
}

std::vector<THistoryQuery> THistoryStore::Runs(const THistoryFilter& filter) {
  std::vector<THistoryQuery> runs;
  if (!EachRun(filter, [&](const THistoryQuery& q) { runs.push_back(q); })) runs.clear();
  return runs;
}

THistoryStore::TRunAssembler::TRunAssembler(const std::function<void(const THistoryQuery&)>& visit,
                                            const std::vector<TResultField>& only)
    : visit_(visit),
      outcome_state_(StateOfOutcomeWord(outcome_word_)),
      end_(EnumOfWord(kFetchEndWords, end_word_, TFetchEnd::OtherFailure)) {
  wanted_.fill(only.empty());
  for (TResultField field : only) wanted_[field] = true;
}

std::string THistoryStore::RunLine(const TQueryRecord& record, const std::string& run_id) {
  std::string line;
  for (const std::string& column :
       {run_id, std::to_string(record.StartedUnixMs), GbkToUtf8(record.Site), record.ServiceSet}) {
    AppendEscaped(column, line);
    line += '\t';
  }
  AppendEscaped(PackFields(FieldRows(record)), line);
  return line;
}

bool THistoryStore::RunOfLine(std::string_view line, TQueryRecord& record, std::string& run_id) {
  constexpr size_t kColumns = 5;
  std::array<std::string, kColumns> columns;
  for (size_t i = 0; i < kColumns; ++i) {
    const size_t tab = i + 1 < kColumns ? line.find('\t') : line.size();
    if (tab == std::string_view::npos) return false;
    std::string room;
    columns[i] = Unescaped(line.substr(0, tab), true, room);
    line.remove_prefix(std::min(line.size(), tab + 1));
  }
  int64_t started = 0;
  if (columns[0].empty() || !ParsedAll(columns[1], started)) return false;
  bool read = false;
  const std::function<void(const THistoryQuery&)> keep = [&](const THistoryQuery& q) {
    record = q.Record;
    read = true;
  };
  TRunAssembler runs(keep, {});
  runs.Add(0, columns[2], started, columns[3], std::nullopt);
  runs.AddPacked(columns[4]);
  runs.Finish();
  run_id = columns[0];
  return read;
}

void THistoryStore::TRunAssembler::Add(int64_t id, std::string_view site_utf8, int64_t started_ms,
                                       std::string_view service_set,
                                       const std::optional<TFieldRow>& row) {
  if (!open_ || run_.Id != id) {
    Finish();
    // Afresh: what Set fills is cleared (the strings keep their room), the rest is never set.
    for (TFieldResult& r : run_.Record.Fields) Clear(r);
    Clear(run_.Record.Picture);
    run_.Numbers.fill(std::nullopt);
    run_.Id = id;
    Utf8ToGbk(site_utf8, run_.Record.Site, false);
    run_.Record.StartedUnixMs = started_ms;
    run_.Record.ServiceSet = service_set;
    open_ = true;
  }
  if (!row) return;  // a run without that field
  const std::optional<TResultField> f = ResultFieldByName(row->Field);
  if (!f) return;  // a field this program lacks
  SetWords(row->Outcome, row->FetchEnd);
  Set(*f, {row->Text, row->HttpStatus, row->ElapsedMs, row->Url, row->Detail});
  if (*f != rfPicture) run_.Numbers[*f] = row->Number;
}

void THistoryStore::TRunAssembler::Clear(TFieldResult& r) {
  r.State = TFieldState::Pending;
  r.Text.clear();
  r.Fetch.End = TFetchEnd::OtherFailure;
  r.Fetch.HttpStatus = 0;
  r.Fetch.ElapsedMs = 0;
  r.Fetch.Url.clear();
  r.Fetch.Detail.clear();
}

void THistoryStore::TRunAssembler::SetWords(std::string_view outcome, std::string_view fetch_end) {
  // The fields of a run mostly share their outcome and end: their words are matched once.
  if (outcome != outcome_word_) {
    outcome_word_ = outcome;
    outcome_state_ = StateOfOutcomeWord(outcome_word_);
  }
  if (fetch_end != end_word_) {
    end_word_ = fetch_end;
    end_ = EnumOfWord(kFetchEndWords, end_word_, TFetchEnd::OtherFailure);
  }
}

void THistoryStore::TRunAssembler::Set(TResultField field, const TFieldView& view) {
  TFieldResult& r = field == rfPicture ? run_.Record.Picture : run_.Record.Fields[field];
  r.State = outcome_state_;
  if (r.State == TFieldState::Value) {
    Utf8ToGbk(view.Text, r.Text, false);
  } else {
    r.Text.clear();  // (a field given twice keeps no text of its first)
  }
  r.Fetch.End = end_;
  r.Fetch.HttpStatus = view.HttpStatus;
  r.Fetch.ElapsedMs = static_cast<uint32_t>(view.ElapsedMs);
  r.Fetch.Url = view.Url;
  r.Fetch.Detail = view.Detail;
}

void THistoryStore::TRunAssembler::AddPacked(std::string_view packed) {
  constexpr size_t kColumns = 9;
  constexpr size_t kFirstShared = 3;  // outcome, end, status, time: as the row before's
  std::array<std::string_view, 4> shared;
  int status = 0;  // shared[2] and [3] read
  int64_t elapsed = 0;
  std::string_view url;     // the last row's, unescaped
  int next = rfSite1;       // the rows come in field order: the field expected next
  bool first_row = true;
  std::array<std::string_view, kColumns> c;  // (out here: made afresh, it is zeroed row by row)
  const char* p = packed.data();
  const char* const end = p + packed.size();
  while (p < end) {
    // One row: its columns, and whether any holds an escape. Columns a later layout may add
    // after these are passed over.
    size_t n = 0;
    bool escaped = false;
    const char* start = p;
    for (;;) {
      while (p < end && !kPackedStops[static_cast<unsigned char>(*p)]) ++p;
      if (p == end || *p == '\n') break;
      if (*p == '\t') {
        if (n < kColumns) c[n++] = std::string_view(start, p - start);
        start = p + 1;
      } else {
        escaped = true;
      }
      ++p;
    }
    if (n < kColumns) c[n++] = std::string_view(start, p - start);
    ++p;
    if (n < kColumns) continue;  // not a row
    if (c[7] != kSameUrl) url = Unescaped(c[7], true, url_);
    // The outcome, end, status and time a row leaves empty are the row before's.
    for (size_t k = 0; k < shared.size(); ++k) {
      if (!c[kFirstShared + k].empty()) shared[k] = c[kFirstShared + k];
    }
    if (first_row || !c[3].empty() || !c[4].empty()) SetWords(shared[0], shared[1]);
    first_row = false;
    if (!c[5].empty() && !ParsedAll(c[5], status)) status = 0;
    if (!c[6].empty() && !ParsedAll(c[6], elapsed)) elapsed = 0;
    // A row without a name is the field after the row before's.
    std::optional<TResultField> field;
    if (c[0].empty() || (next <= rfPicture && c[0] == ResultFieldName(TResultField(next)))) {
      if (next <= rfPicture) field = static_cast<TResultField>(next);
    } else {
      field = ResultFieldByName(std::string(c[0]));
    }
    if (!field) {  // a field this program lacks
      next = rfPicture + 1;
      continue;
    }
    next = *field + 1;
    if (!wanted_[*field]) continue;
    const std::string_view text = Unescaped(c[1], escaped, text_);
    Set(*field, {text, status, elapsed, url, Unescaped(c[8], escaped, detail_)});
    if (*field == rfPicture) continue;
    std::optional<double>& number = run_.Numbers[*field];
    number.reset();  // (a field given twice keeps no number of its first)
    double value = 0;
    const std::string_view number_text = c[2] == kSameAsText ? text : c[2];
    if (!number_text.empty() && ParsedAll(number_text, value)) number = value;
  }
}

void THistoryStore::TRunAssembler::Finish() {
  if (open_) visit_(run_);
  open_ = false;
}

std::vector<THistoryStore::TAuditCheckRow> THistoryStore::AuditCheckRows(
    const TAuditReport& report) {
  std::vector<TAuditCheckRow> rows;
  for (const TAuditResult& result : report.Results) {
    TAuditCheckRow row{.Check = std::string(AuditCheckName(result.Check)),
                       .Mark = std::string(AuditMarkName(result.Mark)),
                       .Value = result.Value,
                       .Reason = result.Reason,
                       .Url = result.Url,
                       .Details = {}};
    for (size_t i = 0; i < result.Details.size(); ++i) {
      if (i > 0) row.Details += '\n';
      row.Details += result.Details[i];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void THistoryStore::TAuditAssembler::Add(int64_t id, std::string_view site, int64_t started_ms,
                                         int64_t elapsed_ms, const TNumbers& numbers,
                                         const std::optional<TAuditCheckRow>& row) {
  if (!open_ || id_ != id) {
    Finish();
    report_ = TAuditReport();
    report_.Site = site;
    report_.StartedUnixMs = started_ms;
    report_.ElapsedMs = elapsed_ms;
    numbers_ = numbers;
    id_ = id;
    open_ = true;
  }
  if (!row) return;
  const std::optional<TAuditCheck> check = AuditCheckByName(row->Check);
  if (!check) return;  // a check this program lacks
  TAuditResult result;
  result.Check = *check;
  // A mark this program does not know says nothing it could show as passed or failed.
  result.Mark = AuditMarkByName(row->Mark).value_or(TAuditMark::Unable);
  result.Value = row->Value;
  result.Reason = row->Reason;
  result.Url = row->Url;
  for (size_t at = 0; !row->Details.empty() && at <= row->Details.size();) {
    const size_t end = std::min(row->Details.find('\n', at), row->Details.size());
    result.Details.push_back(row->Details.substr(at, end - at));
    at = end + 1;
  }
  report_.Results.push_back(std::move(result));
}

void THistoryStore::TAuditAssembler::Finish() {
  if (!open_) return;
  open_ = false;
  for (int n = 0; n < kAuditNumberCount; ++n) {
    if (!numbers_[n]) continue;
    const auto number = static_cast<TAuditNumber>(n);
    for (TAuditResult& result : report_.Results) {
      if (result.Check == AuditNumberCheck(number)) {
        result.Numbers.emplace_back(number, *numbers_[n]);
        break;
      }
    }
  }
  visit_(report_);
}

std::vector<THistoryStore::TAuditPoint> THistoryStore::AuditSeries(const std::string& site,
                                                                   TAuditNumber number) {
  std::vector<TAuditPoint> points;
  const bool read = EachAudit({.Site = site}, [&](const TAuditReport& report) {
    if (const std::optional<double> value = report.Number(number))
      points.push_back({report.StartedUnixMs, *value});
  });
  if (!read) points.clear();
  return points;
}

std::string HistoryLocation(const std::string& given) {
  if (!given.empty()) return given;
  const char* configured = std::getenv("VELMORA_HISTORY_DB");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return THistoryStore::DefaultPath();
}

std::unique_ptr<THistoryStore> OpenHistoryStore(const std::string& location,
                                                const THistoryStore::TOptions& options) {
  std::unique_ptr<THistoryStore> store;
  if (THistoryStore::IsDatabaseUrl(location)) {
    store = std::make_unique<TPgHistoryStore>();
  } else {
    store = std::make_unique<TSqliteHistoryStore>();
  }
  store->Open(location, options);
  return store;
}

std::vector<std::string> THistoryStore::RankTablesSql(const std::string& id_column) {
  return {"CREATE TABLE IF NOT EXISTS ranks(id " + id_column +
              ", run_id TEXT NOT NULL, site TEXT NOT NULL, started_ms BIGINT NOT NULL,"
              " keyword TEXT NOT NULL, engine TEXT NOT NULL, outcome TEXT NOT NULL,"
              " position INTEGER, url TEXT NOT NULL, pages INTEGER NOT NULL,"
              " depth INTEGER NOT NULL, reason TEXT NOT NULL, page_url TEXT NOT NULL,"
              " UNIQUE(run_id, keyword, engine))",
          "CREATE INDEX IF NOT EXISTS ranks_by_site ON ranks(lower(site), keyword, started_ms)",
          "CREATE TABLE IF NOT EXISTS rank_keywords(site TEXT NOT NULL, keyword TEXT NOT NULL,"
          " position INTEGER NOT NULL, PRIMARY KEY(site, keyword))"};
}
