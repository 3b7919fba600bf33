// A typed store over one user-defaults suite of the platform: the shared one
// over the application's own domain (debug and verbose flags, collection
// switch, stored launch link) or a named suite. It holds no values of its own:
// every read and write goes to the platform's domain, which is thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/foundation/QZMConfigStore.h"
#include "platform/foundation/UserDefaults.h"

// Suites of the SDK.
inline constexpr const char* kQZMMonitorSuiteName = "com.dralix.dxv.measurement.monitor";
inline constexpr const char* kQZMTCFSuiteName = "com.dralix.dxv.measurement.tcf.userdefaults";
inline constexpr const char* kQZMAnalyticsSuiteName = "QZMAnalyticsSuiteName";
inline constexpr const char* kQZMExperimentSuiteName = "QZMExperimentSuiteName";

class QZMUserDefaults final : public QZMConfigStore {
 public:
  // Over the application's own domain; made once. Its preferences file is
  // never marked for backup exclusion.
  static std::shared_ptr<QZMUserDefaults> sharedUserDefaults();
  // A nil or empty name is the application's own domain.
  static std::shared_ptr<QZMUserDefaults> initWithSuiteName(std::optional<std::string> suiteName);

  const std::optional<std::string>& suiteName() const { return suiteName_; }

  std::optional<foundation::Object> objectForKey(std::string_view key) const override;
  void setObject(const foundation::Object& value, std::string_view key) override;
  // Removes every key of the domain.
  void clearAllData() override;
  // Writes the domain out and, the first time its file exists, marks that
  // file as excluded from backup.
  void synchronize() override;

  bool isPreferenceFileExcluded() const;
  void setPreferenceFileExcluded(bool excluded);

  explicit QZMUserDefaults(std::optional<std::string> suiteName);

 private:
  std::shared_ptr<foundation::UserDefaults> domain() const;

  const std::optional<std::string> suiteName_;
  // The domain's name: the suite, or "" for the application's own.
  const std::string appName_;
  mutable std::mutex mutex_;
  bool preferenceFileExcluded_ = false;
};
