// TThread: completion handlers arrive on the thread that pumps the main-thread queue, after
// Execute and before the self-freeing delete; exceptions stay inside; termination requests are
// seen; and threads that finish at once never touch freed memory.
#include "runtime/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <string>
#include <vector>

#include "runtime/BatchPipe.h"
#include "runtime/Exception.h"

namespace {

class FnThread : public TThread {
 public:
  FnThread(std::function<void(FnThread*)> body, std::atomic<int>* destroyed = nullptr)
      : body_(std::move(body)), destroyed_(destroyed) {}
  ~FnThread() override {
    if (destroyed_) destroyed_->fetch_add(1);
  }

 protected:
  void Execute() override {
    if (body_) body_(this);
  }

 private:
  std::function<void(FnThread*)> body_;
  std::atomic<int>* destroyed_;
};

// Installs a pump queue for one test and removes it again.
// A pumped queue that also lets a test wait until work has been posted to it.
class TWatchedQueue : public TPumpQueue {
 public:
  // Counts first: once the work is queued the test may pump it and end, destroying the queue
  // while this thread is still on its way out of Post.
  void Post(std::function<void()> work) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++posted_;
      cv_.notify_all();
    }
    TPumpQueue::Post(std::move(work));
  }
  // Blocks until at least n pieces of work were posted (or 10 s passed); returns whether.
  bool WaitPosted(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return posted_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int posted_ = 0;
};

class QueueScope {
 public:
  QueueScope() { previous_ = SetMainThreadQueue(&queue_); }
  ~QueueScope() {
    SetMainThreadQueue(previous_);
    queue_.Pump();
  }
  TWatchedQueue& queue() { return queue_; }

 private:
  TWatchedQueue queue_;
  TMainThreadQueue* previous_;
};

}  // namespace

TEST(TThread, CompletionRunsOnThePumpingThreadThenTheThreadFreesItself) {
  QueueScope scope;
  std::atomic<int> destroyed{0};
  std::atomic<bool> executed{false};
  std::thread::id completion_thread;
  bool completed = false;
  auto* t = new FnThread([&](FnThread*) { executed = true; }, &destroyed);
  t->OnTerminate = [&](TThread* self) {
    EXPECT_EQ(self, t);
    EXPECT_TRUE(executed.load());
    EXPECT_EQ(destroyed.load(), 0);  // still alive inside its completion handler
    completion_thread = std::this_thread::get_id();
    completed = true;
  };
  t->Start();
  ASSERT_TRUE(scope.queue().PumpUntil([&] { return completed; }, 10000));
  EXPECT_EQ(completion_thread, std::this_thread::get_id());
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(TThread, NothingRunsOnTheUiThreadUntilItPumps) {
  QueueScope scope;
  std::atomic<bool> done{false};
  bool completed = false;
  auto* t = new FnThread([&](FnThread*) { done = true; });
  t->OnTerminate = [&](TThread*) { completed = true; };
  t->Start();
  ASSERT_TRUE(scope.queue().WaitPosted(1));  // the completion is waiting in the queue
  EXPECT_TRUE(done);
  EXPECT_FALSE(completed);
  EXPECT_TRUE(scope.queue().PumpUntil([&] { return completed; }, 10000));
}

TEST(TThread, ExceptionsEndExecuteAndAreKept) {
  QueueScope scope;
  auto* a = new FnThread([](FnThread*) { throw Exception("Read Timeout"); });
  auto* b = new FnThread([](FnThread*) { throw std::runtime_error("std"); });
  auto* c = new FnThread([](FnThread*) { throw 42; });
  std::string messages[3];
  int completed = 0;
  FnThread* threads[] = {a, b, c};
  for (int i = 0; i < 3; ++i) {
    threads[i]->OnTerminate = [&, i](TThread* self) {
      messages[i] = self->FatalMessage();
      ++completed;
    };
    threads[i]->Start();
  }
  ASSERT_TRUE(scope.queue().PumpUntil([&] { return completed == 3; }, 10000));
  EXPECT_EQ(messages[0], "Read Timeout");
  EXPECT_EQ(messages[1], "std");
  EXPECT_EQ(messages[2], "Unknown exception");
}

TEST(TThread, OwnedThreadSeesTerminateAndIsWaitedFor) {
  QueueScope scope;
  std::atomic<int> destroyed{0};
  std::atomic<bool> running{false};
  auto* t = new FnThread(
      [&](FnThread* self) {
        running = true;
        while (!self->Terminated()) TThread::Sleep(1);
      },
      &destroyed);
  t->SetFreeOnTerminate(false);
  t->Start();
  while (!running) std::this_thread::yield();
  EXPECT_FALSE(t->Finished());
  t->Terminate();
  t->WaitFor();
  EXPECT_TRUE(t->Finished());
  delete t;
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(TThread, SelfFreeingThreadsThatFinishAtOnceWithoutAQueue) {
  // With no queue the completion and the delete run on the finishing thread itself, possibly
  // before Start has returned; Start must not touch the object afterwards.
  ASSERT_EQ(SetMainThreadQueue(nullptr), nullptr);
  std::atomic<int> destroyed{0};
  std::atomic<int> completed{0};
  constexpr int kThreads = 200;
  for (int i = 0; i < kThreads; ++i) {
    auto* t = new FnThread(nullptr, &destroyed);
    t->OnTerminate = [&](TThread*) { completed.fetch_add(1); };
    t->Start();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (destroyed.load() < kThreads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(completed.load(), kThreads);
  EXPECT_EQ(destroyed.load(), kThreads);
}

TEST(TPumpQueue, WorkPostedWhilePumpingRunsInTheSamePump) {
  TPumpQueue q;
  int order = 0, first = 0, second = 0;
  q.Post([&] {
    first = ++order;
    q.Post([&] { second = ++order; });
  });
  EXPECT_EQ(q.Pump(), 2);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_FALSE(q.PumpUntil([] { return false; }, 10));
}

// Every item arrives once and in order, the last partial batch included, whatever the batch
// size; strings handed over keep their text although their slots are reused.
TEST(TBatchPipe, HandsEveryItemOverInOrderWithTheLastPartialBatch) {
  for (size_t batch : {size_t{1}, size_t{7}, size_t{64}, size_t{5000}}) {
    TBatchPipe<std::string> pipe(batch);
    constexpr int kItems = 1000;
    std::thread producer([&] {
      for (int i = 0; i < kItems; ++i) pipe.Put(std::string(i % 40, 'x') + std::to_string(i));
      pipe.Close();
    });
    std::vector<std::string> got;
    const std::string* items = nullptr;
    size_t count = 0;
    while (pipe.Take(items, count)) got.insert(got.end(), items, items + count);
    producer.join();
    ASSERT_EQ(got.size(), size_t{kItems}) << "batch " << batch;
    for (int i = 0; i < kItems; ++i)
      ASSERT_EQ(got[i], std::string(i % 40, 'x') + std::to_string(i)) << "batch " << batch;
  }
  TBatchPipe<int> empty(8);
  empty.Close();
  const int* items = nullptr;
  size_t count = 0;
  EXPECT_FALSE(empty.Take(items, count));
}
