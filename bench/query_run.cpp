// A whole query — eleven workers, 26 pages and a thumbnail through our page fetcher and HTTP
// client — against the stand-in services on loopback, beside the same 27 requests made one
// after another with libcurl (the bare round trips a query cannot beat by much unless its
// workers overlap). Prints the ratio after the table.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "query/QueryController.h"
#include "runtime/CodePage.h"
#include "support/NotingFetchers.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

StandInServices& StandIns() {
  static StandInServices* s = new StandInServices;
  return *s;
}

TServiceHosts StandInHosts() { return StandInServiceHosts(StandIns()); }

// Our fetchers, noting every URL they are asked for (the list libcurl replays).
std::shared_ptr<TNotingPages> g_pages = std::make_shared<TNotingPages>();

void BM_WholeQuery(benchmark::State& state) {
  TPumpQueue queue;
  TMainThreadQueue* previous = SetMainThreadQueue(&queue);
  TQueryServices services = DefaultQueryServices();
  services.Pages = g_pages;
  services.Images = std::make_shared<TNotingImages>(g_pages);
  services.Hosts = StandInHosts();
  THeadlessView view;
  TNoUrlOpener opener;
  TQueryController controller(view, opener, services);
  const std::string site = StandIns().HostFor(StandIn::Site);
  for (auto _ : state) {
    view.Site = site;
    controller.Begin_btnClick();
    if (!queue.PumpUntil([] { return MyThread::LiveCount() == 0; }, 60000)) {
      state.SkipWithError("query did not finish");
      break;
    }
  }
  SetMainThreadQueue(previous);
}
BENCHMARK(BM_WholeQuery)->Unit(benchmark::kMillisecond)->UseRealTime();

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

void BM_SequentialCurl(benchmark::State& state) {
  std::vector<std::string> urls = g_pages->Urls();  // the first query's 27 requests
  if (urls.size() > 27) urls.resize(27);
  if (urls.size() != 27) {
    state.SkipWithError("run BM_WholeQuery first");
    return;
  }
  for (auto _ : state) {
    for (const std::string& url : urls) {
      CURL* curl = curl_easy_init();
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
      if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("curl failed");
      curl_easy_cleanup(curl);
    }
  }
}
BENCHMARK(BM_SequentialCurl)->Unit(benchmark::kMillisecond)->UseRealTime();


}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  const double ours = recorder.Time("BM_WholeQuery"), curl = recorder.Time("BM_SequentialCurl");
  if (ours > 0 && curl > 0) {
    std::printf("whole query (11 workers) / its 27 requests one by one with libcurl = %.2f\n",
                ours / curl);
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
