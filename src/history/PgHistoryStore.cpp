#include "history/PgHistoryStore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string_view>

#include "query/SiteName.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

// The migration steps, as the SQLite store's: kPgMigrations[n] brings a database of version n
// to version n + 1, inside the transaction that also sets schema_version. Steps once released
// never change.
const char* const kPgMigrations[] = {
    // 0 -> 1: the first layout.
    "CREATE TABLE queries("
    "  id bigserial PRIMARY KEY,"
    "  site text NOT NULL,"  // host name as typed; compared in lower case
    "  started_ms bigint NOT NULL"
    ");"
    "CREATE INDEX queries_by_site ON queries(lower(site), started_ms);"
    "CREATE TABLE fields("
    "  query_id bigint NOT NULL REFERENCES queries(id) ON DELETE CASCADE,"
    "  field text NOT NULL,"
    "  text text NOT NULL,"
    "  number double precision,"
    "  outcome text NOT NULL,"
    "  reason text NOT NULL,"
    "  fetch_end text NOT NULL,"
    "  http_status integer NOT NULL,"
    "  elapsed_ms bigint NOT NULL,"
    "  url text NOT NULL,"
    "  detail text NOT NULL,"
    "  PRIMARY KEY(query_id, field)"
    ");",
    // 1 -> 2: a run id, so that a run written twice is stored once (NULL in older rows).
    "ALTER TABLE queries ADD COLUMN run_id text;"
    "CREATE UNIQUE INDEX queries_by_run ON queries(run_id);",
    // 2 -> 3: the set of definitions a run used ("classic" before there were two).
    "ALTER TABLE queries ADD COLUMN services text NOT NULL DEFAULT 'classic';",
    // 3 -> 4: each run's fields also packed into its row, read instead of its `fields` rows
    // (NULL in older rows); the check-ups, a row each and a row per check.
    "ALTER TABLE queries ADD COLUMN packed_fields text;"
    "CREATE TABLE audits("
    "  id bigserial PRIMARY KEY,"
    "  run_id text NOT NULL UNIQUE,"
    "  site text NOT NULL,"  // the site as typed; compared in lower case
    "  started_ms bigint NOT NULL,"
    "  elapsed_ms bigint NOT NULL,"
    "  certificate_days_left double precision,"  // the trend numbers, NULL when not measured
    "  first_byte_ms double precision,"
    "  page_bytes double precision,"
    "  sitemap_urls double precision"
    ");"
    "CREATE INDEX audits_by_site ON audits(lower(site), started_ms);"
    "CREATE TABLE audit_checks("
    "  audit_id bigint NOT NULL REFERENCES audits(id) ON DELETE CASCADE,"
    "  position integer NOT NULL,"
    "  check_name text NOT NULL,"
    "  mark text NOT NULL,"
    "  value text NOT NULL,"
    "  reason text NOT NULL,"
    "  url text NOT NULL,"
    "  details text NOT NULL,"
    "  PRIMARY KEY(audit_id, position)"
    ");",
    // 4 -> 5: the watch's alerts.
    "CREATE TABLE alerts("
    "  id bigserial PRIMARY KEY,"
    "  site text NOT NULL,"  // compared in lower case
    "  kind text NOT NULL,"
    "  rule text NOT NULL,"
    "  subject text NOT NULL,"
    "  value_before text NOT NULL,"
    "  value_after text NOT NULL,"
    "  message text NOT NULL,"
    "  run_id text NOT NULL,"
    "  raised_ms bigint NOT NULL,"
    "  open boolean NOT NULL,"
    "  UNIQUE(run_id, rule, subject)"
    ");"
    "CREATE INDEX alerts_by_site ON alerts(lower(site), open);",
};
static_assert(std::size(kPgMigrations) == kHistorySchemaVersion,
              "one migration step per layout version");
static_assert(kAuditNumberCount == 4, "the 3 -> 4 step has a column per trend number");

// Taken inside the migration's transaction: two programs opening one database together
// migrate it one after the other.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7358003221)";

struct TClear {
  void operator()(PGresult* r) const { PQclear(r); }
};
using TResult = std::unique_ptr<PGresult, TClear>;

bool Ok(const TResult& r) {
  const ExecStatusType s = PQresultStatus(r.get());
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

std::string SqlState(const TResult& r) {
  const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
  return state != nullptr ? state : "";
}

// libpq's message on one line.
std::string ErrorOf(PGconn* conn) {
  std::string m = Trim(PQerrorMessage(conn));
  std::replace(m.begin(), m.end(), '\n', ' ');
  return m;
}

// A text the server accepts: malformed UTF-8 and NUL bytes (which a text parameter cannot
// carry) become U+FFFD.
std::string ServerText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const long cp = DecodeUtf8(s, i);
    if (cp <= 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(s, start, i - start);
    }
  }
  return out;
}

