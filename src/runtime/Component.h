// Free notification between objects that reference each other without owning: when a
// TComponent is destroyed, every component that asked to be told (FreeNotification) gets
// Notification(it, opRemove) and forgets its pointer. Not thread-safe: link and unlink
// components on one thread.
#pragma once

#include <vector>

enum TOperation { opInsert, opRemove };

class TComponent {
 public:
  TComponent() = default;
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Ask to be told (through other->Notification) when this component is destroyed; mutual.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  virtual void Notification(TComponent* component, TOperation operation) {}

 private:
  std::vector<TComponent*> watchers_;
};
