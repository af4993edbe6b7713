#include "crawl/CrawlStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "crawl/CrawlRules.h"

namespace {

// The most URLs whose rows are remembered (see url_rows_).
constexpr size_t kUrlCacheSize = 200'000;
// The most partners a duplicate's or an external link's detail names.
constexpr int kDetailPartners = 5;
// The most hops a redirect chain is followed.
constexpr int kMaxChainHops = 20;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The crawl tables. Their own version lives in crawl_schema; the queries' and check-ups' layout
// version is not touched, so either program version reads the other's queries.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS crawl_schema(version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS crawls(
  id INTEGER PRIMARY KEY,
  site TEXT NOT NULL,
  run_id TEXT NOT NULL UNIQUE,
  started_ms INTEGER NOT NULL,
  finished_ms INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL DEFAULT 'running',
  reason TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS crawls_site ON crawls(site, id);
CREATE TABLE IF NOT EXISTS crawl_pages(
  id INTEGER PRIMARY KEY,
  crawl INTEGER NOT NULL,
  url TEXT NOT NULL,
  internal INTEGER NOT NULL,
  depth INTEGER,
  state INTEGER NOT NULL,
  in_sitemap INTEGER NOT NULL DEFAULT 0,
  status INTEGER NOT NULL DEFAULT 0,
  failure TEXT NOT NULL DEFAULT '',
  location TEXT NOT NULL DEFAULT '',
  content_type TEXT NOT NULL DEFAULT '',
  first_byte_ms REAL NOT NULL DEFAULT -1,
  bytes INTEGER NOT NULL DEFAULT 0,
  throttled INTEGER NOT NULL DEFAULT 0,
  etag TEXT NOT NULL DEFAULT '',
  last_modified TEXT NOT NULL DEFAULT '',
  not_modified INTEGER NOT NULL DEFAULT 0,
  html INTEGER NOT NULL DEFAULT 0,
  title TEXT,
  title_chars INTEGER NOT NULL DEFAULT 0,
  description TEXT,
  h1_count INTEGER NOT NULL DEFAULT 0,
  canonical TEXT NOT NULL DEFAULT '',
  noindex INTEGER NOT NULL DEFAULT 0,
  text_hash TEXT NOT NULL DEFAULT '',
  images_no_alt INTEGER NOT NULL DEFAULT 0,
  mixed TEXT NOT NULL DEFAULT '',
  mixed_count INTEGER NOT NULL DEFAULT 0,
  UNIQUE(crawl, url));
CREATE INDEX IF NOT EXISTS crawl_pages_queue ON crawl_pages(crawl, state, internal, id);
CREATE INDEX IF NOT EXISTS crawl_pages_title ON crawl_pages(crawl, title);
CREATE INDEX IF NOT EXISTS crawl_pages_description ON crawl_pages(crawl, description);
CREATE INDEX IF NOT EXISTS crawl_pages_text ON crawl_pages(crawl, text_hash);
CREATE TABLE IF NOT EXISTS crawl_links(
  crawl INTEGER NOT NULL,
  source INTEGER NOT NULL,
  target INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  PRIMARY KEY(crawl, source, target, kind)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS crawl_links_target ON crawl_links(crawl, target, kind);
CREATE INDEX IF NOT EXISTS crawl_links_canonical ON crawl_links(crawl, source, target)
  WHERE kind = 1;
CREATE INDEX IF NOT EXISTS crawl_links_alternate ON crawl_links(crawl, source, target)
  WHERE kind = 2;
CREATE TABLE IF NOT EXISTS crawl_findings(
  crawl INTEGER NOT NULL,
  rule TEXT NOT NULL,
  url TEXT NOT NULL,
  partner TEXT NOT NULL,
  detail TEXT NOT NULL,
  PRIMARY KEY(crawl, rule, url, partner)) WITHOUT ROWID;
)sql";

}  // namespace

// The store's prepared statements, one per SQL text, prepared on first use and kept until the
// store closes: a crawl runs the same few statements hundreds of thousands of times.
class TCrawlStatements {
 public:
  explicit TCrawlStatements(sqlite3* db) : db_(db) {}
  ~TCrawlStatements() {
    for (auto& [sql, stmt] : prepared_) sqlite3_finalize(stmt);
  }
  sqlite3* Db() const { return db_; }
  // The statement for sql, ready to bind; null when it does not compile.
  sqlite3_stmt* Get(const std::string& sql) {
    sqlite3_stmt*& stmt = prepared_[sql];
    if (stmt == nullptr)
      sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    return stmt;
  }

 private:
  sqlite3* db_;
  std::unordered_map<std::string, sqlite3_stmt*> prepared_;
};

