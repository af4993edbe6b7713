// Compressed bodies, side by side with their peers in one run: (a) decoding a 400 KB result page
// coded gzip and Brotli with our streaming decoder against the libraries' own plain loop over
// the same bytes; (b) the whole fetch of that page, gzip and Brotli, with a fresh client each
// time against libcurl asked for any coding it knows (CURLOPT_ACCEPT_ENCODING ""), on a quiet
// machine and beside one busy thread per core; (c) the bytes a whole query against the
// stand-ins with full-size pages takes off the wire, coded and plain. Prints the ratios after
// the table.
#include <benchmark/benchmark.h>
#include <brotli/decode.h>
#include <curl/curl.h>
#include <sys/socket.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "http/NetContentDecoder.h"
#include "http/NetHTTP.h"
#include "query/QueryController.h"
#include "support/CodedBodies.h"
#include "support/NotingFetchers.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

constexpr size_t kPageBytes = 400 * 1000;

const std::string& Page() {
  static const std::string page = ResultRows(kPageBytes);
  return page;
}
const std::string& Gzipped() {
  static const std::string coded = GzipCoded(Page());
  return coded;
}
const std::string& Brotlied() {
  static const std::string coded = BrotliCoded(Page(), 5);
  return coded;
}

// ---- (a) decoding alone ----

// zlib's plain loop: inflate into a block buffer, append each block.
size_t PlainInflate(const std::string& in) {
  std::string out;
  out.reserve(kPageBytes);
  z_stream z{};
  inflateInit2(&z, 16 + MAX_WBITS);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  char block[kNetDecodeBlockBytes];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(block);
    z.avail_out = sizeof block;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(block, sizeof block - z.avail_out);
  }
  inflateEnd(&z);
  return out.size();
}

// Brotli's plain loop: the streaming call into a block buffer, append each block.
size_t PlainBrotli(const std::string& in) {
  std::string out;
  out.reserve(kPageBytes);
  BrotliDecoderState* s = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
  size_t avail_in = in.size();
  auto* next_in = reinterpret_cast<const uint8_t*>(in.data());
  uint8_t block[kNetDecodeBlockBytes];
  BrotliDecoderResult r = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
  while (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
    size_t avail_out = sizeof block;
    uint8_t* next_out = block;
    r = BrotliDecoderDecompressStream(s, &avail_in, &next_in, &avail_out, &next_out, nullptr);
    out.append(reinterpret_cast<char*>(block), sizeof block - avail_out);
  }
  BrotliDecoderDestroyInstance(s);
  return out.size();
}

// Ours as the client uses it: the coded bytes in 16 KiB reads, as they come off a socket.
size_t OursDecode(const std::string& in, TNetContentCoding coding) {
  TMemoryStream out;
  out.Reserve(kPageBytes);
  TNetContentDecoder decoder({coding}, &out);
  for (size_t at = 0; at < in.size(); at += 16384) {
    decoder.Write(in.data() + at, static_cast<int64_t>(std::min<size_t>(16384, in.size() - at)));
  }
  decoder.Finish();
  return static_cast<size_t>(out.Size());
}

template <typename Decode>
void RunDecode(benchmark::State& state, Decode decode) {
  for (auto _ : state) {
    if (decode() != Page().size()) state.SkipWithError("wrong size");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Page().size()));
}

void BM_DecodeGzip_Ours(benchmark::State& s) {
  RunDecode(s, [] { return OursDecode(Gzipped(), TNetContentCoding::Gzip); });
}
void BM_DecodeGzip_Plain(benchmark::State& s) {
  RunDecode(s, [] { return PlainInflate(Gzipped()); });
}
void BM_DecodeBrotli_Ours(benchmark::State& s) {
  RunDecode(s, [] { return OursDecode(Brotlied(), TNetContentCoding::Brotli); });
}
void BM_DecodeBrotli_Plain(benchmark::State& s) {
  RunDecode(s, [] { return PlainBrotli(Brotlied()); });
}
BENCHMARK(BM_DecodeGzip_Ours)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DecodeGzip_Plain)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DecodeBrotli_Ours)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DecodeBrotli_Plain)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- (b) the whole fetch ----

// Answers "/gz" with the gzip page and anything else with the Brotli one, kept alive.
class CodedPageServer {
 public:
  CodedPageServer()
      : gzip_(Response(Gzipped(), "gzip")),
        brotli_(Response(Brotlied(), "br")),
        server_([this](int c) { Serve(c); }) {}
  std::string Url(bool gzip) const {
    return "http://127.0.0.1:" + std::to_string(server_.Port()) + (gzip ? "/gz" : "/br");
  }

 private:
  static std::string Response(const std::string& body, const char* coding) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: " +
           std::string(coding) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
  }
  void Serve(int c) {
    bench::AnswerRequests(c, [this](const std::string& head) -> const std::string& {
      return head.compare(4, 3, "/gz") == 0 ? gzip_ : brotli_;
    });
  }

  const std::string gzip_;
  const std::string brotli_;
  bench::LoopbackServer server_;  // last: it may call Serve as soon as it exists
};

