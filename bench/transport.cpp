// The transport against plain POSIX code doing the same work in the same process, over
// loopback: a 64 MiB body, 100 000 short lines, and a connect bounded by a time-out (on a quiet
// machine and beside one busy thread per core). Each pair prints the ratio (ours / bare time)
// after the run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "transport/NetTCPClient.h"

namespace {

constexpr int64_t kBulkBytes = 64 << 20;
constexpr int kLines = 100000;

using Server = bench::LoopbackServer;


using bench::SendAll;

// A blocking connect. Like ours it binds to any port first: with many TIME_WAIT sockets on the
// machine, connect()'s own choice of a local port gets slow and would flatter us.
int BareConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) abort();
  return fd;
}

TNetTCPClient* OurConnect(TNetTCPClient& c, uint16_t port, int timeout = -1) {
  c.SetHost("127.0.0.1");
  c.SetPort(port);
  c.Establish(timeout);
  return &c;
}

// ---- Bulk body -------------------------------------------------------------------------------

void ServeBulk(int fd) {
  static const std::string block(1 << 20, 'b');
  for (int64_t sent = 0; sent < kBulkBytes; sent += static_cast<int64_t>(block.size())) {
    SendAll(fd, block.data(), block.size());
  }
}

void BM_Bulk_Ours(benchmark::State& state) {
  Server server(ServeBulk);
  for (auto _ : state) {
    TNetTCPClient c;
    OurConnect(c, server.Port());
    TMemoryStream s;
    c.ReadToStream(s, kBulkBytes);
    if (s.Size() != kBulkBytes) abort();
    c.CloseConnection();
  }
  state.SetBytesProcessed(state.iterations() * kBulkBytes);
}

void BM_Bulk_Bare(benchmark::State& state) {
  Server server(ServeBulk);
  for (auto _ : state) {
    int fd = BareConnect(server.Port());
    std::string body;
    body.reserve(1 << 20);
    char buf[32768];
    int64_t got = 0;
    while (got < kBulkBytes) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      body.append(buf, static_cast<size_t>(n));
      got += n;
    }
    if (got != kBulkBytes) abort();
    close(fd);
  }
  state.SetBytesProcessed(state.iterations() * kBulkBytes);
}

// ---- Short lines -----------------------------------------------------------------------------

void ServeLines(int fd) {
  static const std::string text = [] {
    std::string t;
    for (int i = 0; i < kLines; ++i) t += "Header-" + std::to_string(i) + ": some value\r\n";
    return t;
  }();
  SendAll(fd, text.data(), text.size());
}

