#include "measurement/foundation/QZMAppMetadata.h"

#include <limits>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

namespace {
constexpr std::int64_t kIndexRange = std::int64_t{1} << 31;
}  // namespace

std::optional<QZMAppMetadata> QZMAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                      std::int32_t lastDeliveryIndex,
                                                                      double lastBundleStartTimestamp,
                                                                      double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    QZMMeasurementBase::monitor()->logWithLevel(
        2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return std::nullopt;
  }
  QZMAppMetadata metadata;
  metadata.lastBundleIndex_ = lastBundleIndex;
  metadata.lastDeliveryIndex_ = lastDeliveryIndex;
  metadata.lastBundleStartTimestamp_ = lastBundleStartTimestamp;
  metadata.lastBundleEndTimestamp_ = lastBundleEndTimestamp;
  return metadata;
}

std::optional<QZMAppMetadata> QZMAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                      double lastBundleStartTimestamp,
                                                                      double lastBundleEndTimestamp) {
  return initWithLastBundleIndex(lastBundleIndex, 0, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void QZMAppMetadata::increaseLastBundleIndex(std::int64_t n) {
  if (n < 0) return;
  std::int64_t next = std::int64_t{lastBundleIndex_} + n;
  if (next >= kIndexRange) {
    QZMMeasurementBase::monitor()->logWithLevel(5, 4001, "Bundle index overflow. Bundle index wraparound.");
    // n itself may lie beyond the index's range.
    next = (n - 1) % kIndexRange;
  }
  lastBundleIndex_ = static_cast<std::int32_t>(next);
}

void QZMAppMetadata::incrementLastDeliveryIndex() {
  lastDeliveryIndex_ =
      lastDeliveryIndex_ == std::numeric_limits<std::int32_t>::max() ? 0 : lastDeliveryIndex_ + 1;
  if (lastDeliveryIndex_ == 0) {
    QZMMeasurementBase::monitor()->logWithLevel(5, 4002, "Delivery index overflow. Delivery index reset to 0.");
  }
}
