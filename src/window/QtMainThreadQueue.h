// The main-thread queue of the Qt program: work posted from any thread runs on the thread that
// created the queue (the GUI thread) from the Qt event loop, in the order posted.
//
// Threads: Post may be called from any thread at any time, also while and after the program
// shuts down; Close is called on the GUI thread. After Close, posted work is dropped, and so is
// work still waiting in the event loop.
#pragma once

#include <functional>
#include <mutex>

#include "runtime/Thread.h"

class QObject;

class TQtMainThreadQueue : public TMainThreadQueue {
 public:
  // Call on the GUI thread after the QApplication exists.
  TQtMainThreadQueue();
  // Closes the queue first.
  ~TQtMainThreadQueue() override;

  void Post(std::function<void()> work) override;
  // Drops all waiting and future work. GUI thread.
  void Close();

 private:
  std::mutex mu_;
  QObject* context_;  // receives the queued calls; deleted by Close (which drops them)
};
