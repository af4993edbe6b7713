#include "window/QtMainThreadQueue.h"

#include <QMetaObject>
#include <QObject>

TQtMainThreadQueue::TQtMainThreadQueue() : context_(new QObject) {}

TQtMainThreadQueue::~TQtMainThreadQueue() { Close(); }

void TQtMainThreadQueue::Post(std::function<void()> work) {
  // Holding the lock keeps the context alive while the call is queued on it.
  std::lock_guard<std::mutex> lock(mu_);
  if (!context_) return;
  QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}

void TQtMainThreadQueue::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  // Deleting the receiver removes the calls still waiting for it from the event queue.
  delete context_;
  context_ = nullptr;
}
