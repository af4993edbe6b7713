// TNetSocketHandle: one socket and both ends' addresses, with binding from a port range,
// connecting, readiness waits and the raw send and receive.
//
// Thread-safety: a handle belongs to one thread at a time.
#pragma once

#include <string>

#include "transport/NetStack.h"

class TNetSocketHandle {
 public:
  TNetSocketHandle();
  virtual ~TNetSocketHandle();  // releases the socket
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  // Releases any socket, clears the state of an allocated one, creates a socket of `type`
  // (1 = stream), `protocol` and `family` (2 IPv4, 10 IPv6), and sets Allocated.
  void AllocateSocket(int type = 1, int protocol = 0, int family = 2);
  // Releases any socket and takes `handle`, a connected socket, with both ends' addresses.
  void AdoptConnected(TNetStackSocketHandle handle);
  // When allocated: clears Allocated, shuts the socket down for sending and closes it.
  virtual void ReleaseSocket();
  // Binds to IP:Port, or to the highest free port of ClientPortMin..ClientPortMax; raises
  // ENetCouldNotBindSocket, ENetInvalidPortRange, ENetCanNotBindPortInRange, ENetSocketError.
  void BindLocal();
  // Connects to PeerIP:PeerPort and refreshes both ends; the platform result (-1 = failure,
  // error in SharedStack()->PlatformLastError()), no exception.
  virtual int ConnectPeer(int family = 2);
  // True when data or an orderly close is waiting within `ms` (-2 = no limit); raises
  // ENetConnClosedGracefully when no socket is allocated.
  bool WaitReadable(int ms);
  // The stack's send / recv on the handle; results unchanged.
  int Send(const void* buffer, int length, int flags = 0);
  int Recv(void* buffer, int length, int flags = 0);
  // A datagram receive that also gives the sender's address.
  virtual int RecvFrom(void* buffer, int length, std::string& ip, int& port, int flags = 0);
  // Sets a socket option; failure raises ENetSocketError.
  void SetSockOpt(int level, int option, const void* value, int length);
  // Accepts from a listening socket; false on 10004 / 10038, other errors raise.
  bool Accept(TNetStackSocketHandle listening);
  // Forgets the socket (not closed!) and, unless keep_local, the local address too.
  void Reset(bool keep_local = false);
  // Copies IP, Port, PeerIP, PeerPort.
  void Assign(const TNetSocketHandle& other);
  // Reads both ends' addresses from the platform.
  void UpdateBindingLocal();
  void UpdateBindingPeer();

  TNetStackSocketHandle Handle() const { return handle_; }
  bool Allocated() const { return allocated_; }

  const std::string& IP() const { return ip_; }
  void SetIP(const std::string& ip) { ip_ = ip; }
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }
  const std::string& PeerIP() const { return peer_ip_; }
  void SetPeerIP(const std::string& ip) { peer_ip_ = ip; }
  int PeerPort() const { return peer_port_; }
  void SetPeerPort(int port) { peer_port_ = port; }
  int ClientPortMin() const { return client_port_min_; }
  void SetClientPortMin(int port) { client_port_min_ = port; }
  int ClientPortMax() const { return client_port_max_; }
  void SetClientPortMax(int port) { client_port_max_ = port; }

 private:
  // One bind attempt: true on success, false on 10048; other errors raise.
  bool TryBind(int port);
  // One readiness wait on this socket, then the anti-freeze step.
  bool WaitReadableOnce(int ms);

  TNetStackSocketHandle handle_ = NetInvalidSocket;
  bool allocated_ = false;
  std::string ip_;
  int port_ = 0;
  std::string peer_ip_;
  int peer_port_ = 0;
  int client_port_min_ = 0;
  int client_port_max_ = 0;
};
