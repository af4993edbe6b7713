// Pieces every benchmark program shares: a loopback server that hands each connection to a
// callback, the peer's page fetch with libcurl, a load of busy threads that stands for a busy
// user's machine, and a console reporter that remembers each benchmark's time so a program can
// print its ratio to the peer after the run.
#pragma once

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A socket listening on 127.0.0.1 on an ephemeral port; `port` gets the port.
inline int ListenOnLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 128);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// Sends all n bytes; false when the peer went away first.
inline bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t s = send(fd, data, n, MSG_NOSIGNAL);
    if (s <= 0) return false;
    data += s;
    n -= static_cast<size_t>(s);
  }
  return true;
}

// Answers every request head that arrives on connection `c` with the bytes `answer(head)` gives,
// until the client closes (requests carry no body).
inline void AnswerRequests(int c,
                           const std::function<const std::string&(const std::string&)>& answer) {
  std::string in;
  char buf[4096];
  for (;;) {
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
    }
    const std::string& out = answer(in.substr(0, end + 4));
    in.erase(0, end + 4);
    if (!SendAll(c, out.data(), out.size())) return;
  }
}

// Listens on 127.0.0.1 on an ephemeral port and runs `serve(fd)` for every connection, one
// connection at a time, on its own thread; the descriptor is closed when serve returns.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
    fd_ = ListenOnLoopback(port_);
    thread_ = std::thread([this] {
      while (!stop_) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        serve_(c);
        close(c);
      }
    });
  }
  ~LoopbackServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept
    thread_.join();
    close(fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  std::function<void(int)> serve_;
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// While it lives, one thread per core spins at normal priority, so that every thread the code
// under test wakes or starts has to wait for the scheduler as it would on a busy machine.
class BusyLoad {
 public:
  BusyLoad() {
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < cores; ++i) {
      spinners_.emplace_back([this] {
        uint64_t n = 0;
        while (!stop_.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(++n);
      });
    }
  }
  ~BusyLoad() {
    stop_ = true;
    for (std::thread& t : spinners_) t.join();
  }
  BusyLoad(const BusyLoad&) = delete;
  BusyLoad& operator=(const BusyLoad&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> spinners_;
};

// Remembers each run's real time per iteration, by benchmark function name.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.iterations > 0 && !r.error_occurred) {
        per_iteration_[r.run_name.function_name] = r.GetAdjustedRealTime();
        cpu_per_iteration_[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // 0 when the benchmark did not run.
  double Time(const std::string& name) const {
    auto it = per_iteration_.find(name);
    return it == per_iteration_.end() ? 0 : it->second;
  }
  // The same in CPU time of the benchmark's thread (what a loaded machine disturbs least).
  double CpuTime(const std::string& name) const {
    auto it = cpu_per_iteration_.find(name);
    return it == cpu_per_iteration_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> per_iteration_;
  std::map<std::string, double> cpu_per_iteration_;
};

// One GET with a fresh libcurl handle, as a program fetching a single page would make it;
// `configure` adds options of its own. The body, or "" on failure.
inline std::string CurlFetch(const std::string& url,
                             const std::function<void(CURL*)>& configure = {}) {
  std::string body;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                   +[](char* data, size_t size, size_t count, void* out) {
                     static_cast<std::string*>(out)->append(data, size * count);
                     return size * count;
                   });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  if (configure) configure(curl);
  if (curl_easy_perform(curl) != CURLE_OK) body.clear();
  curl_easy_cleanup(curl);
  return body;
}

}  // namespace bench