// The parameters of a statement, as texts the server accepts (NULL for a number that is none).
class TParams {
 public:
  // Each returns the parameter's placeholder ("$5").
  std::string Add(const std::string& text) { return Push(ServerText(text), false); }
  std::string Add(const std::optional<double>& number) {
    char digits[32] = "";  // shortest exact form, whatever the locale
    if (number) *std::to_chars(digits, digits + sizeof digits - 1, *number).ptr = '\0';
    return Push(digits, !number);
  }
  // For PQexecParams, valid while this lives unchanged.
  std::vector<const char*> Values() const {
    std::vector<const char*> values;
    for (size_t i = 0; i < texts_.size(); ++i)
      values.push_back(null_[i] ? nullptr : texts_[i].c_str());
    return values;
  }

 private:
  std::string Push(std::string text, bool null) {
    texts_.push_back(std::move(text));
    null_.push_back(null);
    std::string placeholder = "$";  // (built in two steps: GCC 12 warns of "$" + a temporary)
    placeholder += std::to_string(texts_.size());
    return placeholder;
  }

  std::vector<std::string> texts_;
  std::vector<bool> null_;
};

// The spool of the database at `location` (its password left out): a file in the folder
// options name, else in the data folder, named after the location's 64-bit FNV-1a hash.
std::string SpoolPath(const std::string& location, const THistoryStore::TOptions& options) {
  std::string folder = options.SpoolFolder;
  if (folder.empty()) {
    folder = THistoryStore::DefaultPath();
    folder = folder.empty() ? "." : folder.substr(0, folder.rfind('/'));
  }
  std::error_code ignored;  // a folder that cannot be made shows when the spool is written
  std::filesystem::create_directories(folder, ignored);
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : location) hash = (hash ^ c) * 0x100000001b3ull;
  char name[64];
  std::snprintf(name, sizeof name, "/unstored-runs-%016llx.txt",
                static_cast<unsigned long long>(hash));
  return folder + name;
}

// " AND lower(<table>.site) IN (...)" for the spellings of a site, in the index's lower case.
std::string SiteInList(const char* table, const std::vector<std::string>& spellings,
                       TParams& params) {
  std::string sql = std::string(" AND lower(") + table + ".site) IN (";
  for (size_t i = 0; i < spellings.size(); ++i) {
    sql += (i == 0 ? "lower(" : ", lower(") + params.Add(spellings[i]) + ")";
  }
  return sql + ")";
}

// A column's text, or its number (nothing for NULL).
std::string_view TextAt(const PGresult* res, int row, int column) {
  return {PQgetvalue(res, row, column), static_cast<size_t>(PQgetlength(res, row, column))};
}
std::optional<double> NumberAt(const PGresult* res, int row, int column) {
  if (PQgetisnull(res, row, column)) return std::nullopt;
  const std::string_view text = TextAt(res, row, column);
  double number = 0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

// Brings the database up to `target` (or, read-only, looks at its version). "" when done, else
// why not. `empty` says a read-only reader found no history at all; `layout` is the version the
// database then has.
std::string Migrate(PGconn* conn, int target, bool read_only, bool& empty, int& layout) {
  empty = false;
  layout = 0;
  const std::string newer = Utf8Bytes(u8"它由较新版本的程序写成");
  if (read_only) {
    TResult v(PQexec(conn, "SELECT max(version) FROM schema_version"));
    if (!Ok(v)) {
      if (SqlState(v) != "42P01") return ErrorOf(conn);  // anything but "no such table"
      empty = true;
      return "";
    }
    if (PQgetisnull(v.get(), 0, 0)) empty = true;
    layout = std::atoi(PQgetvalue(v.get(), 0, 0));
    return layout > kHistorySchemaVersion ? newer : "";
  }
  std::string error;
  auto run = [&](const std::string& sql) {
    if (!error.empty()) return TResult();
    TResult r(PQexec(conn, sql.c_str()));
    if (!Ok(r)) error = ErrorOf(conn);
    return r;
  };
  run("BEGIN");
  run(kMigrationLock);
  // Created only when missing: a user who may write the tables but not create any (the usual
  // grant on a shared database) still opens it.
  TResult missing = run("SELECT to_regclass('schema_version') IS NULL");
  if (error.empty() && PQgetvalue(missing.get(), 0, 0)[0] == 't') {
    run("CREATE TABLE schema_version(version integer NOT NULL)");
  }
  TResult v = run("SELECT max(version) FROM schema_version");
  if (error.empty()) {
    const int version = PQgetisnull(v.get(), 0, 0) ? 0 : std::atoi(PQgetvalue(v.get(), 0, 0));
    if (version > kHistorySchemaVersion) error = newer;
    layout = std::max(version, target);
    for (int step = version; step < target; ++step) run(kPgMigrations[step]);
    if (version < target) {
      run("DELETE FROM schema_version");
      run("INSERT INTO schema_version VALUES(" + std::to_string(target) + ")");
    }
  }
  if (error.empty()) run("COMMIT");
  if (!error.empty() && PQtransactionStatus(conn) != PQTRANS_IDLE) {
    TResult(PQexec(conn, "ROLLBACK"));
  }
  return error;
}

// The statement that stores one run: the run, unless its id is stored already, and its rows.
// $1 site, $2 start, $3 run id, $4 the set of definitions, $5 the fields packed (unless the
// layout is older), then ten parameters for each field row.
std::string MakeInsertSql(bool packed) {
  std::string s = "WITH q AS (INSERT INTO queries(site, started_ms, run_id, services";
  s += packed ? ", packed_fields) VALUES($1, $2::bigint, $3, $4, $5)"
              : ") VALUES($1, $2::bigint, $3, $4)";
  s += " ON CONFLICT (run_id) DO NOTHING RETURNING id)"
       " INSERT INTO fields(query_id, field, text, number, outcome, reason, fetch_end,"
       " http_status, elapsed_ms, url, detail) SELECT q.id, v.* FROM q, (VALUES ";
  static const char* const kTypes[] = {"text", "text", "float8", "text", "text",
                                       "text", "int4", "int8",   "text", "text"};
  int n = packed ? 6 : 5;
  for (int row = 0; row <= kTextFieldCount; ++row) {
    s += row == 0 ? "(" : ", (";
    for (size_t c = 0; c < std::size(kTypes); ++c) {
      s += (c == 0 ? "$" : ", $") + std::to_string(n++) + "::" + kTypes[c];
    }
    s += ")";
  }
  return s + ") AS v";
}
const std::string& InsertSql(bool packed) {
  static const std::string sql[2] = {MakeInsertSql(false), MakeInsertSql(true)};
  return sql[packed];
}

}  // namespace

