#include "transport/NetIOHandlerSocket.h"

#include <algorithm>

#include "transport/NetConnectRace.h"
#include "transport/NetResolver.h"
#include "transport/NetSocks.h"

// ---- TNetIOHandler --------------------------------------------------------------------------

void TNetIOHandler::SetPlainMode(bool on) { throw Exception("Invalid class typecast"); }

// ---- TNetIOHandlerSocket --------------------------------------------------------------------

TNetIOHandlerSocket::TNetIOHandlerSocket() = default;

TNetIOHandlerSocket::~TNetIOHandlerSocket() {
  Close();
  if (socks_info_ && socks_info_ != own_socks_info_.get()) RemoveFreeNotification(socks_info_);
}

void TNetIOHandlerSocket::Open() {
  if (!binding_) {
    binding_ = std::make_unique<TNetSocketHandle>();
  } else {
    binding_->ReleaseSocket();  // never forget an open socket
    binding_->Reset();
  }
}

void TNetIOHandlerSocket::Close() {
  TNetIOHandler::Close();
  if (binding_) binding_->ReleaseSocket();
}

bool TNetIOHandlerSocket::Connected() { return binding_ && binding_->Allocated(); }

bool TNetIOHandlerSocket::Readable(int ms) {
  if (!binding_) throw ENetConnClosedGracefully();
  return binding_->WaitReadable(ms);
}

int TNetIOHandlerSocket::Recv(void* buffer, int length) {
  if (!Connected()) throw ENetClosedSocket();
  return binding_->Recv(buffer, length, 0);
}

int TNetIOHandlerSocket::Send(const void* buffer, int length) {
  if (!Connected()) throw ENetClosedSocket();
  return binding_->Send(buffer, length, 0);
}

TNetSocksInfo* TNetIOHandlerSocket::SocksInfo() {
  if (!socks_info_) {
    own_socks_info_ = std::make_unique<TNetSocksInfo>();
    socks_info_ = own_socks_info_.get();
  }
  return socks_info_;
}

void TNetIOHandlerSocket::SetSocksInfo(TNetSocksInfo* info, bool has_owner) {
  bool linked = socks_info_ && socks_info_ != own_socks_info_.get();
  if (info && !has_owner) {
    // Copy the values into a private object of our own.
    if (linked) {
      RemoveFreeNotification(socks_info_);
      socks_info_ = nullptr;
    }
    SocksInfo()->Assign(*info);
    return;
  }
  if (linked) RemoveFreeNotification(socks_info_);
  own_socks_info_.reset();
  socks_info_ = info;
  if (info) FreeNotification(info);
}

void TNetIOHandlerSocket::Notification(TComponent* component, TOperation operation) {
  TNetIOHandler::Notification(component, operation);
  if (operation == opRemove && socks_info_ && component == static_cast<TComponent*>(socks_info_)) {
    socks_info_ = nullptr;
  }
}

