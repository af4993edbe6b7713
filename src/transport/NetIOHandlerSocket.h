// I/O handlers: the transport a connection reads and writes through. TNetIOHandler is the
// abstract interface; TNetIOHandlerSocket is the plain socket transport with the client-side
// connect (optionally bounded by a time-out and run on a connect thread), and the hook for a
// SOCKS proxy negotiation.
//
// Thread-safety: a handler belongs to one thread at a time. A timed connect adds one short-lived
// thread that touches only the binding; the caller waits for it before returning.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/Thread.h"
#include "transport/NetComponent.h"
#include "transport/NetSocketHandle.h"

class TNetSocksInfo;

class TNetIOHandler : public TNetComponent {
 public:
  // Subclasses close themselves in their own destructor (the base cannot reach their Close).
  ~TNetIOHandler() override = default;

  // Hook after a server-side accept; nothing here.
  virtual void AfterAccept() {}
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

  // Connects Binding on a connect thread and waits at most `timeout` ms (-2 = no limit). On
  // time-out closes the handler and raises ENetConnectTimeout; a failed connect raises
  // ENetConnectException with the failure's message. Returns as soon as the thread finishes.
  void ConnectTimedWait(int timeout);

  // The socket; null until Open.
  TNetSocketHandle* Binding() const { return binding_.get(); }
  // The proxy settings; a private object is made on first use.
  TNetSocksInfo* SocksInfo();
  // An owned settings object is linked to; one without an owner is copied into the private one.
  void SetSocksInfo(TNetSocksInfo* info, bool has_owner = true);
  bool UseNagle() const { return use_nagle_; }
  void SetUseNagle(bool on) { use_nagle_ = on; }

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  std::unique_ptr<TNetSocketHandle> binding_;
  std::unique_ptr<TNetSocksInfo> own_socks_info_;
  TNetSocksInfo* socks_info_ = nullptr;  // own_socks_info_ or a linked object
  bool use_nagle_ = true;
};

// The thread of one timed connect: connects Binding and records the failure's message.
class TNetConnectThread : public TThread {
 public:
  // Made without starting; `binding` must outlive the thread.
  explicit TNetConnectThread(TNetSocketHandle* binding);
  // Cancels and waits for a started thread.
  ~TNetConnectThread() override;

  // Starts the connect.
  void StartConnect();
  // Waits until the connect has ended or `ms` passed (-2 = no limit); true when it ended.
  bool WaitDone(int ms);
  // Makes a pending connect give up at once (the socket stays open until the caller closes
  // it, after the thread has ended).
  void Cancel();
  // The failed connect's message; empty on success. Read only after WaitDone gave true.
  const std::string& ConnectError() const { return connect_error_; }

 protected:
  void Execute() override;

 private:
  // Connects without blocking the thread beyond a cancel; the platform result.
  int ConnectCancellable();

  TNetSocketHandle* binding_;
  std::string connect_error_;
  int cancel_fd_ = -1;  // readable once Cancel() ran
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool started_ = false;
};
