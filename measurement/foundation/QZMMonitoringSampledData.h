// The monitor's health sample: one line kept out of all the warnings and
// errors seen since the last upload, chosen uniformly (reservoir sampling of
// one), with the number of lines seen. Touched only on the monitor's queue.
//
// Persisted as an array of four: [encoded context (string), population
// (integer), sample key (string), creation date (date)].
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

class QZMMonitoringSampledData {
 public:
  QZMMonitoringSampledData() = default;
  // Keeps the array when it is a valid record, else starts empty.
  explicit QZMMonitoringSampledData(const std::optional<foundation::Array>& array);

  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  // count lines at once, of which this one was chosen uniformly: it is kept
  // with the chance those lines have among all seen, so every line stays
  // equally likely.
  void mergeSampledDataWithKey(const std::string& key, const std::string& encodedContext, std::int64_t count);
  // The upload text when one is due (the record is then dropped), else nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // The persisted form; nullopt when empty.
  std::optional<foundation::Array> sampledData() const;

  // Four elements: string, number, string, date.
  static bool isValidUserDefaultsArrayEntry(const foundation::Array& array);
  // "population:key:context", or "population:key" for an empty context.
  static std::string monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                               const std::string& context);

 private:
  struct Record {
    std::string context;
    std::int32_t population = 0;
    std::string key;
    double created = 0;
  };
  std::optional<Record> record_;
};