namespace {

// One use of a kept statement: reset and unbound when the use ends.
class TStmt {
 public:
  TStmt(TCrawlStatements& statements, const std::string& sql) : stmt_(statements.Get(sql)) {}
  ~TStmt() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;
  bool Ok() const { return stmt_ != nullptr; }
  TStmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  TStmt& Bind(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  TStmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  TStmt& Bind(int i, const std::optional<std::string>& v) {
    if (v) return Bind(i, *v);
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  TStmt& Bind(int i, std::optional<int> v) {
    if (v) return Bind(i, int64_t{*v});
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  void Reset() { sqlite3_reset(stmt_); }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  double Real(int col) const { return sqlite3_column_double(stmt_, col); }
  bool Null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, sqlite3_column_bytes(stmt_, col)) : std::string();
  }
  std::optional<std::string> OptText(int col) const {
    if (Null(col)) return std::nullopt;
    return Text(col);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// ORDER BY position of a rule in the table, as SQL.
std::string RuleOrder() {
  std::string sql = "CASE rule";
  int i = 0;
  for (const TCrawlRule& rule : CrawlRules()) {
    sql += " WHEN '" + std::string(rule.Id) + "' THEN " + std::to_string(i++);
  }
  return sql + " ELSE " + std::to_string(i) + " END";
}

std::string HumanBytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

TCrawlStore::TCrawlStore() = default;

TCrawlStore::~TCrawlStore() {
  std::lock_guard lock(mu_);
  CommitIfDue(true);
  statements_.reset();
  sqlite3_close(db_);
}

bool TCrawlStore::Fail(const char* what) {
  message_ = std::string("爬取记录无法写入（") + what + "）：" + (db_ ? sqlite3_errmsg(db_) : "");
  return false;
}

bool TCrawlStore::Exec(const char* sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    message_ = std::string("爬取记录无法写入：") + (error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
    return false;
  }
  return true;
}

bool TCrawlStore::Open(const std::string& path) {
  std::lock_guard lock(mu_);
  std::error_code ec;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    Fail(path.c_str());
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(db_, 10'000);
  statements_ = std::make_unique<TCrawlStatements>(db_);
  return Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=NORMAL") && Exec(kSchema);
}

void TCrawlStore::BeginWrites() {
  if (in_transaction_) return;
  if (Exec("BEGIN IMMEDIATE")) {
    in_transaction_ = true;
    transaction_started_ms_ = NowMs();
  }
}

void TCrawlStore::CommitIfDue(bool now) {
  if (!in_transaction_ || db_ == nullptr) return;
  if (!now && NowMs() - transaction_started_ms_ < kCrawlCommitMs) return;
  Exec("COMMIT");
  in_transaction_ = false;
}

int64_t TCrawlStore::Begin(const std::string& site, bool resume, bool& resumed) {
  std::lock_guard lock(mu_);
  resumed = false;
  if (db_ == nullptr) return 0;
  CommitIfDue(true);
  url_rows_.clear();
  if (resume) {
    TStmt last(*statements_,
               "SELECT id FROM crawls WHERE site = ? AND state IN ('running', 'stopped') "
               "ORDER BY id DESC LIMIT 1");
    last.Bind(1, site);
    if (last.Step() == SQLITE_ROW) {
      const int64_t id = last.Int(0);
      TStmt requeue(*statements_, "UPDATE crawl_pages SET state = 0 WHERE crawl = ? AND state = 1");
      requeue.Bind(1, id).Step();
      TStmt running(*statements_, "UPDATE crawls SET state = 'running', reason = '' WHERE id = ?");
      running.Bind(1, id).Step();
      resumed = true;
      cached_crawl_ = id;
      return id;
    }
  }
  TStmt insert(*statements_, "INSERT INTO crawls(site, run_id, started_ms) VALUES(?, ?, ?)");
  const int64_t now = NowMs();
  insert.Bind(1, site).Bind(2, site + "@" + std::to_string(now) + "#" +
                                   std::to_string(reinterpret_cast<uintptr_t>(this) & 0xffff));
  insert.Bind(3, now);
  if (insert.Step() != SQLITE_DONE) {
    Fail("新的爬取");
    return 0;
  }
  cached_crawl_ = sqlite3_last_insert_rowid(db_);
  return cached_crawl_;
}

void TCrawlStore::Finish(int64_t crawl, const std::string& state, const std::string& reason) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return;
  BeginWrites();
  TStmt end(*statements_, "UPDATE crawls SET state = ?, reason = ?, finished_ms = ? WHERE id = ?");
  end.Bind(1, state).Bind(2, reason).Bind(3, state == "done" ? NowMs() : int64_t{0});
  end.Bind(4, crawl).Step();
  // Only the last kCrawlsKept crawls of the site keep their pages and links.
  TStmt old(*statements_,
            "SELECT id FROM crawls WHERE site = (SELECT site FROM crawls WHERE id = ?) "
            "ORDER BY id DESC LIMIT -1 OFFSET ?");
  old.Bind(1, crawl).Bind(2, int64_t{kCrawlsKept});
  std::vector<int64_t> ids;
  while (old.Step() == SQLITE_ROW) ids.push_back(old.Int(0));
  for (const int64_t id : ids) {
    TStmt pages(*statements_, "DELETE FROM crawl_pages WHERE crawl = ?");
    pages.Bind(1, id).Step();
    TStmt links(*statements_, "DELETE FROM crawl_links WHERE crawl = ?");
    links.Bind(1, id).Step();
  }
  CommitIfDue(true);
}

int64_t TCrawlStore::AddLocked(int64_t crawl, const std::string& url, bool internal,
                               std::optional<int> depth, TCrawlUrlState state, bool in_sitemap) {
  if (crawl != cached_crawl_) {
    url_rows_.clear();
    cached_crawl_ = crawl;
  }
  // A URL met before at no greater depth needs no look-up (that is nearly every link a page
  // repeats); met nearer the home page (workers read pages side by side, so not quite breadth
  // first), its depth comes down and, if the limits had skipped it, it is queued.
  const auto hit = url_rows_.find(url);
  if (hit != url_rows_.end() && !in_sitemap &&
      (!depth || (hit->second.Depth && *hit->second.Depth <= *depth))) {
    return hit->second.Id;
  }
  BeginWrites();
  TStmt upsert(*statements_,
               "INSERT INTO crawl_pages(crawl, url, internal, depth, state, in_sitemap) "
               "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(crawl, url) DO UPDATE SET "
               "depth = CASE WHEN depth IS NULL OR excluded.depth < depth "
               "  THEN coalesce(excluded.depth, depth) ELSE depth END, "
               "state = CASE WHEN state = 3 AND excluded.state = 0 THEN 0 ELSE state END, "
               "in_sitemap = max(in_sitemap, excluded.in_sitemap) "
               "RETURNING id, depth");
  upsert.Bind(1, crawl).Bind(2, url).Bind(3, int64_t{internal}).Bind(4, depth);
  upsert.Bind(5, int64_t{static_cast<int>(state)}).Bind(6, int64_t{in_sitemap});
  if (upsert.Step() != SQLITE_ROW) {
    Fail("网址");
    return 0;
  }
  const int64_t id = upsert.Int(0);
  const std::optional<int> stored =
      upsert.Null(1) ? std::nullopt : std::optional<int>(static_cast<int>(upsert.Int(1)));
  if (url_rows_.size() >= kUrlCacheSize) url_rows_.clear();
  url_rows_.insert_or_assign(url, TKnownUrl{id, stored});
  return id;
}

int64_t TCrawlStore::Add(int64_t crawl, const std::string& url, bool internal,
                         std::optional<int> depth, TCrawlUrlState state) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return 0;
  const int64_t id = AddLocked(crawl, url, internal, depth, state, false);
  CommitIfDue();
  return id;
}

int64_t TCrawlStore::AddFromSitemap(int64_t crawl, const std::string& url, bool internal) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return 0;
  const int64_t id = AddLocked(crawl, url, internal, std::nullopt, TCrawlUrlState::Queued, true);
  CommitIfDue();
  return id;
}

std::optional<TCrawlTarget> TCrawlStore::Take(int64_t crawl, bool internal_allowed) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return std::nullopt;
  BeginWrites();
  // The site's pages first (breadth first: in the order they were met), then external links;
  // each a walk of the queue index to its first row.
  TStmt internal(*statements_,
                 "SELECT id, url, internal, depth, in_sitemap FROM crawl_pages WHERE crawl = ? "
                 "AND state = 0 AND internal = 1 ORDER BY id LIMIT 1");
  TStmt external(*statements_,
                 "SELECT id, url, internal, depth, in_sitemap FROM crawl_pages WHERE crawl = ? "
                 "AND state = 0 AND internal = 0 ORDER BY id LIMIT 1");
  internal.Bind(1, crawl);
  external.Bind(1, crawl);
  TStmt* found = internal_allowed && internal.Step() == SQLITE_ROW ? &internal : nullptr;
  if (found == nullptr && external.Step() == SQLITE_ROW) found = &external;
  if (found == nullptr) return std::nullopt;
  TStmt& next = *found;
  TCrawlTarget target;
  target.Id = next.Int(0);
  target.Url = next.Text(1);
  target.Internal = next.Int(2) != 0;
  if (!next.Null(3)) target.Depth = static_cast<int>(next.Int(3));
  target.InSitemap = next.Int(4) != 0;
  TStmt taken(*statements_, "UPDATE crawl_pages SET state = 1 WHERE id = ?");
  taken.Bind(1, target.Id).Step();
  CommitIfDue();
  return target;
}

void TCrawlStore::Skip(int64_t crawl, int64_t id, const std::string& reason) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return;
  BeginWrites();
  TStmt skip(*statements_,
             "UPDATE crawl_pages SET state = 3, failure = ? WHERE crawl = ? AND id = ?");
  skip.Bind(1, reason).Bind(2, crawl).Bind(3, id).Step();
  CommitIfDue();
}

