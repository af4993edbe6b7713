// TBatchPipe: hands items from one thread (the producer) to another (the consumer) in batches,
// so that the two meet once a batch rather than once an item. Three batches take turns: one
// being filled, one handed over, one being taken; their slots are assigned over, so items
// whose members hold strings keep their room from batch to batch. The producer waits while
// the consumer is a whole batch behind, so memory stays at three batches however long the run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

template <typename T>
class TBatchPipe {
 public:
  explicit TBatchPipe(size_t batch_size) : size_(batch_size < 1 ? 1 : batch_size) {}

  // Producer: a copy of `item` goes into the batch being filled, handed over when full.
  void Put(const T& item) {
    if (filling_.size() < size_) filling_.resize(size_);
    filling_[filled_++] = item;
    if (filled_ == size_) HandOver(false);
  }
  // Producer: hands over what is filled; nothing more comes.
  void Close() { HandOver(true); }

  // Consumer: the next batch (items [0, count)), waiting for one; false once the producer has
  // closed and everything was taken. The batch stays valid until the next call.
  bool Take(const T*& items, size_t& count) {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait(lock, [&] { return handed_ || closed_; });
    if (!handed_) return false;
    std::swap(taking_, handed_over_);
    count = handed_count_;
    items = taking_.data();
    handed_ = false;
    lock.unlock();
    taken_.notify_one();
    return true;
  }

 private:
  void HandOver(bool close) {
    std::unique_lock<std::mutex> lock(mu_);
    taken_.wait(lock, [&] { return !handed_; });
    if (filled_ > 0) {
      std::swap(filling_, handed_over_);
      handed_count_ = filled_;
      handed_ = true;
      filled_ = 0;
    }
    closed_ = close;
    lock.unlock();
    ready_.notify_one();
  }

  const size_t size_;
  std::vector<T> filling_;  // the producer's alone
  size_t filled_ = 0;
  std::vector<T> taking_;  // the consumer's alone
  std::mutex mu_;          // guards what follows
  std::condition_variable ready_, taken_;
  std::vector<T> handed_over_;
  size_t handed_count_ = 0;
  bool handed_ = false;  // handed_over_ waits to be taken
  bool closed_ = false;
};
