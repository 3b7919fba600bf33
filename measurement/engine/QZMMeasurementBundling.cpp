// Raw events into bundles. Each call takes the oldest group of raw events
// that share one metadata message, turns a bounded run of them into one
// QZMPBMeasurementBundle (that metadata completed with the events and the
// bundle-level fields), counts and evaluates them, and moves them into the
// upload queue: all in one transaction, so a failure leaves the raw events
// to be bundled again.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string_view>

#include "absl/strings/str_cat.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMMeasurementConsentFields.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/model/audience/QZMAudienceTimestampsCache.h"
#include "measurement/model/audience/QZMEventAggregatesStorage.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"

namespace {

using Bundle = QZMPBMeasurementBundle;

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

bool isPublicName(std::string_view name) { return !name.empty() && name.front() != '_'; }

// The hour a row's time falls in, by its own column so that a row whose
// event cannot be read still has one.
std::int64_t hourOfRow(const QZMDatabase::Record& row) {
  auto timestamp = row.find("timestamp");
  double seconds = timestamp != row.end() && timestamp->second.isNumber() ? timestamp->second.doubleValue() : 0;
  return QZMSaturatingCast<std::int64_t>(std::floor(seconds)) / 3600;
}

// The length of the stored event message, which goes without its name.
std::int64_t storedSizeOfRow(const QZMDatabase::Record& row) {
  auto data = row.find("data");
  const foundation::Data* bytes = data != row.end() ? data->second.data() : nullptr;
  return bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
}

std::int64_t rowIDOfRow(const QZMDatabase::Record& row) {
  auto rowID = row.find("rowid");
  return rowID != row.end() && rowID->second.isInteger() ? rowID->second.int64Value() : -1;
}

// Engagement times come from stored rows and properties: a sum of hostile
// ones stays at the end of the range instead of overflowing.
std::int64_t saturatingSum(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::size_t encodedSize(const QZMEvent& event) {
  std::unique_ptr<QZMPBEvent> proto = event.protoEvent();
  std::optional<foundation::Data> bytes = proto ? proto->protoBuffer() : std::nullopt;
  return bytes ? bytes->size() : 0;
}

const QZMValue* parameter(const QZMEvent& event, std::string_view name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : &found->second;
}

std::vector<std::int64_t> rowIDsOf(const QZMMeasurement::RawEventRun& run) {
  std::vector<std::int64_t> rowIDs = run.undecodableRowIDs;
  for (const QZMRawEventData& rawEvent : run.events) rowIDs.push_back(rawEvent.rowID());
  std::sort(rowIDs.begin(), rowIDs.end());
  return rowIDs;
}

}  // namespace

bool QZMDeleteBundledRawEvents(QZMDatabase& database, const std::vector<std::int64_t>& rowIDs,
                               std::int64_t metadataFingerprint) {
  if (!rowIDs.empty()) {
    if (foundation::Status deleted = database.deleteRawEventsWithRowIDs(rowIDs); !deleted) {
      monitor()->logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", rowIDs.back(), deleted.error());
      return false;
    }
  }
  auto remaining = database.containsRawEventWithMetadataFingerprint(metadataFingerprint);
  if (!remaining) {
    monitor()->logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error", metadataFingerprint,
                            remaining.error());
    return false;
  }
  if (*remaining) return true;
  if (foundation::Status deleted = database.deleteRawEventMetadataWithMetadataFingerprint(metadataFingerprint);
      !deleted) {
    monitor()->logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error", metadataFingerprint,
                            deleted.error());
    return false;
  }
  return true;
}