TPgHistoryStore::~TPgHistoryStore() { Close(); }

void TPgHistoryStore::Close() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
}

std::string TPgHistoryStore::WithoutPassword(const std::string& location) {
  std::string out = location;
  const size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    const size_t begin = scheme + 3;
    const size_t end = std::min(out.find_first_of("/?#", begin), out.size());
    const size_t at = out.rfind('@', end);
    if (at != std::string::npos && at >= begin) {
      const size_t colon = out.find(':', begin);
      if (colon < at) out.erase(colon, at - colon);
    }
  }
  // ...and a password given as a parameter.
  for (size_t p = out.find("password="); p != std::string::npos; p = out.find("password=", p)) {
    const bool parameter = p > 0 && (out[p - 1] == '?' || out[p - 1] == '&');
    const size_t value = p + 9;
    if (parameter) {
      out.erase(value, std::min(out.find('&', value), out.size()) - value);
      out.insert(value, "***");
    }
    p = value;
  }
  return out;
}

bool TPgHistoryStore::Open(const std::string& location, const TOptions& options) {
  std::lock_guard<std::mutex> lock(mu_);
  Close();
  options_ = options;
  if (options_.WriteAttempts < 1) options_.WriteAttempts = 1;
  location_ = location;
  path_ = WithoutPassword(location);
  spool_.reset();
  if (!options_.ReadOnly) spool_ = std::make_unique<THistorySpool>(SpoolPath(path_, options_));
  if (!Connected()) return false;
  if (spool_ && spool_->HasLines()) DrainSpool();
  return true;
}

bool TPgHistoryStore::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
}