int64_t TCrawlStore::Asked(int64_t crawl) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return 0;
  TStmt count(*statements_, "SELECT count(*) FROM crawl_pages WHERE crawl = ? AND state IN (1, 2)");
  count.Bind(1, crawl);
  return count.Step() == SQLITE_ROW ? count.Int(0) : 0;
}

int64_t TCrawlStore::Queued(int64_t crawl) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return 0;
  TStmt count(*statements_, "SELECT count(*) FROM crawl_pages WHERE crawl = ? AND state = 0");
  count.Bind(1, crawl);
  return count.Step() == SQLITE_ROW ? count.Int(0) : 0;
}

void TCrawlStore::Store(int64_t crawl, const TCrawlPage& page, const TLinkTarget& target) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return;
  BeginWrites();
  std::string mixed;
  for (const std::string& url : page.MixedContent) mixed += (mixed.empty() ? "" : "\n") + url;
  TStmt update(*statements_,
               "UPDATE crawl_pages SET state = 2, status = ?, failure = ?, location = ?, "
               "content_type = ?, first_byte_ms = ?, bytes = ?, throttled = ?, etag = ?, "
               "last_modified = ?, not_modified = ?, html = ?, title = ?, title_chars = ?, "
               "description = ?, h1_count = ?, canonical = ?, noindex = ?, text_hash = ?, "
               "images_no_alt = ?, mixed = ?, mixed_count = ? WHERE id = ?");
  update.Bind(1, int64_t{page.Status}).Bind(2, page.Failure).Bind(3, page.Location);
  update.Bind(4, page.ContentType).Bind(5, page.FirstByteMs).Bind(6, page.Bytes);
  update.Bind(7, int64_t{page.Throttled}).Bind(8, page.ETag).Bind(9, page.LastModified);
  update.Bind(10, int64_t{page.NotModified}).Bind(11, int64_t{page.Html}).Bind(12, page.Title);
  update.Bind(13, int64_t{page.TitleChars}).Bind(14, page.Description);
  update.Bind(15, int64_t{page.H1Count}).Bind(16, page.Canonical);
  update.Bind(17, int64_t{page.NoIndex}).Bind(18, page.TextHash);
  update.Bind(19, int64_t{page.ImagesWithoutAlt}).Bind(20, mixed);
  update.Bind(21, static_cast<int64_t>(page.MixedContent.size())).Bind(22, page.Id);
  if (update.Step() != SQLITE_DONE) {
    Fail("页面");
    return;
  }
  TStmt link(*statements_,
             "INSERT OR IGNORE INTO crawl_links(crawl, source, target, kind) "
             "VALUES(?, ?, ?, ?)");
  for (const TCrawlLink& l : page.Links) {
    bool internal = true;
    std::optional<int> depth;
    TCrawlUrlState state = TCrawlUrlState::Queued;
    target(l, internal, depth, state);
    const int64_t to = AddLocked(crawl, l.Url, internal, depth, state, false);
    if (to == 0) return;
    link.Reset();
    link.Bind(1, crawl).Bind(2, page.Id).Bind(3, to).Bind(4, int64_t{static_cast<int>(l.Kind)});
    link.Step();
  }
  CommitIfDue();
}

