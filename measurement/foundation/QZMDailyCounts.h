// The per-day counts the engine checks against its daily limits. Every
// mutator takes today's day number and starts the counts afresh when it is
// another day than the one the counts belong to.
#pragma once

#include <cstdint>

// The day number of an instant: whole days since 1970 counted from the
// installation's own midnight offset, floored (also before 1970) and held
// within the 32-bit range.
std::int32_t QZMDayNumber(double now, double midnightOffset);

class QZMDailyCounts {
 public:
  QZMDailyCounts() = default;
  QZMDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount, std::int32_t realtimeCount,
                 std::int32_t dcuRealtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount),
        dcuRealtimeCount_(dcuRealtimeCount) {}

  // All events and public events grow by the count; a conversion counts once
  // whatever the count.
  void incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion,
                                    std::int32_t byEffectiveEventCount);
  void incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion) {
    incrementCountsForCurrentDay(currentDay, isPublicEvent, isConversion, 1);
  }
  // An error event is an event too.
  void incrementErrorEventsCountForCurrentDay(std::int32_t currentDay);
  void incrementRealtimeCountsForCurrentDay(std::int32_t currentDay);
  void incrementDCURealtimeCountsForCurrentDay(std::int32_t currentDay);
  // Never below 0; the day is not checked.
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }
  std::int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  bool operator==(const QZMDailyCounts& other) const = default;

 private:
  void moveToDay(std::int32_t currentDay);

  std::int32_t day_ = 0;
  std::int32_t conversionsCount_ = 0;
  std::int32_t allEventsCount_ = 0;
  std::int32_t publicEventsCount_ = 0;
  std::int32_t errorEventsCount_ = 0;
  std::int32_t realtimeCount_ = 0;
  std::int32_t dcuRealtimeCount_ = 0;
};
