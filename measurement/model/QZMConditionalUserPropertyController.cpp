#include "measurement/model/QZMConditionalUserPropertyController.h"

#include <mutex>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Clock.h"

using foundation::Error;
using foundation::Result;
using foundation::Status;
using Events = QZMConditionalUserPropertyController::Events;

namespace {

constexpr double kMinimumSeconds = 0.001;
constexpr double kMaximumSeconds = 15552000;  // 180 days
constexpr double kQueryWaitSeconds = 30;

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

std::string displayName(std::string_view name) { return QZMUserPropertyNameForLogging(name); }

// The engine's database, or the error that stands for a missing one.
Result<std::shared_ptr<QZMDatabase>> databaseOf(const std::shared_ptr<QZMMeasurementBase>& engine) {
  auto database = engine ? engine->database() : nullptr;
  if (!database) return qzm_errorWithCode(2, "Database not open");
  return database;
}

Result<std::optional<QZMConditionalUserProperty>> storedProperty(QZMDatabase& database, std::string_view name) {
  auto stored = database.conditionalUserPropertyWithName(name);
  if (!stored) return stored.error();
  if (!*stored) return std::optional<QZMConditionalUserProperty>();
  return QZMConditionalUserProperty::fromStored(**stored);
}

Result<std::vector<QZMConditionalUserProperty>> converted(
    const Result<std::vector<QZMStoredConditionalUserProperty>>& stored) {
  if (!stored) return stored.error();
  std::vector<QZMConditionalUserProperty> properties;
  for (const auto& row : *stored) {
    if (auto property = QZMConditionalUserProperty::fromStored(row)) properties.push_back(std::move(*property));
  }
  return properties;
}

// An internal event made from a property's event, with the property's origin.
std::unique_ptr<QZMEvent> internalEvent(std::string_view origin, const QZMEvent& event, double timestamp) {
  return QZMEvent::initWithOrigin(origin, false, event.name(), timestamp, 0, event.parameters());
}

void appendInternalEvent(Events& events, std::string_view origin, const QZMConditionalUserProperty::EventPointer& event,
                         double timestamp) {
  if (!event) return;
  if (auto made = internalEvent(origin, *event, timestamp)) events.push_back(std::move(made));
}

// Applies the property's value as a user property set at the time.
Status writeUserAttribute(QZMDatabase& database, const QZMConditionalUserProperty& property, double setTimestamp) {
  if (!property.value()) return qzm_errorWithCode(1, "Conditional user property has no value");
  auto attribute = QZMUserAttribute::initWithOrigin(property.origin(), property.name(), *property.value(), setTimestamp);
  if (!attribute) return qzm_errorWithCode(1, "User property rules refuse the conditional user property");
  return database.updateUserAttribute(attribute->stored());
}

bool isWithinLimits(double seconds) {
  // Written so that NaN fails too.
  return seconds >= kMinimumSeconds && seconds <= kMaximumSeconds;
}

// nullopt for nil; the object's text, or an error naming its class.
Result<std::optional<std::string>> optionalText(const QZMObject* object) {
  if (object == nullptr || (object->plain() && object->plain()->isNull())) return std::optional<std::string>();
  if (const std::string* text = object->validString()) return std::optional<std::string>(*text);
  return Error(kQZMErrorDomain, 1, object->className());
}

}  // namespace

bool QZMIsValidConditionalUserProperty(const QZMConditionalUserProperty& property) {
  if (!QZMDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin()) ||
      !QZMDataTypeValidator::isValidConditionalUserPropertyName(property.name())) {
    return false;
  }
  if (const auto& value = property.value()) {
    if (!QZMDataTypeValidator::isValidConditionalUserPropertyValue(*value)) return false;
    // Stored as an integer, an array would silently become 0.
    if (value->isArray()) {
      monitor()->logWithLevel(2, 11022, "Invalid conditional user property value. Arrays are not supported",
                              property.name());
      return false;
    }
  }
  if (!isWithinLimits(property.triggerTimeout())) {
    monitor()->logWithLevel(2, 11000, "Invalid conditional user property trigger timeout", property.triggerTimeout());
    return false;
  }
  if (!isWithinLimits(property.timeToLive())) {
    monitor()->logWithLevel(2, 11001, "Invalid conditional user property time to live", property.timeToLive());
    return false;
  }
  return true;
}

std::shared_ptr<QZMConditionalUserPropertyController> QZMConditionalUserPropertyController::sharedInstance() {
  // Lives for the process: the worker may still use it while the program ends.
  static const auto* instance =
      new std::shared_ptr<QZMConditionalUserPropertyController>(std::make_shared<ZNHAConditionalUserPropertyController>());
  return *instance;
}

