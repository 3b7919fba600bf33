#include "measurement/foundation/QZMUserDefaults.h"

#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMLogging.h"
#include "platform/foundation/Files.h"

QZMUserDefaults::QZMUserDefaults(std::optional<std::string> suiteName)
    : suiteName_(std::move(suiteName)), appName_(suiteName_.value_or("")) {}

std::shared_ptr<QZMUserDefaults> QZMUserDefaults::sharedUserDefaults() {
  // Never destroyed: the worker queue may still use it while the program ends.
  static const auto* shared = new std::shared_ptr<QZMUserDefaults>([] {
    auto made = initWithSuiteName(std::nullopt);
    made->setPreferenceFileExcluded(true);
    return made;
  }());
  return *shared;
}

std::shared_ptr<QZMUserDefaults> QZMUserDefaults::initWithSuiteName(std::optional<std::string> suiteName) {
  return std::make_shared<QZMUserDefaults>(std::move(suiteName));
}

// Looked up at each use, so that a store follows the domain of the current
// home rather than one it saw once.
std::shared_ptr<foundation::UserDefaults> QZMUserDefaults::domain() const {
  return foundation::UserDefaults::suite(appName_);
}

std::optional<foundation::Object> QZMUserDefaults::objectForKey(std::string_view key) const {
  if (!isValidKey(key)) {
    QZMLogStoreWarning(41001, "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  return domain()->objectForKey(key);
}

void QZMUserDefaults::setObject(const foundation::Object& value, std::string_view key) {
  if (!isValidKey(key)) {
    QZMLogStoreWarning(41002, "Cannot set object for invalid user default key.");
    return;
  }
  if (!value.isNull() && !isValidValue(value)) {
    QZMLogStoreWarning(41003, "Cannot set invalid object to user defaults. Must be a string or number or an array. "
                              "Value " + value.description());
    return;
  }
  // A value the platform could not write out stays in its memory and goes
  // to disk with the next change or synchronisation.
  if (!domain()->setObject(value, key)) QZMLogStoreError(41004, "Cannot synchronize user defaults to disk");
}

void QZMUserDefaults::clearAllData() {
  if (!domain()->removeAllObjects()) QZMLogStoreError(41004, "Cannot synchronize user defaults to disk");
}

void QZMUserDefaults::synchronize() {
  auto suite = domain();
  if (!suite->synchronize()) QZMLogStoreError(41004, "Cannot synchronize user defaults to disk");
  std::lock_guard lock(mutex_);
  if (preferenceFileExcluded_ || !foundation::fileExists(suite->filePath())) return;
  if (auto excluded = QZMExcludeFileFromBackup(suite->filePath()); excluded) {
    preferenceFileExcluded_ = true;
  } else {
    QZMLogStoreWarning(41000, "Failed to exclude preferences file from backup. Error code " + excluded.error().text());
  }
}

bool QZMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard lock(mutex_);
  return preferenceFileExcluded_;
}

void QZMUserDefaults::setPreferenceFileExcluded(bool excluded) {
  std::lock_guard lock(mutex_);
  preferenceFileExcluded_ = excluded;
}
