// The process-wide socket stack: every network class reaches the operating system's IPv4
// sockets through SharedStack(). It resolves names, wraps each socket call in a thin operation
// that takes addresses as dotted text and ports as host-order integers, waits for readiness,
// and turns a failed call into ENetSocketError carrying the socket error number (10000 + the
// BSD errno, 11001.. for failed name lookups) and a fixed English text.
//
// Thread-safety: all operations may be called from any number of threads at once; they are
// independent platform calls. The last error (both the platform's and the one CheckResult
// records) is kept per calling thread. The stack itself exists while at least one TNetComponent
// lives (see NetComponent.h); creation and destruction happen under one process-wide lock.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "runtime/Classes.h"
#include "transport/NetException.h"

using TNetStackSocketHandle = int;
constexpr TNetStackSocketHandle NetInvalidSocket = -1;

// Four address bytes in network order (a.b.c.d is {a, b, c, d}).
using TNetIPv4Bytes = std::array<uint8_t, 4>;

// Socket error numbers the transport checks by value.
enum : int {
  NetErrInterrupted = 10004,
  NetErrBadFile = 10009,
  NetErrWouldBlock = 10035,
  NetErrInProgress = 10036,
  NetErrNotSocket = 10038,
  NetErrAddressInUse = 10048,
  NetErrConnAborted = 10053,
  NetErrConnReset = 10054,
  NetErrShutdown = 10058,
  NetErrTimedOut = 10060,
  NetErrConnRefused = 10061,
  NetErrHostNotFound = 11001,
};

// A set of at most 64 socket handles for SelectSockets. Order is not kept on removal.
class TNetSocketList {
 public:
  static constexpr int kMaxSockets = 64;

  // Adds a handle; one already present is not added twice. A 65th raises
  // ENetStackSetSizeExceeded.
  void Add(TNetStackSocketHandle handle);
  // Removes a handle (the last one takes its slot); an absent handle is ignored.
  void Remove(TNetStackSocketHandle handle);
  void Clear() { count_ = 0; }
  bool Contains(TNetStackSocketHandle handle) const;
  int Count() const { return count_; }
  // Index 0..Count()-1; anything else raises ENetStackSetSizeExceeded.
  TNetStackSocketHandle Items(int index) const;

 private:
  int count_ = 0;
  std::array<TNetStackSocketHandle, kMaxSockets> handles_{};
};

class TNetStack {
 public:
  virtual ~TNetStack() = default;

  // ---- Addresses and names ----
  // "LOCALHOST" (any case) gives "127.0.0.1" and a dotted quad is returned as it is, both without
  // a lookup; anything else is resolved to its first IPv4 address or raises ENetSocketError.
  std::string LookupHost(const std::string& host);
  // True when the text cut at its first three dots gives four integers 0..255.
  static bool IsDottedQuad(const std::string& text);
  // The first four dot-separated parts as address bytes; a non-number part raises Exception.
  static TNetIPv4Bytes ParseAddress(const std::string& text);
  static std::string FormatAddress(const TNetIPv4Bytes& address);
  // Every IPv4 address of this host's own name; the first is the local address.
  TStringList LocalAddressList();
  // Port of a service name (any protocol) or of a decimal text; else ENetInvalidServiceName.
  int ServicePort(const std::string& name);
  // Official name then aliases of the service on `port`; empty when unknown.
  TStringList ServiceNames(int port);

  // ---- Sockets and errors ----
  // A new Internet-family socket (`family` 2 IPv4, 10 IPv6); failure raises ENetInvalidSocket.
  TNetStackSocketHandle NewSocket(int type, int protocol, int family = 2);
  // false when result is not -1; otherwise records the thread's last socket error in
  // LastError() and returns true when it is in `ignore`, else raises ENetSocketError.
  bool CheckResult(int result, std::initializer_list<int> ignore = {});
  // Raises ENetSocketError(code, ErrorText(code)).
  [[noreturn]] void RaiseError(int code);
  // "Socket Error # <code>\r\n<text>"; a code without text gives an empty text after the break.
  static std::string ErrorText(int code);
  // The error CheckResult last recorded on the calling thread.
  int LastError() const;

