// Worker threads whose completion is delivered on the UI thread.
//
// The UI thread is whatever thread pumps the main-thread queue: the Qt window installs a queue
// that posts through the Qt event loop; tests install a TPumpQueue and pump it themselves.
// With no queue installed, completion handlers run on the finishing thread itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Receives work that must run on the UI thread. Post may be called from any thread.
class TMainThreadQueue {
 public:
  virtual ~TMainThreadQueue() = default;
  virtual void Post(std::function<void()> work) = 0;
};

// Installs the process-wide queue (nullptr removes it). Not owned. Returns the previous one.
TMainThreadQueue* SetMainThreadQueue(TMainThreadQueue* queue);
// Posts `work` to the installed queue, or runs it at once when none is installed.
void QueueOnMainThread(std::function<void()> work);
// The thread that first called this (or MarkMainThread) is the main thread.
void MarkMainThread();
bool IsMainThread();

// A plain queue for tests and programs without an event loop.
class TPumpQueue : public TMainThreadQueue {
 public:
  void Post(std::function<void()> work) override;
  // Runs everything queued so far (and what that posts); returns how many ran.
  int Pump();
  // Pumps until pred() holds or timeout_ms passes; returns pred().
  bool PumpUntil(const std::function<bool()>& pred, int timeout_ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> work_;
};

// A thread object in the runtime's style. Derive, override Execute, construct with new, then
// call Start() (the last statement of the most-derived constructor, or right after new): the
// thread runs Execute, then OnTerminate on the main thread, then, with FreeOnTerminate (the
// default), deletes itself. Without FreeOnTerminate the owner calls WaitFor and deletes it.
// Nothing escapes Execute: an exception ends it and is kept as FatalMessage.
class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  // Asks Execute to stop; Execute polls Terminated().
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }
  // Blocks until Execute has returned (not for self-freeing threads).
  void WaitFor();

  bool FreeOnTerminate() const { return free_on_terminate_; }
  void SetFreeOnTerminate(bool on) { free_on_terminate_ = on; }
  std::function<void(TThread*)> OnTerminate;  // runs on the main thread
  const std::string& FatalMessage() const { return fatal_message_; }

  static void Sleep(int ms);

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool free_on_terminate_ = true;
  std::string fatal_message_;
  std::mutex done_mu_;
  std::condition_variable done_cv_;
};
