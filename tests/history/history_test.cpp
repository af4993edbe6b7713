// The history stores: what goes in comes back (texts, numbers, outcomes, order), the file is
// plain UTF-8 SQLite for other tools, two processes writing at once lose nothing, an older
// layout is brought up to date, a run written twice is stored once, and troubles (corrupt file,
// unusable folder, full disk, a newer layout, a server gone and back) never raise and say so
// once. The tests of StoreTest run against both stores, PostgreSQL on a private server.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "history/HistorySpool.h"
#include "history/PgHistoryStore.h"
#include "history/SqliteHistoryStore.h"
#include "runtime/CodePage.h"
#include "support/PgTestServer.h"

namespace {

namespace fs = std::filesystem;

std::string G(const char8_t* s) { return Gbk(s); }
std::string U(const char8_t* s) { return reinterpret_cast<const char*>(s); }

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() {
    char tmpl[] = "/tmp/velmora-history-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    path_ = dir_ + "/sub/history.sqlite3";  // the folder is created on open
  }
  ~HistoryTest() override { fs::remove_all(dir_); }

  // One SQL answer (the first column of every row) from the store as it is, through a
  // connection of our own.
  std::string Sql(const std::string& sql) {
    std::string out;
    if (!location_.empty()) {
      PGconn* conn = PQconnectdb(location_.c_str());
      PGresult* r = PQexec(conn, sql.c_str());
      for (int i = 0; i < PQntuples(r); ++i)
        out += PQgetisnull(r, i, 0) ? "NULL" : PQgetvalue(r, i, 0);
      PQclear(r);
      PQfinish(conn);
      return out;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_exec(
          db, sql.c_str(),
          [](void* o, int, char** v, char**) {
            *static_cast<std::string*>(o) += v[0] ? v[0] : "NULL";
            return 0;
          },
          &out, nullptr);
    }
    sqlite3_close(db);
    return out;
  }

  // Runs a server does not take are spooled inside the test's folder.
  std::unique_ptr<THistoryStore> OpenStore(THistoryStore::TOptions options = {}) {
    if (options.SpoolFolder.empty()) options.SpoolFolder = dir_ + "/spool";
    return OpenHistoryStore(location_.empty() ? path_ : location_, options);
  }

  std::string dir_, path_;
  std::string location_;  // the store's location when it is not path_
  TPgTestServer pg_;
};

// The same tests against each store: the SQLite file and a PostgreSQL database.
enum class TStoreKind { Sqlite, Postgres };

class StoreTest : public HistoryTest, public ::testing::WithParamInterface<TStoreKind> {
 protected:
  void SetUp() override {
    if (!Postgres()) return;
    if (TPgTestServer::ProgramFolder().empty()) {
      pg_.Start();
      GTEST_SKIP() << pg_.SkipReason();
    }
    ASSERT_TRUE(pg_.Start()) << pg_.SkipReason();
    location_ = pg_.Url();
  }
  static bool Postgres() { return GetParam() == TStoreKind::Postgres; }
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest,
                         ::testing::Values(TStoreKind::Sqlite, TStoreKind::Postgres),
                         [](const ::testing::TestParamInfo<TStoreKind>& info) {
                           return info.param == TStoreKind::Sqlite ? "Sqlite" : "Postgres";
                         });

TFieldResult Value(const std::string& text, const std::string& url = "http://a/") {
  TFieldResult r;
  r.State = TFieldState::Value;
  r.Text = text;
  r.Fetch.End = TFetchEnd::Fetched;
  r.Fetch.HttpStatus = 200;
  r.Fetch.Url = url;
  return r;
}

TFieldResult Failed(TFetchEnd end, int status = 0) {
  TFetchOutcome f;
  f.End = end;
  f.HttpStatus = status;
  f.ElapsedMs = 20000;
  f.Url = "http://svc/q";
  f.Detail = "Read Timeout";
  return FailedField(f);
}

TQueryRecord MakeRun(const std::string& site, int64_t started, int n = 1) {
  TQueryRecord r;
  r.Site = site;
  r.StartedUnixMs = started;
  for (int f = 0; f < kTextFieldCount; ++f) r.Fields[f] = Value(std::to_string(n * 100 + f));
  r.Fields[rfWebTitle] = Value(G(u8"示例站点"));
  r.Fields[rfAlexa6] = Value(G(u8"0.5 秒"));
  r.Picture = Failed(TFetchEnd::Refused);
  return r;
}

