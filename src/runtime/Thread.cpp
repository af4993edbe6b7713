#include "runtime/Thread.h"

#include <chrono>

#include "runtime/Exception.h"

namespace {
std::atomic<TMainThreadQueue*> g_queue{nullptr};
std::once_flag g_main_once;
std::thread::id g_main_id;
}  // namespace

TMainThreadQueue* SetMainThreadQueue(TMainThreadQueue* queue) {
  MarkMainThread();
  return g_queue.exchange(queue);
}

void QueueOnMainThread(std::function<void()> work) {
  TMainThreadQueue* q = g_queue.load();
  if (q) q->Post(std::move(work));
  else work();
}

void MarkMainThread() {
  std::call_once(g_main_once, [] { g_main_id = std::this_thread::get_id(); });
}

bool IsMainThread() {
  MarkMainThread();
  return std::this_thread::get_id() == g_main_id;
}

void TPumpQueue::Post(std::function<void()> work) {
  // Notify under the lock: a pumping thread may destroy the queue as soon as it sees the work.
  std::lock_guard<std::mutex> lock(mu_);
  work_.push_back(std::move(work));
  cv_.notify_all();
}

int TPumpQueue::Pump() {
  int ran = 0;
  for (;;) {
    std::function<void()> w;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (work_.empty()) return ran;
      w = std::move(work_.front());
      work_.pop_front();
    }
    w();
    ++ran;
  }
}

bool TPumpQueue::PumpUntil(const std::function<bool()>& pred, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Pump();
    if (pred()) return true;
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_until(lock, deadline, [&] { return !work_.empty(); })) {
      lock.unlock();
      Pump();
      return pred();
    }
  }
}

TThread::TThread() { MarkMainThread(); }

TThread::~TThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }
}

void TThread::Start() {
  // A self-freeing thread may finish and delete this object before the std::thread constructor
  // has even returned here, so nothing of *this may be touched once it runs: decide first, and
  // keep the handle in a local.
  if (free_on_terminate_) {
    std::thread([this] { Run(); }).detach();
  } else {
    thread_ = std::thread([this] { Run(); });
  }
}

void TThread::Run() {
  try {
    Execute();
  } catch (const Exception& e) {
    fatal_message_ = e.Message();
  } catch (const std::exception& e) {
    fatal_message_ = e.what();
  } catch (...) {
    fatal_message_ = "Unknown exception";
  }
  bool self_free = free_on_terminate_;
  {
    std::lock_guard<std::mutex> lock(done_mu_);
    finished_.store(true);
  }
  done_cv_.notify_all();
  if (self_free) {
    // The completion handler and the delete run on the main thread, in that order.
    QueueOnMainThread([this] {
      if (OnTerminate) OnTerminate(this);
      delete this;
    });
  } else if (OnTerminate) {
    QueueOnMainThread([this] { OnTerminate(this); });
  }
}

void TThread::WaitFor() {
  std::unique_lock<std::mutex> lock(done_mu_);
  done_cv_.wait(lock, [this] { return finished_.load(); });
  lock.unlock();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TThread::Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