bool TPgHistoryStore::Connected() {
  if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) return true;
  Close();
  // The location's own connect_timeout, when it has one, comes later and wins; the texts are
  // UTF-8 whatever it says (asked for in the greeting rather than a statement of its own).
  const std::string timeout = std::to_string(std::max(1, options_.ConnectTimeoutS));
  const char* const keys[] = {"connect_timeout", "dbname", "client_encoding", nullptr};
  const char* const values[] = {timeout.c_str(), location_.c_str(), "UTF8", nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  std::string error;
  if (conn_ == nullptr) {
    error = "out of memory";
  } else if (PQstatus(conn_) != CONNECTION_OK) {
    error = ErrorOf(conn_);
  } else if (std::string_view(pg_encoding_to_char(PQclientEncoding(conn_))) != "UTF8" &&
             PQsetClientEncoding(conn_, "UTF8") != 0) {
    error = ErrorOf(conn_);
  } else {
    // The server's notices are not the user's business.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    // Not worth compiling (the planner's estimate for the lookups run by run is far above what
    // they cost), and sorted in memory. Each is asked for alone, so that a server lacking one
    // setting still takes the other; where it refuses one, that one is left as it is.
    for (const char* setting : {"SET jit = off", "SET work_mem = '32MB'"}) {
      TResult(PQexec(conn_, setting));
    }
    error = Migrate(conn_, std::clamp(options_.SchemaVersion, 1, kHistorySchemaVersion),
                    options_.ReadOnly, empty_, layout_);
  }
  if (!error.empty()) {
    Close();
    Report(kTroubleOpen, Utf8Bytes(u8"无法连接历史记录数据库 ") + path_ + Utf8Bytes(u8"：") +
                             error +
                             (options_.ReadOnly ? Utf8Bytes(u8"。")
                              : spool_ ? Utf8Bytes(u8"。查询照常进行，结果暂存在 ") +
                                             spool_->Path() + Utf8Bytes(u8"，数据库恢复后写入。")
                                       : Utf8Bytes(u8"。查询照常进行，但不会被记录。")));
    return false;
  }
  reported_ = 0;
  return true;
}

bool TPgHistoryStore::Record(const TQueryRecord& record, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly) return false;
  if (!Connected() || !StoreRun(record, run_id)) {
    Spool(record, run_id);
    return false;
  }
  if (spool_->HasLines()) DrainSpool();  // the server is back
  return true;
}

void TPgHistoryStore::Spool(const TQueryRecord& record, const std::string& run_id) {
  std::string error;
  if (spool_->Append(RunLine(record, run_id), error)) {
    ++spooled_;
    return;
  }
  ++lost_;
  Report(kTroubleWrite, Utf8Bytes(u8"这次查询也无法暂存在 ") + spool_->Path() + Utf8Bytes(u8"：") +
                            error + Utf8Bytes(u8"，没有保存。"));
}

int64_t TPgHistoryStore::DrainSpool() {
  bool refused = false;  // after the first refusal the rest wait too, rather than each time out
  return spool_->Drain([&](const std::string& line) {
    TQueryRecord record;
    std::string run_id;
    if (!RunOfLine(line, record, run_id)) return true;  // not a run: nothing to keep
    refused = refused || !StoreRun(record, run_id);
    return !refused;
  });
}

THistoryStore::TUnstored TPgHistoryStore::WriteSpooled() {
  std::lock_guard<std::mutex> lock(mu_);
  TUnstored unstored;
  if (!spool_ || spooled_ + lost_ == 0) return unstored;
  unstored.Lost = lost_;
  if (Connected()) {
    unstored.Waiting = DrainSpool();
  } else {
    unstored.Waiting = spool_->Drain([](const std::string&) { return false; });  // a count
  }
  if (unstored.Waiting < 0) unstored.Waiting = spooled_;  // the spool could not even be read
  if (unstored.Waiting + unstored.Lost == 0) return unstored;
  unstored.Message = Utf8Bytes(u8"有 ") + std::to_string(unstored.Waiting + unstored.Lost) +
                     Utf8Bytes(u8" 次查询没能写入历史记录数据库 ") + path_;
  if (unstored.Waiting > 0) {
    unstored.Message += Utf8Bytes(u8"；") + std::to_string(unstored.Waiting) +
                        Utf8Bytes(u8" 次暂存在 ") + spool_->Path() +
                        Utf8Bytes(u8"，下次运行时写入");
  }
  if (unstored.Lost > 0) {
    unstored.Message +=
        Utf8Bytes(u8"；") + std::to_string(unstored.Lost) + Utf8Bytes(u8" 次无法暂存，已丢失");
  }
  unstored.Message += Utf8Bytes(u8"。");
  return unstored;
}

bool TPgHistoryStore::StoreRun(const TQueryRecord& record, const std::string& run_id) {
  const std::vector<TFieldRow> rows = FieldRows(record);
  const bool packed = layout_ >= 4;
  TParams params;
  params.Add(GbkToUtf8(record.Site));
  params.Add(std::to_string(record.StartedUnixMs));
  params.Add(run_id);
  params.Add(record.ServiceSet);
  if (packed) params.Add(PackFields(rows));
  for (const TFieldRow& row : rows) {
    params.Add(row.Field);
    params.Add(row.Text);
    params.Add(row.Number);
    for (const std::string& text :
         {row.Outcome, row.Reason, row.FetchEnd, std::to_string(row.HttpStatus),
          std::to_string(row.ElapsedMs), row.Url, row.Detail}) {
      params.Add(text);
    }
  }
  return Write(InsertSql(packed), params.Values(),
               spool_ ? u8"这次查询暂存在本地，数据库恢复后写入。" : u8"这次查询没有保存。");
}

