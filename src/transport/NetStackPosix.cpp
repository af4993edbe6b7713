#include "transport/NetStackPosix.h"

#include "transport/NetDeadline.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

namespace {

thread_local int t_platform_error = 0;

// Records the calling thread's errno, converted, and gives -1 for the caller to return.
int Fail() {
  t_platform_error = TNetStackPosix::ErrnoToSocketError(errno);
  return -1;
}

int FailWith(int code) {
  t_platform_error = code;
  return -1;
}

// Address text to a socket address: a dotted quad, or an IPv6 address (brackets allowed); empty
// text is the any-address of `family`. False on anything else.
bool MakeAddress(const std::string& ip, int port, sockaddr_storage& storage, socklen_t& length,
                 int family = AF_INET) {
  storage = sockaddr_storage{};
  std::string v6 =
      ip.size() > 2 && ip.front() == '[' && ip.back() == ']' ? ip.substr(1, ip.size() - 2) : ip;
  auto& a6 = reinterpret_cast<sockaddr_in6&>(storage);
  if ((ip.empty() && family == AF_INET6) ||
      (!ip.empty() && inet_pton(AF_INET6, v6.c_str(), &a6.sin6_addr) == 1)) {
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof a6;
    return true;
  }
  auto& addr = reinterpret_cast<sockaddr_in&>(storage);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  length = sizeof addr;
  if (ip.empty()) {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  if (!TNetStack::IsDottedQuad(ip)) return false;
  TNetIPv4Bytes b = TNetStack::ParseAddress(ip);
  std::memcpy(&addr.sin_addr.s_addr, b.data(), 4);
  return true;
}

// A socket address as text (IPv6 without brackets) and port.
void SplitAddress(const sockaddr_storage& storage, std::string& ip, int& port) {
  if (storage.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(storage);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a6.sin6_addr, text, sizeof text);
    ip = text;
    port = ntohs(a6.sin6_port);
    return;
  }
  const auto& addr = reinterpret_cast<const sockaddr_in&>(storage);
  TNetIPv4Bytes b;
  std::memcpy(b.data(), &addr.sin_addr.s_addr, 4);
  ip = TNetStack::FormatAddress(b);
  port = ntohs(addr.sin_port);
}

// The address family a socket was made for.
int FamilyOf(int fd) {
  int family = AF_INET;
  socklen_t len = sizeof family;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0) return AF_INET;
  return family;
}

