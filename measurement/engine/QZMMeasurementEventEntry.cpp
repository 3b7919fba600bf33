#include <atomic>
#include <charconv>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMQueuedEvent.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMKeychainWrapper.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMEventParameters.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr const char* kPreviousFirstOpenCountIdentifier = "_pfo";
// How long before its ID's time a session may have begun.
constexpr double kSessionBackfillWindow = 15.0;

// Counted where the engine takes an event and where its handling ends, so a
// normal exit can tell how many it leaves behind. A plain atomic: still there
// while the program's objects are destroyed.
std::atomic<std::int64_t> gEventsNotYetHandled{0};

// Ends the count of one event when its block ends, also by an exception,
// which the scheduler catches.
struct EventHandlingEnds {
  ~EventHandlingEnds() { --gEventsNotYetHandled; }
};

// Events no listener or interceptor may see.
bool isHiddenFromListeners(const std::string& origin, const std::string& name) {
  return origin == "am" || name == "_xa" || name == "_xu";
}

// The stored events oldest first, a page at a time: a backlog of days
// offline is never held whole.
foundation::Status visitRawEvents(QZMDatabase& database, const std::function<bool(const QZMRawEventData&)>& visitor) {
  return database.visitAllRawEvents<QZMRawEventData>(QZMRawEventDataFromDictionary, visitor);
}

bool hasUserAttributeNamed(const QZMPBMeasurementBundle& metadata, std::string_view name) {
  auto attributes = NANOGetArray<QZMPBUserAttribute>(&metadata, QZMPBMeasurementBundle::kUserAttributes);
  if (!attributes) return false;
  for (const auto& attribute : *attributes) {
    if (NANOGetString(attribute.get(), QZMPBUserAttribute::kName) == name) return true;
  }
  return false;
}

}  // namespace

bool QZMIsBundleableEventTime(double seconds) {
  // Written so that NaN fails too.
  return seconds >= 0.001 && seconds * 1000 < 9.2e18;
}

bool QZMIsAcceptableEventTime(double seconds, double now) {
  return QZMIsBundleableEventTime(seconds) && !(seconds - now > kQZMEventTimeFutureAllowance);
}

bool QZMMeasurement::acceptsEventTimeOnWorkerQueue(const QZMEvent& event) {
  if (QZMIsAcceptableEventTime(event.timestamp(), foundation::now())) return true;
  monitor()->logWithLevel(2, 23296, "Event time is not valid. Event dropped. Event name, timestamp",
                          QZMEventNameForLogging(event.name()), event.timestamp());
  return false;
}

// ---- Events from the facade ----

void QZMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const QZMDictionary& parameters, double timestamp, bool enabled,
                                        bool ignoreEnabled, bool ignoreInterceptor, QZMLogEventInterceptor interceptor,
                                        const QZMDictionary& addedScreenParameters) {
  auto queued = std::make_shared<const QZMQueuedEvent>(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                                        ignoreEnabled, ignoreInterceptor, std::move(interceptor),
                                                        addedScreenParameters);
  ++gEventsNotYetHandled;
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:2465", [self = shared_from_this(), queued] {
    EventHandlingEnds ends;
    self->logEventOnWorkerQueueWithOrigin(queued->origin(), queued->isPublicEvent(), queued->name(),
                                          queued->parameters(), queued->timestamp(), queued->enabled(),
                                          queued->ignoreEnabled(), queued->ignoreInterceptor(), queued->interceptor(),
                                          queued->addedScreenParameters());
  });
}

std::int64_t QZMMeasurement::eventsNotYetHandled() { return gEventsNotYetHandled.load(); }

void QZMMeasurement::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name, const QZMDictionary& parameters,
                                                     double timestamp, bool enabled, bool ignoreEnabled,
                                                     bool ignoreInterceptor, const QZMLogEventInterceptor& interceptor,
                                                     const QZMDictionary& addedScreenParameters) {
  QZMDictionary withDefaults =
      ignoreInterceptor || name == "_err" ? parameters : parametersWithAddedDefaultEventParameters(parameters);
  auto event = QZMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, withDefaults);
  if (!event) {
    monitor()->logWithLevel(1, 23219, "Attempted to log nil event. Origin, name, parameters", origin,
                            QZMEventNameForLogging(name), QZMParametersForLogging(QZMObject(withDefaults)));
    return;
  }
  if (!acceptsEventTimeOnWorkerQueue(*event)) return;
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);

  if (!enabled && !ignoreEnabled) {
    // Handling applies the engine's own switch.
    logEventOnWorkerQueue(std::move(event), false);
  } else if (isHiddenFromListeners(origin, name)) {
    logEventOnWorkerQueue(std::move(event), false);
  } else if (interceptor && isPublicEvent && !ignoreInterceptor) {
    QZMDictionary intercepted = withDefaults;
    intercepted.insert(addedScreenParameters.begin(), addedScreenParameters.end());
    interceptor(origin, name, intercepted, timestamp);
  } else {
    logEventOnWorkerQueue(std::move(event), true);
  }
}

