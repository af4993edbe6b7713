#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// End of a request head in `s` (one past the blank line), or npos.
size_t HeadEnd(const std::string& s) {
  size_t crlf = s.find("\r\n\r\n");
  size_t lf = s.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ScriptedConnection

int ScriptedConnection::ReceiveSome(int timeout_ms) {
  if (peer_closed_) return 0;
  pollfd p[2] = {{fd_, POLLIN, 0}, {server_->stop_pipe_[0], POLLIN, 0}};
  int r = ::poll(p, 2, timeout_ms);
  if (r <= 0 || (p[1].revents & POLLIN)) return -1;
  char buf[65536];
  ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    peer_closed_ = true;
    return 0;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return static_cast<int>(n);
}

std::string ScriptedConnection::ReadHead(int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t end = HeadEnd(pending_);
    if (end != std::string::npos) {
      std::string head = pending_.substr(0, end);
      pending_.erase(0, end);
      server_->RecordHead(head);
      return head;
    }
    if (ReceiveSome(RemainingMs(deadline)) <= 0) return "";
  }
}

std::string ScriptedConnection::ReadBytes(size_t n, int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pending_.size() < n) {
    if (ReceiveSome(RemainingMs(deadline)) <= 0) break;
  }
  size_t take = std::min(n, pending_.size());
  std::string out = pending_.substr(0, take);
  pending_.erase(0, take);
  return out;
}

bool ScriptedConnection::Send(std::string_view bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    if (server_->Stopping()) return false;
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool ScriptedConnection::SendSlowly(std::string_view bytes, size_t piece, int pause_ms) {
  piece = std::max<size_t>(piece, 1);
  for (size_t off = 0; off < bytes.size(); off += piece) {
    if (off > 0 && !Pause(pause_ms)) return false;
    if (!Send(bytes.substr(off, piece))) return false;
  }
  return true;
}

bool ScriptedConnection::Pause(int ms) {
  pollfd p = {server_->stop_pipe_[0], POLLIN, 0};
  return ::poll(&p, 1, ms) == 0;
}

void ScriptedConnection::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void ScriptedConnection::Reset() {
  linger l = {1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::shutdown(fd_, SHUT_RDWR);
}

bool ScriptedConnection::WaitPeerClosed(int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int r = ReceiveSome(RemainingMs(deadline));
    if (r == 0) return true;
    if (r < 0) return false;
  }
}

// ---------------------------------------------------------------------------------------------
// ScriptedServer

ScriptedServer::ScriptedServer(Script script, bool ipv6) : script_(std::move(script)), ipv6_(ipv6) {
  listen_fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("ScriptedServer: socket failed");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage addr{};
  if (ipv6) {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
  } else {
    auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  socklen_t len = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("ScriptedServer: cannot listen on loopback");
  }
  port_ = ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);  // at the same place in both
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_.store(true);
  char b = 1;
  (void)!::write(stop_pipe_[1], &b, 1);  // wakes the acceptor and every waiting script
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  ::close(listen_fd_);
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents & POLLIN) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int index = connections_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mu_);
    open_fds_.push_back(fd);
    workers_.emplace_back([this, fd, index] {
      ScriptedConnection conn(this, fd, index);
      try {
        script_(conn);
      } catch (...) {
        // A script that throws (a failed expectation helper, say) just ends its connection.
      }
      {
        std::lock_guard<std::mutex> inner(mu_);
        open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
      }
      ::close(fd);
    });
  }
}

void ScriptedServer::RecordHead(const std::string& head) {
  std::lock_guard<std::mutex> lock(mu_);
  heads_.push_back(head);
}

std::string ScriptedServer::HostPort() const {
  return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://" + HostPort() + path;
}

std::vector<std::string> ScriptedServer::Heads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return heads_;
}

std::vector<std::string> ScriptedServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const std::string& h : Heads()) {
    size_t end = h.find('\n');
    std::string line = h.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool ScriptedServer::WaitForHeads(size_t count, int timeout_ms) const {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (heads_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::lock_guard<std::mutex> lock(mu_);
  return heads_.size() >= count;
}

ScriptedServer::Script ScriptedServer::Canned(std::vector<Reply> replies) {
  struct State {
    std::mutex mu;
    std::vector<Reply> replies;
    size_t next = 0;
  };
  auto state = std::make_shared<State>();
  state->replies = std::move(replies);
  return [state](ScriptedConnection& conn) {
    for (;;) {
      if (conn.ReadHead().empty()) return;
      Reply reply;
      {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->next >= state->replies.size()) return;
        reply = state->replies[state->next++];
      }
      if (!conn.Send(reply.bytes) || reply.close_after) return;
    }
  };
}

// ---------------------------------------------------------------------------------------------
// Response builders

std::string HttpHead(const std::string& status_line, const std::vector<std::string>& headers) {
  std::string out = status_line + "\r\n";
  for (const std::string& h : headers) out += h + "\r\n";
  return out + "\r\n";
}

std::string HttpResponse(const std::string& status_line, const std::string& body,
                         const std::vector<std::string>& extra_headers) {
  std::vector<std::string> headers = extra_headers;
  headers.push_back("Content-Length: " + std::to_string(body.size()));
  return HttpHead(status_line, headers) + body;
}

std::string ChunkedBody(std::string_view body, size_t chunk) {
  static const char kHex[] = "0123456789abcdef";
  chunk = std::max<size_t>(chunk, 1);
  std::string out;
  for (size_t off = 0; off < body.size(); off += chunk) {
    size_t n = std::min(chunk, body.size() - off);
    std::string size;
    for (size_t v = n; v > 0; v >>= 4) size.insert(size.begin(), kHex[v & 15]);
    out += size + "\r\n";
    out.append(body.substr(off, n));
    out += "\r\n";
  }
  return out + "0\r\n\r\n";
}
