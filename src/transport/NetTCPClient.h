// TNetTCPClient: a TCP connection that connects itself to Host:Port (optionally from a local
// address and port range, with a time-out), installing a socket I/O handler when it has none.
//
// Thread-safety: a client belongs to one thread at a time; a timed connect runs in the calling
// thread (see NetIOHandlerSocket.h).
#pragma once

#include <string>

#include "transport/NetTCPConnection.h"

class TNetTCPClient : public TNetTCPConnection {
 public:
  TNetTCPClient() = default;

  // Connects to Host:Port within `timeout` ms (-1 or 0: a plain blocking connect, -2: no limit).
  // Raises ENetAlreadyConnected when the handler is connected; on any failure the socket is
  // dropped and the failure passes on.
  virtual void Establish(int timeout = kNetUseReadTimeout);
  // Establish with the default time-out, ReadAll, and always disconnect; gives what was read.
  virtual std::string ConnectAndGetAll();

  const std::string& Host() const { return host_; }
  virtual void SetHost(const std::string& host) { host_ = host; }
  int Port() const { return port_; }
  virtual void SetPort(int port) { port_ = port; }
  const std::string& BoundIP() const { return bound_ip_; }
  void SetBoundIP(const std::string& ip) { bound_ip_ = ip; }
  int BoundPort() const { return bound_port_; }
  void SetBoundPort(int port) { bound_port_ = port; }
  int BoundPortMin() const { return bound_port_min_; }
  void SetBoundPortMin(int port) { bound_port_min_ = port; }
  int BoundPortMax() const { return bound_port_max_; }
  void SetBoundPortMax(int port) { bound_port_max_ = port; }

  TNotifyEvent OnConnected;

 protected:
  // Fires OnConnected.
  virtual void FireConnected();

 private:
  std::string host_;
  int port_ = 0;
  std::string bound_ip_;
  int bound_port_ = 0;
  int bound_port_min_ = 0;
  int bound_port_max_ = 0;
};
