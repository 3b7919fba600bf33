#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMMeasurementConsentFields.h"
#include "measurement/engine/reporters/QZMLifetimeValueRecorder.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "measurement/model/QZMConditionalUserPropertyController.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMEventParameters.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMEventAggregatesStorage.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

using Bundle = QZMPBMeasurementBundle;

bool isConversionEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" || name == "refund";
}

// Real-time marks of these never count against the day's real-time limit.
bool isExemptFromRealtimeLimit(std::string_view name) {
  return name == "_iap" || name == "_f" || name == "_dcu" || name == "_fx";
}

// The limit lines are written once per thousand events over the limit.
bool isLoggedExcess(std::int64_t excess) { return excess % 1000 == 0; }

std::int32_t clampedToInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

// Adds one to a decimal count; a missing, unreadable or non-positive count is
// 0, and the largest count stays.
std::string incrementedFirstOpenCount(const std::optional<std::string>& stored) {
  std::int64_t count = 0;
  if (stored) {
    std::int64_t parsed = 0;
    auto [end, error] = std::from_chars(stored->data(), stored->data() + stored->size(), parsed);
    if (error == std::errc() && parsed > 0) count = parsed;
  }
  if (count < std::numeric_limits<std::int64_t>::max()) ++count;
  return std::to_string(count);
}

}  // namespace

std::unique_ptr<QZMPBOnDeviceMeasurementValue> QZMOnDeviceMeasurementValueFromODMRow(
    const foundation::Dictionary& row) {
  auto setTimestamp = row.find("set_timestamp");
  auto value = row.find("value");
  if (setTimestamp == row.end() || value == row.end() || !setTimestamp->second.isNumber() ||
      !value->second.isString()) {
    return nullptr;
  }
  auto measurement = QZMPBOnDeviceMeasurementValue::initWithMessageInfo(nullptr);
  NANOSetInt64(measurement.get(), QZMPBOnDeviceMeasurementValue::kSetTimestamp,
               QZMMillisecondsFromSeconds(setTimestamp->second.doubleValue()));
  NANOSetString(measurement.get(), QZMPBOnDeviceMeasurementValue::kValue, *value->second.string());
  return measurement;
}

// ---- Writing ----

struct QZMMeasurement::EventContext {
  std::shared_ptr<QZMIdentity> identity;
  QZMIdentity::Snapshot identityFields;
  std::optional<std::string> sessionStitchingToken;
  std::string consentSignals;
  std::string consentDiagnostics;
  bool adUserDataDenied = false;
  std::optional<foundation::Object> adCampaignInfoBuffer;
  bool unmatchedFirstOpenWithoutIDFA = false;
};

QZMMeasurement::EventContext QZMMeasurement::eventContextOnWorkerQueue() {
  EventContext context;
  context.identity = identity();
  if (context.identity) {
    context.identityFields = context.identity->snapshot();
    context.sessionStitchingToken = context.identity->sessionStitchingTokenWithSessionNumber(
        persistedConfig()->sessionNumber(), isSessionExpired(), hasUserPropertyUserIDOnWorkerQueue());
  }
  context.consentSignals = QZMConsentSettingsUtil::consentSignals();
  context.consentDiagnostics = QZMConsentSettingsUtil::consentDiagnostics();
  context.adUserDataDenied = QZMConsentSettingsUtil::isAdUserDataDenied();
  context.adCampaignInfoBuffer = persistedConfig()->adCampaignInfoBuffer();
  context.unmatchedFirstOpenWithoutIDFA = persistedConfig()->unmatchedFirstOpenWithoutIDFA();
  return context;
}

void QZMMeasurement::writeEventOnWorkerQueue(const QZMEvent& event) { writeEventOnWorkerQueue(event.copy()); }

void QZMMeasurement::writeEventOnWorkerQueue(std::unique_ptr<QZMEvent> event) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  if (!event) return;
  auto monitor = QZMMeasurement::monitor();
  if (monitor->wantsLineWithLevel(7)) {
    monitor->logWithLevel(7, 23051, "Logging event: origin, name, params", event->origin(),
                          QZMEventNameForLogging(event->name()), QZMParametersForLogging(event->parameters()));
  }
  auto triggered = QZMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(event.get());
  if (!triggered) {
    monitor->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                          QZMEventNameForLogging(event->name()), event->origin());
  }
  writeFilteredEventOnWorkerQueue(std::move(event));
  if (!triggered) return;
  for (auto& triggeredEvent : *triggered) writeFilteredEventOnWorkerQueue(std::move(triggeredEvent));
}

