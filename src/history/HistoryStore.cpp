#include "history/HistoryStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

// The migration steps: kMigrations[n] brings a file of version n to version n + 1. Each runs
// inside the transaction that also sets user_version, so a file is never half migrated. A new
// layout appends a step and raises kHistorySchemaVersion; steps once released never change.
const char* const kMigrations[] = {
    // 0 -> 1: the first layout.
    "CREATE TABLE queries("
    "  id INTEGER PRIMARY KEY,"
    "  site TEXT NOT NULL COLLATE NOCASE,"  // host name as typed, UTF-8
    "  started_ms INTEGER NOT NULL"         // Unix time in milliseconds
    ");"
    "CREATE INDEX queries_by_site ON queries(site, started_ms);"
    "CREATE TABLE fields("
    "  query_id INTEGER NOT NULL REFERENCES queries(id) ON DELETE CASCADE,"
    "  field TEXT NOT NULL,"         // the label name (Site1 ... Alexa6), Image1: the thumbnail
    "  text TEXT NOT NULL,"          // the value shown, UTF-8; '' without a value
    "  number NUMERIC,"              // the value as a number, NULL when it is none
    "  outcome TEXT NOT NULL,"       // value, no-match, blocked, failed, stopped, disabled
    "  reason TEXT NOT NULL,"        // why there is no value, UTF-8; '' for a value
    "  fetch_end TEXT NOT NULL,"     // how the request ended: fetched, read-timeout, ...
    "  http_status INTEGER NOT NULL,"  // 0 when no status arrived
    "  elapsed_ms INTEGER NOT NULL,"
    "  url TEXT NOT NULL,"
    "  detail TEXT NOT NULL,"        // the network layer's own message, English
    "  PRIMARY KEY(query_id, field)"
    ") WITHOUT ROWID;",
};
static_assert(std::size(kMigrations) == kHistorySchemaVersion,
              "one migration step per layout version");

// Kinds of trouble, each reported once until a success (THistoryStore::reported_).
enum : unsigned { kTroubleOpen = 1, kTroubleWrite = 2, kTroubleRead = 4 };

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