TEST(FieldNumber, CountsRatiosAndSecondsButNotDatesOrTitles) {
  struct Case {
    TResultField field;
    const char8_t* text;
    std::optional<double> number;
  } cases[] = {
      {rfSite1, u8"1,234", 1234},       {rfSite6, u8" 1,111 ", 1111},
      {rfAlexa3, u8"6", 6},             {rfAlexa4, u8"72/100", 72},
      {rfAlexa6, u8"0.5 秒", 0.5},      {rfAlexa6, u8"1,5 秒", 1.5},  // a comma locale
      {rfAlexa6, u8"12 秒", 12},        {rfAlexa1, u8"12,345,678", 12345678},
      {rfAlexa5, u8"2026-12-1", {}},    {rfSite1, u8"", {}},
      {rfSite1, u8"约1,234", {}},       {rfSite1, u8",12", {}},
      {rfAlexa4, u8"72/", {}},          {rfAlexa4, u8"a/100", {}},
      {rfAlexa6, u8"秒", {}},           {rfAlexa6, u8"0. 秒", {}},
      {rfWebTitle, u8"2024", {}},  // a title is never a number
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FieldNumber(c.field, G(c.text)), c.number) << U(c.text);
  }
}

TEST_P(StoreTest, WhatIsStoredComesBackInTimeOrderAsPlainUtf8) {
  const auto store = OpenStore();
  ASSERT_TRUE(store->IsOpen()) << store->TakeMessage();
  EXPECT_EQ(store->TakeMessage(), "");

  TQueryRecord late = MakeRun("Example.com", 3000, 3);
  late.Fields[rfSite1] = Failed(TFetchEnd::ReadTimeout);
  late.Fields[rfSite2] = Failed(TFetchEnd::HttpStatus, 429);  // blocked
  late.Fields[rfLink1].State = TFieldState::NoMatch;
  late.Fields[rfLink1].Text.clear();
  late.Fields[rfDmy1] = Failed(TFetchEnd::Stopped);
  late.Fields[rfDmy1].Fetch.Detail = "tab\there\\n not a newline\nnewline";
  late.Fields[rfWebTitle].Text = G(u8"示例\t站点\\");
  late.Picture = Value("", "http://thumb/");
  late.ServiceSet = "current";
  ASSERT_TRUE(store->Record(late));
  ASSERT_TRUE(store->Record(MakeRun("example.com", 1000, 1)));  // stored later, started earlier
  ASSERT_TRUE(store->Record(MakeRun("other.org", 2000, 2)));
  EXPECT_EQ(store->QueryCount(), 3);

  const std::vector<THistoryQuery> all = store->Series("EXAMPLE.com");  // case ignored
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Record.StartedUnixMs, 1000);
  EXPECT_EQ(all[1].Record.StartedUnixMs, 3000);
  EXPECT_EQ(all[1].Record.Site, "Example.com");
  EXPECT_EQ(all[0].Record.ServiceSet, "classic");
  EXPECT_EQ(all[1].Record.ServiceSet, "current");
  const TQueryRecord& r = all[1].Record;
  EXPECT_EQ(r.Fields[rfSite3].Text, "302");
  EXPECT_EQ(all[1].Numbers[rfSite3], 302);
  EXPECT_FALSE(all[1].Numbers[rfWebTitle]);
  EXPECT_EQ(all[1].Numbers[rfAlexa6], 0.5);
  EXPECT_EQ(r.Fields[rfSite1].State, TFieldState::Failed);
  EXPECT_EQ(r.Fields[rfSite1].Fetch.End, TFetchEnd::ReadTimeout);
  EXPECT_EQ(r.Fields[rfSite1].Fetch.ElapsedMs, 20000u);
  EXPECT_EQ(r.Fields[rfSite1].Fetch.Url, "http://svc/q");
  EXPECT_EQ(r.Fields[rfSite1].Fetch.Detail, "Read Timeout");
  EXPECT_FALSE(all[1].Numbers[rfSite1]);
  EXPECT_EQ(r.Fields[rfSite2].State, TFieldState::Blocked);
  EXPECT_EQ(r.Fields[rfSite2].Fetch.HttpStatus, 429);
  EXPECT_EQ(r.Fields[rfLink1].State, TFieldState::NoMatch);
  EXPECT_EQ(r.Fields[rfDmy1].State, TFieldState::Stopped);
  EXPECT_EQ(r.Fields[rfDmy1].Fetch.Detail, "tab\there\\n not a newline\nnewline");
  EXPECT_EQ(r.Fields[rfWebTitle].Text, G(u8"示例\t站点\\"));
  EXPECT_EQ(r.Fields[rfDmy2].Fetch.Url, "http://a/");  // the URL of the rows before
  EXPECT_EQ(r.Picture.State, TFieldState::Value);
  EXPECT_EQ(r.Picture.Fetch.Url, "http://thumb/");
  EXPECT_EQ(all[0].Record.Picture.State, TFieldState::Failed);

  // One field: the others stay pending; a run without a value still has its place.
  const std::vector<THistoryQuery> one = store->Series("example.com", rfSite1);
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].Numbers[rfSite1], 100);
  const std::vector<THistoryQuery> later = store->Series("example.com", rfSite4);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0].Record.Fields[rfSite4].Fetch.Url, "http://a/");  // shared, rows skipped
  EXPECT_EQ(one[1].Record.Fields[rfSite1].State, TFieldState::Failed);
  EXPECT_EQ(one[1].Record.Fields[rfSite3].State, TFieldState::Pending);
  EXPECT_TRUE(store->Series("nowhere.net").empty());
  // Since a time, every site, in the order they started; only sites and times when asked.
  const std::vector<THistoryQuery> since = store->Runs({.SinceUnixMs = 2000});
  ASSERT_EQ(since.size(), 2u);
  EXPECT_EQ(since[0].Record.Site, "other.org");
  EXPECT_EQ(since[1].Record.Fields[rfSite1].State, TFieldState::Failed);
  const std::vector<THistoryQuery> bare = store->Runs({.NoFields = true, .SinceUnixMs = 1000});
  ASSERT_EQ(bare.size(), 3u);
  EXPECT_EQ(bare[2].Record.Fields[rfSite3].State, TFieldState::Pending);

  // Another tool reading the file sees UTF-8, the outcome words and the version.
  EXPECT_EQ(Sql("SELECT text FROM fields f JOIN queries q ON q.id = f.query_id"
                " WHERE field = 'WebTitle' AND q.started_ms = 3000"),
            U(u8"示例\t站点\\"));
  EXPECT_EQ(Sql("SELECT outcome || ':' || reason FROM fields f JOIN queries q ON q.id = f.query_id"
                " WHERE q.started_ms = 3000 AND field IN ('Site1', 'Site2', 'Link1')"
                " ORDER BY field"),
            U(u8"no-match:未找到failed:无法访问：读取超时blocked:被拦截（HTTP 429）"));
  if (Postgres()) {
    EXPECT_EQ(Sql("SELECT version FROM schema_version"), std::to_string(kHistorySchemaVersion));
    return;
  }
  EXPECT_EQ(Sql("SELECT typeof(number) FROM fields WHERE field = 'Alexa6' LIMIT 1") +
                Sql("SELECT typeof(number) FROM fields WHERE field = 'Site3' LIMIT 1") +
                Sql("SELECT typeof(number) FROM fields WHERE field = 'WebTitle' LIMIT 1"),
            "realintegernull");
  EXPECT_EQ(Sql("PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
  EXPECT_EQ(Sql("PRAGMA journal_mode"), "wal");
}

TEST_P(StoreTest, TwoProcessesStoringAtOnceLoseNothing) {
  constexpr int kEach = 500;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      // The child opens its own connection after the fork and starts when both exist.
      ::close(gate[1]);
      char go;
      if (::read(gate[0], &go, 1) != 1) ::_exit(2);
      const auto store = OpenStore();
      if (!store->IsOpen()) ::_exit(3);
      const std::string site = c == 0 ? "first.example" : "second.example";
      for (int i = 0; i < kEach; ++i) {
        if (!store->Record(MakeRun(site, i, i))) ::_exit(4);
      }
      ::_exit(0);
    }
  }
  ::close(gate[0]);
  ASSERT_EQ(::write(gate[1], "go", 2), 2);
  ::close(gate[1]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM queries"), std::to_string(2 * kEach));
  EXPECT_EQ(Sql("SELECT count(*) FROM fields"), std::to_string(2 * kEach * (kTextFieldCount + 1)));
  const auto store = OpenStore();
  const std::vector<THistoryQuery> second = store->Series("second.example", rfSite2);
  ASSERT_EQ(second.size(), static_cast<size_t>(kEach));
  for (int i = 0; i < kEach; ++i) EXPECT_EQ(second[i].Numbers[rfSite2], i * 100 + 1);
}

