// What one audience evaluation pass gathers of the times at which filters
// were true: the latest time of each dynamic or session-scoped filter, and
// the evaluation times of each sequence filter. They become the timestamp
// lists of the stored QZMPBResultData. Times are seconds since 1970; the
// messages carry whole seconds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/model/audience/QZMAudienceFilters.h"

class QZMPBDynamicFilterResultTimestamp;
class QZMPBSequenceFilterResultTimestamp;

// The sequence times of one audience, per filter ID.
class QZMSequenceTimestampsCache {
 public:
  explicit QZMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

  // Appends the time unless the last one falls in the same whole second; a
  // time before the last is logged and still added.
  void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
  // A property's sequence time replaces the list (logged when it goes back).
  void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
  // A copy of the filter's list, or nullopt.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
  // One message per filter by ascending ID, its times sorted, in whole seconds.
  std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

  std::int32_t audienceID() const { return audienceID_; }

 private:
  std::int32_t audienceID_;
  std::map<std::int32_t, std::vector<double>> timestamps_;
};

class QZMAudienceTimestampsCache {
 public:
  // Takes in, once per audience, the times of the audience's stored results
  // (none when result is nullptr): every dynamic time, and the last time of
  // each sequence filter.
  void populateCachedTimestamps(const QZMFilterResult* result, std::int32_t audienceID);
  // Records that the filter was true at the time: sequence filters in the
  // audience's sequence cache, dynamic and session-scoped filters as their
  // latest time (a time not after the cached one is logged and dropped).
  void addEvaluationTimestamp(double timestamp, const QZMAudienceFilter& filter);
  // By ascending filter ID; empty for an audience without times.
  std::vector<std::shared_ptr<QZMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      std::int32_t audienceID) const;
  // nullopt for an audience without a sequence cache.
  std::optional<std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>>> sequenceTimestampsForAudienceID(
      std::int32_t audienceID) const;

 private:
  QZMSequenceTimestampsCache& sequenceCache(std::int32_t audienceID);

  std::map<std::int32_t, std::map<std::int32_t, double>> dynamicTimestamps_;
  std::map<std::int32_t, QZMSequenceTimestampsCache> sequenceCaches_;
};
