// The base of every network component (connections, I/O handlers, SOCKS settings) with its
// status and work-progress events, the chainable connection intercept, and the anti-freeze hook.
//
// Thread-safety: a component and its events belong to one thread at a time. Constructing and
// destroying components may happen on any thread: the live count that keeps SharedStack()
// alive is guarded by a process-wide lock. Events fire synchronously on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/Classes.h"
#include "runtime/Component.h"
#include "transport/NetException.h"

enum TNetStatus {
  hsResolving,      // "Resolving hostname %s."
  hsConnecting,     // "Connecting to %s."
  hsConnected,      // "Connected."
  hsDisconnecting,  // "Disconnecting."
  hsDisconnected,   // "Disconnected."
  hsStatusText,     // "%s"
  ftpTransfer,      // "%s"
  ftpReady,         // "%s"
  ftpAborted,       // "%s"
};

// The format of each status's text, indexed by TNetStatus.
extern const char* const StatusTexts[ftpAborted + 1];

enum TWorkMode { wmRead, wmWrite };

class TNetComponent;
using TNetStatusEvent =
    std::function<void(TNetComponent* ASender, TNetStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent =
    std::function<void(TNetComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TNetComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TNetComponent* Sender, TWorkMode AWorkMode)>;

class TNetComponent : public TNetBaseComponent {
 public:
  // Counts up the live components (the first one creates SharedStack()).
  TNetComponent();
  // Counts down (the last one destroys SharedStack()).
  ~TNetComponent() override;

  // Formats StatusTexts[status] with `argument` and calls OnStatus with this as sender.
  void ReportStatus(TNetStatus status, const std::string& argument = std::string());

  // Opens a (nested) unit of work; only the outermost stores the maximum and fires
  // OnWorkBegin.
  virtual void StartWork(TWorkMode mode, int32_t max);
  // Adds `count` to the running total and fires OnWork, inside an open unit only.
  virtual void ReportWork(TWorkMode mode, int32_t count);
  // Fires OnWorkEnd when the outermost unit closes.
  virtual void FinishWork(TWorkMode mode);

  TNetStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

 private:
  struct WorkCounter {
    int32_t level = 0;
    int32_t max = 0;
    int32_t total = 0;
  };
  WorkCounter work_[2];
};

class TNetTCPConnection;
class TNetConnectionIntercept;
using TNetInterceptNotifyEvent = std::function<void(TNetConnectionIntercept* ASender)>;
using TNetInterceptStreamEvent =
    std::function<void(TNetConnectionIntercept* ASender, TStream& AStream)>;

// Sees every block a connection receives and sends; intercepts chain through NextIntercept.
// A handler may replace the stream's contents: the connection uses its size after the call.
class TNetConnectionIntercept : public TNetBaseComponent {
 public:
  explicit TNetConnectionIntercept(bool is_client = true) : is_client_(is_client) {}
  ~TNetConnectionIntercept() override;

  // Remembers the connection, fires OnConnect, then connects the next intercept.
  virtual void Connect(TNetTCPConnection* connection);
  // Disconnects the next intercept, fires OnDisconnect, forgets the connection.
  virtual void Disconnect();
  // The next intercept receives first; then OnReceive, and the stream is rewound.
  virtual void Receive(TStream& stream);
  // OnSend (the stream is rewound), then the next intercept sends.
  virtual void Send(TStream& stream);

  TNetConnectionIntercept* NextIntercept() const { return next_; }
  // Chains another intercept (not owned; forgotten when it is destroyed).
  void SetNextIntercept(TNetConnectionIntercept* next);
  TNetTCPConnection* Connection() const { return connection_; }
  bool IsClient() const { return is_client_; }

  TNetInterceptNotifyEvent OnConnect;
  TNetInterceptNotifyEvent OnDisconnect;
  TNetInterceptStreamEvent OnReceive;
  TNetInterceptStreamEvent OnSend;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TNetConnectionIntercept* next_ = nullptr;
  TNetTCPConnection* connection_ = nullptr;
  bool is_client_;
};

// Keeps a user interface responsive during blocking waits on the main thread. At most one
// exists per process; a second raises ENetException. Nothing in this program creates one, so
// the hooks below are idle and waits are plain blocking waits.
class TNetAntiFreezeBase : public TNetBaseComponent {
 public:
  TNetAntiFreezeBase();
  ~TNetAntiFreezeBase() override;

  // Processes pending user-interface work; called on the main thread only.
  virtual void Process() = 0;

  bool Active() const { return active_; }
  void SetActive(bool on) { active_ = on; }
  bool ApplicationHasPriority() const { return application_has_priority_; }
  void SetApplicationHasPriority(bool on) { application_has_priority_ = on; }
  int IdleTimeOut() const { return idle_time_out_; }
  void SetIdleTimeOut(int ms) { idle_time_out_ = ms; }
  bool OnlyWhenIdle() const { return only_when_idle_; }
  void SetOnlyWhenIdle(bool on) { only_when_idle_ = on; }

 private:
  bool active_ = true;
  bool application_has_priority_ = true;
  int idle_time_out_ = 250;
  bool only_when_idle_ = true;
};

// The registered anti-freeze object or null.
TNetAntiFreezeBase* NetAntiFreeze();
// True when an anti-freeze object exists, this is the main thread and the object is Active.
bool AntiFreezeApplies();
// Lets the anti-freeze object process when it applies and (idle, or not OnlyWhenIdle, or
// override).
void AntiFreezeProcess(bool idle, bool override_idle = false);