TEST_P(StoreTest, AnOlderLayoutIsBroughtUpToDateAndARunWrittenTwiceIsStoredOnce) {
  {  // a store of the layout before check-ups, with a run as that layout stored it
    THistoryStore::TOptions older;
    older.SchemaVersion = 3;
    ASSERT_TRUE(OpenStore(older)->IsOpen());
    Sql("INSERT INTO queries(site, started_ms, run_id, services)"
        " VALUES('old.example', 5, 'old-run', 'current')");
    Sql("INSERT INTO fields(query_id, field, text, number, outcome, reason, fetch_end,"
        " http_status, elapsed_ms, url, detail)"
        " SELECT id, 'Site1', '42', 42, 'value', '', 'fetched', 200, 7, 'http://old/', ''"
        " FROM queries");
  }
  auto old_run_is_whole = [](const std::vector<THistoryQuery>& runs) {
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Record.Fields[rfSite1].Text, "42");
    EXPECT_EQ(runs[0].Numbers[rfSite1], 42);
    EXPECT_EQ(runs[0].Record.Fields[rfSite1].Fetch.Url, "http://old/");
    EXPECT_EQ(runs[0].Record.Fields[rfSite2].State, TFieldState::Pending);
    EXPECT_EQ(runs[0].Record.ServiceSet, "current");
  };
  {  // a reader leaves it at its layout and reads it as it is
    THistoryStore::TOptions read_only;
    read_only.ReadOnly = true;
    const auto reader = OpenStore(read_only);
    old_run_is_whole(reader->Series("OLD.example"));
    EXPECT_TRUE(reader->EachAudit({}, [](const TAuditReport&) { ADD_FAILURE(); }));
    EXPECT_EQ(reader->TakeMessage(), "");
  }
  const auto store = OpenStore();
  ASSERT_TRUE(store->IsOpen()) << store->TakeMessage();
  EXPECT_EQ(Sql(Postgres() ? "SELECT version FROM schema_version" : "PRAGMA user_version"),
            std::to_string(kHistorySchemaVersion));
  old_run_is_whole(store->Series("OLD.example"));
  EXPECT_EQ(Sql("SELECT count(*) FROM audits"), "0");

  // The same run id again (a retry after a lost link) is stored once and counts as stored.
  const TQueryRecord run = MakeRun("a.example", 10);
  EXPECT_TRUE(store->Record(run, "run-1"));
  EXPECT_TRUE(store->Record(run, "run-1"));
  EXPECT_TRUE(OpenStore()->Record(run, "run-1"));  // from another connection too
  EXPECT_TRUE(store->Record(run));                 // a fresh id: a run of its own
  EXPECT_EQ(store->Series("a.example").size(), 2u);
  EXPECT_EQ(Sql("SELECT count(*) FROM fields"), std::to_string(1 + 2 * (kTextFieldCount + 1)));
  EXPECT_EQ(store->TakeMessage(), "");
}

