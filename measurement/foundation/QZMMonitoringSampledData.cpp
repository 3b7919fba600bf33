#include "measurement/foundation/QZMMonitoringSampledData.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/foundation/QZMUtilities.h"
#include "platform/foundation/Clock.h"

QZMMonitoringSampledData::QZMMonitoringSampledData(const std::optional<foundation::Array>& array) {
  if (!array || !isValidUserDefaultsArrayEntry(*array)) return;
  const foundation::Array& a = *array;
  std::int64_t population = a[1].int64Value();
  record_ = Record{*a[0].string(),
                   static_cast<std::int32_t>(std::clamp<std::int64_t>(population, 0, std::numeric_limits<std::int32_t>::max())),
                   *a[2].string(), a[3].date()->secondsSince1970};
}

bool QZMMonitoringSampledData::isValidUserDefaultsArrayEntry(const foundation::Array& array) {
  return array.size() == 4 && array[0].isString() && array[1].isNumber() && array[2].isString() &&
         array[3].isDate();
}

void QZMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
  if (!record_) {
    record_ = Record{encodedContext, 1, key, foundation::now()};
    return;
  }
  // Saturates rather than wrapping after 2^31 - 1 lines.
  if (record_->population < std::numeric_limits<std::int32_t>::max()) ++record_->population;
  if (QZMUtilities::shared()->uniformRandom(static_cast<std::uint32_t>(record_->population)) == 0) {
    record_->key = key;
    record_->context = encodedContext;
  }
}

void QZMMonitoringSampledData::mergeSampledDataWithKey(const std::string& key, const std::string& encodedContext,
                                                       std::int64_t count) {
  if (count <= 0) return;
  constexpr std::int64_t kMaxPopulation = std::numeric_limits<std::int32_t>::max();
  if (!record_) {
    record_ = Record{encodedContext, static_cast<std::int32_t>(std::min(count, kMaxPopulation)), key,
                     foundation::now()};
    return;
  }
  std::int64_t population = std::min<std::int64_t>(record_->population + count, kMaxPopulation);
  record_->population = static_cast<std::int32_t>(population);
  if (QZMUtilities::shared()->uniformRandom(static_cast<std::uint32_t>(population)) < count) {
    record_->key = key;
    record_->context = encodedContext;
  }
}

std::optional<std::string> QZMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  double now = foundation::now();
  if (!record_) {
    if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) return "0:";
    return std::nullopt;
  }
  if (record_->created < now - samplePeriod) {
    std::string text = monitoringURLParamWithKey(record_->key, record_->population, record_->context);
    record_.reset();
    return text;
  }
  return std::nullopt;
}

std::optional<foundation::Array> QZMMonitoringSampledData::sampledData() const {
  if (!record_) return std::nullopt;
  return foundation::Array{foundation::Object(record_->context), foundation::Object(record_->population),
                           foundation::Object(record_->key), foundation::Object(foundation::Date{record_->created})};
}

std::string QZMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                                                const std::string& context) {
  std::string text = std::to_string(population) + ":" + key;
  if (!context.empty()) text += ":" + context;
  return text;
}