bool QZMMeasurement::bundleRawEvents() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return false;
  auto monitor = ::monitor();
  auto audience = this->audience();

  bool consumed = false;
  auto consume = [&](const std::vector<std::int64_t>& rowIDs, std::int64_t fingerprint) {
    consumed = QZMDeleteBundledRawEvents(*database, rowIDs, fingerprint);
    return consumed;
  };

  foundation::Status transaction = database->performTransaction([&]() -> bool {
    auto next = database->nextMetadataFingerprintToProcess();
    if (!next) {
      monitor->logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", next.error());
      return false;
    }
    if (!*next) {
      // Either nothing is stored, or the oldest row names no metadata: such
      // rows can never be bundled and would stop everything behind them.
      auto deleted = database->deleteRawEventsWithUnreadableMetadataFingerprint();
      if (!deleted) {
        monitor->logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", std::int64_t{-1},
                              deleted.error());
        return false;
      }
      if (*deleted == 0) return true;
      monitor->logWithLevel(4, 23096, "Failed to filter raw event. Error",
                            absl::StrCat(*deleted, " rows without a metadata fingerprint dropped"));
      consumed = true;
      return true;
    }
    std::int64_t fingerprint = **next;

    std::optional<RawEventRun> run = rawEventsWithMetadataFingerprint(fingerprint);
    if (!run) return false;
    std::vector<std::int64_t> rowIDs = rowIDsOf(*run);
    if (rowIDs.empty()) return true;
    // Rows that cannot be read would stop bundling for good: they go.
    if (run->events.empty()) return consume(rowIDs, fingerprint);

    auto metadata = database->queryRawEventsMetadataWithFingerprint(fingerprint);
    if (!metadata) {
      monitor->logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error", fingerprint,
                            metadata.error());
      // A failure that may pass is tried again; metadata that cannot be
      // read never will be, and its events go as those without metadata.
      if (QZMSqliteStore::isPassingFailure(metadata.error())) return false;
      return consume(rowIDs, fingerprint);
    }
    if (!*metadata) {
      // Without their metadata these events can never form a bundle.
      monitor->logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error", fingerprint,
                            std::string("no metadata stored"));
      return consume(rowIDs, fingerprint);
    }
    std::shared_ptr<Bundle> bundle = std::move(*metadata);

    auto events = processRawEvents(run->events);
    if (!events) return false;
    if (events->empty()) {
      // A group rejected whole is done with: bundling goes on past it.
      monitor->logWithLevel(4, 23100, "Rejected all events.");
      return consume(rowIDs, fingerprint);
    }

    bool analyticsStorageDenied = QZMConsentSettingsUtil::isAnalyticsStorageDenied();
    evaluationTimeFromRawEvents(run->events, *bundle);
    handleAnalyticsStorageConsentTransitions(*bundle);

    QZMAudienceTimestampsCache audienceTimestampsCache;
    auto counted = eventsAfterUpdatingEventAggregates(*events, &audienceTimestampsCache, !analyticsStorageDenied);
    if (!counted) return false;
    bool isRealtime = std::any_of(counted->begin(), counted->end(), [](const auto& e) { return e->isRealtime(); });

    std::vector<std::shared_ptr<QZMPBEvent>> protoEvents;
    for (const auto& event : *counted) {
      if (std::shared_ptr<QZMPBEvent> proto = event->protoEvent()) protoEvents.push_back(std::move(proto));
    }
    if (config->isEventSamplingEnabled() && !monitor->isDebugModeEnabled()) {
      auto sampled = sampleEvents(protoEvents);
      if (!sampled) return false;
      protoEvents = std::move(*sampled);
    }
    if (protoEvents.empty()) {
      monitor->logWithLevel(5, 23159, "No events left after sampling. Dropping bundle");
      return consume(rowIDs, fingerprint);
    }

    NANOObjectArray eventObjects(protoEvents.begin(), protoEvents.end());
    if (!NANOSetArray(bundle.get(), Bundle::kEvents, &eventObjects)) return false;
    double start = run->events.front().rawEvent()->timestamp();
    double end = start;
    for (const QZMRawEventData& rawEvent : run->events) {
      start = std::min(start, rawEvent.rawEvent()->timestamp());
      end = std::max(end, rawEvent.rawEvent()->timestamp());
    }
    if (!updateAppMetadataForBundle(*bundle, start, end)) return false;

    auto userAttributes = NANOGetArray<QZMPBUserAttribute>(bundle.get(), Bundle::kUserAttributes);
    if (shouldUpdateNPAUserProperty()) {
      // A consent change from the configuration reaches "_npa" here. The
      // flag stays while the bundle may still be rolled back.
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      database->performAfterCommit([this] { setShouldUpdateNPAUserProperty(false); });
    }
    if (!analyticsStorageDenied && audience) {
      for (const auto& userAttribute : userAttributes.value_or(std::vector<std::shared_ptr<QZMPBUserAttribute>>())) {
        if (!audience->evaluateFiltersForNanoUserProperty(*userAttribute, &audienceTimestampsCache, start)) return false;
      }
      auto results = audience->resultsForBundling();
      if (!results) {
        monitor->logWithLevel(1, 23113, "Unable to read audience evaluation results", results.error());
        return false;
      }
      if (!results->empty()) {
        NANOObjectArray resultObjects(results->begin(), results->end());
        NANOSetArray(bundle.get(), Bundle::kAudienceEvaluationResults, &resultObjects);
      }
    }

    addBundleMetadataIntoBundle(*bundle, start, end);
    if (!config->sessionStitchingTokenFeatureEnabled() || analyticsStorageDenied) {
      NANOClearField(bundle.get(), Bundle::kSessionStitchingToken);
    }

    if (foundation::Status inserted = database->insertBundle(*bundle, isRealtime); !inserted) {
      monitor->logWithLevel(1, 23115, "Unable to insert bundle. Error", inserted.error());
      return false;
    }
    monitor->logWithLevel(8, 23221, QZMConsentSettingsUtil::description());
    monitor->logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                          NANOGetInt32(bundle.get(), Bundle::kBundleIndex),
                          NANOGetInt64(bundle.get(), Bundle::kEndTimestampMillis));
    return consume(rowIDs, fingerprint);
  });
  if (!transaction) return false;
  if (consumed) suspendedUploadTimestamp_ = 0;
  return consumed;
}