TAuditReport MakeAudit(const std::string& site, int64_t started) {
  TAuditReport report;
  report.Site = site;
  report.StartedUnixMs = started;
  report.ElapsedMs = 2345;
  for (TAuditCheck check : kAuditChecks) {
    TAuditResult& result = report.Results.emplace_back();
    result.Check = check;
    result.Mark = TAuditMark::Pass;
    result.Value = std::string(AuditCheckName(check)) + " ok";
    result.Reason = U(u8"一切正常");
    result.Url = "https://" + site + "/";
  }
  TAuditResult& https = report.Results[0];
  https.Mark = TAuditMark::Fail;
  https.Details = {U(u8"301 → http://a.example/"), "", "302\t→ https://a.example/"};
  report.Results[1].Mark = TAuditMark::Warn;
  report.Results[1].Numbers = {{TAuditNumber::CertificateDaysLeft, 12}};
  report.Results[4].Numbers = {{TAuditNumber::SitemapUrls, 120000}};
  report.Results[7].Mark = TAuditMark::Unable;
  report.Results[7].Numbers = {{TAuditNumber::FirstByteMs, 120.5}, {TAuditNumber::PageBytes, 3e6}};
  return report;
}

// Every word and number of a check-up, to compare two.
std::string Describe(const TAuditReport& r) {
  std::ostringstream out;
  out << r.Site << '|' << r.StartedUnixMs << '|' << r.ElapsedMs;
  for (const TAuditResult& c : r.Results) {
    out << "\n"
        << AuditCheckName(c.Check) << '|' << AuditMarkName(c.Mark) << '|' << c.Value << '|'
        << c.Reason << '|' << c.Url;
    for (const std::string& d : c.Details) out << "|d:" << d;
    for (const auto& [n, v] : c.Numbers) out << '|' << AuditNumberName(n) << '=' << v;
  }
  return out.str();
}

TEST_P(StoreTest, EverySpellingOfASiteFindsItsRuns) {
  const auto store = OpenStore();
  // As the query names them: typed "BÜCHER.test" (no GBK), "bücher.test", "аpple.com".
  ASSERT_TRUE(store->Record(MakeRun("xn--bcher-kva.test", 1000)));
  ASSERT_TRUE(store->Record(MakeRun(G(u8"bücher.test"), 2000)));
  ASSERT_TRUE(store->Record(MakeRun("bucher.test", 3000)));
  ASSERT_TRUE(store->RecordAudit(MakeAudit(U(u8"аpple.com (xn--pple-43d.com)"), 4000)));
  for (const std::string& typed :
       {G(u8"bücher.test"), std::string("XN--BCHER-KVA.test"), G(u8"https://bücher.test./path")}) {
    SCOPED_TRACE(typed);
    EXPECT_EQ(store->Series(typed).size(), 2u);
  }
  EXPECT_EQ(store->Series("bucher.test").size(), 1u);
  for (const std::string& typed :
       {U(u8"аpple.com"), std::string("xn--pple-43d.com"), U(u8"аpple.com (xn--pple-43d.com)")}) {
    int found = 0;
    EXPECT_TRUE(store->EachAudit({.Site = typed}, [&](const TAuditReport&) { ++found; }));
    EXPECT_EQ(found, 1) << typed;
  }
}

