#include "measurement/model/audience/QZMEventAggregatesStorage.h"

std::optional<QZMEventAggregates> QZMEventAggregatesFromStored(const QZMStoredEventAggregates& stored) {
  auto aggregates = QZMEventAggregates::initWithName(stored.name, stored.lifetimeCount, stored.currentBundleCount,
                                                     stored.currentSessionCount, stored.lastFireTimestamp);
  if (!aggregates) return std::nullopt;
  aggregates->setLastBundledTimestamp(stored.lastBundledTimestamp);
  aggregates->setLastSampledComplexEventID(stored.lastSampledComplexEventID);
  aggregates->setLastSamplingRate(stored.lastSamplingRate);
  aggregates->setLastExemptFromSampling(stored.lastExemptFromSampling);
  aggregates->setLastBundledDay(stored.lastBundledDay);
  return aggregates;
}

QZMStoredEventAggregates QZMStoredEventAggregatesFrom(const QZMEventAggregates& aggregates) {
  QZMStoredEventAggregates stored;
  stored.name = aggregates.name();
  stored.lifetimeCount = aggregates.lifetimeCount();
  stored.currentBundleCount = aggregates.currentBundleCount();
  stored.currentSessionCount = aggregates.currentSessionCount();
  stored.lastFireTimestamp = aggregates.lastFireTimestamp();
  stored.lastBundledTimestamp = aggregates.lastBundledTimestamp();
  stored.lastSampledComplexEventID = aggregates.lastSampledComplexEventID();
  stored.lastSamplingRate = aggregates.lastSamplingRate();
  stored.lastExemptFromSampling = aggregates.lastExemptFromSampling();
  stored.lastBundledDay = aggregates.lastBundledDay();
  return stored;
}
