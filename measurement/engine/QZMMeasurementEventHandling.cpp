#include <algorithm>
#include <memory>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventNames.h"
#include "platform/foundation/Clock.h"

namespace {

const QZMValue* parameter(const QZMEvent& event, std::string_view name) {
  auto it = event.parameters().find(name);
  return it == event.parameters().end() ? nullptr : &it->second;
}

// An event a program queued: non-public, its origin from "_o" when that is
// text.
std::unique_ptr<QZMEvent> eventFromEditingItem(const QZMPEvent& item) {
  std::string origin = "app";
  if (const foundation::Object* given = item.parameterForName("_o"); given && given->isString()) {
    origin = *given->string();
  }
  QZMDictionary parameters(item.parameters().begin(), item.parameters().end());
  return QZMEvent::initWithOrigin(origin, false, item.name(), item.timestamp(), 0, parameters);
}

}  // namespace

void QZMMeasurement::handleEventOnWorkerQueue(std::unique_ptr<QZMEvent> event) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!event) return;
  const QZMDatabase::SharedLook look(database());
  auto monitor = QZMMeasurement::monitor();
  if (!isEnabled()) {
    monitor->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  event = eventAfterSafelistingEvent(std::move(event));
  if (!event) return;
  processSessionFromEvent(*event);
  if (!dedupeSubscriptionEvent(*event) || shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithZarnholtFeatureRollouts(std::move(event));
  writeSessionStartEventOnWorkerQueue(*event);

  auto config = remoteConfigInstance();
  std::shared_ptr<QZMPEventEditing> editing = config ? config->eventEditing() : nullptr;
  if (!editing) {
    writeEventOnWorkerQueue(std::move(event));
    updateSchedule();
    return;
  }
  QZMPError error;
  editing->handleEvent(event->editEvent(), error);
  if (error) {
    const std::string name = event->name();
    writeEventOnWorkerQueue(std::move(event));
    monitor->logWithLevel(1, 23223, "Event editing failed. Event name", QZMEventNameForLogging(name));
    return;
  }
  if (editing->hasEdits()) {
    auto edited = QZMEvent::eventFromEditEvent(editing->eventContext().outputEvent().editEvent());
    if (edited && QZMIsAcceptableEventTime(edited->timestamp(), foundation::now())) {
      event = std::move(edited);
    } else {
      // A program that made the event invalid loses its edits, not the event.
      monitor->logWithLevel(1, 23295, "Edited event is invalid. Unedited event logged. Event name",
                            QZMEventNameForLogging(event->name()));
    }
  }
  // Copied first: writing may run the program again.
  std::vector<QZMPEvent> created;
  if (editing->hasCreatedEvents()) created = editing->eventContext().eventsToLog();
  writeEventOnWorkerQueue(std::move(event));
  for (const QZMPEvent& item : created) {
    auto made = eventFromEditingItem(item);
    if (made && acceptsEventTimeOnWorkerQueue(*made)) writeEventOnWorkerQueue(std::move(made));
  }
  updateSchedule();
}

void QZMMeasurement::handleInternalEventOnWorkerQueue(std::unique_ptr<QZMEvent> event) {
  if (!event || !acceptsEventTimeOnWorkerQueue(*event)) return;
  if (event->name() != "_err") {
    if (auto defaults = persistedConfig()->defaultEventParameters(); defaults && !defaults->empty()) {
      QZMDictionary parameters(defaults->begin(), defaults->end());
      if (event->name() == "_cmp") parameters = QZMParametersRemovingDxdKeys(parameters);
      event->applyParameters(parameters, true);
    }
  }
  std::shared_ptr<const QZMEvent> handled = event->copy();
  handleEventOnWorkerQueue(std::move(event));
  if (handled) QZMAnalytics::notifyEventListeners(handled);
}

std::unique_ptr<QZMEvent> QZMMeasurement::eventAfterSafelistingEvent(std::unique_ptr<QZMEvent> event) {
  const SafelistedEvents& allowlist = safelistedEvents();
  if (!allowlist || allowlist->empty()) return event;
  if (std::find(allowlist->begin(), allowlist->end(), event->name()) != allowlist->end()) {
    QZMParameters parameters = event->parameters();
    parameters.insert_or_assign("qvz_safelisted", QZMValue::initWithInt64(1));
    return event->copyWithParameters(parameters);
  }
  monitor()->logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin", event->name(),
                          event->origin());
  return nullptr;
}