TEST_P(StoreTest, ACheckUpComesBackWholeInStartOrderAndIsStoredOncePerRunId) {
  const auto store = OpenStore();
  TAuditReport later = MakeAudit("Audit.Example", 3000);
  later.Results.resize(2);  // a check-up of fewer checks, no numbers
  later.Results[1] = TAuditResult();
  later.Results[1].Check = TAuditCheck::Addresses;
  const TAuditReport first = MakeAudit("audit.example", 1000);
  ASSERT_TRUE(store->RecordAudit(later));  // stored first, started later
  EXPECT_TRUE(store->RecordAudit(first, "audit-1"));
  EXPECT_TRUE(store->RecordAudit(first, "audit-1"));
  EXPECT_TRUE(OpenStore()->RecordAudit(first, "audit-1"));  // from another connection too
  EXPECT_TRUE(store->RecordAudit(MakeAudit("other.example", 2000)));

  std::vector<TAuditReport> got;
  auto keep = [&](const TAuditReport& r) { got.push_back(r); };
  ASSERT_TRUE(store->EachAudit({.Site = "AUDIT.example"}, keep));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Describe(got[0]), Describe(first));
  EXPECT_EQ(Describe(got[1]), Describe(later));
  got.clear();
  ASSERT_TRUE(store->EachAudit({.SinceUnixMs = 2000}, keep));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Site, "other.example");
  EXPECT_EQ(got[1].StartedUnixMs, 3000);

  const auto points = store->AuditSeries("audit.EXAMPLE", TAuditNumber::FirstByteMs);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].StartedUnixMs, 1000);
  EXPECT_EQ(points[0].Value, 120.5);
  // Other tools read the names and a column per number.
  EXPECT_EQ(Sql("SELECT count(*) FROM audit_checks"), std::to_string(2 * kAuditCheckCount + 2));
  EXPECT_EQ(Sql("SELECT mark FROM audit_checks c JOIN audits a ON a.id = c.audit_id"
                " WHERE a.run_id = 'audit-1' AND c.check_name = 'certificate'"),
            "warn");
  EXPECT_EQ(Sql("SELECT sitemap_urls FROM audits WHERE run_id = 'audit-1'"), "120000");
  EXPECT_EQ(store->TakeMessage(), "");
}

TEST_P(StoreTest, AlertsAreStoredOncePerRunAndClosedByIdInOneWrite) {
  const auto store = OpenStore();
  const auto alert = [](const std::string& rule, const std::string& run) {
    return THistoryAlert{.Site = "Watch.Example",
                         .Kind = "query",
                         .Rule = rule,
                         .Subject = "Site1",
                         .Before = "1,000",
                         .After = "500",
                         .Message = U(u8"百度收录从 1,000 降到 500。"),
                         .RunId = run,
                         .RaisedUnixMs = 5000};
  };
  ASSERT_TRUE(
      store->UpdateAlerts({alert("index-drop", "r1"), alert("could-not-compare", "r1")}, {}));
  // Written again (a lost link, a watch run twice over one run): stored once.
  ASSERT_TRUE(OpenStore()->UpdateAlerts({alert("index-drop", "r1")}, {}));
  std::vector<THistoryAlert> open;
  const auto keep = [&](const THistoryAlert& a) { open.push_back(a); };
  ASSERT_TRUE(store->EachAlert("watch.EXAMPLE", true, keep));
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].Rule, "index-drop");
  EXPECT_EQ(open[0].Message, alert("", "").Message);
  EXPECT_EQ(open[0].RaisedUnixMs, 5000);
  EXPECT_TRUE(open[0].Open);
  // Closing one and raising another is one write.
  ASSERT_TRUE(store->UpdateAlerts({alert("index-drop", "r2")}, {open[0].Id}));
  std::vector<THistoryAlert> all;
  ASSERT_TRUE(
      store->EachAlert("watch.example", false, [&](const THistoryAlert& a) { all.push_back(a); }));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_FALSE(all[0].Open);
  EXPECT_TRUE(all[1].Open && all[2].Open);
  EXPECT_EQ(all[2].RunId, "r2");
  open.clear();
  ASSERT_TRUE(store->EachAlert("other.example", false, keep));
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(Sql("SELECT count(*) FROM alerts WHERE open"), "2");
  EXPECT_EQ(store->TakeMessage(), "");
}

TEST_P(StoreTest, AServerStoppedAndStartedAgainIsReachedAgainAndSaysSoOnce) {
  if (!Postgres()) GTEST_SKIP() << "a file has no server";
  const auto store = OpenStore();
  ASSERT_TRUE(store->Record(MakeRun("a.example", 1)));

  // The link cut while the store is idle: the next write connects again on its own.
  Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid()"
      " AND backend_type = 'client backend'");
  EXPECT_TRUE(store->Record(MakeRun("a.example", 2)));
  EXPECT_EQ(store->TakeMessage(), "");

  pg_.Stop();
  EXPECT_FALSE(store->Record(MakeRun("a.example", 3)));
  const std::string message = store->TakeMessage();
  EXPECT_NE(message.find(U(u8"无法连接历史记录数据库 postgresql://velmora@/postgres")),
            std::string::npos)
      << message;
  EXPECT_FALSE(store->Record(MakeRun("a.example", 4)));
  EXPECT_TRUE(store->Series("a.example").empty());
  EXPECT_EQ(store->QueryCount(), -1);
  EXPECT_EQ(store->TakeMessage(), "");  // once

  ASSERT_TRUE(pg_.Start()) << pg_.SkipReason();
  EXPECT_TRUE(store->Record(MakeRun("a.example", 5)));
  EXPECT_EQ(store->Series("a.example").size(), 5u);  // with the two it spooled meanwhile
  EXPECT_EQ(store->TakeMessage(), "");
}

