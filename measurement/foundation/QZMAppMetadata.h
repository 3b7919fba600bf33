// The installation's running bundle and delivery indexes and the time span
// of the last bundle, kept in the single app metadata row.
#pragma once

#include <cstdint>
#include <optional>

class QZMAppMetadata {
 public:
  // nullopt (logged) for a negative bundle index.
  static std::optional<QZMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                               std::int32_t lastDeliveryIndex,
                                                               double lastBundleStartTimestamp,
                                                               double lastBundleEndTimestamp);
  static std::optional<QZMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                               double lastBundleStartTimestamp,
                                                               double lastBundleEndTimestamp);

  // Adds n; an index that would reach 2^31 wraps to n - 1 (logged). A
  // negative n is ignored: the index never goes below 0.
  void increaseLastBundleIndex(std::int64_t n);
  // From the largest index the next is 0 (logged).
  void incrementLastDeliveryIndex();

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  std::int32_t lastDeliveryIndex() const { return lastDeliveryIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double value) { lastBundleStartTimestamp_ = value; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double value) { lastBundleEndTimestamp_ = value; }

  bool operator==(const QZMAppMetadata& other) const = default;

 private:
  QZMAppMetadata() = default;

  std::int32_t lastBundleIndex_ = 0;
  std::int32_t lastDeliveryIndex_ = 0;
  double lastBundleStartTimestamp_ = 0;
  double lastBundleEndTimestamp_ = 0;
};