bool TPgHistoryStore::RecordAudit(const TAuditReport& report, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly || !Connected()) return false;
  // The check-up, unless its id is stored already, and a row per check.
  std::string sql = "WITH a AS (INSERT INTO audits(run_id, site, started_ms, elapsed_ms";
  std::string values = " VALUES($1, $2, $3::bigint, $4::bigint";
  TParams params;
  params.Add(run_id);
  params.Add(report.Site);
  params.Add(std::to_string(report.StartedUnixMs));
  params.Add(std::to_string(report.ElapsedMs));
  for (int n = 0; n < kAuditNumberCount; ++n) {
    const auto number = static_cast<TAuditNumber>(n);
    (sql += ", ") += AuditNumberName(number);
    values += ", " + params.Add(report.Number(number)) + "::float8";
  }
  sql += ")" + values + ") ON CONFLICT (run_id) DO NOTHING RETURNING id)";
  const std::vector<TAuditCheckRow> rows = AuditCheckRows(report);
  if (rows.empty()) {
    sql += " SELECT 1";
  } else {
    sql +=
        " INSERT INTO audit_checks(audit_id, position, check_name, mark, value, reason, url,"
        " details) SELECT a.id, v.* FROM a, (VALUES ";
    for (size_t i = 0; i < rows.size(); ++i) {
      const TAuditCheckRow& row = rows[i];
      sql += (i == 0 ? "(" : ", (") + params.Add(std::to_string(i)) + "::int4";
      for (const std::string* text :
           {&row.Check, &row.Mark, &row.Value, &row.Reason, &row.Url, &row.Details}) {
        sql += ", " + params.Add(*text) + "::text";
      }
      sql += ")";
    }
    sql += ") AS v";
  }
  return Write(sql, params.Values(), u8"这次体检没有保存。");
}

bool TPgHistoryStore::Write(const std::string& sql, const std::vector<const char*>& values,
                            const char8_t* lost) {
  std::string error;
  for (int tries = 0; tries < options_.WriteAttempts; ++tries) {
    if (!Connected()) return false;
    TResult r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0));
    if (Ok(r)) {
      Succeeded(kTroubleWrite);
      return true;
    }
    error = ErrorOf(conn_);
    // A lost link: connect again and write again (the run id keeps it from being stored
    // twice). A serialization failure or a deadlock: write again.
    if (PQstatus(conn_) != CONNECTION_OK) continue;
    if (SqlState(r).rfind("40", 0) != 0) break;
  }
  Report(kTroubleWrite, Utf8Bytes(u8"无法写入历史记录 ") + path_ + Utf8Bytes(u8"：") + error +
                            Utf8Bytes(u8"。") + Utf8Bytes(lost));
  return false;
}

bool TPgHistoryStore::EachRun(const THistoryFilter& filter,
                              const std::function<void(const THistoryQuery&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Connected()) return false;
  // A run with its fields packed is one row; an older one is joined with its field rows.
  const bool packed = layout_ >= 4 && !filter.NoFields;
  TParams params;
  std::string sql =
      "SELECT q.id, q.site, q.started_ms, f.field, f.text, f.number, f.outcome, f.fetch_end,"
      " f.http_status, f.elapsed_ms, f.url, f.detail, q.services, ";
  sql += packed ? "q.packed_fields" : "NULL";
  // Field rows are looked up run by run (OFFSET 0 keeps the planner from joining the whole
  // table instead), and not at all for a packed run.
  sql += " FROM queries q LEFT JOIN LATERAL (SELECT * FROM fields f WHERE f.query_id = q.id";
  if (packed) sql += " AND q.packed_fields IS NULL";
  if (filter.NoFields) sql += " AND false";
  for (size_t i = 0; i < filter.Fields.size(); ++i) {
    sql += (i == 0 ? " AND f.field IN (" : ", ") + params.Add(ResultFieldName(filter.Fields[i]));
    if (i + 1 == filter.Fields.size()) sql += ")";
  }
  sql += " OFFSET 0) f ON true WHERE true";
  if (filter.Site) sql += SiteInList("q", SiteSpellings(GbkToUtf8(*filter.Site)), params);
  if (filter.SinceUnixMs)
    sql += " AND q.started_ms >= " + params.Add(std::to_string(*filter.SinceUnixMs)) + "::bigint";
  sql += " ORDER BY q.started_ms, q.id";

  // A run whose rows were not all read is not handed over.
  TRunAssembler runs(visit, filter.Fields);
  std::optional<TFieldRow> row;
  const auto take_row = [&](const PGresult* res, int i) {
    row.reset();
    if (!PQgetisnull(res, i, 3)) {
      row.emplace();
      row->Field = PQgetvalue(res, i, 3);
      row->Text = PQgetvalue(res, i, 4);
      row->Number = NumberAt(res, i, 5);
      row->Outcome = PQgetvalue(res, i, 6);
      row->FetchEnd = PQgetvalue(res, i, 7);
      row->HttpStatus = std::atoi(PQgetvalue(res, i, 8));
      row->ElapsedMs = std::strtoll(PQgetvalue(res, i, 9), nullptr, 10);
      row->Url = PQgetvalue(res, i, 10);
      row->Detail = PQgetvalue(res, i, 11);
    }
    runs.Add(std::strtoll(PQgetvalue(res, i, 0), nullptr, 10), TextAt(res, i, 1),
             std::strtoll(PQgetvalue(res, i, 2), nullptr, 10), TextAt(res, i, 12), row);
    if (!PQgetisnull(res, i, 13)) runs.AddPacked(TextAt(res, i, 13));
  };
  // A long series is a few thousand wide rows: read in order from the site's index as it is sent
  // rather than sorted whole before its first row, which the planner prefers as soon as the
  // site is a large part of the table or only a few fields are asked for (a sort is still made
  // where nothing else gives the order, as for every site's runs).
  const bool read = Read(sql, params.Values(), take_row, true);
  if (read) runs.Finish();
  return read;
}