std::optional<QZMMeasurement::RawEventRun> QZMMeasurement::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint) {
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return std::nullopt;
  std::int64_t maxEvents = config->uploadMaxEventsPerBundle();
  // Whatever limit is in force, a bundle's events stay within what a stored
  // bundle may hold, so that the upload queue can read it back.
  std::int64_t maxSize = std::min(config->uploadMaxSizeLimitBytes(), QZMDatabase::kLargestStoredEventBytes);

  RawEventRun run;
  std::int64_t hour = 0;
  std::int64_t previousRowID = 0;
  std::int64_t size = 0;
  // What the bundle's events will take to decode when the upload queue
  // reads the bundle back; its size alone does not bound that.
  std::int64_t decodeCost = 0;
  const std::int64_t largestEventsCost = QZMDatabase::largestBundledEventsDecodeBytes();
  std::int64_t taken = 0;
  // Rows stored before events too large for any bundle were refused, or
  // grown since: no bundle the upload queue can read back holds them.
  auto tooLarge = [](std::int64_t bytes) {
    return qzm_errorWithCode(2, absl::StrCat("Event is too large to bundle: ", bytes, " bytes"));
  };
  auto filter = [&](std::size_t keptCount, const QZMDatabase::Record& row) {
    std::int64_t rowID = rowIDOfRow(row);
    const std::int64_t storedSize = storedSizeOfRow(row);
    foundation::Result<QZMRawEventData> decoded =
        storedSize > QZMDatabase::kLargestStoredEventBytes ? tooLarge(storedSize) : QZMRawEventDataFromDictionary(row);
    std::int64_t eventCost =
        decoded ? static_cast<std::int64_t>(NANODecodeBudget::lastSpent()) + QZMDatabase::kBundledEventDecodeAllowance
                : 0;
    if (decoded && !QZMIsBundleableEventTime(decoded->rawEvent()->timestamp())) {
      decoded = qzm_errorWithCode(2, absl::StrCat("Event time cannot be bundled: ", decoded->rawEvent()->timestamp()));
    }
    std::int64_t eventSize = decoded ? static_cast<std::int64_t>(encodedSize(*decoded->rawEvent())) : 0;
    if (eventSize > QZMDatabase::kLargestStoredEventBytes) {
      decoded = tooLarge(eventSize);
    } else if (eventCost > largestEventsCost) {
      decoded = qzm_errorWithCode(2, absl::StrCat("Event takes too much memory to bundle: ", eventCost, " bytes"));
    }
    if (!decoded) {
      eventSize = 0;
      eventCost = 0;
    }
    if (keptCount > 0) {
      if (taken >= maxEvents || hourOfRow(row) != hour || rowID != previousRowID + 1 || size + eventSize >= maxSize ||
          decodeCost + eventCost > largestEventsCost) {
        return false;
      }
    } else {
      hour = hourOfRow(row);
    }
    previousRowID = rowID;
    if (decoded) {
      size += eventSize;
      decodeCost += eventCost;
      ++taken;
      run.events.push_back(std::move(*decoded));
    } else {
      monitor()->logWithLevel(4, 23096, "Failed to filter raw event. Error", decoded.error());
      run.undecodableRowIDs.push_back(rowID);
    }
    return true;
  };
  // The filter keeps what it reads; the rows themselves are not needed.
  auto rows = database->rawEventsWithMetadataFingerprint<std::int64_t>(
      fingerprint, filter, [](QZMDatabase::Record&& row) -> foundation::Result<std::int64_t> { return rowIDOfRow(row); });
  if (!rows) {
    monitor()->logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", rows.error());
    return std::nullopt;
  }
  return run;
}

