#include "conversion/ODCConversionStore.h"

#include <cmath>

#include "conversion/ODCError.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

using foundation::Date;
using foundation::Object;

std::string ODCConversionStorePath() {
  std::string support = foundation::Paths::applicationSupportDirectory();
  if (support.empty()) {
    ODCLogError(kODCErrorApplicationSupportNotFound, "Cannot find ApplicationSupport directory.");
    return "";
  }
  return foundation::appendingPathComponent(foundation::appendingPathComponent(support, kODCStoreSubdirectory),
                                            kODCStoreFileName);
}

bool ODCDatesEqualToTheSecond(const std::optional<Date>& a, const std::optional<Date>& b) {
  if (!a || !b) return !a && !b;
  return std::floor(a->secondsSince1970) == std::floor(b->secondsSince1970);
}

std::shared_ptr<ODCConversionStore> ODCConversionStore::create() {
  std::string path = ODCConversionStorePath();
  if (path.empty() || !foundation::createDirectory(foundation::deletingLastPathComponent(path)).ok()) {
    ODCLogError(kODCErrorStoreDirectoryNotCreated, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  std::shared_ptr<ODCConversionStore> store(new ODCConversionStore(std::move(path)));
  store->load();
  return store;
}

void ODCConversionStore::load() {
  if (!foundation::fileExists(filePath_)) return;
  auto read = foundation::readPropertyListFile(filePath_);
  if (read.ok() && read->isDictionary()) {
    content_ = std::move(*read->dictionary());
    return;
  }
  // Keep what cannot be read for inspection; the lookup starts afresh.
  std::string reason = read.ok() ? "its root is not a dictionary" : read.error().text();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string aside = filePath_ + ".damaged" + (attempt ? "-" + std::to_string(attempt) : "");
    if (foundation::fileExists(aside)) continue;
    if (foundation::moveItem(filePath_, aside).ok()) {
      ODCLogWarning(kODCErrorStoreSetAside, "Unreadable conversion store (" + reason + ") set aside as " + aside + ".");
      return;
    }
    break;
  }
  writable_ = false;
  ODCLogError(kODCErrorStoreSetAside,
              "Unreadable conversion store (" + reason + ") could not be set aside; it will not be overwritten.");
}

std::optional<Date> ODCConversionStore::dateForKey(const char* key, std::int64_t code, const char* what) {
  auto found = content_.find(key);
  if (found == content_.end()) return std::nullopt;
  if (const Date* date = found->second.date()) return *date;
  ODCLogWarning(code, std::string("Invalid ") + what + " in the conversion store.");
  setObject(std::nullopt, key);
  return std::nullopt;
}

std::optional<std::string> ODCConversionStore::stringForKey(const char* key, std::int64_t code, const char* what) {
  auto found = content_.find(key);
  if (found == content_.end()) return std::nullopt;
  if (const std::string* text = found->second.string()) return *text;
  ODCLogWarning(code, std::string("Invalid ") + what + " in the conversion store.");
  setObject(std::nullopt, key);
  return std::nullopt;
}

std::optional<Date> ODCConversionStore::firstLaunchTimestamp() {
  return dateForKey(kODCStoreFirstLaunchTimestampKey, kODCErrorStoreInvalidFirstLaunch, "first launch timestamp");
}

std::optional<Date> ODCConversionStore::matchFoundTimestamp() {
  return dateForKey(kODCStoreMatchFoundTimestampKey, kODCErrorStoreInvalidMatchFound, "match found timestamp");
}

std::optional<std::int64_t> ODCConversionStore::odm2RetryCount() {
  auto found = content_.find(kODCStoreODM2RetryCountKey);
  if (found == content_.end()) return std::nullopt;
  if (found->second.isNumber()) return found->second.int64Value();
  ODCLogWarning(kODCErrorStoreInvalidRetryCount, "Invalid odm2 retry count in the conversion store.");
  setObject(std::nullopt, kODCStoreODM2RetryCountKey);
  return std::nullopt;
}

std::optional<std::string> ODCConversionStore::aggregateConversionInfo() {
  return stringForKey(kODCStoreAggregateConversionInfoKey, kODCErrorStoreInvalidInfo, "aggregate conversion info");
}

std::optional<std::string> ODCConversionStore::measurementInfo() {
  return stringForKey(kODCStoreMeasurementInfoKey, kODCErrorStoreInvalidInfo, "measurement info");
}

void ODCConversionStore::setFirstLaunchTimestamp(const std::optional<Date>& date) {
  if (ODCDatesEqualToTheSecond(firstLaunchTimestamp(), date)) return;
  setObject(date ? std::optional<Object>(*date) : std::nullopt, kODCStoreFirstLaunchTimestampKey);
}

void ODCConversionStore::setMatchFoundTimestamp(const std::optional<Date>& date) {
  if (ODCDatesEqualToTheSecond(matchFoundTimestamp(), date)) return;
  setObject(date ? std::optional<Object>(*date) : std::nullopt, kODCStoreMatchFoundTimestampKey);
}

void ODCConversionStore::setOdm2RetryCount(const std::optional<std::int64_t>& count) {
  if (count) {
    auto found = content_.find(kODCStoreODM2RetryCountKey);
    if (found != content_.end() && found->second.isNumber() &&
        found->second.doubleValue() == static_cast<double>(*count) && found->second.int64Value() == *count) {
      return;
    }
  }
  setObject(count ? std::optional<Object>(*count) : std::nullopt, kODCStoreODM2RetryCountKey);
}

void ODCConversionStore::setString(const std::optional<std::string>& value, std::optional<std::string> current,
                                   const char* key) {
  if (current && value && *current == *value) return;
  setObject(value ? std::optional<Object>(*value) : std::nullopt, key);
}

void ODCConversionStore::setAggregateConversionInfo(const std::optional<std::string>& info) {
  setString(info, aggregateConversionInfo(), kODCStoreAggregateConversionInfoKey);
}

void ODCConversionStore::setMeasurementInfo(const std::optional<std::string>& info) {
  setString(info, measurementInfo(), kODCStoreMeasurementInfoKey);
}

void ODCConversionStore::setObject(const std::optional<Object>& object, const std::string& key) {
  if (object) {
    content_[key] = *object;
  } else {
    content_.erase(key);
  }
  writeToFile();
}

void ODCConversionStore::writeToFile() {
  if (!writable_) {
    ODCLogError(kODCErrorStoreNotPersisted, "Failed to persist data.");
    return;
  }
  if (!foundation::writePropertyListFile(filePath_, Object(content_), 0600).ok()) {
    ODCLogError(kODCErrorStoreNotPersisted, "Failed to persist data.");
  }
  if (!foundation::setExcludedFromBackup(filePath_, true).ok()) {
    ODCLogError(kODCErrorStoreNotExcludedFromBackup, "Failed to exclude conversion store from backup.");
  }
}