void BM_Lines_Ours(benchmark::State& state) {
  Server server(ServeLines);
  for (auto _ : state) {
    TNetTCPClient c;
    OurConnect(c, server.Port());
    size_t total = 0;
    for (int i = 0; i < kLines; ++i) total += c.ReadLine().size();
    benchmark::DoNotOptimize(total);
    c.CloseConnection();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

void BM_Lines_Bare(benchmark::State& state) {
  Server server(ServeLines);
  for (auto _ : state) {
    int fd = BareConnect(server.Port());
    std::string buf;
    size_t start = 0, total = 0;
    int lines = 0;
    char chunk[32768];
    while (lines < kLines) {
      const char* lf =
          static_cast<const char*>(memchr(buf.data() + start, '\n', buf.size() - start));
      if (!lf) {
        buf.erase(0, start);
        start = 0;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buf.append(chunk, static_cast<size_t>(n));
        continue;
      }
      size_t end = static_cast<size_t>(lf - buf.data());
      size_t len = end - start;
      if (len > 0 && buf[end - 1] == '\r') --len;
      std::string line(buf.data() + start, len);
      total += line.size();
      start = end + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(total);
    close(fd);
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

// ---- Connect ---------------------------------------------------------------------------------

// The client ends each connection with a reset and the server waits for it: no TIME_WAIT is
// left on either side, so a local port that comes round again never meets an old connection
// (whose SYN would wait a second).
// The server greets each connection once it has it in hand, and the client waits for that
// before the reset (outside the timed part): a connect that ends before the server has accepted
// it would leave the server's end behind for a later SYN from the same port to run into.
const linger kAbort{1, 0};
void AwaitReset(int fd) {
  SendAll(fd, "!", 1);
  char c;
  while (recv(fd, &c, 1, 0) > 0) {
  }
}

// Per-connect times; their median is the figure to compare (a rare connect waits a whole second
// for a SYN retransmit on a busy machine).
class ConnectTimes {
 public:
  template <typename F>
  void Time(F&& connect) {
    auto t0 = std::chrono::steady_clock::now();
    connect();
    samples_.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  // How many connects took longer than `us`.
  int Over(double us) const {
    return static_cast<int>(std::count_if(samples_.begin(), samples_.end(),
                                          [us](double s) { return s > us; }));
  }
  size_t Count() const { return samples_.size(); }
  double Median() {
    if (samples_.empty()) return 0;
    std::nth_element(samples_.begin(), samples_.begin() + samples_.size() / 2, samples_.end());
    return samples_[samples_.size() / 2];
  }

 private:
  std::vector<double> samples_;
};

// Ours and the bare connect take turns in one loop, so that both meet the same state of the
// machine: the kernel's search for a free local port gets slow when other programs leave many
// TIME_WAIT sockets behind, and that cost comes and goes.
void BM_Connect(benchmark::State& state) {
  Server server(AwaitReset);
  TNetTCPClient c;
  ConnectTimes ours, bare;
  bool ours_first = true;
  for (auto _ : state) {
    auto run_ours = [&] {
      ours.Time([&] { OurConnect(c, server.Port(), 20000); });
      char greeting = 0;
      c.ReadBytes(&greeting, 1);
      if (greeting != '!') abort();
      // Reset it the way the bare connect does: a close would send a FIN first, and a FIN the
      // server answers before the reset leaves this end in TIME_WAIT.
      TNetSocketHandle* binding = c.Socket()->Binding();
      int fd = binding->Handle();
      binding->Reset();  // forgets the socket without closing it
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &kAbort, sizeof kAbort);
      close(fd);
      c.CloseConnection();
    };
    auto run_bare = [&] {
      int fd = -1;
      bare.Time([&] { fd = BareConnect(server.Port()); });
      char greeting;
      if (recv(fd, &greeting, 1, 0) != 1) abort();
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &kAbort, sizeof kAbort);
      close(fd);
    };
    if (ours_first) {
      run_ours();
      run_bare();
    } else {
      run_bare();
      run_ours();
    }
    ours_first = !ours_first;
  }
  state.counters["ours_us"] = ours.Median();
  state.counters["bare_us"] = bare.Median();
  state.counters["extra_us"] = ours.Median() - bare.Median();
  // The rare slow connects the median hides: a hand-over to a thread that the scheduler runs
  // late costs milliseconds, a SYN retransmit a second.
  state.counters["ours_over_1ms"] = ours.Over(1000);
  state.counters["bare_over_1ms"] = bare.Over(1000);
  state.counters["connects"] = static_cast<double>(ours.Count());
}

void BM_Connect_Loaded(benchmark::State& state) {
  bench::BusyLoad load;
  BM_Connect(state);
}

BENCHMARK(BM_Bulk_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Bulk_Bare)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Lines_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lines_Bare)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Connect)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Connect_Loaded)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Remembers each run's time per iteration so the pairs can be compared at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      // With repetitions, the median stands for the benchmark.
      bool aggregate = r.run_type == Run::RT_Aggregate;
      if (aggregate && r.aggregate_name != "median") continue;
      if (r.iterations == 0) continue;
      per_iteration_[r.run_name.function_name] = r.GetAdjustedRealTime();
      for (const auto& [name, counter] : r.counters) {
        counters_[r.run_name.function_name + "/" + name] = counter.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Time per iteration of a benchmark function, or 0 when it did not run.
  double Time(const std::string& name) const {
    auto it = per_iteration_.find(name);
    return it == per_iteration_.end() ? 0 : it->second;
  }
  // The last value of a benchmark function's counter, or 0.
  double Counter(const std::string& function, const std::string& name) const {
    auto it = counters_.find(function + "/" + name);
    return it == counters_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> per_iteration_;
  std::map<std::string, double> counters_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto speed = [&](const char* what, const char* ours, const char* bare) {
    double a = reporter.Time(ours), b = reporter.Time(bare);
    if (a > 0 && b > 0) std::printf("%-24s ours at %.1f%% of the bare speed\n", what, 100 * b / a);
  };
  speed("bulk 64 MiB body", "BM_Bulk_Ours", "BM_Bulk_Bare");
  speed("100 000 short lines", "BM_Lines_Ours", "BM_Lines_Bare");
  for (const char* bm : {"BM_Connect", "BM_Connect_Loaded"}) {
    if (reporter.Time(bm) <= 0) continue;
    std::printf("%-24s %s: median ours %.1f us, bare %.1f us: %+.1f us per connect\n",
                "connect with time-out", bm[10] ? "one busy thread per core" : "quiet",
                reporter.Counter(bm, "ours_us"), reporter.Counter(bm, "bare_us"),
                reporter.Counter(bm, "extra_us"));
    std::printf("%-24s %s: of %.0f connects each, over 1 ms: ours %.0f, bare %.0f\n", "",
                bm[10] ? "one busy thread per core" : "quiet", reporter.Counter(bm, "connects"),
                reporter.Counter(bm, "ours_over_1ms"), reporter.Counter(bm, "bare_over_1ms"));
  }
  benchmark::Shutdown();
  return 0;
}
