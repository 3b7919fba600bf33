#include "measurement/model/QZMConditionalUserProperty.h"

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMUserAttribute.h"

namespace {

std::shared_ptr<const QZMPBEvent> protoOf(const QZMConditionalUserProperty::EventPointer& event) {
  return event ? std::shared_ptr<const QZMPBEvent>(event->protoEvent()) : nullptr;
}

}  // namespace

QZMStoredConditionalUserProperty QZMConditionalUserProperty::stored() const {
  QZMStoredConditionalUserProperty stored;
  stored.name = name_;
  stored.origin = origin_;
  if (value_) stored.value = QZMStoredObjectFromValue(*value_);
  stored.creationTimestamp = creationTimestamp_;
  stored.active = active_;
  stored.triggerTimeout = triggerTimeout_;
  stored.triggeredTimestamp = triggeredTimestamp_;
  stored.timeToLive = timeToLive_;
  stored.triggerEventName = triggerEventName_;
  stored.triggeredEvent = protoOf(triggeredEvent_);
  stored.timedOutEvent = protoOf(timedOutEvent_);
  stored.expiredEvent = protoOf(expiredEvent_);
  return stored;
}

std::optional<QZMConditionalUserProperty> QZMConditionalUserProperty::fromStored(
    const QZMStoredConditionalUserProperty& stored) {
  auto skip = [&](std::string_view why) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 11021, "Skipping unreadable conditional user property. Name, reason",
                                                stored.name, std::string(why));
    return std::nullopt;
  };
  QZMConditionalUserProperty property;
  property.name_ = stored.name;
  property.origin_ = stored.origin;
  QZMObject object(stored.value);
  property.value_ = QZMValue::valueFromObject(&object);
  if (!property.value_) return skip("value is neither a string nor a number");
  property.creationTimestamp_ = stored.creationTimestamp;
  property.active_ = stored.active;
  property.triggerTimeout_ = stored.triggerTimeout;
  property.triggeredTimestamp_ = stored.triggeredTimestamp;
  property.timeToLive_ = stored.timeToLive;
  property.triggerEventName_ = stored.triggerEventName;
  const std::pair<const std::shared_ptr<const QZMPBEvent>&, EventPointer*> events[] = {
      {stored.triggeredEvent, &property.triggeredEvent_},
      {stored.timedOutEvent, &property.timedOutEvent_},
      {stored.expiredEvent, &property.expiredEvent_}};
  for (const auto& [proto, into] : events) {
    if (!proto) continue;
    std::shared_ptr<const QZMEvent> event = QZMEvent::initWithEventProto(proto.get());
    if (!event) {
      // Taken as absent: the property must still expire and be cleared.
      QZMMeasurementBase::monitor()->logWithLevel(2, 11023,
                                                  "Conditional user property event is unreadable and left out. Name, "
                                                  "reason",
                                                  stored.name, std::string("Failed to initialize event from proto data"));
      continue;
    }
    *into = std::move(event);
  }
  return property;
}
