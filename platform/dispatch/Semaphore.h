// A counting semaphore whose waits time out on foundation's clock.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/foundation/Clock.h"

namespace dispatch {

class Semaphore {
 public:
  explicit Semaphore(long value = 0) : value_(value) {}
  void signal();
  // Takes one unit; false when the deadline passed first.
  bool wait(foundation::Deadline deadline = foundation::Deadline::distantFuture());
  bool wait(double seconds) { return wait(foundation::Deadline::afterSeconds(seconds)); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long value_;
};

}  // namespace dispatch
