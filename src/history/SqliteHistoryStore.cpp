#include "history/SqliteHistoryStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "query/SiteName.h"
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
    "  field TEXT NOT NULL,"           // the label name (Site1 ... Alexa6), Image1: the thumbnail
    "  text TEXT NOT NULL,"            // the value shown, UTF-8; '' without a value
    "  number NUMERIC,"                // the value as a number, NULL when it is none
    "  outcome TEXT NOT NULL,"         // value, no-match, blocked, failed, stopped, disabled
    "  reason TEXT NOT NULL,"          // why there is no value, UTF-8; '' for a value
    "  fetch_end TEXT NOT NULL,"       // how the request ended: fetched, read-timeout, ...
    "  http_status INTEGER NOT NULL,"  // 0 when no status arrived
    "  elapsed_ms INTEGER NOT NULL,"
    "  url TEXT NOT NULL,"
    "  detail TEXT NOT NULL,"  // the network layer's own message, English
    "  PRIMARY KEY(query_id, field)"
    ") WITHOUT ROWID;",
    // 1 -> 2: a run id, so that a run written twice is stored once (NULL in older rows).
    "ALTER TABLE queries ADD COLUMN run_id TEXT;"
    "CREATE UNIQUE INDEX queries_by_run ON queries(run_id);",
    // 2 -> 3: the set of definitions a run used ("classic" before there were two).
    "ALTER TABLE queries ADD COLUMN services TEXT NOT NULL DEFAULT 'classic';",
    // 3 -> 4: each run's fields also packed into its row, read instead of its `fields` rows
    // (NULL in older rows); the check-ups, a row each and a row per check.
    "ALTER TABLE queries ADD COLUMN packed_fields TEXT;"
    "CREATE TABLE audits("
    "  id INTEGER PRIMARY KEY,"
    "  run_id TEXT NOT NULL UNIQUE,"
    "  site TEXT NOT NULL COLLATE NOCASE,"  // the site as typed, UTF-8
    "  started_ms INTEGER NOT NULL,"
    "  elapsed_ms INTEGER NOT NULL,"
    "  certificate_days_left NUMERIC,"  // the trend numbers, NULL when not measured
    "  first_byte_ms NUMERIC,"
    "  page_bytes NUMERIC,"
    "  sitemap_urls NUMERIC"
    ");"
    "CREATE INDEX audits_by_site ON audits(site, started_ms);"
    "CREATE TABLE audit_checks("
    "  audit_id INTEGER NOT NULL REFERENCES audits(id) ON DELETE CASCADE,"
    "  position INTEGER NOT NULL,"  // the check's place in the report
    "  check_name TEXT NOT NULL,"   // https, certificate, ...
    "  mark TEXT NOT NULL,"         // pass, warn, fail, unable
    "  value TEXT NOT NULL,"
    "  reason TEXT NOT NULL,"
    "  url TEXT NOT NULL,"
    "  details TEXT NOT NULL,"  // one per line
    "  PRIMARY KEY(audit_id, position)"
    ") WITHOUT ROWID;",
    // 4 -> 5: the watch's alerts.
    "CREATE TABLE alerts("
    "  id INTEGER PRIMARY KEY,"
    "  site TEXT NOT NULL COLLATE NOCASE,"  // UTF-8
    "  kind TEXT NOT NULL,"                 // query, audit, crawl
    "  rule TEXT NOT NULL,"
    "  subject TEXT NOT NULL,"  // the field, check or keyword; '' for the run
    "  value_before TEXT NOT NULL,"
    "  value_after TEXT NOT NULL,"
    "  message TEXT NOT NULL,"
    "  run_id TEXT NOT NULL,"
    "  raised_ms INTEGER NOT NULL,"
    "  open INTEGER NOT NULL,"  // 1 while its condition holds
    "  UNIQUE(run_id, rule, subject)"
    ");"
    "CREATE INDEX alerts_by_site ON alerts(site, open);",
};
static_assert(std::size(kMigrations) == kHistorySchemaVersion,
              "one migration step per layout version");