bool IsBusy(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}
bool IsCorrupt(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// One prepared statement, finalized on every path.
class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~TStatement() { sqlite3_finalize(st_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  int Prepared() const { return rc_; }
  sqlite3_stmt* operator*() const { return st_; }
  void Text(int i, const std::string& s) {
    sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  }
  void Int(int i, int64_t v) { sqlite3_bind_int64(st_, i, v); }
  std::string ColumnText(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
    return p ? std::string(p, sqlite3_column_bytes(st_, i)) : std::string();
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_;
};

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Runs `body` inside BEGIN IMMEDIATE ... COMMIT; rolls back when anything fails. Returns the
// first failing result code, SQLITE_OK on success.
template <typename Body>
int InTransaction(sqlite3* db, Body body) {
  int rc = Exec(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  rc = body();
  if (rc == SQLITE_OK) rc = Exec(db, "COMMIT");
  if (rc != SQLITE_OK && !sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
  return rc;
}

// Creates the folders leading to `path` (owner-only); failures show when the file is opened.
void MakeParentFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A URI that opens the file at `path` as one nobody writes.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      uri += code;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

// Moves a corrupt file (and its write-ahead log, which belongs to it) aside under a name with
// the local time; drops the shared-memory index. Returns the new name, "" when it failed.
std::string MoveAside(const std::string& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string target = path + ".corrupt-" + stamp;
  for (int n = 2; Exists(target); ++n) target = path + ".corrupt-" + stamp + "-" + std::to_string(n);
  if (::rename(path.c_str(), target.c_str()) != 0) return "";
  for (const char* suffix : {"-wal", "-journal"}) {
    if (Exists(path + suffix)) ::rename((path + suffix).c_str(), (target + suffix).c_str());
  }
  ::unlink((path + "-shm").c_str());
  return target;
}

void BindNumber(TStatement& st, int i, const std::optional<double>& n) {
  if (!n) {
    sqlite3_bind_null(*st, i);
  } else if (*n == std::floor(*n) && std::fabs(*n) < 9.0e15) {
    sqlite3_bind_int64(*st, i, static_cast<int64_t>(*n));
  } else {
    sqlite3_bind_double(*st, i, *n);
  }
}

// Stores one run; the caller retries on a busy result.
int WriteRecord(sqlite3* db, const TQueryRecord& record) {
  return InTransaction(db, [&]() -> int {
    TStatement q(db, "INSERT INTO queries(site, started_ms) VALUES(?1, ?2)");
    if (q.Prepared() != SQLITE_OK) return q.Prepared();
    q.Text(1, GbkToUtf8(record.Site));
    q.Int(2, record.StartedUnixMs);
    int rc = sqlite3_step(*q);
    if (rc != SQLITE_DONE) return rc;
    const int64_t id = sqlite3_last_insert_rowid(db);

    TStatement f(db,
                 "INSERT INTO fields(query_id, field, text, number, outcome, reason, fetch_end,"
                 " http_status, elapsed_ms, url, detail)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (f.Prepared() != SQLITE_OK) return f.Prepared();
    for (int i = rfSite1; i <= rfPicture; ++i) {
      const auto field = static_cast<TResultField>(i);
      const TFieldResult& r = record.Result(field);
      sqlite3_reset(*f);
      f.Int(1, id);
      f.Text(2, ResultFieldName(field));
      f.Text(3, r.HasValue() ? GbkToUtf8(r.Text) : "");
      BindNumber(f, 4, r.HasValue() ? FieldNumber(field, r.Text) : std::nullopt);
      f.Text(5, OutcomeWord(r.State));
      f.Text(6, GbkToUtf8(NoValueReason(r)));
      f.Text(7, kFetchEndWords[static_cast<size_t>(r.Fetch.End)]);
      f.Int(8, r.Fetch.HttpStatus);
      f.Int(9, r.Fetch.ElapsedMs);
      f.Text(10, r.Fetch.Url);
      f.Text(11, r.Fetch.Detail);
      rc = sqlite3_step(*f);
      if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
  });
}

}  // namespace

THistoryStore::THistoryStore() = default;

THistoryStore::~THistoryStore() { Close(); }

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

bool THistoryStore::Open(const std::string& path, const TOptions& options) {
  std::lock_guard<std::mutex> lock(mu_);
  options_ = options;
  if (options_.WriteAttempts < 1) options_.WriteAttempts = 1;
  return OpenLocked(path);
}

bool THistoryStore::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return db_ != nullptr;
}

void THistoryStore::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void THistoryStore::Report(int kind, const std::string& message) {
  if (reported_ & kind) return;
  reported_ |= kind;
  message_ = message;
}

std::string THistoryStore::TakeMessage() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string m;
  m.swap(message_);
  return m;
}

bool THistoryStore::OpenLocked(const std::string& path) {
  Close();
  path_ = path;
  if (path.empty()) {
    Report(kTroubleOpen, Utf8Bytes(u8"无法确定历史记录的位置（未设置 HOME），查询不会被记录。"));
    return false;
  }
  if (!options_.ReadOnly) MakeParentFolders(path);

  // One attempt: the open connection, or why not. `corrupt` says the file is not a sound
  // database (as opposed to one we may not open or write).
  bool corrupt = false;
  std::string error;
  ino_t checked = 0;  // the file found corrupt, so that a fresh one another process made is kept
  auto attempt = [&](bool immutable = false) -> sqlite3* {
    corrupt = false;
    struct stat st;
    checked = ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    sqlite3* db = nullptr;
    int rc = immutable
                 ? sqlite3_open_v2(ImmutableUri(path).c_str(), &db,
                                   SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                 : sqlite3_open_v2(path.c_str(), &db,
                                   options_.ReadOnly ? SQLITE_OPEN_READONLY
                                                     : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                   nullptr);
    auto fail = [&](int code) -> sqlite3* {
      corrupt = IsCorrupt(code);
      error = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
      sqlite3_close_v2(db);
      return nullptr;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, options_.BusyTimeoutMs);
    {
      TStatement check(db, "PRAGMA quick_check");
      rc = check.Prepared();
      if (rc == SQLITE_OK) rc = sqlite3_step(*check);
      if (rc == SQLITE_ROW) {
        if (check.ColumnText(0) != "ok") {
          error = "quick_check: " + check.ColumnText(0);
          corrupt = true;
          sqlite3_close_v2(db);
          return nullptr;
        }
      } else if (rc != SQLITE_DONE) {
        return fail(rc);
      }
    }
    // WAL lets readers go on while another process writes. A file that cannot switch (it is
    // read-only, say) is still opened: its writes fail and say so.
    if (options_.ReadOnly) {  // read as it is, unless a newer program wrote it
      TStatement v(db, "PRAGMA user_version");
      rc = v.Prepared() == SQLITE_OK ? sqlite3_step(*v) : v.Prepared();
      if (rc != SQLITE_ROW) return fail(rc);
      if (sqlite3_column_int(*v, 0) <= kHistorySchemaVersion) return db;
      error = Utf8Bytes(u8"它由较新版本的程序写成");
      sqlite3_close_v2(db);
      return nullptr;
    }
    rc = Exec(db, "PRAGMA journal_mode=WAL");
    if (IsCorrupt(rc)) return fail(rc);
    if (options_.MaxPageCount > 0) {
      Exec(db, ("PRAGMA max_page_count=" + std::to_string(options_.MaxPageCount)).c_str());
    }
    // Bring the layout up to date; a file of a newer program is left alone.
    bool newer = false;
    for (int tries = 0;; ++tries) {
      rc = InTransaction(db, [&]() -> int {
        TStatement v(db, "PRAGMA user_version");
        int r = v.Prepared();
        if (r == SQLITE_OK) r = sqlite3_step(*v);
        if (r != SQLITE_ROW) return r;
        const int version = sqlite3_column_int(*v, 0);
        if (version > kHistorySchemaVersion) {
          newer = true;
          return SQLITE_OK;
        }
        if (version == kHistorySchemaVersion) return SQLITE_OK;
        for (int step = version; step < kHistorySchemaVersion; ++step) {
          r = Exec(db, kMigrations[step]);
          if (r != SQLITE_OK) return r;
        }
        return Exec(db, ("PRAGMA user_version=" + std::to_string(kHistorySchemaVersion)).c_str());
      });
      if (!IsBusy(rc) || tries + 1 >= options_.WriteAttempts) break;
    }
    if (rc != SQLITE_OK) return fail(rc);
    if (newer) {
      error = Utf8Bytes(u8"它由较新版本的程序写成");
      sqlite3_close_v2(db);
      return nullptr;
    }
    return db;
  };

  db_ = attempt();
  // A reader of a folder it may not write cannot make the shared-memory index WAL reading
  // needs; without a write-ahead log every run is in the file itself, and nobody changes it.
  if (db_ == nullptr && options_.ReadOnly && !corrupt && !Exists(path + "-wal")) {
    db_ = attempt(true);
  }
  if (db_ == nullptr && corrupt) {
    // Another process that found the same file corrupt may have set it aside already.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || st.st_ino != checked) db_ = attempt();
  }
  if (db_ == nullptr && corrupt && !options_.ReadOnly) {
    const std::string aside = MoveAside(path);
    if (aside.empty()) {
      Report(kTroubleOpen, Utf8Bytes(u8"历史记录文件 ") + path + Utf8Bytes(u8" 已损坏，且无法改名（") +
                               std::strerror(errno) + Utf8Bytes(u8"），查询不会被记录。"));
      return false;
    }
    db_ = attempt();
    if (db_ != nullptr) {
      // A recovery is news every time it happens.
      message_ = Utf8Bytes(u8"历史记录文件已损坏，已改名为 ") + aside + Utf8Bytes(u8"，并新建了历史记录。");
      reported_ = 0;
      return true;
    }
  }
  if (db_ == nullptr) {
    Report(kTroubleOpen, Utf8Bytes(u8"无法打开历史记录 ") + path + Utf8Bytes(u8"：") + error +
                             Utf8Bytes(u8"。查询照常进行，但不会被记录。"));
    return false;
  }
  reported_ = 0;
  return true;
}

bool THistoryStore::Record(const TQueryRecord& record) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly) return false;
  // A history that could not be opened may have become usable (a folder made writable).
  if (db_ == nullptr && (path_.empty() || !OpenLocked(path_))) return false;
  int rc = SQLITE_OK;
  bool recovered = false;
  for (int tries = 0; tries < options_.WriteAttempts; ++tries) {
    rc = WriteRecord(db_, record);
    if (rc == SQLITE_OK) {
      reported_ &= ~kTroubleWrite;
      return true;
    }
    if (IsCorrupt(rc) && !recovered) {
      // The file went bad under us: set it aside, start afresh and store the run there.
      recovered = true;
      const std::string path = path_;
      if (!OpenLocked(path)) return false;
      continue;
    }
    if (!IsBusy(rc)) break;
  }
  Report(kTroubleWrite, Utf8Bytes(u8"无法写入历史记录 ") + path_ + Utf8Bytes(u8"：") + sqlite3_errstr(rc) +
                            Utf8Bytes(u8"。这次查询没有保存。"));
  return false;
}

std::vector<THistoryQuery> THistoryStore::Read(const std::string& site,
                                               std::optional<TResultField> field) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<THistoryQuery> series;
  if (db_ == nullptr) return series;
  const bool one = field.has_value();
  TStatement st(db_,
                one ? "SELECT q.id, q.site, q.started_ms, f.field, f.text, f.number, f.outcome,"
                      " f.fetch_end, f.http_status, f.elapsed_ms, f.url, f.detail"
                      " FROM queries q LEFT JOIN fields f ON f.query_id = q.id AND f.field = ?2"
                      " WHERE q.site = ?1 ORDER BY q.started_ms, q.id"
                    : "SELECT q.id, q.site, q.started_ms, f.field, f.text, f.number, f.outcome,"
                      " f.fetch_end, f.http_status, f.elapsed_ms, f.url, f.detail"
                      " FROM queries q LEFT JOIN fields f ON f.query_id = q.id"
                      " WHERE q.site = ?1 ORDER BY q.started_ms, q.id");
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    st.Text(1, GbkToUtf8(site));
    if (one) st.Text(2, ResultFieldName(*field));
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
      const int64_t id = sqlite3_column_int64(*st, 0);
      if (series.empty() || series.back().Id != id) {
        THistoryQuery q;
        q.Id = id;
        q.Record.Site = Utf8ToGbk(st.ColumnText(1));
        q.Record.StartedUnixMs = sqlite3_column_int64(*st, 2);
        series.push_back(std::move(q));
      }
      if (sqlite3_column_type(*st, 3) == SQLITE_NULL) continue;  // a run without that field
      const std::string name = st.ColumnText(3);
      const std::optional<TResultField> f = ResultFieldByName(name);
      if (!f) continue;  // a field this program lacks
      TFieldResult r;
      r.State = StateOfOutcomeWord(st.ColumnText(6));
      if (r.State == TFieldState::Value) r.Text = Utf8ToGbk(st.ColumnText(4));
      r.Fetch.End = EnumOfWord(kFetchEndWords, st.ColumnText(7), TFetchEnd::OtherFailure);
      r.Fetch.HttpStatus = sqlite3_column_int(*st, 8);
      r.Fetch.ElapsedMs = static_cast<uint32_t>(sqlite3_column_int64(*st, 9));
      r.Fetch.Url = st.ColumnText(10);
      r.Fetch.Detail = st.ColumnText(11);
      THistoryQuery& q = series.back();
      if (*f == rfPicture) {
        q.Record.Picture = std::move(r);
        continue;
      }
      q.Record.Fields[*f] = std::move(r);
      if (sqlite3_column_type(*st, 5) != SQLITE_NULL) q.Numbers[*f] = sqlite3_column_double(*st, 5);
    }
  }
  if (rc != SQLITE_DONE) {
    Report(kTroubleRead, Utf8Bytes(u8"无法读取历史记录 ") + path_ + Utf8Bytes(u8"：") + sqlite3_errmsg(db_));
    series.clear();
  } else {
    reported_ &= ~kTroubleRead;
  }
  return series;
}

int64_t THistoryStore::QueryCount() {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return -1;
  TStatement st(db_, "SELECT count(*) FROM queries");
  if (st.Prepared() != SQLITE_OK || sqlite3_step(*st) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(*st, 0);
}