bool TPgHistoryStore::EachAudit(const THistoryFilter& filter,
                                const std::function<void(const TAuditReport&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Connected()) return false;
  if (layout_ < 4) return true;  // an older history, read as it is: no check-ups in it
  TParams params;
  std::string sql = "SELECT a.id, a.site, a.started_ms, a.elapsed_ms";
  for (int n = 0; n < kAuditNumberCount; ++n)
    (sql += ", a.") += AuditNumberName(static_cast<TAuditNumber>(n));
  sql +=
      ", c.check_name, c.mark, c.value, c.reason, c.url, c.details FROM audits a"
      " LEFT JOIN audit_checks c ON c.audit_id = a.id WHERE true";
  if (filter.Site) sql += SiteInList("a", SiteSpellings(*filter.Site), params);
  if (filter.SinceUnixMs)
    sql += " AND a.started_ms >= " + params.Add(std::to_string(*filter.SinceUnixMs)) + "::bigint";
  sql += " ORDER BY a.started_ms, a.id, c.position";

  TAuditAssembler audits(visit);
  TAuditAssembler::TNumbers numbers;
  constexpr int kCheck = 4 + kAuditNumberCount;  // the first column of the check
  std::optional<TAuditCheckRow> row;
  const bool read = Read(sql, params.Values(), [&](const PGresult* res, int i) {
    for (int n = 0; n < kAuditNumberCount; ++n) numbers[n] = NumberAt(res, i, 4 + n);
    row.reset();
    if (!PQgetisnull(res, i, kCheck)) {
      row = TAuditCheckRow{.Check = PQgetvalue(res, i, kCheck),
                           .Mark = PQgetvalue(res, i, kCheck + 1),
                           .Value = std::string(TextAt(res, i, kCheck + 2)),
                           .Reason = std::string(TextAt(res, i, kCheck + 3)),
                           .Url = std::string(TextAt(res, i, kCheck + 4)),
                           .Details = std::string(TextAt(res, i, kCheck + 5))};
    }
    audits.Add(std::strtoll(PQgetvalue(res, i, 0), nullptr, 10), TextAt(res, i, 1),
               std::strtoll(PQgetvalue(res, i, 2), nullptr, 10),
               std::strtoll(PQgetvalue(res, i, 3), nullptr, 10), numbers, row);
  });
  if (read) audits.Finish();
  return read;
}

bool TPgHistoryStore::Read(const std::string& sql, const std::vector<const char*>& values,
                           const std::function<void(const PGresult*, int)>& row,
                           bool in_index_order) {
  std::string error;
  for (int tries = 0; tries < 2; ++tries) {  // once more after a lost link
    if (!Connected()) return false;
    if (empty_) return true;
    // For this statement only (a refused setting only costs the speed it would have brought).
    if (in_index_order) TResult(PQexec(conn_, "SET enable_sort = off"));
    struct TSortAgain {
      PGconn* conn;
      bool on;
      ~TSortAgain() {
        if (on) TResult(PQexec(conn, "RESET enable_sort"));
      }
    } sort_again{conn_, in_index_order};
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                          values.data(), nullptr, nullptr, 0) == 0) {
      error = ErrorOf(conn_);
      if (PQstatus(conn_) != CONNECTION_OK) continue;
      break;
    }
    PQsetSingleRowMode(conn_);
    bool rows_came = false;
    error.clear();
    // Read to the end (a NULL result), whatever came before: the connection is then ready for
    // the next statement.
    while (PGresult* next = PQgetResult(conn_)) {
      const TResult r(next);
      const ExecStatusType status = PQresultStatus(next);
      if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
        // (All rows in one result only if single-row mode was refused.)
        for (int i = 0, count = PQntuples(next); i < count && error.empty(); ++i) row(next, i);
        rows_came = rows_came || PQntuples(next) > 0;
      } else if (error.empty()) {
        error = Trim(PQresultErrorMessage(next));
        if (error.empty()) error = ErrorOf(conn_);
        std::replace(error.begin(), error.end(), '\n', ' ');
      }
    }
    if (error.empty()) {
      Succeeded(kTroubleRead);
      return true;
    }
    if (!rows_came && PQstatus(conn_) != CONNECTION_OK) continue;
    break;
  }
  Report(kTroubleRead, Utf8Bytes(u8"无法读取历史记录 ") + path_ + Utf8Bytes(u8"：") + error);
  return false;
}

