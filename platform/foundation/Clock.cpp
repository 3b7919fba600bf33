#include "platform/foundation/Clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <set>

namespace foundation {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

std::int64_t secondsToNanos(double seconds) {
  if (std::isnan(seconds)) return 0;
  double n = seconds * 1e9;
  if (n >= 9.2e18) return std::numeric_limits<std::int64_t>::max() / 2;
  if (n <= -9.2e18) return std::numeric_limits<std::int64_t>::min() / 2;
  return static_cast<std::int64_t>(n);
}

// Never destroyed, like everything below: the timer thread and queue runners
// may still read the clock while the program ends.
std::mutex& clockMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<Clock>& installedClock() {
  static auto* c = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *c;
}
// Whether the installed clock is the system's: every thread reads the time
// often, and then needs neither the mutex nor the clock's reference.
std::atomic<bool> gSystemClockInstalled{true};

// Condition variables of the threads inside waitUntil.
std::mutex& waitersMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::multiset<std::condition_variable*>& waiters() {
  static auto* w = new std::multiset<std::condition_variable*>;
  return *w;
}

}  // namespace

double SystemClock::now() const { return static_cast<double>(readClock(CLOCK_REALTIME)) / 1e9; }
std::int64_t SystemClock::uptimeNanos() const { return readClock(CLOCK_BOOTTIME); }

FakeClock::FakeClock(double now, std::int64_t uptimeNanos) : now_(now), uptime_(uptimeNanos) {}

double FakeClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}
std::int64_t FakeClock::uptimeNanos() const {
  std::lock_guard lock(mutex_);
  return uptime_;
}
void FakeClock::advance(double seconds) {
  {
    std::lock_guard lock(mutex_);
    now_ += seconds;
    uptime_ += std::max<std::int64_t>(0, secondsToNanos(seconds));
  }
  notifyClockChanged();
}
void FakeClock::setNow(double now) {
  {
    std::lock_guard lock(mutex_);
    now_ = now;
  }
  notifyClockChanged();
}

std::shared_ptr<Clock> clock() {
  std::lock_guard lock(clockMutex());
  return installedClock();
}

void setClock(std::shared_ptr<Clock> c) {
  {
    std::lock_guard lock(clockMutex());
    installedClock() = c ? std::move(c) : std::make_shared<SystemClock>();
    gSystemClockInstalled = dynamic_cast<SystemClock*>(installedClock().get()) != nullptr;
  }
  notifyClockChanged();
}

double now() {
  if (gSystemClockInstalled.load(std::memory_order_acquire)) return SystemClock().now();
  return clock()->now();
}
std::int64_t uptimeNanos() {
  if (gSystemClockInstalled.load(std::memory_order_acquire)) return SystemClock().uptimeNanos();
  return clock()->uptimeNanos();
}
double uptimeSeconds() { return static_cast<double>(uptimeNanos()) / 1e9; }

Deadline Deadline::afterSeconds(double seconds) {
  return {Base::uptime, uptimeNanos() + std::max<std::int64_t>(0, secondsToNanos(seconds))};
}
Deadline Deadline::wallAfterSeconds(double seconds) {
  return {Base::wall, secondsToNanos(now()) + std::max<std::int64_t>(0, secondsToNanos(seconds))};
}
Deadline Deadline::distantFuture() { return {Base::uptime, std::numeric_limits<std::int64_t>::max()}; }
bool Deadline::isDistantFuture() const { return nanos == std::numeric_limits<std::int64_t>::max(); }

std::int64_t Deadline::remainingNanos() const {
  if (isDistantFuture()) return std::numeric_limits<std::int64_t>::max();
  auto c = clock();
  std::int64_t current = base == Base::uptime ? c->uptimeNanos() : secondsToNanos(c->now());
  return nanos - current;
}

bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, const Deadline& deadline,
               const std::function<bool()>& pred) {
  {
    std::lock_guard w(waitersMutex());
    waiters().insert(&cv);
  }
  struct Unregister {
    std::condition_variable* cv;
    ~Unregister() {
      std::lock_guard w(waitersMutex());
      waiters().erase(waiters().find(cv));
    }
  } unregister{&cv};

  for (;;) {
    if (pred()) return true;
    std::int64_t remaining = deadline.remainingNanos();
    if (remaining <= 0) return pred();
    // Slices bound the cost of a clock notice that slipped in between the
    // check above and the wait: a calendar deadline follows clock jumps, and a
    // fake clock is re-read shortly even if its notice was missed.
    std::int64_t slice;
    if (!clock()->isReal()) {
      slice = 20'000'000;
    } else if (deadline.base == Deadline::Base::wall) {
      slice = std::min<std::int64_t>(remaining, 250'000'000);
    } else {
      slice = std::min<std::int64_t>(remaining, kNanosPerSecond);
    }
    cv.wait_for(lock, std::chrono::nanoseconds(slice));
  }
}

void notifyClockChanged() {
  std::lock_guard w(waitersMutex());
  for (auto* cv : waiters()) cv->notify_all();
}

}  // namespace foundation
