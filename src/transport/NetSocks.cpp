#include "transport/NetSocks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transport/NetIOHandlerSocket.h"
#include "transport/NetResolver.h"
#include "transport/NetStack.h"

namespace {

// Longest user name, password or host a one-byte length (or the SOCKS 4 user field) can carry.
constexpr size_t kMaxField = 255;

void SendAll(TNetIOHandler& handler, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = handler.Send(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n <= 0) {
      SharedStack()->CheckResult(-1);
      throw ENetClosedSocket();  // a send of 0 bytes: the connection is gone
    }
    sent += static_cast<size_t>(n);
  }
}

// Reads exactly `count` bytes by the deadline. Whatever goes wrong (close, reset, silence past
// the deadline) means the proxy did not answer.
std::string RecvExact(TNetIOHandler& handler, size_t count, const TNetDeadline& deadline) {
  std::string bytes(count, '\0');
  size_t got = 0;
  try {
    while (got < count) {
      if (!handler.Readable(deadline.WaitMs())) throw ENetReadTimeout();
      int n = handler.Recv(&bytes[got], static_cast<int>(count - got));
      if (n == 0) throw ENetConnClosedGracefully();
      if (n < 0) SharedStack()->CheckResult(-1);
      got += static_cast<size_t>(n);
    }
  } catch (const Exception&) {
    throw ENetSocksServerRespondError();
  }
  return bytes;
}

void AppendPort(std::string& out, int port) {
  out.push_back(static_cast<char>((port >> 8) & 0xFF));
  out.push_back(static_cast<char>(port & 0xFF));
}

}  // namespace

void TNetSocksInfo::Assign(const TNetSocksInfo& other) {
  authentication_ = other.authentication_;
  host_ = other.host_;
  password_ = other.password_;
  port_ = other.port_;
  username_ = other.username_;
  version_ = other.version_;
  resolve_locally_ = other.resolve_locally_;
}

void TNetSocksInfo::MakeSocksConnection(TNetIOHandler& handler, const std::string& host, int port,
                                        const TNetDeadline& deadline) {
  switch (version_) {
    case svSocks4:
    case svSocks4A:
      MakeSocks4Connection(handler, host, port, deadline);
      break;
    case svSocks5:
      MakeSocks5Connection(handler, host, port, deadline);
      break;
    case svNoSocks:
      break;
  }
}

void TNetSocksInfo::MakeSocks4Connection(TNetIOHandler& handler, const std::string& host, int port,
                                         const TNetDeadline& deadline) {
  std::string request;
  request.push_back(4);  // version
  request.push_back(1);  // connect
  AppendPort(request, port);
  if (version_ == svSocks4A) {
    // 0.0.0.1: "the name follows, resolve it yourself".
    request.append({0, 0, 0, 1});
  } else {
    TNetIPv4Bytes address = TNetStack::ParseAddress(NetResolveHost(host, deadline, nfIPv4).front());
    request.append(reinterpret_cast<const char*>(address.data()), 4);
  }
  // Both fields end at a zero byte: one inside them would end them early and the proxy would
  // take what follows for the target's data.
  std::string user = username_.substr(0, username_.find('\0')).substr(0, kMaxField);
  request.append(user);
  request.push_back(0);
  if (version_ == svSocks4A) {
    if (host.find('\0') != std::string::npos) throw ENetSocksError("Invalid host name.");
    request.append(host);
    request.push_back(0);
  }
  SendAll(handler, request);

  std::string reply = RecvExact(handler, 8, deadline);
  switch (static_cast<uint8_t>(reply[1])) {
    case 90:
      return;
    case 91:
      throw ENetSocksRequestFailed();
    case 92:
      throw ENetSocksRequestServerFailed();
    case 93:
      throw ENetSocksRequestIdentFailed();
    default:
      throw ENetSocksUnknownError();
  }
}

void TNetSocksInfo::MakeSocks5Connection(TNetIOHandler& handler, const std::string& host, int port,
                                         const TNetDeadline& deadline) {
  // A longer name cannot be carried by the one-byte length; cutting it would ask the proxy
  // for some other host.
  if (host.size() > kMaxField) throw ENetSocksError("Host name too long.");

  const char method = authentication_ == saUsernamePassword ? 2 : 0;
  SendAll(handler, std::string{5, 1, method});
  std::string reply = RecvExact(handler, 2, deadline);
  if (reply[1] != method || static_cast<uint8_t>(reply[1]) == 255) {
    throw ENetSocksAuthMethodError();
  }

  if (authentication_ == saUsernamePassword) {
    std::string user = username_.substr(0, kMaxField);
    std::string pass = password_.substr(0, kMaxField);
    std::string auth;
    auth.push_back(1);
    auth.push_back(static_cast<char>(user.size()));
    auth.append(user);
    auth.push_back(static_cast<char>(pass.size()));
    auth.append(pass);
    SendAll(handler, auth);
    reply = RecvExact(handler, 2, deadline);
    if (reply[1] != 0) throw ENetSocksAuthError();
  }

  std::string request{5, 1, 0};  // version, connect, reserved
  const bool v6_literal = host.find(':') != std::string::npos && IsNumericHost(host);
  if (resolve_locally_ || v6_literal) {
    // An IPv4 address when the name has one (the proxy may have no IPv6 route), else IPv6.
    const std::vector<std::string> found = NetResolveHost(host, deadline);
    auto v4 = std::find_if(found.begin(), found.end(),
                           [](const std::string& a) { return a.find(':') == std::string::npos; });
    in6_addr v6;
    if (v4 != found.end()) {
      const TNetIPv4Bytes address = TNetStack::ParseAddress(*v4);
      request.push_back(1);  // IPv4 address
      request.append(reinterpret_cast<const char*>(address.data()), 4);
    } else if (inet_pton(AF_INET6, found.front().c_str(), &v6) == 1) {
      request.push_back(4);  // IPv6 address
      request.append(reinterpret_cast<const char*>(&v6), 16);
    }
  } else {
    request.push_back(3);  // domain name
    request.push_back(static_cast<char>(host.size()));
    request.append(host);
  }
  AppendPort(request, port);
  SendAll(handler, request);

  reply = RecvExact(handler, 5, deadline);
  switch (static_cast<uint8_t>(reply[1])) {
    case 0:
      break;
    case 1:
      throw ENetSocksServerGeneralError();
    case 2:
      throw ENetSocksServerPermissionError();
    case 3:
      throw ENetSocksServerNetUnreachableError();
    case 4:
      throw ENetSocksServerHostUnreachableError();
    case 5:
      throw ENetSocksServerConnectionRefusedError();
    case 6:
      throw ENetSocksServerTTLExpiredError();
    case 7:
      throw ENetSocksServerCommandError();
    case 8:
      throw ENetSocksServerAddressError();
    default:
      throw ENetSocksUnknownError();
  }
  // The rest of the bound address and the port; their values are not used.
  switch (reply[3]) {
    case 1:
      RecvExact(handler, 5, deadline);
      break;
    case 3:
      RecvExact(handler, static_cast<uint8_t>(reply[4]) + 2, deadline);
      break;
    case 4:
      RecvExact(handler, 17, deadline);
      break;
    default:
      // An unknown address type has an unknown length: whatever followed would be taken for
      // the target's data.
      throw ENetSocksUnknownError();
  }
}