void QZMMeasurement::logEventOnWorkerQueue(std::unique_ptr<QZMEvent> event, bool notifyEventListeners) {
  if (!event) return;
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(std::move(event));
    return;
  }
  std::shared_ptr<const QZMEvent> beforeHandling = event->copy();
  handleEventOnWorkerQueue(std::move(event));
  if (beforeHandling) QZMAnalytics::notifyEventListeners(beforeHandling);
}

void QZMMeasurement::logEvent(std::unique_ptr<QZMEvent> event) {
  if (!event) {
    monitor()->logWithLevel(4, 23048, "Attempted to log nil event");
    return;
  }
  std::shared_ptr<QZMEvent> held(std::move(event));
  ++gEventsNotYetHandled;
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:2571", [weak = weak_from_this(), held] {
    EventHandlingEnds ends;
    if (auto self = weak.lock(); self && self->acceptsEventTimeOnWorkerQueue(*held)) {
      self->handleEventOnWorkerQueue(held->copy());
    }
  });
}

// ---- Default event parameters ----

void QZMMeasurement::setDefaultEventParameters(const std::optional<QZMDictionary>& parameters) {
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:2579", [weak = weak_from_this(), parameters] {
    auto self = weak.lock();
    if (!self) return;
    self->handleSetDefaultEventParametersOnWorkerQueue(parameters, self->shouldBackfillEvents());
  });
}

void QZMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(const std::optional<QZMDictionary>& parameters,
                                                                  bool backfillEvents) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("handleSetDefaultEventParametersOnWorkerQueue:");
  auto monitor = QZMMeasurement::monitor();
  foundation::Dictionary result;
  if (parameters) result = persistedConfig()->defaultEventParameters().value_or(foundation::Dictionary());

  for (const auto& [key, object] : parameters.value_or(QZMDictionary())) {
    const foundation::Object* plain = object.plain();
    const QZMValue* typed = object.value();
    bool isNull = plain && plain->isNull();
    bool isScalar = (plain && (plain->isNumber() || plain->isString())) || (typed && !typed->isArray());
    if (!isNull && !isScalar) {
      if (object.array() || (plain && plain->array()) || (typed && typed->isArray())) QZMLogErrorEvent(27);
      monitor->logWithLevel(4, 23213, "Invalid key in default event parameters. Parameter ignored.");
      continue;
    }
    if (!QZMDataTypeValidator::isValidPublicEventParameterName(key)) {
      monitor->logWithLevel(4, 23214, "Invalid default event parameter name. Name", key);
      continue;
    }
    if (isNull) {
      result.erase(key);
      continue;
    }
    // A refused value leaves whatever the key held before.
    std::optional<QZMValue> value = QZMValue::valueFromObject(&object);
    if (value && QZMDataTypeValidator::isValidPublicEventParameterValue(*value)) {
      result.insert_or_assign(key, object.plainObject());
    }
  }

  auto limit = static_cast<std::size_t>(remoteConfig()->maxPublicEventParams());
  if (result.size() > limit) {
    // Public names go from the end of the ascending order.
    std::size_t publicCount = 0;
    for (const auto& entry : result) publicCount += !entry.first.starts_with('_');
    for (auto it = result.end(); publicCount > limit && it != result.begin();) {
      --it;
      if (it->first.starts_with('_')) continue;
      it = result.erase(it);
      --publicCount;
    }
    QZMLogErrorEvent(26);
    monitor->logWithLevel(4, 23215, "Too many default event parameters set. Discarding beyond event parameter limit");
  }

  QZMDictionary applied(result.begin(), result.end());
  if (backfillEvents) {
    const double since = initTimestamp();
    backfillEventsWithParameters(applied, true,
                                 [since](const QZMRawEventData& raw) { return raw.rawEvent()->timestamp() >= since; });
    monitor->logWithLevel(7, 23272, "Updating default event parameters with backfill. Parameters",
                          QZMParametersForLogging(QZMObject(applied)));
  } else {
    monitor->logWithLevel(7, 23216, "Updating default event parameters. Parameters",
                          QZMParametersForLogging(QZMObject(applied)));
  }
  persistedConfig()->setDefaultEventParameters(result);
}

QZMDictionary QZMMeasurement::parametersWithAddedDefaultEventParameters(const QZMDictionary& parameters) {
  std::optional<foundation::Dictionary> defaults = persistedConfig()->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  QZMDictionary merged = parameters;
  for (const auto& [key, value] : *defaults) merged.emplace(key, value);  // the event's own value wins
  return merged;
}

// ---- Backfill ----

bool QZMMeasurement::shouldBackfillEvents() {
  auto db = database();
  if (!db) return false;
  bool anyEvent = false;
  bool appEventSinceStart = false;
  const double since = initTimestamp();
  foundation::Status read = visitRawEvents(*db, [&](const QZMRawEventData& raw) {
    anyEvent = true;
    appEventSinceStart = raw.rawEvent()->timestamp() >= since && raw.rawEvent()->origin().starts_with("app");
    return !appEventSinceStart;
  });
  return read && anyEvent && !appEventSinceStart;
}