std::optional<TCrawlPage> TCrawlStore::Earlier(int64_t crawl, const std::string& url) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return std::nullopt;
  const int64_t before = PreviousCrawl(crawl);
  if (before == 0) return std::nullopt;
  TStmt row(*statements_,
            "SELECT id, status, content_type, first_byte_ms, bytes, etag, last_modified, html, "
            "title, title_chars, description, h1_count, canonical, noindex, text_hash, "
            "images_no_alt, mixed FROM crawl_pages WHERE crawl = ? AND url = ? AND state = 2 "
            "AND status = 200");
  row.Bind(1, before).Bind(2, url);
  if (row.Step() != SQLITE_ROW) return std::nullopt;
  TCrawlPage page;
  const int64_t id = row.Int(0);
  page.Url = url;
  page.Status = static_cast<int>(row.Int(1));
  page.ContentType = row.Text(2);
  page.FirstByteMs = row.Real(3);
  page.Bytes = row.Int(4);
  page.ETag = row.Text(5);
  page.LastModified = row.Text(6);
  page.Html = row.Int(7) != 0;
  page.Title = row.OptText(8);
  page.TitleChars = static_cast<int>(row.Int(9));
  page.Description = row.OptText(10);
  page.H1Count = static_cast<int>(row.Int(11));
  page.Canonical = row.Text(12);
  page.NoIndex = row.Int(13) != 0;
  page.TextHash = row.Text(14);
  page.ImagesWithoutAlt = static_cast<int>(row.Int(15));
  const std::string mixed = row.Text(16);
  for (size_t start = 0; start < mixed.size();) {
    const size_t end = std::min(mixed.find('\n', start), mixed.size());
    page.MixedContent.push_back(mixed.substr(start, end - start));
    start = end + 1;
  }
  if (page.ETag.empty() && page.LastModified.empty()) return std::nullopt;
  TStmt links(*statements_,
              "SELECT p.url, l.kind FROM crawl_links l JOIN crawl_pages p ON p.id = l.target "
              "WHERE l.crawl = ? AND l.source = ?");
  links.Bind(1, before).Bind(2, id);
  while (links.Step() == SQLITE_ROW) {
    page.Links.push_back({links.Text(0), static_cast<TCrawlLinkKind>(links.Int(1))});
  }
  return page;
}

