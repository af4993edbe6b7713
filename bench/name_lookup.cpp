// Host name lookups: ours (the asynchronous resolver driven by poll on the calling thread)
// against the system's getaddrinfo, side by side in one run, for a name in the hosts file (the
// only source both can be pointed at without leaving the machine); and ours against a name server
// stand-in on loopback (A and AAAA over UDP), which getaddrinfo cannot be sent to. Prints the
// ratio after the table.
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

#include "BenchSupport.h"
#include "support/DnsStandIn.h"
#include "transport/NetResolver.h"

namespace {

// A name of this machine from the hosts file.
constexpr const char* kHostsName = "vm";

void BM_HostsFile_Ours(benchmark::State& state) {
  for (auto _ : state) {
    if (NetResolveHost(kHostsName, TNetDeadline::In(5000), nfIPv4).empty()) {
      state.SkipWithError("not found");
    }
  }
}

void BM_HostsFile_Getaddrinfo(benchmark::State& state) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  for (auto _ : state) {
    addrinfo* result = nullptr;
    if (getaddrinfo(kHostsName, nullptr, &hints, &result) != 0) state.SkipWithError("not found");
    freeaddrinfo(result);
  }
}

void BM_NameServer_Ours(benchmark::State& state) {
  DnsStandIn dns;
  dns.Add("www.example.test", {"127.0.0.1", "::1"});
  SetNetNameServers(dns.Server());
  for (auto _ : state) {
    if (NetResolveHost("www.example.test", TNetDeadline::In(5000)).size() != 2) {
      state.SkipWithError("wrong answer");
    }
  }
  SetNetNameServers("");
}

BENCHMARK(BM_HostsFile_Ours)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_HostsFile_Getaddrinfo)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_NameServer_Ours)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  const double ours = recorder.Time("BM_HostsFile_Ours");
  const double system = recorder.Time("BM_HostsFile_Getaddrinfo");
  if (ours > 0 && system > 0) {
    std::printf("hosts-file name: ours/getaddrinfo time per lookup = %.2f\n", ours / system);
  }
  benchmark::Shutdown();
  return 0;
}
