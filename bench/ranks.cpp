// Keyword positions: reading one engine's 10-result page with its definition's XPaths (libxml2's
// HTML parser building the tree, then the result, skip and landing expressions), beside fetching
// that page on loopback with our client (a kept-alive session, as a run asks page after page) and
// with libcurl. The reading should be a small part of the fetch. Pages: the stand-ins as they
// are (a few KiB), and padded with 150 KiB of inline script and style as the engines' real pages
// carry.
#include <cstdio>
#include <string>

#include "BenchSupport.h"
#include "query/PageFetcher.h"
#include "rank/RankPage.h"
#include "services/ServiceFile.h"
#include "support/RankStandIns.h"

namespace {

constexpr size_t kPaddingBytes = 150 * 1024;

const TRankDef& Baidu() {
  for (const TRankDef& def : BuiltInServiceSet(kCurrentSet)->Ranks) {
    if (def.Engine == "baidu") return def;
  }
  std::abort();
}

// Page 2 of the stand-in (the site at 13), padded when `padded`.
const std::string& Page(bool padded) {
  static const std::string plain = RankStandIns::BaiduPage(2);
  static const std::string heavy = [] {
    std::string script = "<script>var s={";
    while (script.size() < kPaddingBytes / 2)
      script += "\"k" + std::to_string(script.size()) + "\":[1,2,3],";
    script += "};</script><style>";
    while (script.size() < kPaddingBytes)
      script += ".c-x" + std::to_string(script.size()) + "{margin:0 4px}";
    script += "</style>";
    std::string page = plain;
    page.insert(page.find("</head>"), script);
    return page;
  }();
  return padded ? heavy : plain;
}

void BM_ReadPage(benchmark::State& state, bool padded) {
  const std::string& page = Page(padded);
  size_t results = 0;
  for (auto _ : state) {
    const TRankPageReading reading = ReadRankPage(Baidu(), page, "");
    results = reading.Results.size();
    benchmark::DoNotOptimize(results);
  }
  if (results != 10) state.SkipWithError("the page did not read as 10 results");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

// Serves the page on every request of every connection.
struct TPageServer {
  explicit TPageServer(bool padded)
      : answer("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
               std::to_string(Page(padded).size()) + "\r\n\r\n" + Page(padded)),
        server([this](int c) {
          bench::AnswerRequests(
              c, [this](const std::string&) -> const std::string& { return answer; });
        }) {}
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + "/s?wd=x&pn=10";
  }
  const std::string answer;
  bench::LoopbackServer server;
};

void BM_FetchPage_Ours(benchmark::State& state, bool padded) {
  TPageServer server(padded);
  TNetFetchSession session;
  TFetchOptions options;
  options.Session = &session;
  for (auto _ : state) {
    const TPageResult page = FetchPage(server.Url(), "", TFetchMode::Raw, options);
    if (!page.Outcome.Fetched()) state.SkipWithError("fetch failed");
    benchmark::DoNotOptimize(page.Text.size());
  }
}

void BM_FetchPage_Curl(benchmark::State& state, bool padded) {
  TPageServer server(padded);
  for (auto _ : state) {
    const std::string body = bench::CurlFetch(server.Url());
    if (body.empty()) state.SkipWithError("fetch failed");
    benchmark::DoNotOptimize(body.size());
  }
}

BENCHMARK_CAPTURE(BM_ReadPage, StandIn, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadPage, Padded, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FetchPage_Ours, StandIn, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FetchPage_Ours, Padded, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FetchPage_Curl, StandIn, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FetchPage_Curl, Padded, true)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (const char* arg : {"StandIn", "Padded"}) {
    const double read = recorder.Time(std::string("BM_ReadPage/") + arg);
    const double ours = recorder.Time(std::string("BM_FetchPage_Ours/") + arg);
    const double curl = recorder.Time(std::string("BM_FetchPage_Curl/") + arg);
    const char* what = *arg == 'P' ? "padded 10-result page" : "stand-in 10-result page";
    if (read > 0 && ours > 0) {
      std::printf("%s: reading %.1f us, fetching on loopback %.1f us: reading/fetch = %.2f\n", what,
                  read, ours, read / ours);
    }
    if (ours > 0 && curl > 0) {
      std::printf("%s: ours/libcurl time per fetch = %.2f\n", what, ours / curl);
    }
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