// ---- Any thread ----

void QZMConditionalUserPropertyController::setConditionalUserProperty(const QZMConditionalUserProperty* property,
                                                                      std::string_view name) {
  if (!property) {
    monitor()->logWithLevel(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  QZMConditionalUserProperty copy = *property;
  copy.setName(std::string(name));
  if (!QZMIsValidConditionalUserProperty(copy)) return;
  copy.setCreationTimestamp(foundation::now());
  auto engine = QZMMeasurementBase::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) {
    monitor()->logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  scheduler->scheduleOnWorkerQueueBlockID("QZMConditionalUserPropertyController:88", [this, copy] {
    if (copy.value()) {
      setConditionalUserPropertyOnWorkerQueue(copy);
    } else {
      removeConditionalUserPropertyOnWorkerQueue(copy);
    }
  });
}

void QZMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    QZMConditionalUserProperty::EventPointer clearEvent, std::string_view name) {
  if (!QZMDataTypeValidator::isValidConditionalUserPropertyName(name)) return;
  QZMConditionalUserProperty property;
  property.setName(std::string(name));
  property.setExpiredEvent(std::move(clearEvent));
  auto engine = QZMMeasurementBase::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) {
    monitor()->logWithLevel(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  scheduler->scheduleOnWorkerQueueBlockID("QZMConditionalUserPropertyController:113", [this, property] {
    removeConditionalUserPropertyOnWorkerQueue(property);
  });
}

std::optional<std::vector<QZMConditionalUserProperty>>
QZMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const QZMObject* namePrefix,
                                                                              const QZMObject* filterByOrigin) {
  auto prefix = optionalText(namePrefix);
  if (!prefix) {
    monitor()->logWithLevel(2, 11003,
                            "Cannot query for conditional user properties. Name prefix is not a string. Class",
                            prefix.error().description);
    return std::nullopt;
  }
  auto origin = optionalText(filterByOrigin);
  if (!origin) {
    monitor()->logWithLevel(2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
                            origin.error().description);
    return std::nullopt;
  }
  auto engine = QZMMeasurementBase::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) {
    monitor()->logWithLevel(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
    return std::nullopt;
  }

  // Shared with the worker block, which may finish after this call has given
  // up waiting and returned.
  struct Outcome {
    std::mutex mutex;
    std::optional<std::vector<QZMConditionalUserProperty>> properties;
    std::optional<Error> error;
    dispatch::Semaphore done;
  };
  auto outcome = std::make_shared<Outcome>();
  auto query = [outcome, engine, prefix = prefix->value_or(""), origin = origin->value_or("")] {
    std::optional<std::vector<QZMConditionalUserProperty>> properties;
    std::optional<Error> error;
    if (!engine->isEnabled()) {
      monitor()->logWithLevel(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
    } else if (auto database = databaseOf(engine); !database) {
      error = database.error();
    } else if (auto found = converted((*database)->conditionalUserPropertiesWithPrefix(prefix, origin)); !found) {
      error = found.error();
    } else {
      properties = std::move(*found);
    }
    {
      std::lock_guard lock(outcome->mutex);
      outcome->properties = std::move(properties);
      outcome->error = std::move(error);
    }
    outcome->done.signal();
  };
  if (scheduler->isOnWorkerQueue()) {
    // Waiting here would wait for this very block.
    query();
  } else {
    scheduler->scheduleOnWorkerQueueBlockID("QZMConditionalUserPropertyController:161", query);
    outcome->done.wait(kQueryWaitSeconds);
  }
  std::lock_guard lock(outcome->mutex);
  if (!outcome->properties && outcome->error) {
    monitor()->logWithLevel(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
                            prefix->value_or(""), origin->value_or(""), *outcome->error);
    return std::nullopt;
  }
  return std::move(outcome->properties);
}

// ---- Worker queue ----

void QZMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const QZMConditionalUserProperty& property) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
  auto engine = QZMMeasurementBase::sharedInstance();
  if (!engine || !engine->isEnabled()) {
    monitor()->logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  auto database = databaseOf(engine);
  QZMConditionalUserProperty updated = property;
  std::unique_ptr<QZMEvent> triggeredEvent;
  auto committed = [&]() -> Status {
    if (!database) return database.error();
    return (*database)->performTransaction([&] {
      triggeredEvent.reset();
      updated = property;
      auto existing = storedProperty(**database, updated.name());
      if (!existing) {
        monitor()->logWithLevel(1, 11009, "Cannot query conditional user property. Name, origin, error",
                                displayName(updated.name()), updated.origin(), existing.error());
        return false;
      }
      const auto& saved = *existing;
      if (saved && saved->origin() != updated.origin()) {
        monitor()->logWithLevel(5, 11010,
                                "Updating a conditional user property with different origin. Name, origin, saved "
                                "origin",
                                displayName(updated.name()), updated.origin(), saved->origin());
      }
      const bool replacingActive = saved && saved->isActive();
      bool activatedNow = false;
      if (replacingActive) {
        // A replacement keeps the stored activation, and its new value is
        // applied at once.
        updated.setOrigin(saved->origin());
        updated.setCreationTimestamp(saved->creationTimestamp());
        updated.setTriggerEventName(saved->triggerEventName());
        updated.setTriggeredEvent(saved->triggeredEvent());
        updated.setTriggerTimeout(saved->triggerTimeout());
        updated.setActive(true);
        updated.setTriggeredTimestamp(saved->triggeredTimestamp());
      } else if (updated.triggerEventName().empty()) {
        updated.setActive(true);
        updated.setTriggeredTimestamp(updated.creationTimestamp());
        activatedNow = true;
      }
      if (updated.isActive()) {
        const double setTimestamp = replacingActive ? foundation::now() : updated.triggeredTimestamp();
        if (Status written = writeUserAttribute(**database, updated, setTimestamp); written) {
          monitor()->logWithLevel(7, 11012, "User property updated. Name, origin", displayName(updated.name()),
                                  updated.origin());
        } else {
          monitor()->logWithLevel(1, 11011,
                                  "Cannot update user property from conditional user property. Name, origin, error",
                                  displayName(updated.name()), updated.origin(), written.error());
        }
        if (activatedNow && updated.triggeredEvent()) {
          triggeredEvent = internalEvent(updated.origin(), *updated.triggeredEvent(), updated.triggeredTimestamp());
        }
      }
      if (Status stored = (*database)->updateConditionalUserProperty(updated.stored()); !stored) {
        // Without the row the applied value would never expire.
        monitor()->logWithLevel(1, 11014,
                                "Cannot insert user property from conditional user property. Name, origin, error",
                                displayName(updated.name()), updated.origin(), stored.error());
        return false;
      }
      monitor()->logWithLevel(7, 11013, "Conditional user property added. Name, origin", displayName(updated.name()),
                              updated.origin());
      return true;
    });
  }();
  if (committed && triggeredEvent) engine->writeEventOnWorkerQueue(*triggeredEvent);
}

void QZMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const QZMConditionalUserProperty& property) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
  auto engine = QZMMeasurementBase::sharedInstance();
  if (!engine || !engine->isEnabled()) {
    monitor()->logWithLevel(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  auto database = databaseOf(engine);
  std::unique_ptr<QZMEvent> expiredEvent;
  auto committed = [&]() -> Status {
    if (!database) return database.error();
    return (*database)->performTransaction([&] {
      expiredEvent.reset();
      auto existing = storedProperty(**database, property.name());
      if (!existing) {
        monitor()->logWithLevel(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
                                displayName(property.name()), property.origin(), existing.error());
        return false;
      }
      if (!*existing) {
        monitor()->logWithLevel(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin",
                                displayName(property.name()), property.origin());
        return true;
      }
      const QZMConditionalUserProperty& saved = **existing;
      if (Status deleted = (*database)->deleteConditionalUserPropertyWithName(saved.name()); !deleted) {
        monitor()->logWithLevel(1, 11019, "Cannot delete conditional user property. Name, origin, error",
                                displayName(saved.name()), saved.origin(), deleted.error());
        return false;
      }
      if (saved.isActive()) {
        if (Status deleted = (*database)->deleteUserAttributeWithName(saved.name()); !deleted) {
          monitor()->logWithLevel(
              1, 11020,
              "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
              displayName(saved.name()), saved.origin(), deleted.error());
          return false;
        }
      }
      if (property.expiredEvent()) expiredEvent = internalEvent(saved.origin(), *property.expiredEvent(), foundation::now());
      return true;
    });
  }();
  if (committed && expiredEvent) engine->writeEventOnWorkerQueue(*expiredEvent);
}

std::optional<Events> QZMConditionalUserPropertyController::processEventOnWorkerQueue(const QZMEvent* event) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (!event) {
    monitor()->logWithLevel(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  auto engine = QZMMeasurementBase::sharedInstance();
  auto database = databaseOf(engine);
  if (!database) return std::nullopt;
  // Nothing stored can time out, expire or trigger: every event asks, and
  // most apps keep none.
  if (auto any = (*database)->hasConditionalUserProperties(); any && !*any) return Events();
  Events timedOut;
  Events expired;
  std::optional<Events> triggered;
  Status committed = (*database)->performTransaction([&] {
    timedOut.clear();
    expired.clear();
    triggered.reset();
    if (!removeTimedOutCUPWithTimedOutEvents(timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(expired)) return false;
    triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggered.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& written : timedOut) engine->writeFilteredEventOnWorkerQueue(*written);
  for (const auto& written : expired) engine->writeFilteredEventOnWorkerQueue(*written);
  return triggered;
}

bool QZMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(Events& timedOutEvents) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
  auto database = databaseOf(QZMMeasurementBase::sharedInstance());
  auto properties = database ? converted((*database)->timedOutConditionalUserPropertiesWithError())
                             : Result<std::vector<QZMConditionalUserProperty>>(database.error());
  if (!properties) {
    monitor()->logWithLevel(1, 10001, "Cannot fetch timed out conditional user properties. Error",
                            properties.error());
    return false;
  }
  for (const auto& property : *properties) {
    monitor()->logWithLevel(7, 10002, "Conditional user property has timed out. Name", displayName(property.name()));
    if (Status deleted = (*database)->deleteConditionalUserPropertyWithName(property.name()); !deleted) {
      monitor()->logWithLevel(1, 10003, "Cannot delete timed out condition user property. Name, error",
                              displayName(property.name()), deleted.error());
      return false;
    }
    appendInternalEvent(timedOutEvents, property.origin(), property.timedOutEvent(), foundation::now());
  }
  return true;
}

bool QZMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(Events& expiredEvents) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
  auto database = databaseOf(QZMMeasurementBase::sharedInstance());
  auto properties = database ? converted((*database)->expiredConditionalUserPropertiesWithError())
                             : Result<std::vector<QZMConditionalUserProperty>>(database.error());
  if (!properties) {
    monitor()->logWithLevel(1, 10004, "Cannot fetch expired conditional user properties. Error", properties.error());
    return false;
  }
  for (const auto& property : *properties) {
    monitor()->logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event",
                            displayName(property.name()),
                            property.expiredEvent() ? property.expiredEvent()->name() : std::string("nil"));
    if (Status deleted = (*database)->deleteUserAttributeWithName(property.name()); !deleted) {
      monitor()->logWithLevel(
          1, 10006, "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
          displayName(property.name()), property.origin(), deleted.error());
      return false;
    }
    if (Status deleted = (*database)->deleteConditionalUserPropertyWithName(property.name()); !deleted) {
      monitor()->logWithLevel(1, 10007, "Cannot delete expired condition user property. Name, error",
                              displayName(property.name()), deleted.error());
      return false;
    }
    appendInternalEvent(expiredEvents, property.origin(), property.expiredEvent(), foundation::now());
  }
  return true;
}

std::optional<Events> QZMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    std::string_view eventName) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  auto database = databaseOf(QZMMeasurementBase::sharedInstance());
  auto query = [&](std::string_view name) {
    return database ? converted((*database)->triggeredConditionalUserPropertiesWithEventName(name))
                    : Result<std::vector<QZMConditionalUserProperty>>(database.error());
  };
  auto properties = query(eventName);
  if (properties && properties->empty()) {
    const auto& allowed = QZMAllowedReservedEventNameMap();
    if (auto mapped = allowed.find(eventName); mapped != allowed.end()) properties = query(mapped->second);
  }
  if (!properties) {
    monitor()->logWithLevel(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
                            QZMEventNameForLogging(eventName), properties.error());
    return std::nullopt;
  }
  Events triggered;
  for (auto& property : *properties) {
    const double now = foundation::now();
    if (Status written = writeUserAttribute(**database, property, now); written) {
      monitor()->logWithLevel(7, 10010, "User property updated. Name, origin, value", displayName(property.name()),
                              property.origin(), property.value() ? property.value()->description() : "");
    } else {
      monitor()->logWithLevel(1, 10009,
                              "Cannot update user property from conditional user property. Name, origin, error",
                              displayName(property.name()), property.origin(), written.error());
    }
    appendInternalEvent(triggered, property.origin(), property.triggeredEvent(), now);
    property.setActive(true);
    property.setTriggeredTimestamp(now);
    if (Status stored = (*database)->updateConditionalUserProperty(property.stored()); !stored) {
      monitor()->logWithLevel(1, 10011, "Cannot update conditional user property. Name, origin, error",
                              displayName(property.name()), property.origin(), stored.error());
      return std::nullopt;
    }
  }
  return triggered;
}
