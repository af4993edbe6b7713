// I/O handlers: the transport a connection reads and writes through. TNetIOHandler is the
// abstract interface; TNetIOHandlerSocket is the plain socket transport with the client-side
// connect (optionally bounded by a time-out), and the hook for a SOCKS proxy negotiation.
//
// Thread-safety: a handler belongs to one thread at a time; a timed connect runs entirely in the
// calling thread.
#pragma once

#include <memory>
#include <string>

#include "transport/NetComponent.h"
#include "transport/NetDeadline.h"
#include "transport/NetSocketHandle.h"

class TNetSocksInfo;

class TNetIOHandler : public TNetComponent {
 public:
  // Subclasses close themselves in their own destructor (the base cannot reach their Close).
  ~TNetIOHandler() override = default;

  // Hook after a server-side accept; nothing here.
  virtual void AfterAccept() {}
  // Forgets every event handler (OnStatus here): the handler is about to serve another owner.
  virtual void ClearEvents() { OnStatus = nullptr; }
  // Ends the transport; nothing here.
  virtual void Close() {}
  // Connects to host:port (time-out in ms: -1 or 0 = none, -2 = no limit), binding locally
  // to bound_ip:bound_port or a port from bound_port_min..bound_port_max; nothing here.
  virtual void ConnectClientTo(const std::string& host, int port, int timeout, int bound_port_max,
                               int bound_port_min, int bound_port, const std::string& bound_ip) {}
  // True while the transport is connected.
  virtual bool Connected() = 0;
  // Prepares the transport for a connect; nothing here.
  virtual void Open() {}
  // True when data (or a close) is waiting within `ms` (-2 = no limit).
  virtual bool Readable(int ms) = 0;
  // Receives up to `length` bytes: the count, 0 on orderly close, -1 on failure.
  virtual int Recv(void* buffer, int length) = 0;
  // Sends up to `length` bytes: the count sent, -1 on failure.
  virtual int Send(const void* buffer, int length) = 0;

  // Whether this handler can speak TLS (the secure-sockets handler answers true).
  virtual bool TLSCapable() const { return false; }
  // TLS switch of a TLS-capable handler; a plain handler raises Exception("Invalid class
  // typecast").
  virtual bool PlainMode() const { return true; }
  virtual void SetPlainMode(bool on);
};

class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  TNetIOHandlerSocket();
  ~TNetIOHandlerSocket() override;  // closes, frees the binding and a private SocksInfo

  void Close() override;
  void ConnectClientTo(const std::string& host, int port, int timeout, int bound_port_max,
                       int bound_port_min, int bound_port, const std::string& bound_ip) override;
  bool Connected() override;
  void Open() override;
  bool Readable(int ms) override;
  // Raise ENetClosedSocket when not connected.
  int Recv(void* buffer, int length) override;
  int Send(const void* buffer, int length) override;

  // Connects Binding without blocking and waits until `deadline` for the outcome. On time-out
  // closes the handler and raises ENetConnectTimeout; a failed connect raises
  // ENetConnectException with the socket error's message. Returns as soon as the connect ends;
  // signals do not cut the wait short.
  void ConnectTimedWait(const TNetDeadline& deadline);

  // The socket; null until Open.
  TNetSocketHandle* Binding() const { return binding_.get(); }
  // The proxy settings; a private object is made on first use.
  TNetSocksInfo* SocksInfo();
  // An owned settings object is linked to; one without an owner is copied into the private one.
  void SetSocksInfo(TNetSocksInfo* info, bool has_owner = true);
  bool UseNagle() const { return use_nagle_; }
  void SetUseNagle(bool on) { use_nagle_ = on; }

 protected:
  // The last connect's time-out, counted from its start: the TCP connect, the SOCKS exchange and
  // a step a subclass adds to the connect (a TLS handshake) all end by it.
  const TNetDeadline& ConnectDeadline() const { return connect_deadline_; }
  void Notification(TComponent* component, TOperation operation) override;

 private:
  // Waits until Binding's connect has ended or `deadline` passed (under the anti-freeze hook in
  // short steps). True when it ended; a failed wait also ends it and sets `wait_error`.
  bool WaitConnectDone(const TNetDeadline& deadline, int& wait_error);

  std::unique_ptr<TNetSocketHandle> binding_;
  std::unique_ptr<TNetSocksInfo> own_socks_info_;
  TNetSocksInfo* socks_info_ = nullptr;  // own_socks_info_ or a linked object
  bool use_nagle_ = true;
  TNetDeadline connect_deadline_;
};