int64_t TPgHistoryStore::QueryCount() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Connected()) return -1;
  if (empty_) return 0;
  TResult r(PQexec(conn_, "SELECT count(*) FROM queries"));
  if (!Ok(r)) return -1;
  return std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
}

bool TPgHistoryStore::HasTable(const char* name) {
  const char* values[] = {name};
  TResult r(PQexecParams(conn_, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr, values, nullptr,
                         nullptr, 0));
  return Ok(r) && PQntuples(r.get()) == 1 && PQgetvalue(r.get(), 0, 0)[0] == 't';
}

bool TPgHistoryStore::RecordRanks(const TRankReport& report, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly || !Connected()) return false;
  for (const std::string& sql : RankTablesSql("BIGSERIAL PRIMARY KEY")) {
    if (!Write(sql, {}, u8"这次排名查询没有保存。")) return false;
  }
  if (report.Positions.empty()) return true;
  // One statement: all of the run's rows, or none.
  TParams params;
  std::string sql =
      "INSERT INTO ranks(run_id, site, started_ms, keyword, engine, outcome, position, url, pages,"
      " depth, reason, page_url) VALUES ";
  const std::string run = params.Add(run_id), site = params.Add(report.Site),
                    started = params.Add(std::to_string(report.StartedUnixMs));
  for (size_t i = 0; i < report.Positions.size(); ++i) {
    const TRankPosition& p = report.Positions[i];
    const std::optional<double> position =
        p.State == TRankState::Found ? std::optional<double>(p.Position) : std::nullopt;
    sql += (i == 0 ? "(" : ", (") + run + ", " + site + ", " + started + "::bigint, " +
           params.Add(p.Keyword) + ", " + params.Add(p.Engine) + ", " +
           params.Add(RankStateWord(p.State)) + ", " + params.Add(position) + "::int4, " +
           params.Add(p.Url) + ", " + params.Add(std::to_string(p.Pages)) + "::int4, " +
           params.Add(std::to_string(p.Depth)) + "::int4, " + params.Add(p.Reason) + ", " +
           params.Add(p.PageUrl) + ")";
  }
  sql += " ON CONFLICT (run_id, keyword, engine) DO NOTHING";
  return Write(sql, params.Values(), u8"这次排名查询没有保存。");
}

bool TPgHistoryStore::EachRank(const std::string& site, const std::string& keyword,
                               const std::function<void(const TRankPoint&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Connected()) return false;
  if (empty_ || !HasTable("ranks")) return true;  // no positions were ever stored
  TParams params;
  std::string sql =
      "SELECT started_ms, keyword, engine, outcome, position, url, pages, depth, reason,"
      " page_url FROM ranks WHERE lower(site) = lower(" + params.Add(site) + ")";
  if (!keyword.empty()) sql += " AND keyword = " + params.Add(keyword);
  sql += " ORDER BY started_ms, id";
  return Read(sql, params.Values(), [&](const PGresult* res, int i) {
    TRankPoint point{.StartedUnixMs = std::strtoll(PQgetvalue(res, i, 0), nullptr, 10)};
    TRankPosition& p = point.Position;
    p.Keyword = PQgetvalue(res, i, 1);
    p.Engine = PQgetvalue(res, i, 2);
    p.State = RankStateOfWord(PQgetvalue(res, i, 3));
    p.Position = std::atoi(PQgetvalue(res, i, 4));
    p.Url = PQgetvalue(res, i, 5);
    p.Pages = std::atoi(PQgetvalue(res, i, 6));
    p.Depth = std::atoi(PQgetvalue(res, i, 7));
    p.Reason = PQgetvalue(res, i, 8);
    p.PageUrl = PQgetvalue(res, i, 9);
    visit(point);
  });
}