void TNetIOHandlerSocket::ConnectClientTo(const std::string& host, int port, int timeout,
                                          int bound_port_max, int bound_port_min, int bound_port,
                                          const std::string& bound_ip) {
  connect_deadline_ = TNetDeadline::ForConnect(timeout);
  TNetSocksInfo* socks = socks_info_;  // no settings object means no proxy
  bool via_socks = socks && socks->Version() != svNoSocks;
  const std::string& target_host = via_socks ? socks->Host() : host;
  int target_port = via_socks ? socks->Port() : port;

  TNetStack& stack = *SharedStack();
  if (!binding_) binding_ = std::make_unique<TNetSocketHandle>();
  if (!IsNumericHost(target_host)) ReportStatus(hsResolving, target_host);
  // A local binding asks for one socket, so it takes only an address of the local one's family.
  const bool bound = !bound_ip.empty() || bound_port != 0 || bound_port_min != 0;
  int families = nfBoth;
  if (bound) families = bound_ip.find(':') != std::string::npos ? nfIPv6 : nfIPv4;
  const std::vector<std::string> addresses =
      NetResolveHost(target_host, connect_deadline_, families);
  const bool v6 = addresses.front().find(':') != std::string::npos;
  binding_->AllocateSocket(1, 0, v6 ? 10 : 2);
  binding_->SetIP(bound_ip);
  binding_->SetPort(bound_port);
  binding_->SetClientPortMin(bound_port_min);
  binding_->SetClientPortMax(bound_port_max);
  // Unbound, the connect picks the local port as the kernel does for connect(), which may reuse
  // a port still in TIME_WAIT towards another peer; an explicit bind to port 0 would have to
  // find a port free of every peer (and scan the TIME_WAIT list for it, on each connect).
  if (bound) binding_->BindLocal();
  binding_->SetPeerIP(addresses.front());
  binding_->SetPeerPort(target_port);
  if (!use_nagle_) {
    int on = 1;
    binding_->SetSockOpt(6, 1, &on, sizeof on);  // TCP no-delay
  }
  ReportStatus(hsConnecting, binding_->PeerIP());

  if (addresses.size() > 1 && !bound && timeout != kNetUseReadTimeout && timeout != 0) {
    // Several addresses: each one joins in after the one before failed or had its head start.
    binding_->ReleaseSocket();
    const TNetRaceWinner winner =
        NetConnectRace(addresses, target_port, connect_deadline_, [this](int fd) {
          int on = 1;
          if (!use_nagle_) SharedStack()->SetSockOpt(fd, 6, 1, &on, sizeof on);
        });
    binding_->AdoptConnected(winner.Handle);
  } else if (timeout != kNetUseReadTimeout && timeout != 0) {
    ConnectTimedWait(connect_deadline_);
  } else if (AntiFreezeApplies()) {
    ConnectTimedWait(TNetDeadline::In(120000));
  } else {
    stack.CheckResult(binding_->ConnectPeer(2));
  }
  if (via_socks) socks->MakeSocksConnection(*this, host, port, connect_deadline_);
}

void TNetIOHandlerSocket::ConnectTimedWait(const TNetDeadline& deadline) {
  TNetStack& stack = *SharedStack();
  TNetSocketHandle& binding = *binding_;
  const TNetStackSocketHandle fd = binding.Handle();
  // The connect runs on in the kernel while this thread waits for the socket to become
  // writable, which it does the moment the connect succeeds or fails.
  int error = stack.SetBlocking(fd, false) == 0 ? 0 : stack.PlatformLastError();
  if (error == 0 && stack.Connect(fd, binding.PeerIP(), binding.PeerPort()) != 0) {
    error = stack.PlatformLastError();
    if (error == NetErrInProgress || error == NetErrWouldBlock) {
      error = 0;
      if (!WaitConnectDone(deadline, error)) {
        Close();
        throw ENetConnectTimeout();
      }
      if (error == 0) error = stack.SocketError(fd);
    }
  }
  if (stack.SetBlocking(fd, true) != 0 && error == 0) error = stack.PlatformLastError();
  if (error != 0) throw ENetConnectException(TNetStack::ErrorText(error), error);
  try {
    binding.UpdateBindingLocal();
    binding.UpdateBindingPeer();
  } catch (const ENetSocketError& e) {
    // A connection the peer has already reset has no peer name: a failed connect all the same.
    throw ENetConnectException(e.Message(), e.ErrorCode());
  } catch (const Exception& e) {
    throw ENetConnectException(e.Message());
  }
}

bool TNetIOHandlerSocket::WaitConnectDone(const TNetDeadline& deadline, int& wait_error) {
  TNetStack& stack = *SharedStack();
  const TNetStackSocketHandle fd = binding_->Handle();
  // One readiness wait; a wait that failed ends the connect with the wait's error.
  auto wait = [&](int ms) {
    TNetSocketList writable;
    writable.Add(fd);
    int r = stack.SelectSockets(nullptr, &writable, ms);
    if (r < 0) wait_error = stack.PlatformLastError();
    return r != 0;
  };
  if (!AntiFreezeApplies()) return wait(deadline.WaitMs());  // signals resume it with the time left
  // Let the user interface breathe between short waits.
  const int step = std::max(1, std::min(NetAntiFreeze()->IdleTimeOut(), 125));
  return deadline.WaitInSteps(step, [&](int ms) {
    const bool done = wait(ms);
    AntiFreezeProcess(true);
    return done;
  });
}