std::optional<std::vector<std::shared_ptr<QZMEvent>>> QZMMeasurement::processRawEvents(
    const std::vector<QZMRawEventData>& rawEvents) {
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return std::nullopt;
  auto monitor = ::monitor();

  std::vector<QZMRawEventData> accepted;
  const QZMNameMap& allowedReserved = QZMAllowedReservedEventNameMap();
  for (const QZMRawEventData& rawEvent : rawEvents) {
    const QZMEvent& event = *rawEvent.rawEvent();
    auto internal = allowedReserved.find(event.name());
    bool hasInternalName = internal != allowedReserved.end();
    bool skipBlockCheck = hasInternalName && config->blocklistInternal() && !config->blocklistPublic();
    if (!skipBlockCheck && (config->isEventBlocklisted(event.name()) ||
                            (hasInternalName && config->isEventBlocklisted(internal->second)))) {
      monitor->logWithLevel(4, 23099, "Rejected event. Event name", QZMEventNameForLogging(event.name()));
      continue;
    }
    if (config->redundantEngagementRemovalEnabled() && event.name() == "_e") {
      const QZMValue* foreground = parameter(event, "_fr");
      if (foreground && foreground->isInt64() && foreground->int64Value() == 1) continue;
    }
    accepted.push_back(rawEvent);
  }
  if (accepted.empty()) return std::vector<std::shared_ptr<QZMEvent>>();

  auto stored = database->dailyCounts();
  auto day = database->currentDayNumber();
  if (!stored || !day) {
    monitor->logWithLevel(1, 23101, "Failed to query daily event counts. Error", !stored ? stored.error() : day.error());
    return std::nullopt;
  }
  QZMDailyCounts dailyCounts = stored->value_or(QZMDailyCounts());
  bool countsChanged = false;
  std::vector<std::shared_ptr<QZMEvent>> events;
  for (const QZMRawEventData& rawEvent : accepted) {
    std::shared_ptr<QZMEvent> event = internalEventFromPublicEvent(rawEvent).rawEvent()->copy();
    if (!event) continue;
    bool conversionCounted = checkConversion(*event, dailyCounts, *day);
    bool realtimeCounted = checkRealtime(*event, dailyCounts, *day);
    countsChanged = countsChanged || conversionCounted || realtimeCounted;
    events.push_back(std::move(event));
  }
  if (countsChanged) {
    if (foundation::Status updated = database->updateDailyCounts(dailyCounts); !updated) {
      monitor->logWithLevel(2, 23106, "Failed to update daily event counts. Name, error",
                            QZMEventNameForLogging(events.back()->name()), updated.error());
      return std::nullopt;
    }
  }
  return events;
}

