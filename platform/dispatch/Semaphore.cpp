#include "platform/dispatch/Semaphore.h"

namespace dispatch {

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  cv_.notify_one();
}

bool Semaphore::wait(foundation::Deadline deadline) {
  std::unique_lock lock(mutex_);
  // A free unit is taken at once: no waiting, nothing registered, nothing
  // allocated (the frame loop takes one every frame).
  if (value_ == 0 && !foundation::waitUntil(cv_, lock, deadline, [this] { return value_ > 0; })) return false;
  --value_;
  return true;
}

}  // namespace dispatch