TEST_P(StoreTest, RunsTheServerCouldNotTakeWaitInASpoolUntilItIsBack) {
  if (!Postgres()) GTEST_SKIP() << "a file has no spool";
  THistoryStore::TOptions options;
  options.SpoolFolder = dir_ + "/data";  // a folder not there yet
  const auto store = OpenStore(options);
  ASSERT_TRUE(store->Record(MakeRun("a.example", 1)));
  EXPECT_EQ(store->WriteSpooled().Message, "");

  pg_.Stop();
  EXPECT_FALSE(store->Record(MakeRun("a.example", 2)));
  EXPECT_NE(store->TakeMessage().find(U(u8"结果暂存在 ") + options.SpoolFolder), std::string::npos);
  TQueryRecord odd = MakeRun(G(u8"bücher.test"), 3);
  odd.Fields[rfWebTitle].Text = G(u8"一\t二\\n三");
  EXPECT_FALSE(store->Record(odd));
  const THistoryStore::TUnstored unstored = store->WriteSpooled();
  EXPECT_EQ(unstored.Waiting, 2);
  EXPECT_EQ(unstored.Lost, 0);
  EXPECT_NE(unstored.Message.find(U(u8"2 次暂存在")), std::string::npos) << unstored.Message;

  // The next start writes them, each whole and once, though the first store is back too.
  ASSERT_TRUE(pg_.Start()) << pg_.SkipReason();
  const auto next = OpenStore(options);
  EXPECT_EQ(store->WriteSpooled().Message, "");
  EXPECT_EQ(next->QueryCount(), 3);
  EXPECT_EQ(next->Series("a.example").size(), 2u);
  const std::vector<THistoryQuery> kept = next->Series(G(u8"bücher.test"));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].Record.Fields[rfWebTitle].Text, odd.Fields[rfWebTitle].Text);
  EXPECT_EQ(kept[0].Record.Fields[rfSite2].Text, odd.Fields[rfSite2].Text);
  EXPECT_EQ(kept[0].Record.Picture.State, TFieldState::Failed);
  EXPECT_TRUE(fs::is_empty(options.SpoolFolder));
  // A reader keeps no spool and says nothing of one.
  pg_.Stop();
  THistoryStore::TOptions read_only = options;
  read_only.ReadOnly = true;
  EXPECT_EQ(OpenStore(read_only)->TakeMessage().find(U(u8"查询照常进行")), std::string::npos);
}

TEST_F(HistoryTest, ASpoolSharedByProcessesLosesNoLineWhileItIsDrained) {
  THistorySpool spool(dir_ + "/spool.txt");
  constexpr int kWriters = 3, kLines = 150;
  pid_t writers[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    writers[w] = ::fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      std::string error;
      for (int i = 0; i < kLines; ++i) {
        if (!spool.Append(std::to_string(w) + "-" + std::to_string(i), error)) ::_exit(1);
      }
      ::_exit(0);
    }
  }
  // Drained meanwhile, taking every other line and leaving the rest for later.
  std::multiset<std::string> taken;
  bool take = false;
  const auto drain = [&] {
    return spool.Drain([&](const std::string& line) {
      take = !take;
      if (take) taken.insert(line);
      return take;
    });
  };
  for (int round = 0; round < 20; ++round) EXPECT_GE(drain(), 0);
  for (pid_t writer : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  while (spool.HasLines()) drain();
  EXPECT_EQ(taken.size(), static_cast<size_t>(kWriters * kLines));
  EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()).size(), taken.size());
  EXPECT_FALSE(fs::exists(dir_ + "/spool.txt.new"));
}

