#include "transport/NetSocketHandle.h"

#include "transport/NetComponent.h"
#include "transport/NetDeadline.h"

namespace {
// setsockopt's level and option for "bind the address now, the port at the connect" (Linux).
constexpr int kNetLevelIp = 0;
constexpr int kNetIpBindAddressNoPort = 24;

TNetStack& Stack() {
  // A handle is only ever used by a live network component, which keeps the stack alive.
  TNetStack* stack = SharedStack();
  if (!stack) throw ENetStackInitializationFailed();
  return *stack;
}
}  // namespace

TNetSocketHandle::TNetSocketHandle() = default;

TNetSocketHandle::~TNetSocketHandle() {
  if (allocated_) {
    allocated_ = false;
    if (TNetStack* stack = SharedStack()) {
      stack->Shutdown(handle_, 1);
      stack->CloseSocket(handle_);
    }
  }
}

void TNetSocketHandle::AllocateSocket(int type, int protocol, int family) {
  if (allocated_) {
    ReleaseSocket();
    Reset();
  }
  handle_ = Stack().NewSocket(type, protocol, family);
  allocated_ = true;
}

void TNetSocketHandle::AdoptConnected(TNetStackSocketHandle handle) {
  ReleaseSocket();
  Reset();
  handle_ = handle;
  allocated_ = true;
  UpdateBindingLocal();
  UpdateBindingPeer();
}

void TNetSocketHandle::ReleaseSocket() {
  if (!allocated_) return;
  allocated_ = false;
  TNetStack& stack = Stack();
  stack.Shutdown(handle_, 1);
  stack.CloseSocket(handle_);
  // The number may be handed to the next socket anyone opens; never use it again.
  handle_ = NetInvalidSocket;
}

bool TNetSocketHandle::TryBind(int port) {
  TNetStack& stack = Stack();
  if (stack.Bind(handle_, ip_, port) == 0) return true;
  stack.CheckResult(-1, {NetErrAddressInUse});  // anything but "in use" raises
  return false;
}

void TNetSocketHandle::BindLocal() {
  if (port_ == 0 && (client_port_min_ == 0 || client_port_max_ == 0)) {
    // An address alone: its port is chosen at the connect, as for an unbound socket, rather
    // than reserved now for every peer. Where the option is unknown the bind picks one itself.
    int on = 1;
    Stack().SetSockOpt(handle_, kNetLevelIp, kNetIpBindAddressNoPort, &on, sizeof on);
  }
  if (port_ != 0 || client_port_min_ == 0 || client_port_max_ == 0) {
    if (!TryBind(port_)) throw ENetCouldNotBindSocket();
  } else {
    if (client_port_max_ < client_port_min_) {
      throw ENetInvalidPortRange(client_port_min_, client_port_max_);
    }
    bool bound = false;
    for (int port = client_port_max_; port >= client_port_min_; --port) {
      port_ = port;
      if (TryBind(port)) {
        bound = true;
        break;
      }
    }
    if (!bound) throw ENetCanNotBindPortInRange(client_port_min_, client_port_max_);
  }
  UpdateBindingLocal();
}

int TNetSocketHandle::ConnectPeer(int family) {
  int result = Stack().Connect(handle_, peer_ip_, peer_port_);
  if (result == 0) {
    UpdateBindingLocal();
    UpdateBindingPeer();
  }
  return result;
}

bool TNetSocketHandle::WaitReadable(int ms) {
  if (!allocated_) throw ENetConnClosedGracefully();
  if (!AntiFreezeApplies()) return WaitReadableOnce(ms);
  // Under the anti-freeze hook in steps of its idle time, so the user interface breathes.
  return TNetDeadline::ForWait(ms).WaitInSteps(std::max(NetAntiFreeze()->IdleTimeOut(), 1),
                                               [this](int step) { return WaitReadableOnce(step); });
}

bool TNetSocketHandle::WaitReadableOnce(int ms) {
  TNetSocketList set;
  set.Add(handle_);
  bool readable = Stack().SelectSockets(&set, nullptr, ms) == 1;
  AntiFreezeProcess(!readable, false);
  return readable;
}

int TNetSocketHandle::Send(const void* buffer, int length, int flags) {
  return Stack().Send(handle_, buffer, length, flags);
}

int TNetSocketHandle::Recv(void* buffer, int length, int flags) {
  return Stack().Recv(handle_, buffer, length, flags);
}

int TNetSocketHandle::RecvFrom(void* buffer, int length, std::string& ip, int& port, int flags) {
  return Stack().RecvFrom(handle_, buffer, length, flags, ip, port);
}

void TNetSocketHandle::SetSockOpt(int level, int option, const void* value, int length) {
  TNetStack& stack = Stack();
  stack.CheckResult(stack.SetSockOpt(handle_, level, option, value, length));
}

bool TNetSocketHandle::Accept(TNetStackSocketHandle listening) {
  Reset();
  TNetStack& stack = Stack();
  std::string ip;
  int port = 0;
  TNetStackSocketHandle h = stack.Accept(listening, ip, port);
  if (h == NetInvalidSocket) {
    stack.CheckResult(-1, {NetErrInterrupted, NetErrNotSocket});
    return false;
  }
  handle_ = h;
  allocated_ = true;
  UpdateBindingLocal();
  UpdateBindingPeer();
  return true;
}

void TNetSocketHandle::Reset(bool keep_local) {
  allocated_ = false;
  handle_ = NetInvalidSocket;
  if (!keep_local) {
    ip_.clear();
    port_ = 0;
  }
  peer_ip_.clear();
  peer_port_ = 0;
}

void TNetSocketHandle::Assign(const TNetSocketHandle& other) {
  ip_ = other.ip_;
  port_ = other.port_;
  peer_ip_ = other.peer_ip_;
  peer_port_ = other.peer_port_;
}

void TNetSocketHandle::UpdateBindingLocal() {
  int family;
  Stack().GetSockName(handle_, family, ip_, port_);
}

void TNetSocketHandle::UpdateBindingPeer() {
  int family;
  Stack().GetPeerName(handle_, family, peer_ip_, peer_port_);
}
