#include "transport/NetComponent.h"

#include <atomic>

#include "runtime/StrUtils.h"
#include "runtime/Thread.h"
#include "transport/NetStack.h"
#include "transport/NetTCPConnection.h"

const char* const StatusTexts[ftpAborted + 1] = {
    "Resolving hostname %s.",  // hsResolving
    "Connecting to %s.",       // hsConnecting
    "Connected.",              // hsConnected
    "Disconnecting.",          // hsDisconnecting
    "Disconnected.",           // hsDisconnected
    "%s",                      // hsStatusText
    "%s",                      // ftpTransfer
    "%s",                      // ftpReady
    "%s",                      // ftpAborted
};

// ---- TNetComponent --------------------------------------------------------------------------

TNetComponent::TNetComponent() { NetStackAddRef(); }

TNetComponent::~TNetComponent() { NetStackRelease(); }

void TNetComponent::ReportStatus(TNetStatus status, const std::string& argument) {
  if (!OnStatus) return;
  const char* format = status >= hsResolving && status <= ftpAborted ? StatusTexts[status] : "%s";
  std::string text;
  // Every format holds at most one %s; formats without one ignore the argument.
  std::string_view f(format);
  size_t at = f.find("%s");
  if (at == std::string_view::npos) {
    text = format;
  } else {
    text.append(f.substr(0, at)).append(argument).append(f.substr(at + 2));
  }
  OnStatus(this, status, text);
}

void TNetComponent::StartWork(TWorkMode mode, int32_t max) {
  WorkCounter& w = work_[mode];
  if (++w.level == 1) {
    w.max = max;
    w.total = 0;
    if (OnWorkBegin) OnWorkBegin(this, mode, max);
  }
}

void TNetComponent::ReportWork(TWorkMode mode, int32_t count) {
  WorkCounter& w = work_[mode];
  if (w.level < 1) return;
  // The total is a 32-bit counter as the events declare it; wrap instead of overflowing.
  w.total = static_cast<int32_t>(static_cast<uint32_t>(w.total) + static_cast<uint32_t>(count));
  if (OnWork) OnWork(this, mode, w.total);
}

void TNetComponent::FinishWork(TWorkMode mode) {
  WorkCounter& w = work_[mode];
  if (w.level == 1 && OnWorkEnd) OnWorkEnd(this, mode);
  if (w.level > 0) --w.level;
}

// ---- TNetConnectionIntercept ----------------------------------------------------------------

TNetConnectionIntercept::~TNetConnectionIntercept() = default;

void TNetConnectionIntercept::Connect(TNetTCPConnection* connection) {
  connection_ = connection;
  if (OnConnect) OnConnect(this);
  if (next_) next_->Connect(connection);
}

void TNetConnectionIntercept::Disconnect() {
  if (next_) next_->Disconnect();
  if (OnDisconnect) OnDisconnect(this);
  connection_ = nullptr;
}

void TNetConnectionIntercept::Receive(TStream& stream) {
  if (next_) next_->Receive(stream);
  if (OnReceive) {
    OnReceive(this, stream);
    stream.SetPosition(0);
  }
}

void TNetConnectionIntercept::Send(TStream& stream) {
  if (OnSend) {
    OnSend(this, stream);
    stream.SetPosition(0);
  }
  if (next_) next_->Send(stream);
}

void TNetConnectionIntercept::SetNextIntercept(TNetConnectionIntercept* next) {
  if (next == this) return;
  if (next_) RemoveFreeNotification(next_);
  next_ = next;
  if (next_) FreeNotification(next_);
}

void TNetConnectionIntercept::Notification(TComponent* component, TOperation operation) {
  if (operation != opRemove) return;
  if (component == static_cast<TComponent*>(next_)) next_ = nullptr;
}

// ---- Anti-freeze ----------------------------------------------------------------------------

namespace {
std::atomic<TNetAntiFreezeBase*> g_anti_freeze{nullptr};
}

TNetAntiFreezeBase::TNetAntiFreezeBase() {
  TNetAntiFreezeBase* expected = nullptr;
  if (!g_anti_freeze.compare_exchange_strong(expected, this)) {
    throw ENetException("Only one TNetAntiFreeze can exist per application.");
  }
}

TNetAntiFreezeBase::~TNetAntiFreezeBase() {
  TNetAntiFreezeBase* expected = this;
  g_anti_freeze.compare_exchange_strong(expected, nullptr);
}

TNetAntiFreezeBase* NetAntiFreeze() { return g_anti_freeze.load(); }

bool AntiFreezeApplies() {
  TNetAntiFreezeBase* a = g_anti_freeze.load();
  return a && IsMainThread() && a->Active();
}

void AntiFreezeProcess(bool idle, bool override_idle) {
  if (!AntiFreezeApplies()) return;
  TNetAntiFreezeBase* a = g_anti_freeze.load();
  if (a && (idle || !a->OnlyWhenIdle() || override_idle) && a->Active()) a->Process();
}
