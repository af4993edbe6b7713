// velmora-query over lists of 300 and 3,000 sites against the stand-ins on loopback, eight in
// flight, no pacing: the peak resident memory, sites per second and connections opened per site
// of each, and the longer list's against the shorter's (a batch must hold the memory of the sites
// in flight, and keep its pace, however long its list). Beside them libcurl fetching the same
// requests of one site back to back (the floor for one site's work).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "services/ServiceFile.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

StandInServices& StandIns() {
  static StandInServices* s = new StandInServices;
  return *s;
}

// A program built beside this one.
std::string ProgramBeside(const std::string& name) {
  std::string self(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
  self.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return self.substr(0, self.rfind('/') + 1) + name;
}

struct TListRun {
  double SitesPerSecond = 0, PeakMiB = 0, ConnectionsPerSite = 0;
};
std::map<int64_t, TListRun> g_runs;  // by list length

// velmora-query --file LIST --jobs 8 --delay 0 --jsonl over the stand-ins, as a user runs it
// (the history in a file of its own, the report to /dev/null): its peak resident memory, its
// pace and the connections it opened per site.
void BM_SiteList(benchmark::State& state) {
  const int64_t count = state.range(0);
  char dir[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return state.SkipWithError("no temporary folder");
  const std::string services = std::string(dir) + "/services.toml";
  std::ofstream(services) << StandInDefinitions(StandIns());
  const std::string list = std::string(dir) + "/sites.txt";
  {
    std::ofstream out(list);
    for (int64_t i = 0; i < count; ++i) out << StandIns().HostFor(StandIn::Site) << "\n";
  }
  const std::string history = std::string(dir) + "/history.sqlite3";
  TListRun run;
  for (auto _ : state) {
    // The program itself, beside this one: its peak memory is its own alone (the stand-ins,
    // which keep a thread and a log entry per connection and request, serve it from here).
    const size_t connections = StandIns().ConnectionCount();
    const std::string program = ProgramBeside("velmora-query");
    const char* args[] = {program.c_str(),
                          "--services",
                          services.c_str(),
                          "--history-db",
                          history.c_str(),
                          "--file",
                          list.c_str(),
                          "--jobs",
                          "8",
                          "--delay",
                          "0",
                          "--jsonl",
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto started = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), &actions, nullptr, const_cast<char**>(args),
                    environ) != 0) {
      return state.SkipWithError(("cannot start " + program).c_str());
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "velmora-query ended with status %d\n", status);
    }
    run.SitesPerSecond = static_cast<double>(count) / seconds;
    run.PeakMiB = static_cast<double>(usage.ru_maxrss) / 1024;  // ru_maxrss is in KiB
    run.ConnectionsPerSite = static_cast<double>(StandIns().ConnectionCount() - connections) /
                             static_cast<double>(count);
  }
  g_runs[count] = run;
  state.counters["sites/s"] = run.SitesPerSecond;
  state.counters["peak_MiB"] = run.PeakMiB;
  state.counters["conns/site"] = run.ConnectionsPerSite;
  std::system((std::string("rm -rf ") + dir).c_str());
}
BENCHMARK(BM_SiteList)
    ->Arg(300)
    ->Arg(3000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

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

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_runs.count(300) > 0 && g_runs.count(3000) > 0) {
    const TListRun& a = g_runs[300];
    const TListRun& b = g_runs[3000];
    std::printf(
        "3,000 sites against 300: peak memory %.1f MiB / %.1f MiB = %.2fx (goal: within 1.25x), "
        "pace %.1f / %.1f sites/s = %.2fx (goal: 0.8x or better); connections per site %.2f and "
        "%.2f\n",
        b.PeakMiB, a.PeakMiB, b.PeakMiB / a.PeakMiB, b.SitesPerSecond, a.SitesPerSecond,
        b.SitesPerSecond / a.SitesPerSecond, a.ConnectionsPerSite, b.ConnectionsPerSite);
  }
}