bool TPgHistoryStore::SetRankKeywords(const std::string& site,
                                      const std::vector<std::string>& keywords) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly || !Connected()) return false;
  for (const std::string& sql : RankTablesSql("BIGSERIAL PRIMARY KEY")) {
    if (!Write(sql, {}, u8"关键词没有保存。")) return false;
  }
  // One statement: the keywords no longer listed go, the listed ones come or move.
  std::vector<std::string> unique;
  for (const std::string& k : keywords) {
    if (std::find(unique.begin(), unique.end(), k) == unique.end()) unique.push_back(k);
  }
  TParams params;
  const std::string at = params.Add(site);
  std::string listed, rows;
  for (size_t i = 0; i < unique.size(); ++i) {
    const std::string keyword = params.Add(unique[i]);
    listed += (i == 0 ? "" : ", ") + keyword;
    rows += (i == 0 ? "(" : ", (") + at + ", " + keyword + ", " +
            params.Add(std::to_string(i)) + "::int4)";
  }
  std::string sql = "DELETE FROM rank_keywords WHERE lower(site) = lower(" + at + ")";
  if (!unique.empty()) {
    sql = "WITH gone AS (" + sql + " AND keyword NOT IN (" + listed +
          ")) INSERT INTO rank_keywords(site, keyword, position) VALUES " + rows +
          " ON CONFLICT (site, keyword) DO UPDATE SET position = EXCLUDED.position";
  }
  return Write(sql, params.Values(), u8"关键词没有保存。");
}

std::vector<std::string> TPgHistoryStore::RankKeywords(const std::string& site) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> keywords;
  if (!Connected() || empty_ || !HasTable("rank_keywords")) return keywords;
  TParams params;
  const std::string sql = "SELECT keyword FROM rank_keywords WHERE lower(site) = lower(" +
                          params.Add(site) + ") ORDER BY position";
  Read(sql, params.Values(),
       [&](const PGresult* res, int i) { keywords.push_back(PQgetvalue(res, i, 0)); });
  return keywords;
}

bool TPgHistoryStore::UpdateAlerts(const std::vector<THistoryAlert>& raised,
                                   const std::vector<int64_t>& closed) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.ReadOnly || !Connected()) return false;
  // One statement, hence one transaction: the new alerts, then the closed ones.
  TParams params;
  std::string sql = "WITH added AS (";
  if (raised.empty()) {
    sql += "SELECT 1";
  } else {
    sql +=
        "INSERT INTO alerts(site, kind, rule, subject, value_before, value_after, message,"
        " run_id, raised_ms, open) VALUES ";
    for (size_t i = 0; i < raised.size(); ++i) {
      const THistoryAlert& a = raised[i];
      sql += i == 0 ? "(" : ", (";
      for (const std::string* text :
           {&a.Site, &a.Kind, &a.Rule, &a.Subject, &a.Before, &a.After, &a.Message, &a.RunId})
        sql += params.Add(*text) + "::text, ";
      sql += params.Add(std::to_string(a.RaisedUnixMs)) + "::bigint, true)";
    }
    sql += " ON CONFLICT (run_id, rule, subject) DO NOTHING RETURNING 1";
  }
  sql += ") UPDATE alerts SET open = false WHERE id = ANY(";
  std::string ids = "{";
  for (size_t i = 0; i < closed.size(); ++i) ids += (i ? "," : "") + std::to_string(closed[i]);
  sql += params.Add(ids + "}") + "::bigint[])";
  return Write(sql, params.Values(), u8"这次的提醒没有保存。");
}

bool TPgHistoryStore::EachAlert(const std::string& site, bool open_only,
                                const std::function<void(const THistoryAlert&)>& visit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Connected()) return false;
  if (layout_ < 5) return true;  // an older history, read as it is: no alerts in it
  TParams params;
  std::string sql =
      "SELECT id, site, kind, rule, subject, value_before, value_after, message, run_id,"
      " raised_ms, open FROM alerts WHERE lower(site) = lower(" +
      params.Add(site) + ")";
  if (open_only) sql += " AND open";
  sql += " ORDER BY id";
  return Read(sql, params.Values(), [&](const PGresult* res, int i) {
    const auto text = [&](int column) { return std::string(TextAt(res, i, column)); };
    visit(THistoryAlert{.Id = std::strtoll(PQgetvalue(res, i, 0), nullptr, 10),
                        .Site = text(1),
                        .Kind = text(2),
                        .Rule = text(3),
                        .Subject = text(4),
                        .Before = text(5),
                        .After = text(6),
                        .Message = text(7),
                        .RunId = text(8),
                        .RaisedUnixMs = std::strtoll(PQgetvalue(res, i, 9), nullptr, 10),
                        .Open = PQgetvalue(res, i, 10)[0] == 't'});
  });
}
