#include <algorithm>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// One thread watches every pending timer and hands each to its queue when its
// deadline passes on the current clock.
class TimerThread {
 public:
  static TimerThread& shared() {
    // Never destroyed: timers may be pending when the program ends.
    static auto* instance = new TimerThread;
    return *instance;
  }

  void add(std::shared_ptr<Timer> timer) {
    std::lock_guard lock(mutex_);
    timers_.push_back(std::move(timer));
    changed_ = true;
    cv_.notify_all();
  }

 private:
  TimerThread() {
    std::thread([this] { run(); }).detach();
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      std::vector<std::shared_ptr<Timer>> due;
      foundation::Deadline nearest = foundation::Deadline::distantFuture();
      std::int64_t nearestRemaining = nearest.remainingNanos();
      for (auto it = timers_.begin(); it != timers_.end();) {
        if ((*it)->isCancelled()) {
          it = timers_.erase(it);
          continue;
        }
        std::int64_t remaining = (*it)->deadline().remainingNanos();
        if (remaining <= 0) {
          due.push_back(std::move(*it));
          it = timers_.erase(it);
          continue;
        }
        if (remaining < nearestRemaining) {
          nearestRemaining = remaining;
          nearest = (*it)->deadline();
        }
        ++it;
      }
      if (!due.empty()) {
        lock.unlock();
        for (auto& timer : due) timer->fire();
        due.clear();
        lock.lock();
        continue;
      }
      changed_ = false;
      foundation::waitUntil(cv_, lock, nearest, [this] { return changed_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::shared_ptr<Timer>> timers_;
  bool changed_ = false;
};

Timer::Timer(std::shared_ptr<Queue> queue, foundation::Deadline deadline, Block handler)
    : queue_(std::move(queue)), deadline_(deadline), handler_(std::move(handler)) {}

std::shared_ptr<Timer> Timer::schedule(std::shared_ptr<Queue> queue, foundation::Deadline deadline, Block handler) {
  std::shared_ptr<Timer> timer(new Timer(std::move(queue), deadline, std::move(handler)));
  TimerThread::shared().add(timer);
  return timer;
}

void Timer::cancel() {
  Block released;
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  // The handler's captures are let go now, outside the lock.
  released = std::move(handler_);
  handler_ = nullptr;
}

bool Timer::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool Timer::hasFired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

void Timer::fire() {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || fired_) return;
    fired_ = true;
  }
  queue_->async([self = shared_from_this()] {
    Block handler;
    {
      std::lock_guard lock(self->mutex_);
      if (self->cancelled_) return;
      handler = std::move(self->handler_);
      self->handler_ = nullptr;
    }
    if (handler) handler();
  });
}

}  // namespace dispatch