int64_t TCrawlStore::PreviousCrawl(int64_t crawl) {
  // A crawl's predecessor is fixed once it runs: only crawls before it, finished, count.
  if (const auto known = previous_.find(crawl); known != previous_.end()) return known->second;
  TStmt before(*statements_,
               "SELECT id FROM crawls WHERE site = (SELECT site FROM crawls WHERE id = ?1) "
               "AND id < ?1 AND state = 'done' ORDER BY id DESC LIMIT 1");
  before.Bind(1, crawl);
  const int64_t id = before.Step() == SQLITE_ROW ? before.Int(0) : 0;
  previous_.emplace(crawl, id);
  return id;
}

// --- Judging -------------------------------------------------------------------------------------
//
// Each rule is a query over the stored crawl; what it selects (url, partner, detail) becomes a
// finding. `partner` tells findings of one rule on one page apart (the broken link's target);
// measurements (a time, a count) go in `detail` only, so a page slower than before is the same
// finding, not a new one.

namespace {

struct TRuleQuery {
  const char* Rule;
  const char* Select;  // ?1 is the crawl
};

// Pages whose content the rules judge: the site's HTML pages that answered 200.
#define VM_CONTENT "internal = 1 AND state = 2 AND status = 200 AND html = 1"
// An answer that is a broken page: an error status (not a throttled one) or no answer at all.
#define VM_BROKEN(p)                                                                              \
  "(" p ".state = 2 AND " p ".throttled = 0 AND (" p ".status >= 400 OR (" p ".status = 0 AND " p \
  ".failure <> '')))"

const TRuleQuery kRuleQueries[] = {
    {"http-4xx",
     "SELECT url, '', 'HTTP ' || status FROM crawl_pages WHERE crawl = ?1 AND internal = 1 "
     "AND state = 2 AND throttled = 0 AND status BETWEEN 400 AND 499"},
    {"http-5xx",
     "SELECT url, '', 'HTTP ' || status FROM crawl_pages WHERE crawl = ?1 AND internal = 1 "
     "AND state = 2 AND throttled = 0 AND status BETWEEN 500 AND 599"},
    {"broken-link",
     "SELECT s.url, t.url, t.url || CASE WHEN t.status > 0 THEN ' (HTTP ' || t.status || ')' "
     "ELSE ' (' || t.failure || ')' END FROM crawl_pages t CROSS JOIN crawl_links l "
     "ON l.crawl = t.crawl AND l.target = t.id JOIN crawl_pages s ON s.id = l.source "
     "WHERE t.crawl = ?1 AND l.kind IN (0, 3, 4, 5, 6) AND t.internal = 1 AND " VM_BROKEN("t")},
    {"external-broken",
     "SELECT t.url, '', CASE WHEN t.status > 0 THEN 'HTTP ' || t.status ELSE t.failure END "
     "|| '；链接自 ' || (SELECT group_concat(u, ' ') FROM (SELECT s.url AS u FROM crawl_links l "
     "JOIN crawl_pages s ON s.id = l.source WHERE l.crawl = ?1 AND l.target = t.id "
     "ORDER BY s.id LIMIT 5)) FROM crawl_pages t WHERE t.crawl = ?1 AND t.internal = 0 "
     "AND " VM_BROKEN("t")},
    {"title-missing", "SELECT url, '', '' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
                      " AND coalesce(title, '') = ''"},
    {"title-length",
     "SELECT url, '', title_chars || ' 个字符' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
     " AND coalesce(title, '') <> '' AND (title_chars < ?2 OR title_chars > ?3)"},
    {"description-missing", "SELECT url, '', '' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
                            " AND coalesce(description, '') = ''"},
    {"h1-missing",
     "SELECT url, '', '' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT " AND h1_count = 0"},
    {"h1-multiple",
     "SELECT url, '', h1_count || ' 个 <h1>' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
     " AND h1_count > 1"},
    {"canonical-broken",
     "SELECT s.url, '', t.url || CASE WHEN t.status > 0 THEN ' (HTTP ' || t.status || ')' "
     "ELSE ' (' || t.failure || ')' END FROM crawl_links l "
     "JOIN crawl_pages s ON s.id = l.source JOIN crawl_pages t ON t.id = l.target "
     "WHERE l.crawl = ?1 AND l.kind = 1 AND t.internal = 1 AND t.state = 2 AND t.throttled = 0 "
     "AND t.status <> 200"},
    {"canonical-other-site",
     "SELECT s.url, '', t.url FROM crawl_links l JOIN crawl_pages s ON s.id = l.source "
     "JOIN crawl_pages t ON t.id = l.target WHERE l.crawl = ?1 AND l.kind = 1 AND "
     "t.internal = 0"},
    {"noindex-in-sitemap",
     "SELECT url, '', '' FROM crawl_pages WHERE crawl = ?1 AND in_sitemap = 1 AND noindex = 1 "
     "AND internal = 1 AND state = 2"},
    {"orphan",
     "SELECT p.url, '', '' FROM crawl_pages p WHERE p.crawl = ?1 AND p.in_sitemap = 1 AND "
     "p.internal = 1 AND coalesce(p.depth, 1) <> 0 AND NOT EXISTS(SELECT 1 FROM crawl_links l "
     "WHERE l.crawl = ?1 AND l.target = p.id AND l.kind = 0 AND l.source <> p.id)"},
    {"sitemap-not-ok",
     "SELECT url, '', CASE WHEN status > 0 THEN 'HTTP ' || status ELSE failure END "
     "FROM crawl_pages WHERE crawl = ?1 AND in_sitemap = 1 AND state = 2 AND throttled = 0 "
     "AND status <> 200"},
    {"hreflang-no-return",
     "SELECT s.url, t.url, t.url FROM crawl_links l JOIN crawl_pages s ON s.id = l.source "
     "JOIN crawl_pages t ON t.id = l.target WHERE l.crawl = ?1 AND l.kind = 2 AND "
     "t.id <> s.id AND t.internal = 1 AND t.state = 2 AND t.status = 200 AND t.html = 1 AND "
     "NOT EXISTS(SELECT 1 FROM crawl_links b WHERE b.crawl = ?1 AND b.source = t.id AND "
     "b.target = s.id AND b.kind = 2)"},
    {"mixed-content",
     "SELECT url, '', CASE WHEN mixed_count > 1 THEN replace(mixed, char(10), ' ') "
     "ELSE mixed END FROM crawl_pages WHERE crawl = ?1 AND internal = 1 AND state = 2 AND "
     "mixed_count > 0"},
    {"img-alt-missing",
     "SELECT url, '', images_no_alt || ' 张图片' FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
     " AND images_no_alt > 0"},
    {"deep", "SELECT url, '', '深度 ' || depth FROM crawl_pages WHERE crawl = ?1 AND " VM_CONTENT
             " AND depth > ?4"},
    {"slow",
     "SELECT url, '', CAST(round(first_byte_ms) AS INTEGER) || ' 毫秒' FROM crawl_pages "
     "WHERE crawl = ?1 AND internal = 1 AND state = 2 AND status > 0 AND first_byte_ms > ?5"},
};

#undef VM_CONTENT
#undef VM_BROKEN

}  // namespace

bool TCrawlStore::Judge(int64_t crawl) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return false;
  BeginWrites();
  TStmt clear(*statements_, "DELETE FROM crawl_findings WHERE crawl = ?");
  clear.Bind(1, crawl).Step();
  if (!JudgeByQueries(crawl)) return false;
  JudgeDuplicates(crawl);
  JudgeHeavyPages(crawl);
  JudgeRedirects(crawl);
  CommitIfDue(true);
  return true;
}