// Polls, resuming after signals with the time that is left. -1 waits without limit.
int PollResuming(pollfd* fds, nfds_t n, int timeout_ms) {
  const TNetDeadline deadline = TNetDeadline::ForWait(timeout_ms);
  for (;;) {
    const int left = deadline.WaitMs();
    int r = poll(fds, n, left == kNetNoTimeout ? -1 : left);
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

namespace {

struct ErrnoEntry {
  int linux_errno;
  int socket_error;
};

// The network numbers differ between Linux and BSD; the first 34 agree, except 11 (EAGAIN).
constexpr ErrnoEntry kErrnoMap[] = {
    {EAGAIN, 10035},  // would block
    // Linux reports a send on a dead or shut-down connection as EPIPE; the socket numbering
    // has no broken pipe and calls this "cannot send after socket is closed".
    {EPIPE, 10058},
    {EPERM, 10013},  // a firewall refusal reads as access denied
    {ENOMEM, 10055},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
};

}  // namespace

int TNetStackPosix::ErrnoToSocketError(int err) {
  for (const ErrnoEntry& e : kErrnoMap) {
    if (e.linux_errno == err) return e.socket_error;
  }
  return 10000 + err;
}

int TNetStackPosix::LookupErrorToSocketError(int eai, int err) {
  switch (eai) {
    case EAI_NONAME:
      return 11001;  // host not found
    case EAI_AGAIN:
      return 11002;  // try again
    case EAI_FAIL:
      return 11003;  // no recovery
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // name without an address
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return 11004;
#endif
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return ErrnoToSocketError(err);
    default:
      return 11003;
  }
}

void TNetStackPosix::SetPlatformLastError(int code) { t_platform_error = code; }

int TNetStackPosix::PlatformLastError() { return t_platform_error; }

int TNetStackPosix::SelectSockets(TNetSocketList* read_set, TNetSocketList* write_set,
                                  int timeout_ms, TNetSocketList* error_set) {
  if (timeout_ms < 0 && timeout_ms != kNetNoTimeout) return FailWith(10022);
  TNetSocketList* sets[3] = {read_set, write_set, error_set};
  const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
  // What counts as ready for each set, as a select would report it: a hang-up or error makes a
  // socket readable and writable; the error set sees urgent data and failures.
  const short ready[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR,
                          POLLPRI | POLLERR};
  // At most 3 x 64 distinct handles: no allocation on this path, which every read takes.
  std::array<pollfd, 3 * TNetSocketList::kMaxSockets> storage;
  size_t used = 0;
  for (int s = 0; s < 3; ++s) {
    if (!sets[s]) continue;
    for (int i = 0; i < sets[s]->Count(); ++i) {
      int fd = sets[s]->Items(i);
      auto end = storage.begin() + used;
      auto it = std::find_if(storage.begin(), end, [fd](const pollfd& p) { return p.fd == fd; });
      if (it == end) {
        storage[used++] = pollfd{fd, wanted[s], 0};
      } else {
        it->events |= wanted[s];
      }
    }
  }
  const std::span<pollfd> fds(storage.data(), used);
  int r = PollResuming(fds.data(), fds.size(), timeout_ms == kNetNoTimeout ? -1 : timeout_ms);
  if (r < 0) return Fail();
  for (const pollfd& p : fds) {
    if (p.revents & POLLNVAL) return FailWith(10038);
  }
  int total = 0;
  for (int s = 0; s < 3; ++s) {
    if (!sets[s]) continue;
    TNetSocketList kept;
    for (int i = 0; i < sets[s]->Count(); ++i) {
      int fd = sets[s]->Items(i);
      for (const pollfd& p : fds) {
        if (p.fd == fd && (p.revents & ready[s])) {
          kept.Add(fd);
          ++total;
          break;
        }
      }
    }
    *sets[s] = kept;
  }
  return total;
}

TNetStackSocketHandle TNetStackPosix::Socket(int family, int type, int protocol) {
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? Fail() : fd;
}

int TNetStackPosix::Bind(TNetStackSocketHandle handle, const std::string& ip, int port) {
  sockaddr_storage addr;
  socklen_t len;
  if (!MakeAddress(ip, port, addr, len, FamilyOf(handle))) return FailWith(10022);
  if (::bind(handle, reinterpret_cast<sockaddr*>(&addr), len) < 0) return Fail();
  return 0;
}

int TNetStackPosix::Connect(TNetStackSocketHandle handle, const std::string& ip, int port) {
  sockaddr_storage addr;
  socklen_t len;
  if (!MakeAddress(ip, port, addr, len)) return FailWith(10022);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&addr), len) == 0) return 0;
  if (errno != EINTR) return Fail();
  // A signal interrupted the wait, not the connect: wait for its outcome.
  pollfd p{handle, POLLOUT, 0};
  if (PollResuming(&p, 1, -1) < 0) return Fail();
  int err = 0;
  len = sizeof err;
  if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return Fail();
  if (err != 0) return FailWith(ErrnoToSocketError(err));
  return 0;
}

int TNetStackPosix::Listen(TNetStackSocketHandle handle, int backlog) {
  return ::listen(handle, backlog) < 0 ? Fail() : 0;
}

