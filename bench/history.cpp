// The history stores side by side: storing 10,000 runs, reading one site's 1,000-run series,
// and `velmora-query --history` on a site with 10,000 runs (in under 50 ms is the aim),
// each on the SQLite file and on a PostgreSQL database of a private server on a Unix socket
// (started here; its benchmarks are left out when the server programs are missing). Ratios
// PostgreSQL/SQLite are printed after the run.
//
// The private server runs with fsync off (as the tests do); the SQLite file lives under /tmp.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "BenchSupport.h"
#include "cli/QueryTool.h"
#include "history/HistoryStore.h"
#include "support/PgTestServer.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStoredRuns = 10000;
constexpr int kSeriesRuns = 1000;

TPgTestServer& Server() {
  static TPgTestServer* server = [] {
    auto* s = new TPgTestServer;
    if (!s->Start()) std::fprintf(stderr, "PostgreSQL left out: %s\n", s->SkipReason().c_str());
    return s;
  }();
  return *server;
}

std::string Folder() {
  static const std::string folder = [] {
    char tmpl[] = "/tmp/velmora-bench-history-XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  return folder;
}

// An empty store of the kind: a fresh file, or the database with its tables emptied.
std::string EmptyStore(bool postgres, const std::string& name) {
  if (!postgres) {
    const std::string path = Folder() + "/" + name + ".sqlite3";
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    return path;
  }
  const std::string url = Server().Url();
  OpenHistoryStore(url);  // makes the tables
  PGconn* conn = PQconnectdb(url.c_str());
  PQclear(PQexec(conn, "TRUNCATE queries, fields"));
  PQfinish(conn);
  return url;
}

TQueryRecord Run(const std::string& site, int n) {
  TQueryRecord r;
  r.Site = site;
  r.StartedUnixMs = 1796688000000 + n * 60000LL;
  for (int f = 0; f < kTextFieldCount; ++f) {
    r.Fields[f].State = TFieldState::Value;
    r.Fields[f].Text = std::to_string(1000 + n * 7 + f);
    r.Fields[f].Fetch.End = TFetchEnd::Fetched;
    r.Fields[f].Fetch.HttpStatus = 200;
    r.Fields[f].Fetch.ElapsedMs = 120;
    r.Fields[f].Fetch.Url = "http://www.example.com/s?wd=site%3A" + site;
  }
  r.Picture.State = TFieldState::Value;
  return r;
}

bool Usable(benchmark::State& state, bool postgres) {
  if (postgres && !Server().SkipReason().empty()) {
    state.SkipWithError("no PostgreSQL server");
    return false;
  }
  return true;
}

void BM_Store10000(benchmark::State& state, bool postgres) {
  if (!Usable(state, postgres)) return;
  for (auto _ : state) {
    state.PauseTiming();
    const auto store = OpenHistoryStore(EmptyStore(postgres, "store"));
    state.ResumeTiming();
    for (int i = 0; i < kStoredRuns; ++i) {
      if (!store->Record(Run("site" + std::to_string(i % 100) + ".example", i))) {
        state.SkipWithError(store->TakeMessage().c_str());
        return;
      }
    }
  }
  state.counters["runs/s"] =
      benchmark::Counter(kStoredRuns, benchmark::Counter::kIsIterationInvariantRate);
}

// A store holding `runs` runs of www.example.com among other sites' runs, made once per kind.
std::string FilledStore(bool postgres, int runs) {
  static std::string filled[2][2];
  std::string& location = filled[postgres][runs == kStoredRuns];
  if (!location.empty()) return location;
  // One database serves both sizes: each size under a site name of its own.
  location = postgres ? Server().Url() : EmptyStore(false, "filled" + std::to_string(runs));
  const auto store = OpenHistoryStore(location);
  const std::string site = "www" + std::to_string(runs) + ".example";
  for (int i = 0; i < runs; ++i) {
    store->Record(Run(site, i));
    if (i % 10 == 0) store->Record(Run("other.example", i));
  }
  // A server's autovacuum goes over a bulk load within a minute (statistics, hint bits); here
  // at once, so that it does not run beside the reads measured, and the plans are those of a
  // database in use.
  if (postgres) {
    PGconn* conn = PQconnectdb(location.c_str());
    PQclear(PQexec(conn, "VACUUM ANALYZE"));
    PQfinish(conn);
  }
  return location;
}

void BM_Series1000(benchmark::State& state, bool postgres) {
  if (!Usable(state, postgres)) return;
  const auto store = OpenHistoryStore(FilledStore(postgres, kSeriesRuns));
  const std::string site = "www" + std::to_string(kSeriesRuns) + ".example";
  for (auto _ : state) {
    const auto series = store->Series(site);
    if (series.size() != kSeriesRuns) state.SkipWithError("series incomplete");
    benchmark::DoNotOptimize(series.data());
  }
}

// Reading the 10,000 runs of one site whole, without printing them: the store's share of
// --history.
void BM_Read10000(benchmark::State& state, bool postgres) {
  if (!Usable(state, postgres)) return;
  const auto store = OpenHistoryStore(FilledStore(postgres, kStoredRuns));
  const std::string site = "www" + std::to_string(kStoredRuns) + ".example";
  for (auto _ : state) {
    size_t runs = 0;
    store->EachRun({.Site = site}, [&](const THistoryQuery&) { ++runs; });
    if (runs != kStoredRuns) state.SkipWithError("runs missing");
  }
}

// velmora-query --history SITE on 10,000 runs: every field (a table of 290,000 lines), or one
// field's series (--field Site1).
void HistoryCommand(benchmark::State& state, bool postgres, bool one_field) {
  if (!Usable(state, postgres)) return;
  const std::string location = FilledStore(postgres, kStoredRuns);
  const std::string site = "www" + std::to_string(kStoredRuns) + ".example";
  for (auto _ : state) {
    std::ostringstream out, err;
    const char* args[] = {"velmora-query", "--history-db", location.c_str(), "--history",
                          site.c_str(),    "--field",      "Site1"};
    if (RunQueryTool(one_field ? 7 : 5, args, out, err) != kToolDone) {
      state.SkipWithError(err.str().c_str());
    }
    benchmark::DoNotOptimize(out.str().size());
  }
}
void BM_HistoryCommand10000(benchmark::State& state, bool postgres) {
  HistoryCommand(state, postgres, false);
}
void BM_HistoryField10000(benchmark::State& state, bool postgres) {
  HistoryCommand(state, postgres, true);
}

BENCHMARK_CAPTURE(BM_Store10000, Sqlite, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_Store10000, Postgres, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_Series1000, Sqlite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Series1000, Postgres, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read10000, Sqlite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read10000, Postgres, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HistoryCommand10000, Sqlite, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_HistoryCommand10000, Postgres, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_HistoryField10000, Sqlite, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_HistoryField10000, Postgres, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  auto ratio = [&](const char* what, const std::string& name) {
    const double sqlite = recorder.Time(name + "/Sqlite"), pg = recorder.Time(name + "/Postgres");
    if (sqlite > 0 && pg > 0) std::printf("%s: PostgreSQL/SQLite time = %.2f\n", what, pg / sqlite);
  };
  ratio("storing 10,000 runs", "BM_Store10000");
  ratio("one site's 1,000-run series", "BM_Series1000");
  ratio("reading 10,000 runs", "BM_Read10000");
  ratio("--history on 10,000 runs", "BM_HistoryCommand10000");
  ratio("--history --field on 10,000 runs", "BM_HistoryField10000");
  benchmark::Shutdown();
  delete &Server();
  fs::remove_all(Folder());
  return 0;
}
