#include "PeerUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace peer {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int WaitIn(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms);
}

}  // namespace

Listener::Listener(int backlog) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(fd_, backlog) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
  if (fd_ >= 0) close(fd_);
}

int Listener::Accept(int timeout_ms) {
  if (WaitIn(fd_, timeout_ms) <= 0) return -1;
  return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

ScriptPeer::ScriptPeer(Script script) {
  thread_ = std::thread([this, script = std::move(script)] {
    int fd = listener_.Accept(10000);
    if (fd < 0) return;
    script(fd);
    if (fd >= 0) close(fd);
  });
}

ScriptPeer::~ScriptPeer() { Join(); }

void ScriptPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RecvExact(int fd, size_t n, int timeout_ms) {
  std::string out;
  int64_t deadline = NowMs() + timeout_ms;
  while (out.size() < n) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0 || WaitIn(fd, left) <= 0) break;
    char buf[65536];
    ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string RecvUntilClose(int fd, int timeout_ms) {
  std::string out;
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0 || WaitIn(fd, left) <= 0) break;
    char buf[65536];
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

bool Silent(int fd, int ms) { return WaitIn(fd, ms) == 0; }

void Reset(int& fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
  fd = -1;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int OpenFdCount() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
}

BlackHole::BlackHole() {
  // Connect until one attempt stays pending: the accept queue is full and SYNs are dropped.
  for (int i = 0; i < 16 && !ok_; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(Port());
    int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) ok_ = true;
    }
  }
}

BlackHole::~BlackHole() {
  for (int fd : fillers_) close(fd);
}

std::string TempDir() {
  char tmpl[] = "/tmp/vm-transport-XXXXXX";
  char* d = mkdtemp(tmpl);
  return d ? std::string(d) : std::string("/tmp");
}

}  // namespace peer