void QZMMeasurement::backfillEventsWithParameters(const QZMDictionary& parameters, bool isPublic,
                                                  const RawEventFilter& eventFilter) {
  if (parameters.empty()) return;
  auto db = database();
  if (!db) return;
  auto monitor = QZMMeasurement::monitor();
  std::int64_t failedCount = 0;
  std::optional<foundation::Error> lastError;
  foundation::Status read = visitRawEvents(*db, [&](const QZMRawEventData& raw) {
    if (eventFilter && !eventFilter(raw)) return true;
    std::shared_ptr<QZMEvent> event = raw.rawEvent()->copy();
    if (!event) return true;
    event->applyParameters(parameters, isPublic);
    auto updated = QZMRawEventData::initWithRawEvent(event, raw.rowID(), raw.metadataFingerprint());
    foundation::Status written = updated ? QZMUpdateRawEvent(*db, *updated)
                                         : foundation::Status(foundation::Error("QZMMeasurement", 1, "no event"));
    if (!written) {
      ++failedCount;
      lastError = written.error();
    }
    return true;
  });
  if (!read) {
    monitor->logWithLevel(1, 23270, "Unable to backfill events with default event parameters. Fetch failed. Error",
                          read.error());
  }
  if (failedCount > 0) {
    monitor->logWithLevel(1, 23271,
                          "Unable to backfill some events with default event parameters. Update failed. Count, last "
                          "error",
                          failedCount, *lastError);
  }
}

double QZMMeasurement::backfillStartTimestampForSessionID(const QZMValue& sessionID) {
  const double fallback = static_cast<double>(sessionID.int64Value()) - kSessionBackfillWindow;
  auto db = database();
  if (!db) return fallback;
  std::optional<double> firstOpen;
  (void)visitRawEvents(*db, [&](const QZMRawEventData& raw) {
    if (raw.rawEvent()->name() == "_f") firstOpen = raw.rawEvent()->timestamp();
    return !firstOpen;
  });
  return firstOpen.value_or(fallback);
}

bool QZMMeasurement::shouldBackfillSessionID(const QZMValue& sessionID, const QZMRawEventData& rawEvent) {
  if (rawEvent.rawEvent()->timestamp() < backfillStartTimestampForSessionID(sessionID)) return false;
  auto db = database();
  if (!db) return false;
  auto metadata = db->queryRawEventsMetadataWithFingerprint(rawEvent.metadataFingerprint());
  if (!metadata) {
    monitor()->logWithLevel(1, 23273, "Unable to backfill session ID. Fetch metadata failed. Error", metadata.error());
    return false;
  }
  // An event logged under a session already has its ID.
  return !(*metadata && hasUserAttributeNamed(**metadata, "_sid"));
}

void QZMMeasurement::backfillSessionID(const QZMValue& sessionID, const QZMValue& sessionNumber) {
  QZMDictionary parameters{{"_sid", sessionID}, {"_sno", sessionNumber}};
  // The start and each metadata row are read once for the whole pass.
  const double start = backfillStartTimestampForSessionID(sessionID);
  std::map<std::int64_t, bool> hasSessionByFingerprint;
  auto db = database();
  backfillEventsWithParameters(parameters, false, [&](const QZMRawEventData& raw) {
    if (raw.rawEvent()->timestamp() < start || !db) return false;
    auto known = hasSessionByFingerprint.find(raw.metadataFingerprint());
    if (known == hasSessionByFingerprint.end()) {
      auto metadata = db->queryRawEventsMetadataWithFingerprint(raw.metadataFingerprint());
      if (!metadata) {
        monitor()->logWithLevel(1, 23273, "Unable to backfill session ID. Fetch metadata failed. Error",
                                metadata.error());
        return false;
      }
      bool hasSession = *metadata && hasUserAttributeNamed(**metadata, "_sid");
      known = hasSessionByFingerprint.emplace(raw.metadataFingerprint(), hasSession).first;
    }
    return !known->second;
  });
}

// ---- Previous first opens ----

foundation::Result<std::optional<std::string>> QZMMeasurement::previousFirstOpenCount() {
  return QZMKeychainWrapper::keychainValueWithIdentifier(kPreviousFirstOpenCountIdentifier,
                                                         foundation::Bundle::main()->bundleIdentifier());
}

void QZMMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  std::string appID = foundation::Bundle::main()->bundleIdentifier();
  if (!count) {
    QZMKeychainWrapper::deleteKeychainValueWithIdentifier(kPreviousFirstOpenCountIdentifier, appID);
    return;
  }
  if (foundation::Status stored =
          QZMKeychainWrapper::upsertKeychainValue(foundation::Object(*count), kPreviousFirstOpenCountIdentifier, appID);
      !stored) {
    monitor()->logWithLevel(4, 23293, "Unable to store the previous first-open count. Error", stored.error());
  }
}
