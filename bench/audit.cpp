// The check-up against stand-in sites: 50 good-like sites checked 8 at once, beside libcurl
// fetching the same pages with the same concurrency, and the check-up's peak memory on the
// "bad" site (a 3 MiB home page, 120,000 sitemap URLs) and the "hostile" one (a 10 MB
// robots.txt, a sitemap bomb, an index naming itself).
#include <curl/curl.h>
#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "audit/SiteAudit.h"
#include "http/NetRequestPacer.h"
#include "support/AuditStandIns.h"
#include "support/TlsPeers.h"
#include "transport/NetResolver.h"

namespace {

constexpr int kSites = 50;
constexpr int kJobs = 8;

AuditStandIns& Sites() {
  static AuditStandIns* sites = [] {
    auto* s = new AuditStandIns;
    SetNetNameServers(s->Dns().Server());
    return s;
  }();
  return *sites;
}

const std::vector<const AuditStandInSite*>& Fifty() {
  static const std::vector<const AuditStandInSite*> sites = Sites().MoreGood(kSites);
  return sites;
}

TAuditTarget TargetOf(const AuditStandInSite& site) {
  return {site.host, site.host, site.http_port, site.https_port};
}

// Runs each(i) for i in [0, count), `jobs` at once.
void InParallel(int count, int jobs, const std::function<void(int)>& each) {
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) {
    threads.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < count;) each(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

// `polite`: the check-up's own pacing (kAuditPolitenessMs between requests to a site); else
// none, to compare the work with the peer's.
void AuditFifty(benchmark::State& state, bool polite) {
  const auto& sites = Fifty();
  for (auto _ : state) {
    std::atomic<int> passed{0};
    InParallel(kSites, kJobs, [&](int i) {
      TAuditOptions options;
      if (!polite) {
        options.Pacing = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(0), 4,
                                                            TNetRequestPacer::TFrom::Start,
                                                            TNetRequestPacer::TServer::Host);
      }
      const TAuditReport report = RunAudit(TargetOf(*sites[i]), options);
      const TAuditResult& speed = *report.Find(TAuditCheck::Speed);
      if (speed.Mark == TAuditMark::Pass) {
        ++passed;
      } else {
        std::fprintf(stderr, "%s: %s %s\n", report.Site.c_str(), speed.Value.c_str(),
                     speed.Reason.c_str());
      }
    });
    if (passed != kSites) state.SkipWithError("a check-up did not read its site");
  }
  state.counters["sites/s"] =
      benchmark::Counter(kSites * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_Audit50_Ours(benchmark::State& state) { AuditFifty(state, false); }
void BM_Audit50_Ours_Polite(benchmark::State& state) { AuditFifty(state, true); }

// The pages a check-up asks each site for, fetched with one libcurl handle per site (its
// connection kept alive as ours is): http://SITE/ not followed, the home page four times
// (compressed), robots.txt and the sitemap.
void BM_Audit50_Curl(benchmark::State& state) {
  const auto& sites = Fifty();
  const std::string ca = Pki().dir + "/ca.pem";
  for (auto _ : state) {
    std::atomic<int> ok{0};
    InParallel(kSites, kJobs, [&](int i) {
      const AuditStandInSite& site = *sites[i];
      CURL* curl = curl_easy_init();
      curl_slist* resolve = nullptr;
      for (int port : {site.http_port, site.https_port}) {
        resolve = curl_slist_append(
            resolve, (site.host + ":" + std::to_string(port) + ":127.0.0.1").c_str());
      }
      std::string body;
      curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
      curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
      curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate, br");
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
      curl_easy_setopt(
          curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
          });
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
      const std::string home = site.HomeUrl();
      const std::string http = "http://" + site.host + ":" + std::to_string(site.http_port) + "/";
      int fetched = 0;
      for (const std::string& url :
           {http, home, home, home, home, home + "robots.txt", home + "sitemap.xml"}) {
        body.clear();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (curl_easy_perform(curl) == CURLE_OK) ++fetched;
      }
      curl_slist_free_all(resolve);
      curl_easy_cleanup(curl);
      if (fetched == 7) ++ok;
    });
    if (ok != kSites) state.SkipWithError("libcurl did not read every site");
  }
  state.counters["sites/s"] =
      benchmark::Counter(kSites * state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Audit50_Ours)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Audit50_Curl)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Audit50_Ours_Polite)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The process's resident set now and at its peak (VmRSS, VmHWM), in KiB.
std::pair<long, long> Resident() {
  std::ifstream status("/proc/self/status");
  std::string line;
  long rss = 0, hwm = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) hwm = std::stol(line.substr(6));
  }
  return {rss, hwm};
}

// The peak resident memory one check-up of `site` adds to the process (the peak is reset
// first through /proc/self/clear_refs).
void PrintPeak(const char* name, const AuditStandInSite& site) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = Resident().first;
  const TAuditReport report = RunAudit(TargetOf(site), TAuditOptions{});
  const long peak = Resident().second;
  std::printf("check-up of %s: %lld ms, peak resident %.1f MiB, of which the check-up %.1f MiB\n",
              name, static_cast<long long>(report.ElapsedMs), peak / 1024.0,
              (peak - before) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  PrintPeak("bad.test", Sites().Bad());
  PrintPeak("hostile.test", Sites().Hostile());
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  const double ours = recorder.Time("BM_Audit50_Ours");
  const double curl = recorder.Time("BM_Audit50_Curl");
  const double polite = recorder.Time("BM_Audit50_Ours_Polite");
  if (ours > 0 && curl > 0) {
    std::printf(
        "50 sites, 8 at once: check-up %.1f sites/s, libcurl fetching the same pages "
        "%.1f sites/s; ours/libcurl time = %.2f\n",
        kSites * 1e3 / ours, kSites * 1e3 / curl, ours / curl);
  }
  if (polite > 0) {
    std::printf("with the politeness delay (%d ms between requests to a site): %.1f sites/s\n",
                kAuditPolitenessMs, kSites * 1e3 / polite);
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