void QZMMeasurement::writeFilteredEventOnWorkerQueue(const QZMEvent& event) {
  writeFilteredEventOnWorkerQueue(event.copy());
}

void QZMMeasurement::writeFilteredEventOnWorkerQueue(std::unique_ptr<QZMEvent> event) {
  if (!event) return;
  auto monitor = QZMMeasurement::monitor();
  auto config = remoteConfig();
  const std::string name = event->name();
  if (config->isEventBlocklisted(name)) {
    monitor->logWithLevel(5, 23052, "Rejected event. Event name", QZMEventNameForLogging(name));
    if (!config->blocklistPublic() && !config->blocklistInternal() && name != "_err") {
      QZMLogErrorEventWithName(11, name, 40, nullptr);
    }
    return;
  }
  if (isConversionEventName(name)) event->setConversion(true);

  auto db = database();
  if (!db) {
    monitor->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", "Database not open");
    return;
  }
  // Refreshes the identity too, as the event's metadata is read after it.
  const EventContext context = eventContextOnWorkerQueue();
  bool written = false;
  foundation::Status committed = db->performTransaction([&] {
    written = false;
    if (!updateLifetimeValueWithEvent(*event)) return false;
    const bool isPublic = !name.starts_with('_');
    auto stored = db->dailyCounts();
    if (!stored) {
      monitor->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error", stored.error());
      return false;
    }
    QZMDailyCounts dailyCounts = stored->value_or(QZMDailyCounts());
    const bool process = shouldProcessEvent(*event, dailyCounts, isPublic);
    const bool realtime = isRealtimeEvent(*event, dailyCounts);
    if (foundation::Status updated = db->updateDailyCounts(dailyCounts); !updated) {
      monitor->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                            QZMEventNameForLogging(name), updated.error());
      return false;
    }
    // A dropped event leaves its counts behind.
    if (!process) return true;
    written = writeEvent(*event, isPublic, realtime, context);
    return written;
  });
  // The keychain is outside the transaction: it counts a first open only once
  // the first open is stored.
  if (committed && written && name == "_f") {
    if (auto previous = previousFirstOpenCount()) {
      setPreviousFirstOpenCount(incrementedFirstOpenCount(*previous));
    } else {
      monitor->logWithLevel(4, 23294, "Unable to read the previous first-open count. Error", previous.error());
    }
  }
}

bool QZMMeasurement::updateLifetimeValueWithEvent(const QZMEvent& event) {
  if (!QZMLifetimeValueRecorder::isPurchaseEvent(event)) return true;
  auto db = database();
  if (db && QZMLifetimeValueRecorder::recordLifetimeValueToDatabase(*db, event)) return true;
  auto parameterText = [&](const char* name) {
    auto found = event.parameters().find(name);
    return found == event.parameters().end() ? std::string() : found->second.description();
  };
  monitor()->logWithLevel(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                          QZMEventNameForLogging(event.name()), parameterText("currency"), parameterText("value"));
  return false;
}

bool QZMMeasurement::shouldProcessEvent(const QZMEvent& event, QZMDailyCounts& dailyCounts, bool isPublicEvent) {
  auto monitor = QZMMeasurement::monitor();
  auto config = remoteConfig();
  const std::int32_t today = QZMDayNumber(foundation::now(), persistedConfig()->midnightOffset());
  if (dailyCounts.day() != today) dailyCounts.resetWithNewDay(today);

  const bool isError = event.name() == "_err";
  bool dropped = false;
  const std::int64_t allLimit = config->maxEventsPerDay();
  const std::int64_t allExcess = std::int64_t{dailyCounts.allEventsCount()} - allLimit;
  const bool underAllLimit = allExcess < 0;
  if (!underAllLimit) {
    if (isLoggedExcess(allExcess)) {
      monitor->logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit",
                            QZMEventNameForLogging(event.name()), allLimit);
    }
    dropped = true;
  } else if (isError) {
    const std::int64_t limit = config->maxErrorEventsPerDay();
    const std::int64_t excess = std::int64_t{dailyCounts.errorEventsCount()} - limit;
    if (excess >= 0) {
      if (isLoggedExcess(excess)) {
        auto code = event.parameters().find("_err");
        monitor->logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                              code == event.parameters().end() ? QZMLogContext() : QZMLogContext(code->second.int64Value()),
                              limit);
      }
      dropped = true;
    }
  } else if (isPublicEvent) {
    const std::int64_t limit = config->maxPublicEventsPerDay();
    const std::int64_t excess = std::int64_t{dailyCounts.publicEventsCount()} - limit;
    if (excess >= 0) {
      if (isLoggedExcess(excess)) {
        monitor->logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit",
                              QZMEventNameForLogging(event.name()), limit);
      }
      QZMLogErrorEvent(16);
      dropped = true;
    }
  }

  if (isError) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(today);
  } else {
    dailyCounts.incrementCountsForCurrentDay(today, isPublicEvent, false,
                                             clampedToInt32(1 + QZMEventArrayItemCount(&event)));
  }
  // Only an event the all-events limit let through stays in that count.
  if (dropped && underAllLimit) dailyCounts.decrementAllEventsCount();
  return !dropped;
}

