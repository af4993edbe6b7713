// SOCKS proxy settings and the byte-level negotiation for SOCKS 4, 4A and 5 (with user name and
// password for 5). A socket I/O handler runs the negotiation right after its TCP connect to the
// proxy; with Version svNoSocks it does nothing.
//
// Thread-safety: settings belong to the thread that owns their I/O handler.
#pragma once

#include <string>

#include "transport/NetComponent.h"
#include "transport/NetDeadline.h"

class TNetIOHandler;

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

class TNetSocksInfo : public TNetComponent {
 public:
  TNetSocksInfo() = default;

  // Asks the proxy to connect onward to host:port through `handler`, which is connected to the
  // proxy; the exchange ends by `deadline`. Raises the ENetSocksError subclasses.
  void MakeSocksConnection(TNetIOHandler& handler, const std::string& host, int port,
                           const TNetDeadline& deadline);
  // The same within `timeout` ms from now (0 or less: no limit).
  void MakeSocksConnection(TNetIOHandler& handler, const std::string& host, int port,
                           int timeout = kNetNoTimeout) {
    MakeSocksConnection(handler, host, port, TNetDeadline::ForConnect(timeout));
  }
  // Copies the seven settings.
  void Assign(const TNetSocksInfo& other);

  TSocksAuthentication Authentication() const { return authentication_; }
  void SetAuthentication(TSocksAuthentication a) { authentication_ = a; }
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host) { host_ = host; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& password) { password_ = password; }
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }
  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& username) { username_ = username; }
  TSocksVersion Version() const { return version_; }
  void SetVersion(TSocksVersion v) { version_ = v; }
  // SOCKS 5 only: the target's name is looked up here and sent as an IPv4 address, instead of
  // being sent as a name for the proxy to look up (SOCKS 4 and 4A decide this by their version).
  bool ResolveLocally() const { return resolve_locally_; }
  void SetResolveLocally(bool on) { resolve_locally_ = on; }

 private:
  void MakeSocks4Connection(TNetIOHandler& handler, const std::string& host, int port,
                            const TNetDeadline& deadline);
  void MakeSocks5Connection(TNetIOHandler& handler, const std::string& host, int port,
                            const TNetDeadline& deadline);

  TSocksAuthentication authentication_ = saNoAuthentication;
  std::string host_;
  std::string password_;
  int port_ = 1080;
  std::string username_;
  TSocksVersion version_ = svNoSocks;
  bool resolve_locally_ = false;
};
