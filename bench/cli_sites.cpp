// Many sites from the command line's engine against the stand-ins on loopback: 100 sites, eight
// in flight, no pacing. Reports sites per second and the process's peak resident memory beside
// libcurl fetching the same requests of one site back to back (the floor for one site's work).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>

#include "cli/QueryMode.h"
#include "services/ServiceFile.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

StandInServices& StandIns() {
  static StandInServices* s = new StandInServices;
  return *s;
}

void BM_HundredSitesEightAtOnce(benchmark::State& state) {
  const std::string site = StandIns().HostFor(StandIn::Site);
  const std::vector<std::string> sites(100, site);
  TSiteQueryOptions options;
  options.Hosts = StandInServiceHosts(StandIns());
  options.DelayMs = 0;
  options.Jobs = 8;
  size_t complete = 0;
  for (auto _ : state) {
    for (const TQueryRecord& r : RunSites(sites, options)) {
      complete += r.Picture.HasValue() && r.Fields[rfAlexa2].HasValue();
    }
  }
  state.counters["sites/s"] = benchmark::Counter(static_cast<double>(sites.size()),
                                                 benchmark::Counter::kIsIterationInvariantRate);
  state.counters["complete"] = static_cast<double>(complete) / state.iterations();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MiB"] = usage.ru_maxrss / 1024.0;
}
BENCHMARK(BM_HundredSitesEightAtOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

// One site's page requests through libcurl, one easy handle each, eight sites' worth at once is
// not attempted: this is the per-site floor of the same work on one thread.
void BM_CurlOneSitesRequests(benchmark::State& state) {
  const TServiceHosts hosts = StandInServiceHosts(StandIns());
  const std::string site = StandIns().HostFor(StandIn::Site);
  std::vector<std::string> urls;
  for (const TRequestDef& def : BuiltInServiceTable().Requests) {
    urls.push_back(ExpandUrl(def.Url, site, hosts));
  }
  for (auto _ : state) {
    for (const std::string& url : urls) {
      CURL* curl = curl_easy_init();
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
      curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
      curl_easy_perform(curl);
      curl_easy_cleanup(curl);
    }
  }
  state.counters["sites/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CurlOneSitesRequests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
