// A named one-shot timer on a dispatch queue. Arming it again moves the fire
// time (never two pending fires); when it fires it first returns to idle and
// then runs its block, which may arm it again. The fire time is wall-clock
// time, so it follows changes of the device's clock. Every step is logged
// under the alarm's name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"

class QZMAlarm : public std::enable_shared_from_this<QZMAlarm> {
 public:
  using Block = std::function<void()>;

  // An empty name becomes "Timer".
  static std::shared_ptr<QZMAlarm> initWithDispatchQueue(std::shared_ptr<dispatch::Queue> queue, std::string name);
  ~QZMAlarm();

  // Fires once, the given seconds from now (at once for zero or less). An
  // empty block is refused and leaves a pending fire as it was.
  void runAfterDelay(double delay, Block block);
  void cancel();
  bool hasActiveTimer() const;
  // When the pending fire is due; nullopt when idle.
  std::optional<foundation::Date> scheduledTimestamp() const;
  const std::string& name() const { return name_; }

  struct Token {};
  QZMAlarm(Token, std::shared_ptr<dispatch::Queue> queue, std::string name);

 private:
  void fire(std::uint64_t generation, const Block& block);
  void cancelLocked();

  const std::shared_ptr<dispatch::Queue> queue_;
  const std::string name_;
  mutable std::mutex mutex_;
  std::shared_ptr<dispatch::Timer> timer_;
  std::optional<foundation::Date> scheduledTimestamp_;
  // Tells a fire of a timer that was replaced meanwhile from the current one.
  std::uint64_t generation_ = 0;
};