void TCrawlStore::AddFinding(int64_t crawl, const std::string& rule, const std::string& url,
                             const std::string& partner, const std::string& detail) {
  TStmt insert(*statements_,
               "INSERT OR IGNORE INTO crawl_findings(crawl, rule, url, partner, detail) "
               "VALUES(?, ?, ?, ?, ?)");
  insert.Bind(1, crawl).Bind(2, rule).Bind(3, url).Bind(4, partner).Bind(5, detail);
  insert.Step();
}

// The rules that are one query each (kRuleQueries).
bool TCrawlStore::JudgeByQueries(int64_t crawl) {
  for (const TRuleQuery& q : kRuleQueries) {
    TStmt select(*statements_, q.Select);
    if (!select.Ok()) return Fail(q.Rule);
    select.Bind(1, crawl).Bind(2, int64_t{kCrawlTitleMinChars});
    select.Bind(3, int64_t{kCrawlTitleMaxChars}).Bind(4, int64_t{kCrawlDeepDepth});
    select.Bind(5, kCrawlSlowFirstByteMs);
    while (select.Step() == SQLITE_ROW)
      AddFinding(crawl, q.Rule, select.Text(0), select.Text(1), select.Text(2));
  }
  return true;
}

void TCrawlStore::JudgeDuplicates(int64_t crawl) {
  // Pages that share a title, a description or their text: each names (up to kDetailPartners of)
  // the others. A group is read in the order of its pages, keeping only its first few.
  struct TDuplicateRule {
    const char* Rule;
    const char* Column;
  };
  for (const TDuplicateRule& d : {TDuplicateRule{"title-duplicate", "title"},
                                  TDuplicateRule{"description-duplicate", "description"},
                                  TDuplicateRule{"duplicate-content", "text_hash"}}) {
    // Named copies: a lambda below takes the rule (a structured binding it could not).
    const std::string rule = d.Rule, column = d.Column;
    const std::string content =
        "crawl = ?1 AND internal = 1 AND state = 2 AND status = 200 AND html = 1 AND "
        "coalesce(" +
        column + ", '') <> ''";
    TStmt group(*statements_, "SELECT " + column + ", url FROM crawl_pages WHERE " + content +
                                  " AND " + column + " IN (SELECT " + column +
                                  " FROM crawl_pages WHERE " + content + " GROUP BY " + column +
                                  " HAVING count(*) > 1) ORDER BY " + column + ", id");
    group.Bind(1, crawl);
    std::string key;
    std::vector<std::string> first;  // the group's first kDetailPartners + 1 pages
    auto flush = [&] {
      for (const std::string& url : first) {
        std::string others;
        int n = 0;
        for (const std::string& other : first) {
          if (other == url || n == kDetailPartners) continue;
          others += (n++ ? " " : "") + other;
        }
        AddFinding(crawl, rule, url, "", others);
      }
      first.clear();
    };
    int in_group = 0;
    while (group.Step() == SQLITE_ROW) {
      if (group.Text(0) != key) {
        flush();
        key = group.Text(0);
        in_group = 0;
      }
      // Past the first few, a page names the first kDetailPartners of its group.
      if (++in_group <= kDetailPartners + 1) {
        first.push_back(group.Text(1));
      } else {
        std::string others;
        for (int i = 0; i < kDetailPartners; ++i) others += (i ? " " : "") + first[i];
        AddFinding(crawl, rule, group.Text(1), "", others);
      }
    }
    flush();
  }
}

