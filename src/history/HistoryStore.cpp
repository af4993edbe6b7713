#include "history/HistoryStore.h"

#include <sys/random.h>
#include <unistd.h>

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

std::vector<THistoryQuery> THistoryStore::Runs(const THistoryFilter& filter) {
  std::vector<THistoryQuery> runs;
  if (!EachRun(filter, [&](const THistoryQuery& q) { runs.push_back(q); })) runs.clear();
  return runs;
}

void THistoryStore::TRunAssembler::Add(int64_t id, const std::string& site_utf8, int64_t started_ms,
                                       const std::string& service_set,
                                       const std::optional<TFieldRow>& row) {
  if (!open_ || run_.Id != id) {
    Finish();
    run_ = THistoryQuery();
    run_.Id = id;
    run_.Record.Site = Utf8ToGbk(site_utf8);
    run_.Record.StartedUnixMs = started_ms;
    run_.Record.ServiceSet = service_set;
    open_ = true;
  }
  if (!row) return;  // a run without that field
  const std::optional<TResultField> f = ResultFieldByName(row->Field);
  if (!f) return;  // a field this program lacks
  TFieldResult& r = *f == rfPicture ? run_.Record.Picture : run_.Record.Fields[*f];
  r.State = StateOfOutcomeWord(row->Outcome);
  if (r.State == TFieldState::Value) r.Text = Utf8ToGbk(row->Text);
  r.Fetch.End = EnumOfWord(kFetchEndWords, row->FetchEnd, TFetchEnd::OtherFailure);
  r.Fetch.HttpStatus = row->HttpStatus;
  r.Fetch.ElapsedMs = static_cast<uint32_t>(row->ElapsedMs);
  r.Fetch.Url = row->Url;
  r.Fetch.Detail = row->Detail;
  if (*f != rfPicture) run_.Numbers[*f] = row->Number;
}

void THistoryStore::TRunAssembler::Finish() {
  if (open_) visit_(run_);
  open_ = false;
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
