#include "transport/NetIOHandlerSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "transport/NetSocks.h"
#include "transport/NetStackPosix.h"

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
  TNetSocksInfo* socks = socks_info_;  // no settings object means no proxy
  bool via_socks = socks && socks->Version() != svNoSocks;
  const std::string& target_host = via_socks ? socks->Host() : host;
  int target_port = via_socks ? socks->Port() : port;

  TNetStack& stack = *SharedStack();
  if (!binding_) binding_ = std::make_unique<TNetSocketHandle>();
  binding_->AllocateSocket(1, 0);
  binding_->SetIP(bound_ip);
  binding_->SetPort(bound_port);
  binding_->SetClientPortMin(bound_port_min);
  binding_->SetClientPortMax(bound_port_max);
  binding_->BindLocal();

  if (!TNetStack::IsDottedQuad(target_host)) ReportStatus(hsResolving, target_host);
  binding_->SetPeerIP(stack.LookupHost(target_host));
  binding_->SetPeerPort(target_port);
  if (!use_nagle_) {
    int on = 1;
    binding_->SetSockOpt(6, 1, &on, sizeof on);  // TCP no-delay
  }
  ReportStatus(hsConnecting, binding_->PeerIP());

  if (timeout != -1 && timeout != 0) {
    ConnectTimedWait(timeout);
  } else if (AntiFreezeApplies()) {
    ConnectTimedWait(120000);
  } else {
    stack.CheckResult(binding_->ConnectPeer(2));
  }
  if (via_socks) socks->MakeSocksConnection(*this, host, port, timeout);
}

void TNetIOHandlerSocket::ConnectTimedWait(int timeout) {
  TNetConnectThread thread(binding_.get());
  thread.StartConnect();
  bool done;
  if (AntiFreezeApplies()) {
    // Let the user interface breathe between short waits.
    int step = std::min(NetAntiFreeze()->IdleTimeOut(), 125);
    if (step < 1) step = 1;
    int remaining = timeout;
    done = false;
    while (!done && (timeout == -2 || remaining > 0)) {
      int wait = timeout == -2 ? step : std::min(step, remaining);
      done = thread.WaitDone(wait);
      if (timeout != -2) remaining -= wait;
      AntiFreezeProcess(true);
    }
  } else {
    // The waiting thread is woken the moment the connect ends, not at the end of a step.
    done = thread.WaitDone(timeout);
  }
  if (!done) {
    thread.Terminate();
    thread.Cancel();
    thread.WaitFor();
    Close();
    throw ENetConnectTimeout();
  }
  thread.WaitFor();
  if (!thread.ConnectError().empty()) throw ENetConnectException(thread.ConnectError());
}

// ---- TNetConnectThread ----------------------------------------------------------------------

TNetConnectThread::TNetConnectThread(TNetSocketHandle* binding) : binding_(binding) {
  SetFreeOnTerminate(false);
  cancel_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TNetConnectThread::~TNetConnectThread() {
  if (started_) {
    Cancel();
    WaitFor();
  }
  if (cancel_fd_ >= 0) close(cancel_fd_);
}

void TNetConnectThread::StartConnect() {
  started_ = true;
  Start();
}

bool TNetConnectThread::WaitDone(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (ms == -2) {
    cv_.wait(lock, [this] { return done_; });
    return true;
  }
  return cv_.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)), [this] { return done_; });
}

void TNetConnectThread::Cancel() {
  if (cancel_fd_ < 0) return;
  uint64_t one = 1;
  ssize_t r = write(cancel_fd_, &one, sizeof one);
  (void)r;  // a full counter is as good as a write
}

int TNetConnectThread::ConnectCancellable() {
  int fd = binding_->Handle();
  TNetStack& stack = *SharedStack();
  if (cancel_fd_ < 0) return binding_->ConnectPeer(2);  // no way to cancel: plain connect

  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return binding_->ConnectPeer(2);
  int result = stack.Connect(fd, binding_->PeerIP(), binding_->PeerPort());
  if (result != 0 && stack.PlatformLastError() == 10036) {  // in progress
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancel_fd_, POLLIN, 0}};
    int r;
    do {
      r = poll(fds, 2, -1);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      TNetStackPosix::SetPlatformLastError(TNetStackPosix::ErrnoToSocketError(errno));
    } else if (fds[1].revents & POLLIN) {
      // Cancelled: report it as the error of a socket closed under the connect, which the
      // caller ignores (it raises the time-out instead).
      TNetStackPosix::SetPlatformLastError(NetErrBadFile);
    } else {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
      if (err == 0) {
        result = 0;
      } else {
        TNetStackPosix::SetPlatformLastError(TNetStackPosix::ErrnoToSocketError(err));
      }
    }
  }
  fcntl(fd, F_SETFL, flags);
  if (result == 0) {
    binding_->UpdateBindingLocal();
    binding_->UpdateBindingPeer();
  }
  return result;
}

void TNetConnectThread::Execute() {
  try {
    SharedStack()->CheckResult(ConnectCancellable(), {NetErrBadFile, NetErrNotSocket});
  } catch (const Exception& e) {
    connect_error_ = e.Message();
  } catch (const std::exception& e) {
    connect_error_ = e.what();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
  }
  Terminate();
  cv_.notify_all();
}