QZMRawEventData QZMMeasurement::internalEventFromPublicEvent(const QZMRawEventData& rawEventData) {
  const QZMEvent& event = *rawEventData.rawEvent();
  const QZMNameMap& allowedReserved = QZMAllowedReservedEventNameMap();
  auto internal = allowedReserved.find(event.name());
  if (internal == allowedReserved.end()) return rawEventData;
  std::shared_ptr<const QZMEvent> renamed = QZMEvent::initWithOrigin(
      event.origin(), false, internal->second, event.timestamp(), event.previousTimestamp(), event.parameters());
  if (!renamed) return rawEventData;
  auto copy = QZMRawEventData::initWithRawEvent(renamed, rawEventData.rowID(), rawEventData.metadataFingerprint());
  return copy ? *copy : rawEventData;
}

bool QZMMeasurement::checkConversion(QZMEvent& event, QZMDailyCounts& dailyCounts, std::int32_t day) {
  auto config = remoteConfigInstance();
  if (!config) return false;
  if (config->isEventCustomConversion(event.name())) event.setConversion(true);
  if (!event.isConversion() || !isPublicName(event.name())) return false;
  std::int32_t limit = config->maxConversionsPerDay();
  if (dailyCounts.conversionsCount() >= limit) {
    event.setConversion(false);
    monitor()->logWithLevel(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
                            QZMEventNameForLogging(event.name()), limit);
    return false;
  }
  // Only the conversions count moves: the event itself was counted when
  // it was written.
  dailyCounts.incrementCountsForCurrentDay(day, false, true);
  dailyCounts.decrementAllEventsCount();
  return true;
}

bool QZMMeasurement::checkRealtime(QZMEvent& event, QZMDailyCounts& dailyCounts, std::int32_t day) {
  auto config = remoteConfigInstance();
  if (!config || (!event.isRealtime() && !event.isConversion())) return false;
  auto monitor = ::monitor();
  bool debug = monitor->isDebugModeEnabled();
  // Plain literals: the worker may still run here while the program ends.
  static constexpr std::string_view kUncountedNames[] = {"_iap", "_f", "_dcu", "_fx"};
  bool limitCounted = !debug && std::ranges::find(kUncountedNames, event.name()) == std::end(kUncountedNames);
  bool dcuCounted = !debug && event.name() == "_dcu";
  if (dailyCounts.day() != day) dailyCounts.resetWithNewDay(day);
  if (limitCounted) {
    if (dailyCounts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
      dailyCounts.incrementRealtimeCountsForCurrentDay(day);
      event.setRealtime(true);
      monitor->logWithLevel(7, 23103,
                            "Event is under real-time event count daily limit. Marking the event as real-time. Event "
                            "name, parameters",
                            QZMEventNameForLogging(event.name()), QZMParametersForLogging(event.parameters()));
      return true;
    }
    event.setRealtime(false);
    monitor->logWithLevel(4, 23104,
                          "Number of real-time events is over the real-time event count daily limit. Event is no "
                          "longer real-time. Event name, parameters",
                          QZMEventNameForLogging(event.name()), QZMParametersForLogging(event.parameters()));
    return false;
  }
  if (dcuCounted) {
    if (dailyCounts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
      event.setRealtime(false);
      return false;
    }
    dailyCounts.incrementDCURealtimeCountsForCurrentDay(day);
    event.setRealtime(true);
    return true;
  }
  event.setRealtime(true);
  monitor->logWithLevel(7, 23105,
                        "Event is not subject to real-time event count daily limit. Marking an event as real-time. "
                        "Event name, parameters",
                        QZMEventNameForLogging(event.name()), QZMParametersForLogging(event.parameters()));
  return false;
}

