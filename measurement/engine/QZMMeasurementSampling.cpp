// Event sampling at bundling. A name with a configured rate N is kept with
// probability 1/N and carries the rate as "_sr"; its first event of each day
// of the analytics account's time zone is kept regardless and marked "_efs".
// The state lives in each name's aggregates row, written inside the bundling
// transaction, so a bundle rolled back rolls its sampling back too.
#include <cmath>
#include <map>
#include <set>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

std::int32_t dayNumber(double seconds, std::int32_t offsetMinutes) {
  return QZMSaturatingCast<std::int32_t>((seconds + offsetMinutes * 60.0) / 86400);
}

std::vector<std::shared_ptr<QZMPBEventParam>> parametersOf(const QZMPBEvent& event) {
  return NANOGetArray<QZMPBEventParam>(&event, QZMPBEvent::kParams)
      .value_or(std::vector<std::shared_ptr<QZMPBEventParam>>());
}

const QZMPBEventParam* findParameter(const std::vector<std::shared_ptr<QZMPBEventParam>>& parameters,
                                     std::string_view name) {
  for (const auto& parameter : parameters) {
    if (NANOGetString(parameter.get(), QZMPBEventParam::kName) == name) return parameter.get();
  }
  return nullptr;
}

// Adds an integer parameter unless the event has one of that name.
bool addIntegerParameter(QZMPBEvent& event, std::string_view name, std::int64_t value) {
  auto parameters = parametersOf(event);
  if (findParameter(parameters, name)) return true;
  auto parameter = QZMPBEventParam::initWithMessageInfo(nullptr);
  if (!parameter || !NANOSetString(parameter.get(), QZMPBEventParam::kName, name) ||
      !NANOSetInt64(parameter.get(), QZMPBEventParam::kIntValue, value)) {
    return false;
  }
  parameters.push_back(std::move(parameter));
  NANOObjectArray objects(parameters.begin(), parameters.end());
  return NANOSetArray(&event, QZMPBEvent::kParams, &objects);
}

}  // namespace

bool QZMMeasurement::canEventBeSampled(const QZMPBEvent& event) {
  auto config = remoteConfigInstance();
  if (!config || !config->isEventSamplingEnabled()) return false;
  std::string name = NANOGetString(&event, QZMPBEvent::kName).value_or("");
  if (!config->eventHasSamplingRate(name)) return false;
  if (config->samplingRateForEvent(name) <= 1) {
    monitor()->logWithLevel(5, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

bool QZMMeasurement::isEventBundledAfterRoll(std::int32_t rate) {
  if (rate <= 1) return true;
  return QZMUtilities::shared()->uniformRandom(static_cast<std::uint32_t>(rate)) == 0;
}

foundation::Result<std::vector<std::shared_ptr<QZMPBEvent>>> QZMMeasurement::sampleEvents(
    const std::vector<std::shared_ptr<QZMPBEvent>>& events) {
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return qzm_errorWithCode(2, "Database not open");
  auto all = database->allEventAggregates();
  if (!all) {
    monitor()->logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error", all.error());
    return all.error();
  }
  std::map<std::string, QZMStoredEventAggregates, std::less<>> cache;
  for (QZMStoredEventAggregates& row : *all) cache.emplace(row.name, std::move(row));
  std::set<std::string, std::less<>> touched;
  std::int32_t offset = config->analyticsAccountTimeZoneOffsetMinutes();

  std::vector<std::shared_ptr<QZMPBEvent>> kept;
  for (const auto& event : events) {
    std::string name = NANOGetString(event.get(), QZMPBEvent::kName).value_or("");
    if (name.empty()) {
      monitor()->logWithLevel(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    double time = NANOGetInt64(event.get(), QZMPBEvent::kTimestampMillis) / 1000.0;
    std::int32_t day = dayNumber(time, offset);
    QZMStoredEventAggregates& row = cache.try_emplace(name, QZMStoredEventAggregates{.name = name}).first->second;
    touched.insert(name);

    if (!canEventBeSampled(*event)) {
      row.lastBundledTimestamp = time;
      row.lastBundledDay = day;
      kept.push_back(event);
      continue;
    }
    std::int32_t rate = config->samplingRateForEvent(name);
    bool keep = false;
    if (isEventBundledAfterRoll(rate)) {
      row.lastSampledComplexEventID.reset();
      row.lastBundledTimestamp = time;
      row.lastBundledDay = day;
      if (!addIntegerParameter(*event, "_sr", rate)) {
        monitor()->logWithLevel(2, 23153, "Failed to create sampling rate parameter");
      }
      keep = true;
    } else {
      std::int32_t lastDay = row.lastBundledDay != 0
                                 ? row.lastBundledDay
                                 : dayNumber(NANOGetInt64(event.get(), QZMPBEvent::kPreviousTimestampMillis) / 1000.0,
                                             offset);
      if (lastDay != day) {
        // The first event of the day stays, whatever the roll said.
        row.lastBundledTimestamp = time;
        row.lastBundledDay = day;
        if (!addIntegerParameter(*event, "_sr", rate)) {
          monitor()->logWithLevel(2, 23153, "Failed to create sampling rate parameter");
        }
        if (!addIntegerParameter(*event, "_efs", 1)) {
          monitor()->logWithLevel(2, 23158, "Failed to create exempt from sampling parameter");
        }
        row.lastExemptFromSampling = true;
        keep = true;
      } else {
        auto parameters = parametersOf(*event);
        if (const QZMPBEventParam* eventID = findParameter(parameters, "_eid")) {
          row.lastSampledComplexEventID = NANOGetInt64(eventID, QZMPBEventParam::kIntValue);
        }
      }
    }
    row.lastSamplingRate = rate;
    if (keep) kept.push_back(event);
  }

  // Written back once per name seen here; the other rows are unchanged.
  for (const std::string& name : touched) {
    const QZMStoredEventAggregates& cached = cache.at(name);
    auto stored = database->eventAggregatesWithName(name);
    if (!stored || !*stored) {
      monitor()->logWithLevel(1, 23151, "Unable to query event aggregates to update database. Name, error", name,
                              stored ? QZMLogContext() : QZMLogContext(stored.error()));
      return stored ? qzm_errorWithCode(2, "No event aggregates to update") : stored.error();
    }
    QZMStoredEventAggregates row = **stored;
    if (cached.lastBundledTimestamp != 0) row.lastBundledTimestamp = cached.lastBundledTimestamp;
    row.lastSamplingRate = cached.lastSamplingRate;
    row.lastSampledComplexEventID = cached.lastSampledComplexEventID;
    row.lastExemptFromSampling = cached.lastExemptFromSampling;
    row.lastBundledDay = cached.lastBundledDay;
    if (foundation::Status updated = database->updateEventAggregates(row); !updated) {
      monitor()->logWithLevel(1, 23152,
                              "Failed to update event aggregates after removing removing events due to sampling. Error",
                              updated.error());
      return updated.error();
    }
  }
  return kept;
}