  // Waits until a socket of the given sets is ready (each may be null), `timeout_ms` -2 = no
  // limit, 0 = poll. Each set keeps only its ready handles. Gives the count of ready entries,
  // 0 on time-out, -1 on error (no exception).
  virtual int SelectSockets(TNetSocketList* read_set, TNetSocketList* write_set, int timeout_ms,
                            TNetSocketList* error_set = nullptr) = 0;

  // ---- Thin wrappers: the platform's result unchanged, -1 on failure (see PlatformLastError)
  virtual TNetStackSocketHandle Socket(int family, int type, int protocol) = 0;
  virtual int Bind(TNetStackSocketHandle handle, const std::string& ip, int port) = 0;
  virtual int Connect(TNetStackSocketHandle handle, const std::string& ip, int port) = 0;
  virtual int Listen(TNetStackSocketHandle handle, int backlog) = 0;
  virtual TNetStackSocketHandle Accept(TNetStackSocketHandle handle, std::string& ip,
                                       int& port) = 0;
  // Sends never raise SIGPIPE; a closed peer is an error result.
  virtual int Send(TNetStackSocketHandle handle, const void* buffer, int length, int flags) = 0;
  virtual int Recv(TNetStackSocketHandle handle, void* buffer, int length, int flags) = 0;
  virtual int SendTo(TNetStackSocketHandle handle, const void* buffer, int length, int flags,
                     const std::string& ip, int port) = 0;
  virtual int RecvFrom(TNetStackSocketHandle handle, void* buffer, int length, int flags,
                       std::string& ip, int& port) = 0;
  virtual int Shutdown(TNetStackSocketHandle handle, int how) = 0;
  virtual int CloseSocket(TNetStackSocketHandle handle) = 0;
  virtual int SetSockOpt(TNetStackSocketHandle handle, int level, int option, const void* value,
                         int length) = 0;
  virtual int GetSockOpt(TNetStackSocketHandle handle, int level, int option, void* value,
                         int& length) = 0;
  // Local / peer end of a socket; failure raises through CheckResult.
  virtual void GetSockName(TNetStackSocketHandle handle, int& family, std::string& ip,
                           int& port) = 0;
  virtual void GetPeerName(TNetStackSocketHandle handle, int& family, std::string& ip,
                           int& port) = 0;
  virtual std::string HostName() = 0;
  // Reverse lookup; failure raises through CheckResult(-1).
  virtual std::string HostByAddress(const std::string& ip) = 0;
  // Switches a socket between blocking and non-blocking mode.
  virtual int SetBlocking(TNetStackSocketHandle handle, bool blocking) = 0;
  // The error pending on a socket (how a connect that did not wait ended), in the socket error
  // numbering; 0 when none. Reading it clears it.
  virtual int SocketError(TNetStackSocketHandle handle) = 0;
  // The calling thread's last failed socket call, in the socket error numbering.
  virtual int PlatformLastError() = 0;

  static uint16_t HToNS(uint16_t v);
  static uint16_t NToHS(uint16_t v);
  static uint32_t HToNL(uint32_t v);
  static uint32_t NToHL(uint32_t v);

 protected:
  // Platform name lookup: the first IPv4 address as text, or empty after recording the error.
  virtual std::string ResolveHost(const std::string& host) = 0;
  // Every IPv4 address of `host`; empty after recording the error.
  virtual TStringList ResolveAll(const std::string& host) = 0;
  // Service database: port or -1; names empty when unknown.
  virtual int LookupServicePort(const std::string& name) = 0;
  virtual TStringList LookupServiceNames(int port) = 0;
};

// The one process-wide stack, or null while no network component lives.
TNetStack* SharedStack();

// Counts a live network component; the first one creates the stack (TNetComponent does this).
void NetStackAddRef();
// Uncounts one; the last one destroys the stack.
void NetStackRelease();
