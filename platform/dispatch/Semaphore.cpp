#include "platform/dispatch/Semaphore.h"

namespace dispatch {

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  cv_.notify_one();
}

bool Semaphore::wait(foundation::Deadline deadline) {
  std::unique_lock lock(mutex_);
  if (!foundation::waitUntil(cv_, lock, deadline, [this] { return value_ > 0; })) return false;
  --value_;
  return true;
}

}  // namespace dispatch