void QZMMeasurement::evaluationTimeFromRawEvents(const std::vector<QZMRawEventData>& rawEvents,
                                                 QZMPBMeasurementBundle& bundle) {
  auto database = this->database();
  if (!database) return;
  auto audience = this->audience();
  bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(),
                                  [](const QZMRawEventData& e) { return e.rawEvent()->name() == "_s"; });
  if (sessionStart) {
    if (audience) {
      if (!audience->clearEvaluationResultsForSessionScopedFilters()) return;
      auto userAttributes = NANOGetArray<QZMPBUserAttribute>(&bundle, Bundle::kUserAttributes);
      for (const auto& userAttribute : userAttributes.value_or(std::vector<std::shared_ptr<QZMPBUserAttribute>>())) {
        if (!audience->evaluateFiltersForNanoUserProperty(*userAttribute, nullptr, std::nullopt)) return;
      }
    }
    if (foundation::Status cleared = database->clearCurrentSessionCounts(); !cleared) {
      monitor()->logWithLevel(1, 23185, "Failed to clear event session counts. Error", cleared.error());
      return;
    }
  }

  std::int64_t engagement = 0;
  for (const QZMRawEventData& rawEvent : rawEvents) {
    const QZMValue* time = parameter(*rawEvent.rawEvent(), "_et");
    if (time && time->isInt64() && !parameter(*rawEvent.rawEvent(), "_fr")) {
      engagement = saturatingSum(engagement, time->int64Value());
    }
  }
  if (!updateUserEngagement(engagement, bundle, false)) return;
  if (sessionStart) {
    if (foundation::Status deleted = database->deleteUserAttributeWithName("_se"); !deleted) {
      monitor()->logWithLevel(1, 23188, "Unable to delete session engagement property on session start. Error",
                              deleted.error());
      return;
    }
  }
  updateUserEngagement(engagement, bundle, true);
}

void QZMMeasurement::handleAnalyticsStorageConsentTransitions(const QZMPBMeasurementBundle& bundle) {
  auto database = this->database();
  if (!database) return;
  std::string signals = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
  std::string previous = persistedConfig_->previousBundledConsentSignals().value_or("");
  if (signals == previous) return;
  bool wasDenied = QZMConsentSignalsDenyAnalyticsStorage(previous);
  bool isDenied = QZMConsentSignalsDenyAnalyticsStorage(signals);
  if (!wasDenied && isDenied) {
    if (foundation::Status created = database->createEventsSnapshotTable(); !created) {
      monitor()->logWithLevel(4, 23266, "Unable to create table snapshot. Error", created.error());
      return;
    }
  } else if (wasDenied && !isDenied) {
    if (foundation::Status restored = database->restoreFromEventsSnapshotTable(); !restored) {
      monitor()->logWithLevel(4, 23267, "Unable to restore from table snapshot. Error", restored.error());
      return;
    }
  }
  // Remembered only once the counters are where the signals say, and only
  // if the bundle that moved them is kept; otherwise the next bundle tries
  // again.
  database->performAfterCommit([persisted = persistedConfig_, signals] {
    persisted->setPreviousBundledConsentSignals(signals);
  });
}

