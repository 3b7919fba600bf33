// The few values of on-device conversion that survive restarts: first launch,
// when the lookup closed, how many configuration fetches were made, and the
// two results. One property-list file, rewritten whole after every change and
// excluded from backups. Used only from the conversion service's queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

inline constexpr const char* kODCStoreSubdirectory = "Dralix/Ads/OnDeviceConversion";
inline constexpr const char* kODCStoreFileName = "com.dralix.ads.on_device_conversion.plist";

inline constexpr const char* kODCStoreFirstLaunchTimestampKey = "FirstLaunchTimestamp";
inline constexpr const char* kODCStoreMatchFoundTimestampKey = "MatchFoundTimestamp";
inline constexpr const char* kODCStoreODM2RetryCountKey = "ODM2RetryCount";
inline constexpr const char* kODCStoreAggregateConversionInfoKey = "AggregateConversionInfo";
inline constexpr const char* kODCStoreMeasurementInfoKey = "MeasurementInfo";

// <application support>/Dralix/Ads/OnDeviceConversion/<file>, or "" (logged)
// when there is no application-support folder.
std::string ODCConversionStorePath();

// Equal when both are absent, or both present in the same whole second.
bool ODCDatesEqualToTheSecond(const std::optional<foundation::Date>& a, const std::optional<foundation::Date>& b);

class ODCConversionStore {
 public:
  // nullptr when the store's folder cannot be made: the component then has
  // no store. A file that cannot be read as a dictionary is moved aside so
  // nothing overwrites it, and the store starts empty.
  static std::shared_ptr<ODCConversionStore> create();

  // A value of the wrong type is logged, removed from the file and read as
  // absent.
  std::optional<foundation::Date> firstLaunchTimestamp();
  std::optional<foundation::Date> matchFoundTimestamp();
  std::optional<std::int64_t> odm2RetryCount();
  std::optional<std::string> aggregateConversionInfo();
  std::optional<std::string> measurementInfo();

  // Each writes the file only when the value changes; nullopt removes it.
  void setFirstLaunchTimestamp(const std::optional<foundation::Date>& date);
  void setMatchFoundTimestamp(const std::optional<foundation::Date>& date);
  void setOdm2RetryCount(const std::optional<std::int64_t>& count);
  void setAggregateConversionInfo(const std::optional<std::string>& info);
  void setMeasurementInfo(const std::optional<std::string>& info);

  // Sets or removes the entry, then writes the file.
  void setObject(const std::optional<foundation::Object>& object, const std::string& key);
  // Writes the whole dictionary and marks the file as excluded from backup;
  // failures are logged and the values stay set in memory.
  void writeToFile();

  const std::string& filePath() const { return filePath_; }
  const foundation::Dictionary& content() const { return content_; }

 private:
  explicit ODCConversionStore(std::string filePath) : filePath_(std::move(filePath)) {}
  void load();
  std::optional<foundation::Date> dateForKey(const char* key, std::int64_t code, const char* what);
  std::optional<std::string> stringForKey(const char* key, std::int64_t code, const char* what);
  void setString(const std::optional<std::string>& value, std::optional<std::string> current, const char* key);

  std::string filePath_;
  foundation::Dictionary content_;
  // False when a file that could not be read stayed in place: writing would
  // destroy it.
  bool writable_ = true;
};
