// The socket stack bound to POSIX sockets on Linux. Errors are converted to the socket error
// numbering the rest of the transport speaks (10000 + the BSD errno; 11001.. for name lookups)
// and kept per thread. Name lookups use getaddrinfo/getnameinfo, readiness waits use poll (no
// descriptor-number limit), sends never raise SIGPIPE, and interrupted calls are resumed.
//
// Thread-safety: every operation may run on any number of threads at once.
#pragma once

#include "transport/NetStack.h"

class TNetStackPosix : public TNetStack {
 public:
  // Converts a Linux errno to the socket error numbering.
  static int ErrnoToSocketError(int err);
  // Converts a getaddrinfo/getnameinfo failure to the socket error numbering.
  static int LookupErrorToSocketError(int eai, int err);

  int SelectSockets(TNetSocketList* read_set, TNetSocketList* write_set, int timeout_ms,
                    TNetSocketList* error_set = nullptr) override;

  TNetStackSocketHandle Socket(int family, int type, int protocol) override;
  int Bind(TNetStackSocketHandle handle, const std::string& ip, int port) override;
  int Connect(TNetStackSocketHandle handle, const std::string& ip, int port) override;
  int Listen(TNetStackSocketHandle handle, int backlog) override;
  TNetStackSocketHandle Accept(TNetStackSocketHandle handle, std::string& ip, int& port) override;
  int Send(TNetStackSocketHandle handle, const void* buffer, int length, int flags) override;
  int Recv(TNetStackSocketHandle handle, void* buffer, int length, int flags) override;
  int SendTo(TNetStackSocketHandle handle, const void* buffer, int length, int flags,
             const std::string& ip, int port) override;
  int RecvFrom(TNetStackSocketHandle handle, void* buffer, int length, int flags, std::string& ip,
               int& port) override;
  int Shutdown(TNetStackSocketHandle handle, int how) override;
  int CloseSocket(TNetStackSocketHandle handle) override;
  int SetSockOpt(TNetStackSocketHandle handle, int level, int option, const void* value,
                 int length) override;
  int GetSockOpt(TNetStackSocketHandle handle, int level, int option, void* value,
                 int& length) override;
  void GetSockName(TNetStackSocketHandle handle, int& family, std::string& ip, int& port) override;
  void GetPeerName(TNetStackSocketHandle handle, int& family, std::string& ip, int& port) override;
  std::string HostName() override;
  std::string HostByAddress(const std::string& ip) override;
  int SetBlocking(TNetStackSocketHandle handle, bool blocking) override;
  int SocketError(TNetStackSocketHandle handle) override;
  int PlatformLastError() override;

  // Records `code` as the calling thread's last socket error (for failures found outside a
  // platform call, such as a timed connect's result).
  static void SetPlatformLastError(int code);

 protected:
  std::string ResolveHost(const std::string& host) override;
  TStringList ResolveAll(const std::string& host) override;
  int LookupServicePort(const std::string& name) override;
  TStringList LookupServiceNames(int port) override;
};
