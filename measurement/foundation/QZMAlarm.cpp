#include "measurement/foundation/QZMAlarm.h"

#include <cmath>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Clock.h"

QZMAlarm::QZMAlarm(Token, std::shared_ptr<dispatch::Queue> queue, std::string name)
    : queue_(std::move(queue)), name_(name.empty() ? std::string("Timer") : std::move(name)) {}

std::shared_ptr<QZMAlarm> QZMAlarm::initWithDispatchQueue(std::shared_ptr<dispatch::Queue> queue, std::string name) {
  return std::make_shared<QZMAlarm>(Token{}, std::move(queue), std::move(name));
}

QZMAlarm::~QZMAlarm() {
  std::lock_guard lock(mutex_);
  cancelLocked();
}

void QZMAlarm::runAfterDelay(double delay, Block block) {
  auto monitor = QZMMeasurementBase::monitor();
  if (!block) {
    monitor->logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
    return;
  }
  if (std::isnan(delay)) delay = 0;
  std::lock_guard lock(mutex_);
  cancelLocked();
  scheduledTimestamp_ = foundation::Date{foundation::now() + delay};
  std::uint64_t generation = ++generation_;
  // The pending timer holds the alarm and the block until it fires or is
  // cancelled.
  timer_ = dispatch::Timer::schedule(queue_, foundation::Deadline::wallAfterSeconds(delay),
                                     [self = shared_from_this(), generation, block = std::move(block)] {
                                       self->fire(generation, block);
                                     });
  monitor->logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", delay);
}

void QZMAlarm::fire(std::uint64_t generation, const Block& block) {
  {
    std::lock_guard lock(mutex_);
    // A timer replaced or cancelled after it was handed to the queue.
    if (generation != generation_ || !scheduledTimestamp_) return;
    QZMMeasurementBase::monitor()->logWithLevel(7, 2001, name_ + " fired");
    cancelLocked();
  }
  block();
}

void QZMAlarm::cancel() {
  std::lock_guard lock(mutex_);
  cancelLocked();
}

void QZMAlarm::cancelLocked() {
  if (!scheduledTimestamp_) return;
  auto monitor = QZMMeasurementBase::monitor();
  monitor->logWithLevel(7, 2003, name_ + " canceled");
  if (!timer_ || timer_->isCancelled()) {
    monitor->logWithLevel(4, 2004, name_ + " is not active");
  } else {
    timer_->cancel();
  }
  scheduledTimestamp_.reset();
  ++generation_;
}

bool QZMAlarm::hasActiveTimer() const {
  std::lock_guard lock(mutex_);
  return timer_ && !timer_->isCancelled();
}

std::optional<foundation::Date> QZMAlarm::scheduledTimestamp() const {
  std::lock_guard lock(mutex_);
  return scheduledTimestamp_;
}
