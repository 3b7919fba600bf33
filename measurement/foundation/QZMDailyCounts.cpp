#include "measurement/foundation/QZMDailyCounts.h"

#include <cmath>
#include <limits>

namespace {

constexpr double kSecondsPerDay = 86400;

// Counts saturate: a limit check must never see a wrapped, small count.
std::int32_t saturatingAdd(std::int32_t count, std::int64_t by) {
  std::int64_t sum = std::int64_t{count} + by;
  if (sum > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (sum < 0) return 0;
  return static_cast<std::int32_t>(sum);
}

}  // namespace

std::int32_t QZMDayNumber(double now, double midnightOffset) {
  double day = std::floor((now - midnightOffset) / kSecondsPerDay);
  if (std::isnan(day)) return 0;
  if (day <= std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  if (day >= std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(day);
}

void QZMDailyCounts::moveToDay(std::int32_t currentDay) {
  if (currentDay != day_) resetWithNewDay(currentDay);
}

void QZMDailyCounts::incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion,
                                                  std::int32_t byEffectiveEventCount) {
  moveToDay(currentDay);
  allEventsCount_ = saturatingAdd(allEventsCount_, byEffectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = saturatingAdd(publicEventsCount_, byEffectiveEventCount);
  if (isConversion) conversionsCount_ = saturatingAdd(conversionsCount_, 1);
}

void QZMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t currentDay) {
  moveToDay(currentDay);
  allEventsCount_ = saturatingAdd(allEventsCount_, 1);
  errorEventsCount_ = saturatingAdd(errorEventsCount_, 1);
}

void QZMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t currentDay) {
  moveToDay(currentDay);
  realtimeCount_ = saturatingAdd(realtimeCount_, 1);
}

void QZMDailyCounts::incrementDCURealtimeCountsForCurrentDay(std::int32_t currentDay) {
  moveToDay(currentDay);
  dcuRealtimeCount_ = saturatingAdd(dcuRealtimeCount_, 1);
}

void QZMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void QZMDailyCounts::resetWithNewDay(std::int32_t day) { *this = QZMDailyCounts(day, 0, 0, 0, 0, 0, 0); }
