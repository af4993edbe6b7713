// The HTTP client against libcurl in the same process, both fetching from the same loopback
// server: (a) many sequential GETs of a 1 KiB page, each with a fresh client (as the page
// fetcher works) against a fresh curl easy handle each, on a quiet machine and again beside one
// busy thread per core; (b) one 64 MiB body. Prints, after the run, our time per fetch and our
// throughput as ratios to libcurl's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "http/NetHTTP.h"

namespace {

constexpr size_t kSmallBody = 1024;
constexpr size_t kLargeBody = size_t{64} << 20;

// Answers every request on a connection with the same response (Content-Length framing, kept
// alive) until the client closes; connections are served one after the other, as the
// benchmarks make them.
class PageServer {
 public:
  PageServer()
      : small_(Response(std::string(kSmallBody, 's'))),
        large_(Response(std::string(kLargeBody, 'L'))),
        server_([this](int c) { Serve(c); }) {}
  std::string Url(bool large) const {
    return "http://127.0.0.1:" + std::to_string(server_.Port()) + (large ? "/large" : "/small");
  }

 private:
  static std::string Response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  void Serve(int c) {
    bench::AnswerRequests(c, [this](const std::string& head) -> const std::string& {
      return head.compare(4, 6, "/large") == 0 ? large_ : small_;
    });
  }

  const std::string small_;
  const std::string large_;
  bench::LoopbackServer server_;  // last: it may call Serve as soon as it exists
};

PageServer& Server() {
  static PageServer server;
  return server;
}

std::string CurlGet(const std::string& url) { return bench::CurlFetch(url); }

std::string OursGet(const std::string& url) {
  TNetHTTP http;  // a fresh client per fetch, configured as the page fetcher does
  http.SetHandleRedirects(true);
  http.SetReadTimeout(20000);
  return http.Get(url);
}

template <std::string (*Fetch)(const std::string&)>
void BM_Get(benchmark::State& state) {
  bool large = state.range(0) != 0;
  std::string url = Server().Url(large);
  size_t expected = large ? kLargeBody : kSmallBody;
  for (auto _ : state) {
    std::string body = Fetch(url);
    if (body.size() != expected) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * expected));
}

void BM_Page1K_Ours(benchmark::State& s) { BM_Get<OursGet>(s); }
void BM_Page1K_Curl(benchmark::State& s) { BM_Get<CurlGet>(s); }
void BM_Page1K_Ours_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  BM_Get<OursGet>(s);
}
void BM_Page1K_Curl_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  BM_Get<CurlGet>(s);
}
void BM_Body64M_Ours(benchmark::State& s) { BM_Get<OursGet>(s); }
void BM_Body64M_Curl(benchmark::State& s) { BM_Get<CurlGet>(s); }

BENCHMARK(BM_Page1K_Ours)->Arg(0)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Page1K_Curl)->Arg(0)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Page1K_Ours_Loaded)
    ->Arg(0)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_Page1K_Curl_Loaded)
    ->Arg(0)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_Body64M_Ours)->Arg(1)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Body64M_Curl)->Arg(1)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();


}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (const char* load : {"", "_Loaded"}) {
    double ours = recorder.Time(std::string("BM_Page1K_Ours") + load);
    double curl = recorder.Time(std::string("BM_Page1K_Curl") + load);
    if (ours > 0 && curl > 0) {
      std::printf("1 KiB page, fresh client per GET, %s: ours/libcurl time per fetch = %.2f\n",
                  *load ? "one busy thread per core" : "quiet", ours / curl);
    }
  }
  double ours = recorder.Time("BM_Body64M_Ours");
  double curl = recorder.Time("BM_Body64M_Curl");
  if (ours > 0 && curl > 0) {
    std::printf("64 MiB body: ours/libcurl throughput = %.2f\n", curl / ours);
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
