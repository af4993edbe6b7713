#include "runtime/Component.h"

#include <algorithm>

TComponent::~TComponent() {
  // Copy first: a watcher's Notification may unlink itself.
  std::vector<TComponent*> watchers;
  watchers.swap(watchers_);
  for (TComponent* w : watchers) {
    auto& theirs = w->watchers_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    w->Notification(this, opRemove);
  }
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(watchers_.begin(), watchers_.end(), other) == watchers_.end())
    watchers_.push_back(other);
  if (std::find(other->watchers_.begin(), other->watchers_.end(), this) == other->watchers_.end())
    other->watchers_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), other), watchers_.end());
  auto& theirs = other->watchers_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}