bool QZMMeasurement::isRealtimeEvent(QZMEvent& event, const QZMDailyCounts& dailyCounts) {
  auto monitor = QZMMeasurement::monitor();
  auto config = remoteConfig();
  const bool debug = monitor->isDebugModeEnabled();
  const bool limitCounted = !debug && !isExemptFromRealtimeLimit(event.name());
  const bool dcuCounted = !debug && event.name() == "_dcu";
  const std::int32_t realtimeLimit = config->maxRealtimeEventCountPerDay();
  const bool underRealtimeLimit = dailyCounts.realtimeCount() < realtimeLimit;

  bool base = false;
  if (event.isConversion() || config->isEventCustomConversion(event.name())) {
    base = underRealtimeLimit || !limitCounted;
  }
  if (event.isRealtime() && limitCounted && !underRealtimeLimit) {
    event.setRealtime(false);
    monitor->logWithLevel(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                          QZMEventNameForLogging(event.name()), QZMParametersForLogging(event.parameters()));
  }
  if (event.isRealtime() && dcuCounted && dailyCounts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
    event.setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return base || event.isRealtime();
}

void QZMMeasurement::maybeAddDebugAndRealtimeParameters(QZMEvent& event) {
  auto monitor = QZMMeasurement::monitor();
  if (!monitor->isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  monitor->logWithLevel(7, 23073,
                        "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                        QZMEventNameForLogging(event.name()), QZMParametersForLogging(event.parameters()));
}

std::unique_ptr<QZMPBMeasurementBundle> QZMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<QZMUserAttribute>& userAttributes, const EventContext& context) {
  auto metadata = Bundle::initWithMessageInfo(nullptr);
  Bundle* bundle = metadata.get();
  NANOSetInt32(bundle, Bundle::kProtocolVersion, 1);

  if (!userAttributes.empty()) {
    NANOObjectArray items;
    bool hasNPA = false;
    for (const QZMUserAttribute& attribute : userAttributes) {
      hasNPA = hasNPA || attribute.name() == "_npa";
      items.emplace_back(std::shared_ptr<NANOMessageBase>(attribute.protoUserAttribute()));
    }
    if (!hasNPA) {
      if (auto db = database()) {
        if (auto stored = db->userAttributeWithName("_npa"); stored && *stored) {
          if (auto npa = QZMUserAttribute::fromStored(**stored)) {
            items.emplace_back(std::shared_ptr<NANOMessageBase>(npa->protoUserAttribute()));
          }
        }
      }
    }
    NANOSetArray(bundle, Bundle::kUserAttributes, &items);
  }

  auto environment = QZMEnvironmentInfo::sharedInstance();
  NANOSetString(bundle, Bundle::kPlatform, "ios");
  NANOSetString(bundle, Bundle::kOsVersion, environment->deviceOSVersion());
  NANOSetString(bundle, Bundle::kDeviceModel, environment->deviceModel());
  NANOSetString(bundle, Bundle::kUserDefaultLanguage, environment->userDefaultLanguage());
  NANOSetInt32(bundle, Bundle::kTimezoneOffsetMinutes, environment->timeZoneOffsetMinutes());
  NANOSetInt64(bundle, Bundle::kLibraryVersion, QZMIdentity::kestrometerLibraryVersion());

  auto config = remoteConfig();
  const std::shared_ptr<QZMIdentity>& currentIdentity = context.identity;
  QZMBundleIdentifiers identifiers;
  if (currentIdentity) {
    NANOSetString(bundle, Bundle::kAppId, currentIdentity->appID());
    NANOSetString(bundle, Bundle::kAppVersion, currentIdentity->appVersion());
    if (const auto& dxvAppID = context.identityFields.appIDFromDXV; dxvAppID && !dxvAppID->empty()) {
      NANOSetString(bundle, Bundle::kDxvAppId, *dxvAppID);
    }
    NANOSetString(bundle, Bundle::kZarnholtInstallationId, currentIdentity->zarnholtInstallationID());
    if (auto major = currentIdentity->appVersionMajor()) NANOSetInt32(bundle, Bundle::kAppVersionMajor, *major);
    if (auto minor = currentIdentity->appVersionMinor()) NANOSetInt32(bundle, Bundle::kAppVersionMinor, *minor);
    if (auto release = currentIdentity->appVersionRelease()) {
      NANOSetInt32(bundle, Bundle::kAppVersionRelease, *release);
    }
    const std::optional<std::string>& token = context.sessionStitchingToken;
    if (token && !token->empty()) NANOSetString(bundle, Bundle::kSessionStitchingToken, *token);
    identifiers = QZMBundleIdentifiers::fromSnapshot(context.identityFields);
  }

  QZMApplyConsentSignalsToBundle(*bundle, context.consentSignals, config->gateIDFAOnATTMASEnabled(), identifiers,
                                 true);
  QZMApplyConsentDiagnosticsToBundle(*bundle, context.consentDiagnostics, context.adUserDataDenied, nullptr,
                                     config->isDMARegion(), config->corePlatformServices(), true);
  return metadata;
}

bool QZMMeasurement::writeEvent(const QZMEvent& event, bool isPublicEvent, bool isRealtime,
                                const EventContext& context) {
  auto monitor = QZMMeasurement::monitor();
  auto db = database();
  if (!db) return false;
  const std::string& name = event.name();

  // Bundles are read back only up to the largest the SDK writes: an event no
  // bundle could hold is refused now rather than stored and lost later.
  std::unique_ptr<QZMPBEvent> message = event.protoEvent();
  const std::optional<foundation::Data> encoded = message ? message->protoBuffer() : std::nullopt;
  if (encoded && static_cast<std::int64_t>(encoded->size()) > QZMDatabase::kLargestStoredEventBytes) {
    monitor->logWithLevel(1, 23062, "Data loss. Event is too large to store. Event name, size (bytes)",
                          QZMEventNameForLogging(name), static_cast<std::int64_t>(encoded->size()));
    return false;
  }

  auto aggregates = db->eventAggregatesWithName(name);
  if (!aggregates) {
    monitor->logWithLevel(1, 23063, "Cannot query event aggregates. Name, error", QZMEventNameForLogging(name),
                          aggregates.error());
    return false;
  }
  if (!*aggregates) {
    if (isPublicEvent) {
      auto publicNames = db->publicEventCount();
      if (!publicNames) {
        monitor->logWithLevel(1, 23064, "Cannot query event count. Error", publicNames.error());
        return false;
      }
      if (*publicNames >= remoteConfig()->maxEventNameCardinality()) {
        monitor->logWithLevel(1, 23065, "Cannot set event. Reached limit on set events. Name",
                              QZMEventNameForLogging(name));
        QZMLogErrorEvent(8);
        return false;
      }
    }
    auto fresh = QZMEventAggregates::initWithName(name, 0, 0, 0, 0);
    foundation::Status stored = fresh ? db->updateEventAggregates(QZMStoredEventAggregatesFrom(*fresh))
                                      : foundation::Status(foundation::Error("QZMMeasurement", 23066, "invalid name"));
    if (!stored) {
      monitor->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error", stored.error());
      return false;
    }
  }

  if (context.identity && context.identityFields.shouldSetLastAdvertisingIDResetUserProperty) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }

  auto userAttributes = QZMUserAttributesIncludingInternal(*db, true);
  if (!userAttributes) {
    monitor->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", userAttributes.error());
    return false;
  }
  std::unique_ptr<Bundle> metadata = createRawEventMetadataWithUserAttributes(*userAttributes, context);

  if (const auto& buffer = context.adCampaignInfoBuffer; buffer && buffer->data() && !buffer->data()->empty()) {
    if (auto campaign = QZMPBAdCampaignInfo::initWithBuffer(*buffer->data())) {
      NANOSetMessage(metadata.get(), Bundle::kAdCampaignInfo, campaign.get());
    }
  }
  struct ODMRow {
    const char* name;
    std::int32_t field;
    std::int64_t code;
    const char* message;
  };
  static constexpr ODMRow kODMRows[] = {
      {"odm1_value", QZMPBOnDeviceMeasurementInfo::kOdm1Value, 23287, "Failed to query ODM value. Error"},
      {"odm1_session_value", QZMPBOnDeviceMeasurementInfo::kOdm1SessionValue, 23288,
       "Failed to query ODM session value. Error"},
      {"odm2_value", QZMPBOnDeviceMeasurementInfo::kOdm2Value, 23291, "Failed to query ODM value. Error"},
  };
  auto measurementInfo = QZMPBOnDeviceMeasurementInfo::initWithMessageInfo(nullptr);
  bool hasMeasurementInfo = false;
  for (const ODMRow& row : kODMRows) {
    auto stored = db->ODMValueWithName(row.name);
    if (!stored) {
      monitor->logWithLevel(4, row.code, row.message, stored.error());
      continue;
    }
    if (auto value = QZMOnDeviceMeasurementValueFromODMRow(*stored)) {
      NANOSetMessage(measurementInfo.get(), row.field, value.get());
      hasMeasurementInfo = true;
    }
  }
  if (hasMeasurementInfo) NANOSetMessage(metadata.get(), Bundle::kOnDeviceMeasurementInfo, measurementInfo.get());
  std::int32_t linkedFeatures = 0;
  if (QZMDefaultIdentitySupport::sharedInstance()->hasAppDataConsentStatus()) linkedFeatures |= 1;
  if (isQZMPrivateSetMembershipClientLinked()) linkedFeatures |= 2;
  if (isAlphaAppAdsOnDeviceConversionLinked()) linkedFeatures |= 4;
  if (isDralixAdsOnDeviceConversionLinked()) linkedFeatures |= 8;
  NANOSetInt32(metadata.get(), Bundle::kLinkedFeatures, linkedFeatures);

  // Both follow this event's row: a write rolled back leaves them undone.
  if (NANOHasField(metadata.get(), Bundle::kResettableDeviceId)) {
    if (context.unmatchedFirstOpenWithoutIDFA) {
      db->performAfterCommit([weak = weak_from_this(), timestamp = event.timestamp()] {
        if (auto self = weak.lock()) self->logFirstOpenConsentedEvent(timestamp);
      });
    }
  } else if (name == "_f") {
    db->performAfterCommit([config = persistedConfig()] { config->setUnmatchedFirstOpenWithoutIDFA(true); });
  }

  std::int64_t fingerprint = 0;
  if (foundation::Status inserted = db->insertIfNotExistsRawEventMetadata(*metadata, fingerprint); !inserted) {
    monitor->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", inserted.error());
    return false;
  }
  auto deleted = db->deleteRawEventsOverAbsoluteLimit();
  if (!deleted) {
    monitor->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error", deleted.error());
    return false;
  }
  if (*deleted > 0) monitor->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count", *deleted);

  if (foundation::Status inserted = db->insertRawEvent(name, event.timestamp(), message.get(), fingerprint, isRealtime);
      !inserted) {
    monitor->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", inserted.error());
    return false;
  }
  if (monitor->wantsLineWithLevel(7)) {
    monitor->logWithLevel(7, 23072, "Event logged. Event name, event params", QZMEventNameForLogging(name),
                          QZMParametersForLogging(event.parameters()));
  }
  return true;
}

void QZMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig()->setUnmatchedFirstOpenWithoutIDFA(false);
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:1056", [weak = weak_from_this(), timestamp] {
    auto self = weak.lock();
    if (!self) return;
    std::int64_t previous = 0;
    if (auto count = self->previousFirstOpenCount(); count && *count) {
      std::int64_t parsed = 0;
      auto [end, error] = std::from_chars((*count)->data(), (*count)->data() + (*count)->size(), parsed);
      if (error == std::errc()) previous = parsed;
    }
    std::int64_t withoutAdID = 0;
    if (auto db = self->database()) {
      if (auto firstInstall = db->userAttributeWithName("_fi"); firstInstall && *firstInstall) {
        const foundation::Object& value = (*firstInstall)->value;
        withoutAdID = value.isNumber() && value.doubleValue() < 1 ? 1 : 0;
      }
    }
    QZMDictionary parameters{{"_pfo", std::max<std::int64_t>(previous, 1) - 1}, {"_uwa", withoutAdID}};
    auto consented = QZMEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
    if (!consented) return;
    consented->setRealtime(true);
    self->writeEventOnWorkerQueue(std::move(consented));
  });
}