std::optional<std::vector<std::shared_ptr<QZMEvent>>> QZMMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<std::shared_ptr<QZMEvent>>& events, QZMAudienceTimestampsCache* audienceTimestampsCache,
    bool allowEventFilterEvaluation) {
  auto database = this->database();
  if (!database) return std::nullopt;
  auto audience = this->audience();
  std::vector<std::shared_ptr<QZMEvent>> counted;
  for (const auto& given : events) {
    std::shared_ptr<QZMEvent> event = purchaseEventWithCustomerTypeParam(given);
    auto stored = database->eventAggregatesWithName(event->name());
    if (!stored) {
      monitor()->logWithLevel(1, 23107, "Failed to query event aggregates. Name, error",
                              QZMEventNameForLogging(event->name()), stored.error());
      return std::nullopt;
    }
    std::optional<QZMEventAggregates> aggregates = *stored ? QZMEventAggregatesFromStored(**stored) : std::nullopt;
    if (aggregates) {
      if (std::shared_ptr<QZMEvent> withPrevious = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
        event = std::move(withPrevious);
      }
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = QZMEventAggregates::initWithName(event->name(), 1, 1, 1, event->timestamp());
      if (!aggregates) return std::nullopt;
    }
    if (foundation::Status updated = database->updateEventAggregates(QZMStoredEventAggregatesFrom(*aggregates));
        !updated) {
      monitor()->logWithLevel(1, 23108, "Failed to update event aggregates. Error", updated.error());
      return std::nullopt;
    }
    if (allowEventFilterEvaluation && audience &&
        !audience->evaluateFiltersForEvent(*event, *aggregates, audienceTimestampsCache)) {
      return std::nullopt;
    }
    counted.push_back(std::move(event));
  }
  return counted;
}

std::shared_ptr<QZMEvent> QZMMeasurement::purchaseEventWithCustomerTypeParam(const std::shared_ptr<QZMEvent>& event) {
  static constexpr std::string_view kPurchaseNames[] = {"_iap", "purchase", "ecommerce_purchase"};
  auto config = remoteConfigInstance();
  auto database = this->database();
  if (!config || !database || !config->customerTypeEnabled() || std::ranges::find(kPurchaseNames, event->name()) == std::end(kPurchaseNames)) return event;
  auto all = database->allEventAggregates();
  if (!all) {
    monitor()->logWithLevel(1, 23274, "Failed to query all event aggregates. Error", all.error());
    return event;
  }
  bool returning = std::any_of(all->begin(), all->end(), [](const QZMStoredEventAggregates& row) {
    return std::ranges::find(kPurchaseNames, row.name) != std::end(kPurchaseNames) && row.lifetimeCount >= 1;
  });
  QZMParameters parameters = event->parameters();
  parameters.insert_or_assign("_ct", *QZMValue::initWithString(returning ? "returning" : "new"));
  std::shared_ptr<QZMEvent> typed = event->copyWithParameters(parameters);
  return typed ? typed : event;
}

bool QZMMeasurement::updateAppMetadataForBundle(QZMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
  auto database = this->database();
  if (!database) return false;
  auto stored = database->queryAppMetadata();
  if (!stored || !*stored) {
    monitor()->logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                            !stored ? QZMLogContext(stored.error()) : QZMLogContext(std::string("no app metadata")));
    return false;
  }
  QZMAppMetadata appMetadata = **stored;
  double previousStart = appMetadata.lastBundleStartTimestamp();
  double previousEnd = appMetadata.lastBundleEndTimestamp();
  if (previousEnd > 0) NANOSetInt64(&bundle, Bundle::kPreviousBundleEndTimestampMillis, QZMMillisecondsFromSeconds(previousEnd));
  if (double previous = previousStart > 0 ? previousStart : previousEnd; previous > 0) {
    NANOSetInt64(&bundle, Bundle::kPreviousBundleStartTimestampMillis, QZMMillisecondsFromSeconds(previous));
  }
  auto events = NANOGetArray(&bundle, Bundle::kEvents, &QZMPBEvent::messageClass);
  appMetadata.increaseLastBundleIndex(events ? static_cast<std::int64_t>(events->size()) : 0);
  appMetadata.incrementLastDeliveryIndex();
  appMetadata.setLastBundleStartTimestamp(bundleStartTimestamp);
  appMetadata.setLastBundleEndTimestamp(bundleEndTimestamp);
  NANOSetInt32(&bundle, Bundle::kBundleIndex, appMetadata.lastBundleIndex());
  NANOSetInt32(&bundle, Bundle::kDeliveryIndex, appMetadata.lastDeliveryIndex());
  if (foundation::Status updated = database->updateAppMetadata(appMetadata); !updated) {
    monitor()->logWithLevel(1, 23112, "Unable to update the app metadata. Error", updated.error());
    return false;
  }
  return true;
}