void TCrawlStore::JudgeHeavyPages(int64_t crawl) {
  {
    TStmt heavy(*statements_,
                "SELECT url, bytes FROM crawl_pages WHERE crawl = ? AND internal = 1 AND "
                "state = 2 AND html = 1 AND bytes > ?");
    heavy.Bind(1, crawl).Bind(2, int64_t{kCrawlHeavyBytes});
    while (heavy.Step() == SQLITE_ROW)
      AddFinding(crawl, "heavy", heavy.Text(0), "", HumanBytes(heavy.Int(1)));
  }
}

void TCrawlStore::JudgeRedirects(int64_t crawl) {
  // Redirects: each chain followed from its head (a redirect no other redirect leads to).
  std::map<std::string, std::string> next;  // redirect URL -> its target
  std::set<std::string> targets;
  {
    TStmt redirects(*statements_,
                    "SELECT url, location FROM crawl_pages WHERE crawl = ? AND state = 2 AND "
                    "status BETWEEN 300 AND 399 AND location <> ''");
    redirects.Bind(1, crawl);
    while (redirects.Step() == SQLITE_ROW) {
      next.emplace(redirects.Text(0), redirects.Text(1));
      targets.insert(redirects.Text(1));
    }
  }
  // Heads first; then what no head reaches, which can only be a cycle of redirects, once.
  std::set<std::string> covered;
  auto follow = [&](const std::string& head) {
    std::string chain = head;
    std::set<std::string> seen{head};
    std::string at = head;
    int hops = 0;
    for (auto it = next.find(at); it != next.end() && hops < kMaxChainHops; it = next.find(at)) {
      at = it->second;
      ++hops;
      chain += " → " + at;
      if (!seen.insert(at).second) {
        AddFinding(crawl, "redirect-loop", head, "", chain);
        covered.insert(seen.begin(), seen.end());
        return;
      }
    }
    covered.insert(seen.begin(), seen.end());
    if (hops > 1) AddFinding(crawl, "redirect-chain", head, "", chain);
  };
  for (const auto& [from, to] : next) {
    if (from.rfind("https:", 0) == 0 && to.rfind("http:", 0) == 0) {
      AddFinding(crawl, "redirect-to-http", from, "", from + " → " + to);
    }
    if (targets.count(from) == 0) follow(from);
  }
  for (const auto& [from, to] : next) {
    if (covered.count(from) == 0) follow(from);
  }
}

bool TCrawlStore::EachFinding(int64_t crawl,
                              const std::function<void(const TCrawlFinding&)>& visit) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return false;
  CommitIfDue(true);
  const int64_t before = PreviousCrawl(crawl);
  // change: 0 new, 1 still there, 2 gone (found by the crawl before, not by this one).
  const std::string sql =
      "SELECT rule, url, detail, change FROM ("
      "SELECT f.rule, f.url, f.partner, f.detail, EXISTS(SELECT 1 FROM crawl_findings b WHERE "
      "b.crawl = ?2 AND b.rule = f.rule AND b.url = f.url AND b.partner = f.partner) AS change "
      "FROM crawl_findings f WHERE f.crawl = ?1 UNION ALL "
      "SELECT b.rule, b.url, b.partner, b.detail, 2 FROM crawl_findings b WHERE b.crawl = ?2 "
      "AND NOT EXISTS(SELECT 1 FROM crawl_findings f WHERE f.crawl = ?1 AND f.rule = b.rule "
      "AND f.url = b.url AND f.partner = b.partner)) ORDER BY " +
      RuleOrder() + ", change, url, partner";
  TStmt q(*statements_, sql.c_str());
  if (!q.Ok()) return Fail("问题列表");
  q.Bind(1, crawl).Bind(2, before);
  static constexpr TCrawlChange kChanges[] = {TCrawlChange::New, TCrawlChange::Still,
                                              TCrawlChange::Gone};
  while (q.Step() == SQLITE_ROW) {
    visit({q.Text(0), q.Text(1), q.Text(2), kChanges[std::clamp<int64_t>(q.Int(3), 0, 2)]});
  }
  return true;
}

