// https GETs against libcurl in the same process, both fetching a 1 KiB page from the same
// local nginx speaking TLS with a certificate from a throw-away authority: 500 sequential GETs,
// each with a fresh client (ours: a TNetHTTP with its TLS handler, set up as the page fetcher
// does; libcurl: a fresh easy handle), so every GET pays a TCP connect and a full handshake with
// certificate and host-name checks; on a quiet machine and again beside one busy thread per core.
// Prints our time per GET as a ratio to libcurl's.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "support/PeerDaemons.h"
#include "support/TestCertificates.h"

namespace {

constexpr size_t kPage = 1024;

// The authority's files and the server, made once; the trust settings are in place before the
// first handshake of the process.
struct HttpsPeer {
  std::string dir;
  std::string ca_file;
  std::string no_certs;
  std::unique_ptr<NginxServer> web;
  std::string url;

  HttpsPeer() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return;
    dir = tmpl;
    testpki::Authority authority("velmora bench authority");
    ca_file = dir + "/ca.pem";
    no_certs = dir + "/no-certs";
    testpki::WriteFile(ca_file, authority.CertificatePem());
    std::filesystem::create_directories(no_certs);
    auto files = authority.IssueFiles(dir + "/localhost", "DNS:localhost");
    ::setenv("SSL_CERT_FILE", ca_file.c_str(), 1);
    ::setenv("SSL_CERT_DIR", no_certs.c_str(), 1);
    web = std::make_unique<NginxServer>();
    web->UseTls(files.first, files.second, "ssl_protocols TLSv1.2 TLSv1.3;");
    web->WriteFile("/page.html", std::string(kPage, 'p'));
    if (web->Start()) url = "https://localhost:" + std::to_string(web->Port()) + "/page.html";
  }
  ~HttpsPeer() {
    web.reset();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

HttpsPeer& Peer() {
  static HttpsPeer peer;
  return peer;
}

std::string CurlGet(const std::string& url) {
  return bench::CurlFetch(url, [](CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, Peer().ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, Peer().no_certs.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  });
}

std::string OursGet(const std::string& url) {
  TNetHTTP http;  // a fresh client per fetch, configured as the page fetcher does
  InstallTlsHandler(http);
  http.SetHandleRedirects(true);
  http.SetReadTimeout(20000);
  try {
    return http.Get(url);
  } catch (const Exception&) {
    return std::string();
  }
}

template <std::string (*Fetch)(const std::string&)>
void BM_Get(benchmark::State& state) {
  const std::string& url = Peer().url;
  if (url.empty()) {
    state.SkipWithError("nginx with TLS did not start");
    return;
  }
  for (auto _ : state) {
    if (Fetch(url).size() != kPage) {
      state.SkipWithError("short body");
      break;
    }
  }
}

void BM_Https1K_Ours(benchmark::State& s) { BM_Get<OursGet>(s); }
void BM_Https1K_Curl(benchmark::State& s) { BM_Get<CurlGet>(s); }
void BM_Https1K_Ours_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  BM_Get<OursGet>(s);
}
void BM_Https1K_Curl_Loaded(benchmark::State& s) {
  bench::BusyLoad load;
  BM_Get<CurlGet>(s);
}

BENCHMARK(BM_Https1K_Ours)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Https1K_Curl)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Https1K_Ours_Loaded)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Https1K_Curl_Loaded)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();


}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  Peer();
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (const char* load : {"", "_Loaded"}) {
    double ours = recorder.Time(std::string("BM_Https1K_Ours") + load);
    double curl = recorder.Time(std::string("BM_Https1K_Curl") + load);
    if (ours > 0 && curl > 0) {
      std::printf(
          "https 1 KiB page, fresh client and full handshake per GET, %s: "
          "ours/libcurl time per GET = %.2f\n",
          *load ? "one busy thread per core" : "quiet", ours / curl);
    }
  }
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
