// The program's one clock: calendar time and time since boot. Everything that
// reads the time or waits for a deadline goes through it, so a test can put a
// FakeClock in its place and move time forward by hand.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace foundation {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970 (the device's calendar clock; may jump).
  virtual double now() const = 0;
  // Nanoseconds since boot; never goes back.
  virtual std::int64_t uptimeNanos() const = 0;
  // Whether waits may sleep on the operating system's clocks.
  virtual bool isReal() const { return false; }
};

// The system clocks: CLOCK_REALTIME and CLOCK_BOOTTIME.
class SystemClock final : public Clock {
 public:
  double now() const override;
  std::int64_t uptimeNanos() const override;
  bool isReal() const override { return true; }
};

// A clock that moves only when told to; every move wakes the waiters.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double now = 1.7e9, std::int64_t uptimeNanos = 1'000'000'000'000);
  double now() const override;
  std::int64_t uptimeNanos() const override;
  // Moves both clocks forward.
  void advance(double seconds);
  // Moves the calendar clock only, as a user changing the device's time.
  void setNow(double now);

 private:
  mutable std::mutex mutex_;
  double now_;
  std::int64_t uptime_;
};

// The clock in force; a system clock unless a test installed another.
std::shared_ptr<Clock> clock();
// Installs a clock (nullptr restores the system clock) and wakes every waiter.
void setClock(std::shared_ptr<Clock> clock);

// Shorthands for clock()->now() and clock()->uptimeNanos().
double now();
std::int64_t uptimeNanos();
double uptimeSeconds();

// A point in time on one of the two clocks.
struct Deadline {
  enum class Base { uptime, wall };
  Base base = Base::uptime;
  // Nanoseconds since boot (uptime) or since 1970 (wall).
  std::int64_t nanos = 0;

  static Deadline afterSeconds(double seconds);      // on the uptime clock
  static Deadline wallAfterSeconds(double seconds);  // on the calendar clock
  static Deadline distantFuture();
  bool isDistantFuture() const;
  // Nanoseconds left (negative once passed), read from the current clock.
  std::int64_t remainingNanos() const;
  bool passed() const { return remainingNanos() <= 0; }
};

// Waits on cv until pred() holds or the deadline passes on the current clock;
// answers pred(). Wakes when the clock is changed or moved, so a FakeClock
// drives the wait without real sleeping.
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, const Deadline& deadline,
               const std::function<bool()>& pred);

// Called by clocks when their time moves; wakes every waitUntil.
void notifyClockChanged();

}  // namespace foundation