void QZMMeasurement::processSessionFromEvent(const QZMEvent& event) {
  if (QZMScreenViewReporter::sharedInstance()->isAppActive()) return;
  auto monitor = QZMMeasurement::monitor();
  if (const QZMValue* extend = parameter(event, "extend_session")) {
    if (extend->isInt64() && extend->int64Value() == 1) {
      if (isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        extendSession();
      }
    } else {
      monitor->logWithLevel(3, 23179,
                            "extend_session is a reserved parameter. To extend or start a session in the background, "
                            "set an event parameter {@'extend_session': @1}");
    }
  }
  if (!isSessionExpired()) return;
  auto db = database();
  if (!db) return;
  struct SessionProperty {
    const char* name;
    std::int64_t code;
    const char* message;
  };
  static constexpr SessionProperty kSessionProperties[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192, "Failed to remove session user engagement user property on session expiration. Error"},
  };
  (void)db->performTransaction([&] {
    for (const SessionProperty& property : kSessionProperties) {
      if (foundation::Status deleted = db->deleteUserAttributeWithName(property.name); !deleted) {
        monitor->logWithLevel(2, property.code, property.message, deleted.error());
        return false;
      }
    }
    return true;
  });
}

bool QZMMeasurement::dedupeSubscriptionEvent(const QZMEvent& event) {
  if (!QZMIsSubscriptionEvent(&event)) return true;
  const QZMValue* identifier = parameter(event, "_did");
  if (!identifier || !identifier->isInt64()) return true;
  auto db = database();
  if (!db) return true;
  auto monitor = QZMMeasurement::monitor();
  const QZMValue* productID = parameter(event, "product_id");
  QZMLogContext product = productID ? QZMLogContext(productID->description()) : QZMLogContext();

  auto inserted = db->insertIfNotDuplicateSubscriptionID(std::to_string(identifier->int64Value()));
  if (!inserted) {
    monitor->logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error", product, inserted.error());
    return true;
  }
  if (!*inserted) {
    monitor->logWithLevel(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID", product);
    return false;
  }
  // The identifier is stored: a failed trim of old ones costs no purchase.
  auto deleted = db->deleteSubscriptionsOverLimit();
  if (!deleted) {
    monitor->logWithLevel(5, 23183, "Failed to delete older subscription records. Error", deleted.error());
  } else if (*deleted > 0) {
    monitor->logWithLevel(5, 23184, "Deleted older subscription records beyond limit", *deleted);
  }
  return true;
}

bool QZMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const QZMEvent& event) {
  if (event.name() != "_ssr") return false;
  const QZMValue* rollouts = parameter(event, "_ffr");
  const std::string* given = rollouts ? rollouts->stringValue() : nullptr;
  std::optional<std::string> stored = persistedConfig()->zarnholtFeatureRollouts();
  bool duplicate = stored ? (given && *given == *stored) : (!rollouts || (given && given->empty()));
  if (duplicate) {
    monitor()->logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (rollouts && !given) {
    monitor()->logWithLevel(2, 23190, "Unable to process zarnholt feature rollouts, value is not a string.");
  }
  persistedConfig()->setZarnholtFeatureRollouts(given && !given->empty() ? std::optional<std::string>(*given)
                                                                         : std::nullopt);
  return false;
}

std::unique_ptr<QZMEvent> QZMMeasurement::appExceptionEventWithZarnholtFeatureRollouts(
    std::unique_ptr<QZMEvent> event) {
  if (event->name() != "_ae") return event;
  std::optional<std::string> rollouts = persistedConfig()->zarnholtFeatureRollouts();
  if (!rollouts) return event;
  std::optional<QZMValue> value = QZMValue::initWithString(*rollouts);
  if (!value) return event;
  QZMParameters parameters = event->parameters();
  parameters.insert_or_assign("_ffr", *value);
  auto copy = event->copyWithParameters(parameters);
  return copy ? std::move(copy) : std::move(event);
}

void QZMMeasurement::writeSessionStartEventOnWorkerQueue(const QZMEvent& event) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:");
  if (event.name() != "_s") return;
  const QZMValue* sessionID = parameter(event, "_sid");
  const QZMValue* sessionNumber = parameter(event, "_sno");
  if (sessionID && sessionNumber) backfillSessionID(*sessionID, *sessionNumber);
  std::optional<std::string> rollouts = persistedConfig()->zarnholtFeatureRollouts();
  if (!rollouts) return;
  QZMDictionary parameters{{"_ffr", *rollouts}};
  if (auto sessionStart = QZMEvent::initWithOrigin("auto", false, "_ssr", foundation::now(), 0, parameters)) {
    writeEventOnWorkerQueue(std::move(sessionStart));
  }
}

bool QZMMeasurement::isSessionExpired() {
  auto reporter = sessionReporter();
  return reporter && reporter->isSessionExpired();
}

void QZMMeasurement::extendSession() {
  if (auto reporter = sessionReporter()) (void)reporter->extendSession();
}
