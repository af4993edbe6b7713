// A whole query — eleven workers, 26 pages and a thumbnail through our page fetcher and HTTP
// client — against a server whose every answer is a body without end, in three framings: read
// to the close, 64 KiB chunks, and 1-byte chunks. Each fetch must give up at the page cap (or at
// the whole-fetch deadline); what the run shows is how long the query takes and how much memory
// the process held at its peak (VmHWM, reset before each run), against the peak of the process
// before the first query. There is no peer: the figure is ours alone.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "query/QueryController.h"
#include "runtime/CodePage.h"

namespace {

enum Framing { kToClose, kBigChunks, kByteChunks };

// Listens on 127.0.0.1 and answers every request on every connection at once with a 200 head
// and then body bytes until the client goes away.
class EndlessServer {
 public:
  explicit EndlessServer(Framing framing) : framing_(framing) {
    fd_ = bench::ListenOnLoopback(port_);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~EndlessServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int c : open_) shutdown(c, SHUT_RDWR);
    }
    for (std::thread& t : workers_) t.join();
    close(fd_);
  }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void AcceptLoop() {
    while (!stop_) {
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      open_.push_back(c);
      workers_.emplace_back([this, c] { Serve(c); });
    }
  }
  // Reads one request head (up to its blank line) and answers it without end.
  void Serve(int c) {
    std::string in;
    char buf[4096];
    while (!stop_ && in.find("\r\n\r\n") == std::string::npos) {
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
    }
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
    std::string piece;
    switch (framing_) {
      case kToClose:
        head += "Connection: close\r\n\r\n";
        piece.assign(64 << 10, 'x');
        break;
      case kBigChunks:
        head += "Transfer-Encoding: chunked\r\n\r\n";
        piece = "10000\r\n" + std::string(64 << 10, 'x') + "\r\n";
        break;
      case kByteChunks:
        head += "Transfer-Encoding: chunked\r\n\r\n";
        for (int i = 0; i < 8192; ++i) piece += "1\r\nx\r\n";
        break;
    }
    bool open = bench::SendAll(c, head.data(), head.size());
    while (open && !stop_) open = bench::SendAll(c, piece.data(), piece.size());
    std::lock_guard<std::mutex> lock(mu_);
    for (int& fd : open_) {
      if (fd == c) fd = -1;
    }
    close(c);
  }

  Framing framing_;
  int fd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
};

// The process's peak resident set in MiB (VmHWM), and its reset to the current resident set.
double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }


double g_idle_peak = 0;

void BM_EndlessQuery(benchmark::State& state) {
  EndlessServer server(static_cast<Framing>(state.range(0)));
  TPumpQueue queue;
  TMainThreadQueue* previous = SetMainThreadQueue(&queue);
  TQueryServices services = DefaultQueryServices();
  TServiceHosts& h = services.Hosts;
  for (std::string* host : {&h.Baidu, &h.Google, &h.Yahoo, &h.Soso, &h.Sogou, &h.Youdao, &h.Bing,
                            &h.AlexaSearch, &h.ChinaRank, &h.Thumbnail, &h.PageRank}) {
    *host = server.HostPort();
  }
  THeadlessView view;
  TNoUrlOpener opener;
  TQueryController controller(view, opener, services);
  double peak = 0;
  for (auto _ : state) {
    ResetPeakResident();
    view.Site = server.HostPort();
    controller.Begin_btnClick();
    if (!queue.PumpUntil([] { return MyThread::LiveCount() == 0; }, 600000)) {
      state.SkipWithError("query did not finish");
      break;
    }
    peak = std::max(peak, PeakResidentMiB());
  }
  SetMainThreadQueue(previous);
  state.counters["peak_MiB"] = peak;
  state.counters["idle_MiB"] = g_idle_peak;
}
BENCHMARK(BM_EndlessQuery)
    ->ArgName("framing")  // 0 read to the close, 1 64 KiB chunks, 2 1-byte chunks
    ->Arg(kToClose)
    ->Arg(kBigChunks)
    ->Arg(kByteChunks)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  Gbk(u8"查询");  // the code-page table, built once, belongs to the idle figure
  g_idle_peak = PeakResidentMiB();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
