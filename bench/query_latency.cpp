// A whole query over a slow network: the stand-in services wait 40 ms before they read a new
// connection's first request (the connect's round trip) and 40 ms before every answer. The
// query's wall time is set beside
//   - the ideal: the longest job's requests back to back over one connection (one connect and
//     one wait per request), and
//   - the same query with every request on a connection of its own (the fetcher without the
//     query's pool of kept-alive connections),
// on a quiet machine and beside one busy thread per core. Prints the ratios after the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "query/QueryController.h"
#include "runtime/Thread.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

constexpr int kLatencyMs = 40;

StandInServices& StandIns() {
  static StandInServices* s = [] {
    auto* services = new StandInServices;
    services->SetLatency(std::chrono::milliseconds(kLatencyMs));
    return services;
  }();
  return *s;
}

// Counts, per worker thread, the requests sent (redirects included): a job runs on one thread.
class TRequestCounter : public TRequestPacing {
 public:
  void Begin(const std::string&, const std::function<bool()>&) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++counts_[std::this_thread::get_id()];
  }
  void End(const std::string&) override {}
  // The most requests one job sent; the counts start again.
  int TakeLongestJob() {
    std::lock_guard<std::mutex> lock(mu_);
    int most = 0;
    for (const auto& [thread, n] : counts_) most = std::max(most, n);
    counts_.clear();
    return most;
  }

 private:
  std::mutex mu_;
  std::map<std::thread::id, int> counts_;
};

// The production page fetcher without the run's pool: every request connects afresh.
class TFreshConnections : public TGetPageFetcher {
 public:
  TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                        TQueryRun& run) override {
    TFetchOptions fresh;  // a session of the fetch's own: no pool, no pacing
    fresh.ReadTimeoutMs = ReadTimeoutMs;
    fresh.Stop = run.StopFlag();
    return ::FetchPage(url, cookie, mode, fresh);
  }
};

// Counts the fields that ended without a value.
class TCountingView : public THeadlessView {
 public:
  void SetFieldResult(TResultField, const TFieldResult& result) override {
    if (result.State != TFieldState::Pending && result.State != TFieldState::Value) ++Failures;
  }
  int Failures = 0;
};

std::shared_ptr<TRequestCounter> g_counter = std::make_shared<TRequestCounter>();
int g_longest_job = 0;  // requests of the longest job, from the last pooled run

void WholeQuery(benchmark::State& state, bool pooled) {
  TPumpQueue queue;
  TMainThreadQueue* previous = SetMainThreadQueue(&queue);
  TQueryServices services = DefaultQueryServices();
  auto pages = pooled ? std::make_shared<TGetPageFetcher>() : std::make_shared<TFreshConnections>();
  auto images = std::make_shared<TNetImageFetcher>();
  services.Pacing = g_counter;
  services.Pages = pages;
  services.Images = images;
  services.Hosts = StandInServiceHosts(StandIns());
  services.Proxy = "";
  TCountingView view;
  TNoUrlOpener opener;
  TQueryController controller(view, opener, services);
  const std::string site = StandIns().HostFor(StandIn::Site);
  const size_t connections_before = StandIns().ConnectionCount();
  const size_t requests_before = StandIns().RequestCount();
  for (auto _ : state) {
    view.Site = site;
    controller.Begin_btnClick();
    if (!queue.PumpUntil([] { return MyThread::LiveCount() == 0; }, 60000)) {
      state.SkipWithError("query did not finish");
      break;
    }
    const int longest = g_counter->TakeLongestJob();
    if (pooled) g_longest_job = longest;
  }
  if (view.Failures > 0) state.SkipWithError("a field failed");
  const double runs = static_cast<double>(state.iterations());
  state.counters["connections"] = (StandIns().ConnectionCount() - connections_before) / runs;
  state.counters["requests"] = (StandIns().RequestCount() - requests_before) / runs;
  SetMainThreadQueue(previous);
}

void BM_Query_Pooled(benchmark::State& s) { WholeQuery(s, true); }
void BM_Query_Fresh(benchmark::State& s) { WholeQuery(s, false); }
void BM_Query_Pooled_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  WholeQuery(s, true);
}
void BM_Query_Fresh_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  WholeQuery(s, false);
}

BENCHMARK(BM_Query_Pooled)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Query_Fresh)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Query_Pooled_Loaded)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Query_Fresh_Loaded)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  // One connect and one answer per request, each a latency, in ms as the recorder keeps them.
  const double ideal = kLatencyMs * (1.0 + g_longest_job);
  if (g_longest_job > 0) {
    std::printf("ideal: the longest job's %d requests over one connection = %.0f ms\n",
                g_longest_job, ideal);
  }
  for (const char* load : {"", "_Loaded"}) {
    const double pooled = recorder.Time(std::string("BM_Query_Pooled") + load);
    const double fresh = recorder.Time(std::string("BM_Query_Fresh") + load);
    const char* how = *load ? "one busy thread per core" : "quiet";
    if (pooled > 0 && g_longest_job > 0) {
      std::printf("%s: whole query / ideal = %.2f (a connection per request: %.2f)\n", how,
                  pooled / ideal, fresh > 0 ? fresh / ideal : 0.0);
    }
  }
  benchmark::Shutdown();
  return 0;
}