TNetStackSocketHandle TNetStackPosix::Accept(TNetStackSocketHandle handle, std::string& ip,
                                             int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  int fd;
  do {
    fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail();
  SplitAddress(addr, ip, port);
  return fd;
}

int TNetStackPosix::Send(TNetStackSocketHandle handle, const void* buffer, int length, int flags) {
  for (;;) {
    ssize_t n =
        ::send(handle, buffer, static_cast<size_t>(length > 0 ? length : 0), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail();
  }
}

int TNetStackPosix::Recv(TNetStackSocketHandle handle, void* buffer, int length, int flags) {
  for (;;) {
    ssize_t n = ::recv(handle, buffer, static_cast<size_t>(length > 0 ? length : 0), flags);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail();
  }
}

int TNetStackPosix::SendTo(TNetStackSocketHandle handle, const void* buffer, int length, int flags,
                           const std::string& ip, int port) {
  sockaddr_storage addr;
  socklen_t len;
  if (!MakeAddress(ip, port, addr, len)) return FailWith(10022);
  for (;;) {
    ssize_t n = ::sendto(handle, buffer, static_cast<size_t>(length > 0 ? length : 0),
                         flags | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail();
  }
}

int TNetStackPosix::RecvFrom(TNetStackSocketHandle handle, void* buffer, int length, int flags,
                             std::string& ip, int& port) {
  for (;;) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ssize_t n = ::recvfrom(handle, buffer, static_cast<size_t>(length > 0 ? length : 0), flags,
                           reinterpret_cast<sockaddr*>(&addr), &len);
    if (n >= 0) {
      SplitAddress(addr, ip, port);
      return static_cast<int>(n);
    }
    if (errno != EINTR) return Fail();
  }
}

int TNetStackPosix::Shutdown(TNetStackSocketHandle handle, int how) {
  return ::shutdown(handle, how) < 0 ? Fail() : 0;
}

int TNetStackPosix::CloseSocket(TNetStackSocketHandle handle) {
  // close() is never retried: after EINTR the descriptor is already gone on Linux.
  return ::close(handle) < 0 && errno != EINTR ? Fail() : 0;
}

int TNetStackPosix::SetSockOpt(TNetStackSocketHandle handle, int level, int option,
                               const void* value, int length) {
  return ::setsockopt(handle, level, option, value, static_cast<socklen_t>(length)) < 0 ? Fail()
                                                                                        : 0;
}

int TNetStackPosix::SetBlocking(TNetStackSocketHandle handle, bool blocking) {
  int on = blocking ? 0 : 1;
  return ::ioctl(handle, FIONBIO, &on) < 0 ? Fail() : 0;
}

int TNetStackPosix::SocketError(TNetStackSocketHandle handle) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
  return err == 0 ? 0 : ErrnoToSocketError(err);
}

int TNetStackPosix::GetSockOpt(TNetStackSocketHandle handle, int level, int option, void* value,
                               int& length) {
  socklen_t len = static_cast<socklen_t>(length > 0 ? length : 0);
  if (::getsockopt(handle, level, option, value, &len) < 0) return Fail();
  length = static_cast<int>(len);
  return 0;
}

void TNetStackPosix::GetSockName(TNetStackSocketHandle handle, int& family, std::string& ip,
                                 int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckResult(::getsockname(handle, reinterpret_cast<sockaddr*>(&addr), &len) < 0 ? Fail() : 0);
  family = addr.ss_family;
  SplitAddress(addr, ip, port);
}

void TNetStackPosix::GetPeerName(TNetStackSocketHandle handle, int& family, std::string& ip,
                                 int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckResult(::getpeername(handle, reinterpret_cast<sockaddr*>(&addr), &len) < 0 ? Fail() : 0);
  family = addr.ss_family;
  SplitAddress(addr, ip, port);
}

std::string TNetStackPosix::HostName() {
  char name[250 + 1] = {};
  if (::gethostname(name, 250) < 0) return std::string();
  return std::string(name);
}

std::string TNetStackPosix::HostByAddress(const std::string& ip) {
  sockaddr_storage addr;
  socklen_t len;
  if (!MakeAddress(ip, 0, addr, len)) CheckResult(FailWith(10022));
  char host[NI_MAXHOST];
  int r = ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, nullptr, 0,
                        NI_NAMEREQD);
  if (r != 0) CheckResult(FailWith(LookupErrorToSocketError(r, errno)));
  return std::string(host);
}

std::string TNetStackPosix::ResolveHost(const std::string& host) {
  TStringList all = ResolveAll(host);
  return all.Empty() ? std::string() : all[0];
}

TStringList TNetStackPosix::ResolveAll(const std::string& host) {
  TStringList list;
  // A name with an embedded NUL would be looked up as its prefix: refuse it instead.
  if (host.empty() || host.find('\0') != std::string::npos) {
    FailWith(11001);
    return list;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (r != 0) {
    FailWith(LookupErrorToSocketError(r, errno));
    return list;
  }
  for (addrinfo* a = result; a; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_storage addr{};
    std::memcpy(&addr, a->ai_addr, sizeof(sockaddr_in));
    std::string ip;
    int port;
    SplitAddress(addr, ip, port);
    if (list.IndexOf(ip) < 0) list.Add(ip);
  }
  ::freeaddrinfo(result);
  if (list.Empty()) FailWith(11004);
  return list;
}

int TNetStackPosix::LookupServicePort(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return -1;
  servent entry;
  servent* found = nullptr;
  std::vector<char> buf(4096);
  if (::getservbyname_r(name.c_str(), nullptr, &entry, buf.data(), buf.size(), &found) != 0 ||
      !found) {
    return -1;
  }
  return ntohs(static_cast<uint16_t>(found->s_port));
}

TStringList TNetStackPosix::LookupServiceNames(int port) {
  TStringList names;
  if (port < 0 || port > 65535) return names;
  servent entry;
  servent* found = nullptr;
  std::vector<char> buf(4096);
  if (::getservbyport_r(htons(static_cast<uint16_t>(port)), nullptr, &entry, buf.data(), buf.size(),
                        &found) != 0 ||
      !found) {
    return names;
  }
  names.Add(found->s_name);
  for (char** alias = found->s_aliases; alias && *alias; ++alias) names.Add(*alias);
  return names;
}