TEST_F(HistoryTest, ACorruptFileIsMovedAsideAndAFreshOneStarted) {
  struct Damage {
    const char* what;
    void (*apply)(const std::string& path);
  } damages[] = {
      {"not a database",
       [](const std::string& p) { std::ofstream(p) << "this is not a database file at all\n"; }},
      {"damaged pages",
       [](const std::string& p) {
         {
           TSqliteHistoryStore s;  // a sound file with some runs, checkpointed on close
           ASSERT_TRUE(s.Open(p));
           for (int i = 0; i < 50; ++i) ASSERT_TRUE(s.Record(MakeRun("a.example", i)));
         }
         std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(4096);  // the second page, its header first
         f << std::string(3000, '\x5a');
       }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    fs::remove_all(dir_ + "/sub");
    fs::create_directories(dir_ + "/sub");
    d.apply(path_);
    std::ostringstream before;
    before << std::ifstream(path_, std::ios::binary).rdbuf();

    TSqliteHistoryStore store;
    ASSERT_TRUE(store.Open(path_));
    const std::string message = store.TakeMessage();
    EXPECT_NE(message.find(U(u8"已损坏")), std::string::npos) << message;
    EXPECT_EQ(store.TakeMessage(), "");  // once
    // The old file keeps its bytes under the name the message gives.
    std::vector<fs::path> aside;
    for (const auto& e : fs::directory_iterator(dir_ + "/sub")) {
      if (e.path().filename().string().rfind("history.sqlite3.corrupt-", 0) == 0) {
        aside.push_back(e.path());
      }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(message.find(aside[0].string()), std::string::npos);
    EXPECT_EQ(aside[0].filename().string().size(), std::string("history.sqlite3.corrupt-").size() +
                                                       std::string("20261208-053000").size());
    std::ostringstream moved;
    moved << std::ifstream(aside[0], std::ios::binary).rdbuf();
    EXPECT_EQ(moved.str(), before.str());
    // The fresh file works.
    EXPECT_EQ(store.QueryCount(), 0);
    EXPECT_TRUE(store.Record(MakeRun("b.example", 1)));
    EXPECT_EQ(store.Series("b.example").size(), 1u);
  }
}

TEST_F(HistoryTest, TroublesNeverRaiseAndAreReportedOnce) {
  // A folder that cannot be made (a file stands in its place).
  std::ofstream(dir_ + "/sub") << "x";
  TSqliteHistoryStore blocked;
  EXPECT_FALSE(blocked.Open(path_));
  EXPECT_NE(blocked.TakeMessage().find(path_), std::string::npos);
  EXPECT_FALSE(blocked.Record(MakeRun("a.example", 1)));
  EXPECT_TRUE(blocked.Series("a.example").empty());
  EXPECT_EQ(blocked.QueryCount(), -1);
  EXPECT_EQ(blocked.TakeMessage(), "");
  fs::remove(dir_ + "/sub");
  EXPECT_TRUE(blocked.Record(MakeRun("a.example", 1)));  // usable again: opened on the way
  EXPECT_EQ(blocked.QueryCount(), 1);
  blocked.Open("");  // nowhere to keep it (no HOME)
  EXPECT_FALSE(blocked.Record(MakeRun("a.example", 2)));
  EXPECT_NE(blocked.TakeMessage(), "");
  fs::remove_all(dir_ + "/sub");

  // A full disk: a size cap the runs soon reach. Earlier runs stay readable.
  THistoryStore::TOptions small;
  small.MaxPageCount = 12;
  TSqliteHistoryStore full;
  ASSERT_TRUE(full.Open(path_, small));
  int stored = 0;
  while (stored < 1000 && full.Record(MakeRun("a.example", stored))) ++stored;
  ASSERT_LT(stored, 1000);
  EXPECT_GT(stored, 0);
  EXPECT_NE(full.TakeMessage().find("full"), std::string::npos);
  EXPECT_FALSE(full.Record(MakeRun("a.example", stored)));
  EXPECT_EQ(full.TakeMessage(), "");  // not again for the same trouble
  EXPECT_EQ(full.Series("a.example").size(), static_cast<size_t>(stored));
  EXPECT_EQ(full.QueryCount(), stored);
}

TEST_F(HistoryTest, AReadOnlyStoreReadsAFolderItMayNotWriteAndChangesNothing) {
  {
    TSqliteHistoryStore store;
    ASSERT_TRUE(store.Open(path_));
    ASSERT_TRUE(store.Record(MakeRun("a.example", 1)));
  }
  // As a user who owns the folder but may not write there (root writes anywhere).
  fs::permissions(dir_ + "/sub", fs::perms::owner_read | fs::perms::owner_exec);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getuid() == 0) {
      for (const std::string& p : {dir_, dir_ + "/sub", path_}) {
        if (::chown(p.c_str(), 65534, 65534) != 0) ::_exit(3);
      }
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    }
    THistoryStore::TOptions read_only;
    read_only.ReadOnly = true;
    TSqliteHistoryStore store;
    if (!store.Open(path_, read_only)) ::_exit(4);
    if (store.Series("a.example").size() != 1 || !store.TakeMessage().empty()) ::_exit(5);
    ::_exit(store.Record(MakeRun("a.example", 2)) ? 6 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  fs::permissions(dir_ + "/sub", fs::perms::owner_all);
  EXPECT_EQ(Sql("SELECT count(*) FROM queries"), "1");
}

TEST_F(HistoryTest, AFileOfANewerLayoutIsLeftAlone) {
  fs::create_directories(dir_ + "/sub");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE future(x); PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  TSqliteHistoryStore store;
  EXPECT_FALSE(store.Open(path_));
  EXPECT_NE(store.TakeMessage().find(U(u8"较新版本")), std::string::npos);
  THistoryStore::TOptions read_only;
  read_only.ReadOnly = true;
  TSqliteHistoryStore reader;
  EXPECT_FALSE(reader.Open(path_, read_only));
  EXPECT_NE(reader.TakeMessage().find(U(u8"较新版本")), std::string::npos);
  EXPECT_EQ(Sql("PRAGMA user_version"), "99");
  EXPECT_EQ(Sql("SELECT group_concat(name) FROM sqlite_master"), "future");
}

TEST(HistoryPath, FollowsXdgDataHomeElseHome) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string saved = xdg ? xdg : "";
  ::setenv("HOME", std::getenv("HOME") ? std::getenv("HOME") : "/home/u", 1);
  const std::string home = std::getenv("HOME");
  ::setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(THistoryStore::DefaultPath(), "/data/velmora/history.sqlite3");
  ::setenv("XDG_DATA_HOME", "relative/data", 1);  // only an absolute path counts
  EXPECT_EQ(THistoryStore::DefaultPath(), home + "/.local/share/velmora/history.sqlite3");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(THistoryStore::DefaultPath(), home + "/.local/share/velmora/history.sqlite3");
  if (xdg) ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

}  // namespace

namespace {

// Positions of every outcome, a run stored twice under one id kept once, the keywords of a site
// replaced as a whole; a history that never stored positions reads none.
TEST_P(StoreTest, KeywordPositionsComeBackPerKeywordInRunOrderAndAreStoredOnce) {
  const auto store = OpenStore();
  ASSERT_TRUE(store->IsOpen()) << store->TakeMessage();
  int visits = 0;
  EXPECT_TRUE(store->EachRank("www.velmora.test", "", [&](const auto&) { ++visits; }));
  EXPECT_TRUE(store->RankKeywords("www.velmora.test").empty());
  const auto run = [](int64_t started, int baidu) {
    TRankReport r{.Site = "www.velmora.test", .StartedUnixMs = started};
    r.Positions = {
        {.Keyword = U(u8"站长工具"), .Engine = "baidu", .State = TRankState::Found,
         .Position = baidu, .Url = U(u8"https://www.velmora.test/工具"), .Pages = 2},
        {.Keyword = U(u8"站长工具"), .Engine = "sogou", .State = TRankState::Blocked, .Pages = 1,
         .Reason = "HTTP 403", .PageUrl = "https://www.sogou.com/web?query=x"},
        {.Keyword = "seo", .Engine = "baidu", .State = TRankState::NotInDepth, .Pages = 5,
         .Depth = 50},
        {.Keyword = "seo", .Engine = "sogou", .State = TRankState::Failed,
         .Reason = U(u8"连接超时")},
    };
    return r;
  };
  EXPECT_TRUE(store->RecordRanks(run(2000, 13), "rank-2"));
  EXPECT_TRUE(store->RecordRanks(run(1000, 21), "rank-1"));
  EXPECT_TRUE(OpenStore()->RecordRanks(run(1000, 21), "rank-1"));  // again, from elsewhere
  std::vector<THistoryStore::TRankPoint> points;
  EXPECT_TRUE(store->EachRank("WWW.Velmora.Test", U(u8"站长工具"),
                              [&](const auto& p) { points.push_back(p); }));
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[0].StartedUnixMs, 1000);
  EXPECT_EQ(points[0].Position.Position, 21);
  EXPECT_EQ(points[2].Position.Position, 13);
  EXPECT_EQ(points[2].Position.Url, U(u8"https://www.velmora.test/工具"));
  EXPECT_EQ(points[3].Position.State, TRankState::Blocked);
  EXPECT_EQ(points[3].Position.Reason, "HTTP 403");
  EXPECT_EQ(points[3].Position.PageUrl, "https://www.sogou.com/web?query=x");
  points.clear();
  EXPECT_TRUE(store->EachRank("www.velmora.test", "", [&](const auto& p) { points.push_back(p); }));
  ASSERT_EQ(points.size(), 8u);
  EXPECT_EQ(points[2].Position.State, TRankState::NotInDepth);
  EXPECT_EQ(points[2].Position.Depth, 50);
  EXPECT_EQ(points[3].Position.State, TRankState::Failed);
  EXPECT_EQ(Sql("SELECT count(*) FROM ranks WHERE position IS NULL"), "6");

  EXPECT_TRUE(store->SetRankKeywords("www.velmora.test", {"seo", U(u8"站长工具"), "seo", "b"}));
  EXPECT_TRUE(OpenStore()->SetRankKeywords("www.velmora.test", {"b", "seo"}));
  EXPECT_EQ(store->RankKeywords("WWW.velmora.test"), (std::vector<std::string>{"b", "seo"}));
  EXPECT_TRUE(store->SetRankKeywords("www.velmora.test", {}));
  EXPECT_TRUE(store->RankKeywords("www.velmora.test").empty());
}

}  // namespace
