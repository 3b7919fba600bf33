// A user property whose value applies only once a trigger event is logged
// within a trigger timeout, and is removed again a time to live after that.
// Each transition (triggered, timed out, expired or cleared) may log an
// event of the caller's choosing. Every field is settable, as the interop
// callers fill it by name; copies share the (immutable) events.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMValue.h"

class QZMConditionalUserProperty {
 public:
  using EventPointer = std::shared_ptr<const QZMEvent>;

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }
  // Absent: the property is to be removed.
  const std::optional<QZMValue>& value() const { return value_; }
  void setValue(std::optional<QZMValue> value) { value_ = std::move(value); }
  // Empty: active at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
  // Seconds after creation during which the trigger is accepted.
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
  // Seconds the property stays after activation.
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }
  const EventPointer& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(EventPointer event) { triggeredEvent_ = std::move(event); }
  const EventPointer& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(EventPointer event) { timedOutEvent_ = std::move(event); }
  // Logged on expiry, and on clearing.
  const EventPointer& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(EventPointer event) { expiredEvent_ = std::move(event); }
  // Seconds since 1970, set when the property is accepted.
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
  // Whether the value is applied.
  bool isActive() const { return active_; }
  void setActive(bool active) { active_ = active; }
  // Seconds since 1970 of the activation.
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

  // The database's form; a missing value is stored as none (and refused).
  QZMStoredConditionalUserProperty stored() const;
  // nullopt, with a log line, when the row's value or one of its events does
  // not convert.
  static std::optional<QZMConditionalUserProperty> fromStored(const QZMStoredConditionalUserProperty& stored);

 private:
  std::string name_;
  std::string origin_;
  std::optional<QZMValue> value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  EventPointer triggeredEvent_;
  EventPointer timedOutEvent_;
  EventPointer expiredEvent_;
  double creationTimestamp_ = 0;
  bool active_ = false;
  double triggeredTimestamp_ = 0;
};
