#include "measurement/model/audience/QZMAudienceTimestampsCache.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

void log(std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(5, code, message);
}

// Truncated towards zero and held within the 64-bit range.
std::int64_t wholeSeconds(double timestamp) { return QZMSaturatingCast<std::int64_t>(timestamp); }

}  // namespace

void QZMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& times = timestamps_[filterID];
  if (!times.empty() && times.back() > timestamp)
    log(42000, "Adding a sequence timestamp less than the last added timestamp");
  if (!times.empty() && wholeSeconds(times.back()) == wholeSeconds(timestamp)) return;
  times.push_back(timestamp);
}

void QZMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& times = timestamps_[filterID];
  if (!times.empty() && times.back() > timestamp)
    log(42001, "Setting a sequence timestamp less than the last set timestamp");
  times = {timestamp};
}

std::optional<std::vector<double>> QZMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::int32_t filterID) const {
  auto found = timestamps_.find(filterID);
  if (found == timestamps_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>>
QZMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>> messages;
  for (const auto& [filterID, times] : timestamps_) {
    std::shared_ptr<QZMPBSequenceFilterResultTimestamp> message =
        QZMPBSequenceFilterResultTimestamp::initWithBuffer({});
    NANOSetInt32(message.get(), QZMPBSequenceFilterResultTimestamp::kFilterId, filterID);
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    NANOObjectArray seconds;
    for (double time : sorted) seconds.emplace_back(foundation::Object(wholeSeconds(time)));
    NANOSetArray(message.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps, &seconds);
    messages.push_back(std::move(message));
  }
  return messages;
}

QZMSequenceTimestampsCache& QZMAudienceTimestampsCache::sequenceCache(std::int32_t audienceID) {
  return sequenceCaches_.try_emplace(audienceID, audienceID).first->second;
}

void QZMAudienceTimestampsCache::populateCachedTimestamps(const QZMFilterResult* result, std::int32_t audienceID) {
  std::unique_ptr<QZMPBResultData> stored;
  if (result) stored = QZMPBResultData::initWithBuffer(result->currentResults());

  if (!dynamicTimestamps_.count(audienceID)) {
    std::map<std::int32_t, double>& times = dynamicTimestamps_[audienceID];
    if (stored) {
      for (const auto& entry : NANOGetArray<QZMPBDynamicFilterResultTimestamp>(
                                   stored.get(), QZMPBResultData::kDynamicFilterTimestamps)
                                   .value_or(std::vector<std::shared_ptr<QZMPBDynamicFilterResultTimestamp>>{})) {
        times[NANOGetInt32(entry.get(), QZMPBDynamicFilterResultTimestamp::kFilterId)] =
            static_cast<double>(NANOGetInt64(entry.get(), QZMPBDynamicFilterResultTimestamp::kEvalTimestamp));
      }
    }
  }
  if (!sequenceCaches_.count(audienceID)) {
    QZMSequenceTimestampsCache& cache = sequenceCache(audienceID);
    if (stored) {
      for (const auto& entry : NANOGetArray<QZMPBSequenceFilterResultTimestamp>(
                                   stored.get(), QZMPBResultData::kSequenceFilterTimestamps)
                                   .value_or(std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>>{})) {
        auto times = NANOGetArray(entry.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps);
        if (!times || times->empty()) continue;
        const auto* last = std::get_if<foundation::Object>(&times->back());
        if (!last) continue;
        // Only the last time matters for what comes after it.
        cache.addEventFilterTimestamp(static_cast<double>(last->int64Value()),
                                      NANOGetInt32(entry.get(), QZMPBSequenceFilterResultTimestamp::kFilterId));
      }
    }
  }
}

void QZMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const QZMAudienceFilter& filter) {
  if (filter.isSequence()) {
    QZMSequenceTimestampsCache& cache = sequenceCache(filter.audienceID());
    if (dynamic_cast<const QZMPropertyFilter*>(&filter)) {
      cache.setUserPropertyTimestamp(timestamp, filter.filterID());
    } else {
      cache.addEventFilterTimestamp(timestamp, filter.filterID());
    }
    return;
  }
  if (!filter.isDynamic() && !filter.isSessionScoped()) return;
  std::map<std::int32_t, double>& times = dynamicTimestamps_[filter.audienceID()];
  auto latest = times.find(filter.filterID());
  if (latest == times.end() ? 0 < timestamp : latest->second < timestamp) {
    times[filter.filterID()] = timestamp;
  } else {
    log(6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<std::shared_ptr<QZMPBDynamicFilterResultTimestamp>>
QZMAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
  std::vector<std::shared_ptr<QZMPBDynamicFilterResultTimestamp>> messages;
  auto found = dynamicTimestamps_.find(audienceID);
  if (found == dynamicTimestamps_.end()) return messages;
  for (const auto& [filterID, time] : found->second) {
    std::shared_ptr<QZMPBDynamicFilterResultTimestamp> message = QZMPBDynamicFilterResultTimestamp::initWithBuffer({});
    NANOSetInt32(message.get(), QZMPBDynamicFilterResultTimestamp::kFilterId, filterID);
    NANOSetInt64(message.get(), QZMPBDynamicFilterResultTimestamp::kEvalTimestamp, wholeSeconds(time));
    messages.push_back(std::move(message));
  }
  return messages;
}

std::optional<std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>>>
QZMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
  auto found = sequenceCaches_.find(audienceID);
  if (found == sequenceCaches_.end()) return std::nullopt;
  return found->second.sequenceFilterResultTimestamps();
}