bool QZMMeasurement::updateUserEngagement(std::int64_t engagementTimeMillis, QZMPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  if (engagementTimeMillis < 0) {
    monitor()->logWithLevel(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (engagementTimeMillis == 0) return true;
  auto database = this->database();
  if (!database) return false;
  const std::string name = sessionScoped ? "_se" : "_lte";
  auto stored = database->userAttributeWithName(name);
  if (!stored) {
    monitor()->logWithLevel(1, 23187, "Failed to query for user engagement user property. Name, error",
                            QZMUserPropertyNameForLogging(name), stored.error());
    return false;
  }
  std::int64_t total = engagementTimeMillis;
  if (*stored && (*stored)->value.isInteger()) total = saturatingSum(total, (*stored)->value.int64Value());
  double now = foundation::now();
  auto attribute = QZMUserAttribute::initWithOrigin("auto", name, QZMValue::initWithInt64(total), now);
  if (!attribute || !database->updateUserAttribute(attribute->stored()).ok()) return false;

  auto userAttributes = NANOGetArray<QZMPBUserAttribute>(&bundle, Bundle::kUserAttributes)
                            .value_or(std::vector<std::shared_ptr<QZMPBUserAttribute>>());
  std::int64_t nowMillis = QZMMillisecondsFromSeconds(now);
  bool found = false;
  for (const auto& userAttribute : userAttributes) {
    if (NANOGetString(userAttribute.get(), QZMPBUserAttribute::kName) != name) continue;
    NANOSetInt64(userAttribute.get(), QZMPBUserAttribute::kIntValue, total);
    NANOSetInt64(userAttribute.get(), QZMPBUserAttribute::kSetTimestampMillis, nowMillis);
    found = true;
  }
  if (!found) userAttributes.push_back(attribute->protoUserAttribute());
  NANOObjectArray objects(userAttributes.begin(), userAttributes.end());
  NANOSetArray(&bundle, Bundle::kUserAttributes, &objects);
  return true;
}

void QZMMeasurement::addBundleMetadataIntoBundle(QZMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
  auto config = remoteConfigInstance();
  if (!config) return;
  auto monitor = ::monitor();
  if (std::vector<std::int32_t> experiments = config->experimentIDs(); !experiments.empty()) {
    NANOObjectArray ids;
    for (std::int32_t id : experiments) ids.emplace_back(std::in_place_type<foundation::Object>, static_cast<std::int64_t>(id));
    NANOSetArray(&bundle, Bundle::kExperimentIds, &ids);
  }
  std::optional<std::string> monitoring = monitor->monitoringDataForDispatchWithSamplePeriod(
      config->monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
  if (monitoring && !monitoring->empty()) {
    NANOSetString(&bundle, Bundle::kMonitoringData, *monitoring);
    persistedConfig_->setLastMonitorDataSampledTimestamp(foundation::now());
  }
  if (std::int64_t version = config->version(); config->hasConfiguration() && version >= 0) {
    NANOSetInt64(&bundle, Bundle::kConfigVersion, version);
  }
  if (NANOGetString(&bundle, Bundle::kAppId).value_or("").empty()) {
    auto identity = this->identity();
    std::string appID = identity ? identity->appID() : std::string();
    if (appID.empty()) appID = foundation::Bundle::main()->bundleIdentifier();
    NANOSetString(&bundle, Bundle::kAppId, appID);
  }
  NANOSetInt64(&bundle, Bundle::kStartTimestampMillis, QZMMillisecondsFromSeconds(bundleStartTimestamp));
  NANOSetInt64(&bundle, Bundle::kEndTimestampMillis, QZMMillisecondsFromSeconds(bundleEndTimestamp));
}
