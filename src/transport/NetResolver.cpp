#include "transport/NetResolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "runtime/StrUtils.h"
#include "transport/NetStack.h"

namespace {

std::mutex g_servers_mu;
std::string g_servers;  // SetNetNameServers' list; empty: the system's

std::string Servers() {
  std::lock_guard<std::mutex> lock(g_servers_mu);
  return g_servers;
}

// What the resolver library calls back with: the status and the addresses found.
struct TLookup {
  bool done = false;
  int status = ARES_SUCCESS;
  std::vector<std::string> ipv6;
  std::vector<std::string> ipv4;
};

void OnAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
  auto* lookup = static_cast<TLookup*>(arg);
  lookup->done = true;
  lookup->status = status;
  if (result == nullptr) return;
  for (ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    std::vector<std::string>* list = nullptr;
    if (node->ai_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(node->ai_addr)->sin6_addr, text,
                sizeof text);
      list = &lookup->ipv6;
    } else if (node->ai_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(node->ai_addr)->sin_addr, text,
                sizeof text);
      list = &lookup->ipv4;
    }
    if (list != nullptr && std::find(list->begin(), list->end(), text) == list->end()) {
      list->push_back(text);
    }
  }
  ares_freeaddrinfo(result);
}

// A resolver channel, kept by its thread for the lookups it makes (setting one up reads the
// system's configuration) and made afresh when the name servers to ask change.
class TChannel {
 public:
  explicit TChannel(const std::string& servers) : servers_(servers) {
    static const int init = ares_library_init(ARES_LIB_INIT_ALL);
    if (init != ARES_SUCCESS || ares_init(&channel_) != ARES_SUCCESS) {
      throw ENetSocketError(11003, TNetStack::ErrorText(11003));
    }
    if (!servers.empty() && ares_set_servers_ports_csv(channel_, servers.c_str()) != ARES_SUCCESS) {
      ares_destroy(channel_);
      throw ENetSocketError(11003, TNetStack::ErrorText(11003));
    }
  }
  ~TChannel() { ares_destroy(channel_); }
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;
  ares_channel Get() const { return channel_; }
  const std::string& Servers() const { return servers_; }

 private:
  ares_channel channel_ = nullptr;
  std::string servers_;
};

ares_channel ThreadChannel() {
  thread_local std::unique_ptr<TChannel> channel;
  const std::string servers = Servers();
  if (!channel || channel->Servers() != servers) {
    channel.reset();
    channel = std::make_unique<TChannel>(servers);
  }
  return channel->Get();
}

// Runs the channel's sockets and timers until the lookup is done or the deadline passes.
bool WaitForAnswer(ares_channel channel, const TLookup& lookup, const TNetDeadline& deadline) {
  while (!lookup.done) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
      if (events != 0) fds[count++] = pollfd{sockets[i], events, 0};
    }
    // The library's own next retry or the deadline, whichever comes first.
    timeval next{};
    int wait_ms = deadline.WaitMs();
    if (ares_timeout(channel, nullptr, &next) != nullptr) {
      const int retry_ms = static_cast<int>(next.tv_sec * 1000 + (next.tv_usec + 999) / 1000);
      wait_ms = wait_ms == -2 ? retry_ms : std::min(wait_ms, retry_ms);
    }
    if (deadline.Passed()) return false;
    const int ready = poll(fds, count, wait_ms == -2 ? -1 : wait_ms);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) {
      ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // timers only
      continue;
    }
    for (nfds_t i = 0; i < count && !lookup.done; ++i) {
      if (fds[i].revents == 0) continue;
      const bool in = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
      const bool out = (fds[i].revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
      ares_process_fd(channel, in ? fds[i].fd : ARES_SOCKET_BAD, out ? fds[i].fd : ARES_SOCKET_BAD);
    }
  }
  return true;
}

int LookupErrorCode(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
      return 11001;  // host not found
    case ARES_ENODATA:
      return 11004;  // a name without addresses
    case ARES_ESERVFAIL:
    case ARES_ECONNREFUSED:
    case ARES_EREFUSED:
      return 11002;  // try again
    default:
      return 11003;  // no recovery
  }
}

}  // namespace

std::string UnbracketedHost(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

bool IsNumericHost(const std::string& host) {
  in6_addr v6;
  return TNetStack::IsDottedQuad(host) ||
         inet_pton(AF_INET6, UnbracketedHost(host).c_str(), &v6) == 1;
}

std::vector<std::string> NetResolveHost(const std::string& host, const TNetDeadline& deadline,
                                        int families) {
  if (SameText(host, "localhost")) return {"127.0.0.1"};
  if (IsNumericHost(host)) return {UnbracketedHost(host)};
  // A name with an embedded NUL would be looked up as its prefix.
  if (host.empty() || host.find('\0') != std::string::npos) {
    throw ENetSocketError(11001, TNetStack::ErrorText(11001));
  }
  TLookup lookup;
  const ares_channel channel = ThreadChannel();
  ares_addrinfo_hints hints{};
  hints.ai_family = families == nfIPv4 ? AF_INET : families == nfIPv6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ares_getaddrinfo(channel, host.c_str(), nullptr, &hints, OnAnswer, &lookup);
  if (!WaitForAnswer(channel, lookup, deadline)) {
    ares_cancel(channel);  // calls back now, while `lookup` still exists
    throw ENetResolveTimeout();
  }
  if (lookup.status == ARES_ETIMEOUT) throw ENetResolveTimeout();
  if (lookup.status != ARES_SUCCESS) {
    const int code = LookupErrorCode(lookup.status);
    throw ENetSocketError(code, TNetStack::ErrorText(code));
  }
  std::vector<std::string> addresses;
  for (size_t i = 0; i < std::max(lookup.ipv6.size(), lookup.ipv4.size()); ++i) {
    if (i < lookup.ipv6.size()) addresses.push_back(lookup.ipv6[i]);
    if (i < lookup.ipv4.size()) addresses.push_back(lookup.ipv4[i]);
  }
  if (addresses.empty()) throw ENetSocketError(11004, TNetStack::ErrorText(11004));
  return addresses;
}

void SetNetNameServers(const std::string& servers) {
  std::lock_guard<std::mutex> lock(g_servers_mu);
  g_servers = servers;
}