static_assert(kAuditNumberCount == 4, "the 3 -> 4 step has a column per trend number");

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
  std::string ColumnText(int i) const { return std::string(ColumnView(i)); }
  // Valid until the next step.
  std::string_view ColumnView(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
    return p ? std::string_view(p, sqlite3_column_bytes(st_, i)) : std::string_view();
  }
  bool Null(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
  std::optional<double> Number(int i) const {
    if (Null(i)) return std::nullopt;
    return sqlite3_column_double(st_, i);
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
  for (int n = 2; Exists(target); ++n)
    target = path + ".corrupt-" + stamp + "-" + std::to_string(n);
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

// The site's spellings are bound from this parameter number on, clear of the others.
constexpr int kFirstSpellingParameter = 100;

// " AND <table>.site IN (...)" for the spellings of a site; "" for none (every site).
std::string SiteInList(const char* table, const std::vector<std::string>& spellings) {
  if (spellings.empty()) return "";
  std::string sql = std::string(" AND ") + table + ".site IN (";
  for (size_t i = 0; i < spellings.size(); ++i) {
    sql += (i == 0 ? "?" : ", ?") + std::to_string(kFirstSpellingParameter + i);
  }
  return sql + ")";
}

void BindSpellings(TStatement& st, const std::vector<std::string>& spellings) {
  for (size_t i = 0; i < spellings.size(); ++i) {
    st.Text(kFirstSpellingParameter + static_cast<int>(i), spellings[i]);
  }
}

}  // namespace

// Stores one run; the caller retries on a busy result.
int TSqliteHistoryStore::Write(const TQueryRecord& record, const std::string& run_id) {
  return InTransaction(db_, [&]() -> int {
    const std::vector<TFieldRow> rows = FieldRows(record);
    const bool packed = layout_ >= 4;
    TStatement q(db_, packed ? "INSERT OR IGNORE INTO queries(site, started_ms, run_id, services,"
                               " packed_fields) VALUES(?1, ?2, ?3, ?4, ?5)"
                             : "INSERT OR IGNORE INTO queries(site, started_ms, run_id, services)"
                               " VALUES(?1, ?2, ?3, ?4)");
    if (q.Prepared() != SQLITE_OK) return q.Prepared();
    q.Text(1, GbkToUtf8(record.Site));
    q.Int(2, record.StartedUnixMs);
    q.Text(3, run_id);
    q.Text(4, record.ServiceSet);
    if (packed) q.Text(5, PackFields(rows));
    int rc = sqlite3_step(*q);
    if (rc != SQLITE_DONE) return rc;
    if (sqlite3_changes(db_) == 0) return SQLITE_OK;  // stored before
    const int64_t id = sqlite3_last_insert_rowid(db_);

    TStatement f(db_,
                 "INSERT INTO fields(query_id, field, text, number, outcome, reason, fetch_end,"
                 " http_status, elapsed_ms, url, detail)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (f.Prepared() != SQLITE_OK) return f.Prepared();
    for (const TFieldRow& row : rows) {
      sqlite3_reset(*f);
      f.Int(1, id);
      f.Text(2, row.Field);
      f.Text(3, row.Text);
      BindNumber(f, 4, row.Number);
      f.Text(5, row.Outcome);
      f.Text(6, row.Reason);
      f.Text(7, row.FetchEnd);
      f.Int(8, row.HttpStatus);
      f.Int(9, row.ElapsedMs);
      f.Text(10, row.Url);
      f.Text(11, row.Detail);
      rc = sqlite3_step(*f);
      if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
  });
}

TSqliteHistoryStore::~TSqliteHistoryStore() { Close(); }

bool TSqliteHistoryStore::Open(const std::string& location, const TOptions& options) {
  std::lock_guard<std::mutex> lock(mu_);
  options_ = options;
  if (options_.WriteAttempts < 1) options_.WriteAttempts = 1;
  return OpenLocked(location);
}

bool TSqliteHistoryStore::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return db_ != nullptr;
}

void TSqliteHistoryStore::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool TSqliteHistoryStore::OpenLocked(const std::string& path) {
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
    // The connection is used under mu_ alone: SQLite's own lock on every call is not needed.
    const int flags = SQLITE_OPEN_NOMUTEX |
                      (options_.ReadOnly || immutable ? SQLITE_OPEN_READONLY
                                                      : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    int rc = immutable ? sqlite3_open_v2(ImmutableUri(path).c_str(), &db, flags | SQLITE_OPEN_URI,
                                         nullptr)
                       : sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    auto fail = [&](int code) -> sqlite3* {
      corrupt = IsCorrupt(code);
      error = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
      sqlite3_close_v2(db);
      return nullptr;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, options_.BusyTimeoutMs);
    // The check reads the whole file. A reader never sets a corrupt file aside, and reading
    // one fails with a message of its own, so a reader (--history on a long history) skips it.
    if (!options_.ReadOnly) {
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
      layout_ = sqlite3_column_int(*v, 0);
      if (layout_ <= kHistorySchemaVersion) return db;
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
        const int target = std::clamp(options_.SchemaVersion, 1, kHistorySchemaVersion);
        layout_ = std::max(version, target);
        if (version >= target) return SQLITE_OK;
        for (int step = version; step < target; ++step) {
          r = Exec(db, kMigrations[step]);
          if (r != SQLITE_OK) return r;
        }
        return Exec(db, ("PRAGMA user_version=" + std::to_string(target)).c_str());
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
      Report(kTroubleOpen, Utf8Bytes(u8"历史记录文件 ") + path +
                               Utf8Bytes(u8" 已损坏，且无法改名（") + std::strerror(errno) +
                               Utf8Bytes(u8"），查询不会被记录。"));
      return false;
    }
    db_ = attempt();
    if (db_ != nullptr) {
      // A recovery is news every time it happens.
      message_ = Utf8Bytes(u8"历史记录文件已损坏，已改名为 ") + aside +
                 Utf8Bytes(u8"，并新建了历史记录。");
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

bool TSqliteHistoryStore::Record(const TQueryRecord& record, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return Store([&] { return Write(record, run_id); }, u8"这次查询没有保存。");
}

bool TSqliteHistoryStore::RecordAudit(const TAuditReport& report, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return Store([&] { return WriteAudit(report, run_id); }, u8"这次体检没有保存。");
}

bool TSqliteHistoryStore::Store(const std::function<int()>& write, const char8_t* lost) {
  if (options_.ReadOnly) return false;
  // A history that could not be opened may have become usable (a folder made writable).
  if (db_ == nullptr && (path_.empty() || !OpenLocked(path_))) return false;
  int rc = SQLITE_OK;
  bool recovered = false;
  for (int tries = 0; tries < options_.WriteAttempts; ++tries) {
    rc = write();
    if (rc == SQLITE_OK) {
      Succeeded(kTroubleWrite);
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
  Report(kTroubleWrite, Utf8Bytes(u8"无法写入历史记录 ") + path_ + Utf8Bytes(u8"：") +
                            sqlite3_errstr(rc) + Utf8Bytes(u8"。") + Utf8Bytes(lost));
  return false;
}

bool TSqliteHistoryStore::EachRun(const THistoryFilter& filter,
                                  const std::function<void(const THistoryQuery&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return false;
  // A run with its fields packed is one row; an older one is joined with its field rows. The
  // site compares in the column's NOCASE collation, which the index by site shares.
  const bool packed = layout_ >= 4 && !filter.NoFields;
  std::string sql =
      "SELECT q.id, q.site, q.started_ms, f.field, f.text, f.number, f.outcome,"
      " f.fetch_end, f.http_status, f.elapsed_ms, f.url, f.detail, q.services, ";
  sql += packed ? "q.packed_fields" : "NULL";
  // A packed run's key is NULL to the join, so that its field rows are not even looked up
  // (a condition beside the key would still visit each one).
  sql += packed ? " FROM queries q LEFT JOIN fields f ON f.query_id ="
                  " CASE WHEN q.packed_fields IS NULL THEN q.id END"
                : " FROM queries q LEFT JOIN fields f ON f.query_id = q.id";
  if (filter.NoFields) sql += " AND 0";
  for (size_t i = 0; i < filter.Fields.size(); ++i) {
    sql += (i == 0 ? " AND f.field IN (?" : ", ?") + std::to_string(i + 3);
    if (i + 1 == filter.Fields.size()) sql += ")";
  }
  sql += " WHERE 1";
  // Every spelling of the site (the column compares without regard to ASCII letter case).
  const std::vector<std::string> spellings =
      filter.Site ? SiteSpellings(GbkToUtf8(*filter.Site)) : std::vector<std::string>();
  sql += SiteInList("q", spellings);
  if (filter.SinceUnixMs) sql += " AND q.started_ms >= ?2";
  sql += " ORDER BY q.started_ms, q.id";
  TStatement st(db_, sql.c_str());
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    BindSpellings(st, spellings);
    if (filter.SinceUnixMs) st.Int(2, *filter.SinceUnixMs);
    for (size_t i = 0; i < filter.Fields.size(); ++i) {
      st.Text(static_cast<int>(i) + 3, ResultFieldName(filter.Fields[i]));
    }
    TRunAssembler runs(visit, filter.Fields);
    std::optional<TFieldRow> row;
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
      row.reset();
      if (!st.Null(3)) {
        row.emplace();
        row->Field = st.ColumnText(3);
        row->Text = st.ColumnText(4);
        row->Number = st.Number(5);
        row->Outcome = st.ColumnText(6);
        row->FetchEnd = st.ColumnText(7);
        row->HttpStatus = sqlite3_column_int(*st, 8);
        row->ElapsedMs = sqlite3_column_int64(*st, 9);
        row->Url = st.ColumnText(10);
        row->Detail = st.ColumnText(11);
      }
      runs.Add(sqlite3_column_int64(*st, 0), st.ColumnView(1), sqlite3_column_int64(*st, 2),
               st.ColumnView(12), row);
      if (!st.Null(13)) runs.AddPacked(st.ColumnView(13));
    }
    if (rc == SQLITE_DONE) runs.Finish();
  }
  return ReadDone(rc);
}

bool TSqliteHistoryStore::ReadDone(int rc) {
  if (rc != SQLITE_DONE) {
    Report(kTroubleRead,
           Utf8Bytes(u8"无法读取历史记录 ") + path_ + Utf8Bytes(u8"：") + sqlite3_errmsg(db_));
    return false;
  }
  Succeeded(kTroubleRead);
  return true;
}

int TSqliteHistoryStore::WriteAudit(const TAuditReport& report, const std::string& run_id) {
  return InTransaction(db_, [&]() -> int {
    std::string sql = "INSERT OR IGNORE INTO audits(run_id, site, started_ms, elapsed_ms";
    std::string values = " VALUES(?1, ?2, ?3, ?4";
    for (int n = 0; n < kAuditNumberCount; ++n) {
      sql += ", ";
      sql += AuditNumberName(static_cast<TAuditNumber>(n));
      values += ", ?" + std::to_string(n + 5);
    }
    TStatement a(db_, (sql + ")" + values + ")").c_str());
    if (a.Prepared() != SQLITE_OK) return a.Prepared();
    a.Text(1, run_id);
    a.Text(2, report.Site);
    a.Int(3, report.StartedUnixMs);
    a.Int(4, report.ElapsedMs);
    for (int n = 0; n < kAuditNumberCount; ++n)
      BindNumber(a, n + 5, report.Number(static_cast<TAuditNumber>(n)));
    int rc = sqlite3_step(*a);
    if (rc != SQLITE_DONE) return rc;
    if (sqlite3_changes(db_) == 0) return SQLITE_OK;  // stored before
    const int64_t id = sqlite3_last_insert_rowid(db_);

    TStatement c(db_,
                 "INSERT INTO audit_checks(audit_id, position, check_name, mark, value, reason,"
                 " url, details) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (c.Prepared() != SQLITE_OK) return c.Prepared();
    int position = 0;
    for (const TAuditCheckRow& row : AuditCheckRows(report)) {
      sqlite3_reset(*c);
      c.Int(1, id);
      c.Int(2, position++);
      c.Text(3, row.Check);
      c.Text(4, row.Mark);
      c.Text(5, row.Value);
      c.Text(6, row.Reason);
      c.Text(7, row.Url);
      c.Text(8, row.Details);
      rc = sqlite3_step(*c);
      if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
  });
}

bool TSqliteHistoryStore::EachAudit(const THistoryFilter& filter,
                                    const std::function<void(const TAuditReport&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return false;
  if (layout_ < 4) return true;  // an older history, read as it is: no check-ups in it
  std::string sql = "SELECT a.id, a.site, a.started_ms, a.elapsed_ms";
  for (int n = 0; n < kAuditNumberCount; ++n) {
    sql += ", a.";
    sql += AuditNumberName(static_cast<TAuditNumber>(n));
  }
  sql +=
      ", c.check_name, c.mark, c.value, c.reason, c.url, c.details FROM audits a"
      " LEFT JOIN audit_checks c ON c.audit_id = a.id WHERE 1";
  const std::vector<std::string> spellings =
      filter.Site ? SiteSpellings(*filter.Site) : std::vector<std::string>();
  sql += SiteInList("a", spellings);
  if (filter.SinceUnixMs) sql += " AND a.started_ms >= ?2";
  sql += " ORDER BY a.started_ms, a.id, c.position";
  TStatement st(db_, sql.c_str());
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    BindSpellings(st, spellings);
    if (filter.SinceUnixMs) st.Int(2, *filter.SinceUnixMs);
    TAuditAssembler audits(visit);
    TAuditAssembler::TNumbers numbers;
    constexpr int kCheck = 4 + kAuditNumberCount;  // the first column of the check
    std::optional<TAuditCheckRow> row;
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
      for (int n = 0; n < kAuditNumberCount; ++n) numbers[n] = st.Number(4 + n);
      row.reset();
      if (!st.Null(kCheck)) {
        row = TAuditCheckRow{.Check = st.ColumnText(kCheck),
                             .Mark = st.ColumnText(kCheck + 1),
                             .Value = st.ColumnText(kCheck + 2),
                             .Reason = st.ColumnText(kCheck + 3),
                             .Url = st.ColumnText(kCheck + 4),
                             .Details = st.ColumnText(kCheck + 5)};
      }
      audits.Add(sqlite3_column_int64(*st, 0), st.ColumnView(1), sqlite3_column_int64(*st, 2),
                 sqlite3_column_int64(*st, 3), numbers, row);
    }
    if (rc == SQLITE_DONE) audits.Finish();
  }
  return ReadDone(rc);
}

int64_t TSqliteHistoryStore::QueryCount() {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return -1;
  TStatement st(db_, "SELECT count(*) FROM queries");
  if (st.Prepared() != SQLITE_OK || sqlite3_step(*st) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(*st, 0);
}

bool TSqliteHistoryStore::HasTable(const char* name) {
  TStatement st(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  if (st.Prepared() != SQLITE_OK) return false;
  st.Text(1, name);
  return sqlite3_step(*st) == SQLITE_ROW;
}

bool TSqliteHistoryStore::RecordRanks(const TRankReport& report, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto write = [&] {
    return InTransaction(db_, [&]() -> int {
      for (const std::string& sql : RankTablesSql("INTEGER PRIMARY KEY")) {
        if (const int rc = Exec(db_, sql.c_str()); rc != SQLITE_OK) return rc;
      }
      TStatement st(db_,
                    "INSERT OR IGNORE INTO ranks(run_id, site, started_ms, keyword, engine,"
                    " outcome, position, url, pages, depth, reason, page_url)"
                    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
      if (st.Prepared() != SQLITE_OK) return st.Prepared();
      for (const TRankPosition& p : report.Positions) {
        sqlite3_reset(*st);
        st.Text(1, run_id);
        st.Text(2, report.Site);
        st.Int(3, report.StartedUnixMs);
        st.Text(4, p.Keyword);
        st.Text(5, p.Engine);
        st.Text(6, RankStateWord(p.State));
        BindNumber(st, 7, p.State == TRankState::Found ? std::optional<double>(p.Position)
                                                       : std::nullopt);
        st.Text(8, p.Url);
        st.Int(9, p.Pages);
        st.Int(10, p.Depth);
        st.Text(11, p.Reason);
        st.Text(12, p.PageUrl);
        if (const int rc = sqlite3_step(*st); rc != SQLITE_DONE) return rc;
      }
      return SQLITE_OK;
    });
  };
  return Store(write, u8"这次排名查询没有保存。");
}

bool TSqliteHistoryStore::EachRank(const std::string& site, const std::string& keyword,
                                   const std::function<void(const TRankPoint&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return false;
  if (!HasTable("ranks")) return true;  // no positions were ever stored
  std::string sql =
      "SELECT started_ms, keyword, engine, outcome, position, url, pages, depth, reason,"
      " page_url FROM ranks WHERE lower(site) = lower(?1)";
  if (!keyword.empty()) sql += " AND keyword = ?2";
  sql += " ORDER BY started_ms, id";
  TStatement st(db_, sql.c_str());
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    st.Text(1, site);
    if (!keyword.empty()) st.Text(2, keyword);
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
      TRankPoint point{.StartedUnixMs = sqlite3_column_int64(*st, 0)};
      TRankPosition& p = point.Position;
      p.Keyword = st.ColumnText(1);
      p.Engine = st.ColumnText(2);
      p.State = RankStateOfWord(st.ColumnText(3));
      p.Position = sqlite3_column_int(*st, 4);
      p.Url = st.ColumnText(5);
      p.Pages = sqlite3_column_int(*st, 6);
      p.Depth = sqlite3_column_int(*st, 7);
      p.Reason = st.ColumnText(8);
      p.PageUrl = st.ColumnText(9);
      visit(point);
    }
  }
  return ReadDone(rc);
}

bool TSqliteHistoryStore::SetRankKeywords(const std::string& site,
                                          const std::vector<std::string>& keywords) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto write = [&] {
    return InTransaction(db_, [&]() -> int {
      for (const std::string& sql : RankTablesSql("INTEGER PRIMARY KEY")) {
        if (const int rc = Exec(db_, sql.c_str()); rc != SQLITE_OK) return rc;
      }
      TStatement drop(db_, "DELETE FROM rank_keywords WHERE lower(site) = lower(?1)");
      if (drop.Prepared() != SQLITE_OK) return drop.Prepared();
      drop.Text(1, site);
      if (const int rc = sqlite3_step(*drop); rc != SQLITE_DONE) return rc;
      TStatement add(db_,
                     "INSERT OR IGNORE INTO rank_keywords(site, keyword, position)"
                     " VALUES(?1, ?2, ?3)");
      if (add.Prepared() != SQLITE_OK) return add.Prepared();
      for (size_t i = 0; i < keywords.size(); ++i) {
        sqlite3_reset(*add);
        add.Text(1, site);
        add.Text(2, keywords[i]);
        add.Int(3, static_cast<int64_t>(i));
        if (const int rc = sqlite3_step(*add); rc != SQLITE_DONE) return rc;
      }
      return SQLITE_OK;
    });
  };
  return Store(write, u8"关键词没有保存。");
}

std::vector<std::string> TSqliteHistoryStore::RankKeywords(const std::string& site) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> keywords;
  if (db_ == nullptr || !HasTable("rank_keywords")) return keywords;
  TStatement st(db_,
                "SELECT keyword FROM rank_keywords WHERE lower(site) = lower(?1)"
                " ORDER BY position");
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    st.Text(1, site);
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) keywords.push_back(st.ColumnText(0));
  }
  ReadDone(rc);
  return keywords;
}

bool TSqliteHistoryStore::UpdateAlerts(const std::vector<THistoryAlert>& raised,
                                       const std::vector<int64_t>& closed) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto write = [&]() -> int {
    if (layout_ < 5) return SQLITE_READONLY;  // an older history opened only to read
    return InTransaction(db_, [&]() -> int {
      TStatement add(db_,
                     "INSERT OR IGNORE INTO alerts(site, kind, rule, subject, value_before,"
                     " value_after, message, run_id, raised_ms, open)"
                     " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 1)");
      if (add.Prepared() != SQLITE_OK) return add.Prepared();
      for (const THistoryAlert& a : raised) {
        sqlite3_reset(*add);
        int i = 1;
        for (const std::string* text :
             {&a.Site, &a.Kind, &a.Rule, &a.Subject, &a.Before, &a.After, &a.Message, &a.RunId})
          add.Text(i++, *text);
        add.Int(9, a.RaisedUnixMs);
        if (const int rc = sqlite3_step(*add); rc != SQLITE_DONE) return rc;
      }
      TStatement close(db_, "UPDATE alerts SET open = 0 WHERE id = ?1");
      if (close.Prepared() != SQLITE_OK) return close.Prepared();
      for (const int64_t id : closed) {
        sqlite3_reset(*close);
        close.Int(1, id);
        if (const int rc = sqlite3_step(*close); rc != SQLITE_DONE) return rc;
      }
      return SQLITE_OK;
    });
  };
  return Store(write, u8"这次的提醒没有保存。");
}

bool TSqliteHistoryStore::EachAlert(const std::string& site, bool open_only,
                                    const std::function<void(const THistoryAlert&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ == nullptr) return false;
  if (layout_ < 5) return true;  // an older history, read as it is: no alerts in it
  std::string sql =
      "SELECT id, site, kind, rule, subject, value_before, value_after, message, run_id,"
      " raised_ms, open FROM alerts WHERE site = ?1";
  if (open_only) sql += " AND open = 1";
  sql += " ORDER BY id";
  TStatement st(db_, sql.c_str());
  int rc = st.Prepared();
  if (rc == SQLITE_OK) {
    st.Text(1, site);
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
      visit(THistoryAlert{.Id = sqlite3_column_int64(*st, 0),
                          .Site = st.ColumnText(1),
                          .Kind = st.ColumnText(2),
                          .Rule = st.ColumnText(3),
                          .Subject = st.ColumnText(4),
                          .Before = st.ColumnText(5),
                          .After = st.ColumnText(6),
                          .Message = st.ColumnText(7),
                          .RunId = st.ColumnText(8),
                          .RaisedUnixMs = sqlite3_column_int64(*st, 9),
                          .Open = sqlite3_column_int(*st, 10) != 0});
    }
  }
  return ReadDone(rc);
}