CodedPageServer& Server() {
  static CodedPageServer server;
  return server;
}

std::string OursGet(const std::string& url) {
  TNetHTTP http;  // a fresh client per fetch, configured as the page fetcher does
  http.SetHandleRedirects(true);
  http.SetAcceptCompression(true);
  http.SetReadTimeout(20000);
  return http.Get(url);
}

std::string CurlGet(const std::string& url) {
  return bench::CurlFetch(url,
                          [](CURL* curl) { curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, ""); });
}

template <std::string (*Fetch)(const std::string&), bool kGzip>
void RunFetch(benchmark::State& state) {
  const std::string url = Server().Url(kGzip);
  for (auto _ : state) {
    if (Fetch(url).size() != Page().size()) state.SkipWithError("wrong size");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Page().size()));
}

void BM_FetchGzip_Ours(benchmark::State& s) { RunFetch<OursGet, true>(s); }
void BM_FetchGzip_Curl(benchmark::State& s) { RunFetch<CurlGet, true>(s); }
void BM_FetchBrotli_Ours(benchmark::State& s) { RunFetch<OursGet, false>(s); }
void BM_FetchBrotli_Curl(benchmark::State& s) { RunFetch<CurlGet, false>(s); }
void BM_FetchGzip_Ours_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  RunFetch<OursGet, true>(s);
}
void BM_FetchGzip_Curl_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  RunFetch<CurlGet, true>(s);
}
BENCHMARK(BM_FetchGzip_Ours)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FetchGzip_Curl)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FetchBrotli_Ours)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FetchBrotli_Curl)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FetchGzip_Ours_Loaded)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FetchGzip_Curl_Loaded)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- (c) bytes on the wire of a whole query ----

// The production page fetcher, adding up what each fetch took off the wire.
class TCountingPages : public TGetPageFetcher {
 public:
  TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                        TQueryRun& run) override {
    TPageResult page = TGetPageFetcher::FetchPage(url, cookie, mode, run);
    wire += page.Outcome.WireBytes;
    decoded += page.Outcome.Bytes;
    return page;
  }
  std::atomic<int64_t> wire{0};
  std::atomic<int64_t> decoded{0};
};

// One whole query against stand-ins whose pages are full-size; gives the pages' wire bytes.
int64_t QueryWireBytes(bool coded) {
  StandInServices stand_ins;
  stand_ins.SetPageSize(kPageBytes);
  stand_ins.SetCompression(coded);
  TPumpQueue queue;
  TMainThreadQueue* previous = SetMainThreadQueue(&queue);
  auto pages = std::make_shared<TCountingPages>();
  TQueryServices services = DefaultQueryServices();
  services.Pages = pages;
  services.Hosts = StandInServiceHosts(stand_ins);
  THeadlessView view;
  TNoUrlOpener opener;
  {
    TQueryController controller(view, opener, services);
    view.Site = stand_ins.HostFor(StandIn::Site);
    controller.Begin_btnClick();
    queue.PumpUntil([] { return MyThread::LiveCount() == 0; }, 60000);
  }
  SetMainThreadQueue(previous);
  std::printf("whole query, %s: %lld bytes off the wire for %lld bytes of pages\n",
              coded ? "coded pages" : "plain pages", static_cast<long long>(pages->wire.load()),
              static_cast<long long>(pages->decoded.load()));
  return pages->wire;
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  auto ratio = [&](const char* what, const std::string& ours, const std::string& peer,
                   bool throughput) {
    const double a = recorder.Time(ours), b = recorder.Time(peer);
    const double cpu_a = recorder.CpuTime(ours), cpu_b = recorder.CpuTime(peer);
    if (a > 0 && b > 0 && cpu_a > 0 && cpu_b > 0) {
      std::printf("%s = %.2f (CPU time: %.2f)\n", what, throughput ? b / a : a / b,
                  throughput ? cpu_b / cpu_a : cpu_a / cpu_b);
    }
  };
  ratio("gzip decode, ours/zlib's plain loop throughput", "BM_DecodeGzip_Ours",
        "BM_DecodeGzip_Plain", true);
  ratio("Brotli decode, ours/Brotli's plain loop throughput", "BM_DecodeBrotli_Ours",
        "BM_DecodeBrotli_Plain", true);
  ratio("400 KB gzip page, fresh client per GET, quiet: ours/libcurl time", "BM_FetchGzip_Ours",
        "BM_FetchGzip_Curl", false);
  ratio("400 KB Brotli page, fresh client per GET, quiet: ours/libcurl time", "BM_FetchBrotli_Ours",
        "BM_FetchBrotli_Curl", false);
  ratio("400 KB gzip page, one busy thread per core: ours/libcurl time", "BM_FetchGzip_Ours_Loaded",
        "BM_FetchGzip_Curl_Loaded", false);
  const int64_t plain = QueryWireBytes(false);
  const int64_t coded = QueryWireBytes(true);
  if (plain > 0) {
    std::printf("whole query: coded/plain bytes on the wire = %.3f\n",
                static_cast<double>(coded) / static_cast<double>(plain));
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