// --- Reading -------------------------------------------------------------------------------------

TCrawlStore::TSummary TCrawlStore::Summary(int64_t crawl) {
  TSummary summary;
  std::map<std::string, int64_t> per_rule;
  EachFinding(crawl, [&](const TCrawlFinding& f) {
    if (f.Change == TCrawlChange::Gone) {
      ++summary.Gone;
      return;
    }
    if (f.Change == TCrawlChange::New) ++summary.New;
    ++per_rule[f.Rule];
  });
  for (const TCrawlRule& rule : CrawlRules()) {
    const auto it = per_rule.find(std::string(rule.Id));
    if (it != per_rule.end()) summary.PerRule.emplace_back(it->first, it->second);
  }
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return summary;
  summary.HasEarlier = PreviousCrawl(crawl) != 0;
  auto counts = [&](const char* sql, std::vector<std::pair<std::string, int64_t>>& into) {
    TStmt q(*statements_, sql);
    q.Bind(1, crawl);
    while (q.Step() == SQLITE_ROW) into.emplace_back(q.Text(0), q.Int(1));
  };
  counts(
      "SELECT CASE WHEN status > 0 THEN CAST(status AS TEXT) ELSE '失败' END AS s, count(*) "
      "FROM crawl_pages WHERE crawl = ? AND state = 2 AND internal = 1 "
      "GROUP BY s ORDER BY min(status)",
      summary.Statuses);
  counts(
      "SELECT coalesce(CAST(depth AS TEXT), '无') AS d, count(*) FROM crawl_pages "
      "WHERE crawl = ? AND state = 2 AND internal = 1 GROUP BY d ORDER BY min(coalesce(depth, "
      "1000000))",
      summary.Depths);
  counts(
      "SELECT CASE WHEN first_byte_ms < 100 THEN '<100ms' WHEN first_byte_ms < 300 THEN "
      "'100-300ms' WHEN first_byte_ms < 600 THEN '300-600ms' WHEN first_byte_ms < 1000 THEN "
      "'600ms-1s' ELSE '>1s' END AS b, count(*) FROM crawl_pages WHERE crawl = ? AND "
      "state = 2 AND internal = 1 AND first_byte_ms >= 0 GROUP BY b ORDER BY min(first_byte_ms)",
      summary.FirstBytes);
  return summary;
}

bool TCrawlStore::EachPage(int64_t crawl, const std::function<void(const TCrawlPage&)>& visit) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return false;
  CommitIfDue(true);
  TStmt q(*statements_,
          "SELECT id, url, internal, depth, status, failure, location, content_type, "
          "first_byte_ms, bytes, title FROM crawl_pages WHERE crawl = ? AND state = 2 "
          "ORDER BY internal DESC, id");
  q.Bind(1, crawl);
  while (q.Step() == SQLITE_ROW) {
    TCrawlPage page;
    page.Id = q.Int(0);
    page.Url = q.Text(1);
    page.Internal = q.Int(2) != 0;
    if (!q.Null(3)) page.Depth = static_cast<int>(q.Int(3));
    page.Status = static_cast<int>(q.Int(4));
    page.Failure = q.Text(5);
    page.Location = q.Text(6);
    page.ContentType = q.Text(7);
    page.FirstByteMs = q.Real(8);
    page.Bytes = q.Int(9);
    page.Title = q.OptText(10);
    visit(page);
  }
  return true;
}

namespace {
constexpr const char* kCrawlColumns =
    "SELECT c.id, c.site, c.run_id, c.started_ms, c.finished_ms, c.state, c.reason, "
    "(SELECT count(*) FROM crawl_pages p WHERE p.crawl = c.id AND p.state = 2), "
    "(SELECT count(*) FROM crawl_findings f WHERE f.crawl = c.id) FROM crawls c ";

TCrawlInfo ReadCrawlInfo(const TStmt& q) {
  return {q.Int(0),  q.Text(1), q.Text(2), q.Int(3), q.Int(4),
          q.Text(5), q.Text(6), q.Int(7),  q.Int(8)};
}
}  // namespace

std::optional<TCrawlInfo> TCrawlStore::Crawl(int64_t crawl) {
  std::lock_guard lock(mu_);
  if (db_ == nullptr) return std::nullopt;
  CommitIfDue(true);
  TStmt q(*statements_, (std::string(kCrawlColumns) + "WHERE c.id = ?").c_str());
  q.Bind(1, crawl);
  if (q.Step() != SQLITE_ROW) return std::nullopt;
  return ReadCrawlInfo(q);
}

std::vector<TCrawlInfo> TCrawlStore::Crawls(const std::string& site) {
  std::lock_guard lock(mu_);
  std::vector<TCrawlInfo> crawls;
  if (db_ == nullptr) return crawls;
  CommitIfDue(true);
  TStmt q(*statements_, (std::string(kCrawlColumns) + "WHERE c.site = ? ORDER BY c.id").c_str());
  q.Bind(1, site);
  while (q.Step() == SQLITE_ROW) crawls.push_back(ReadCrawlInfo(q));
  return crawls;
}
