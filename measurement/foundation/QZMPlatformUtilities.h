// Small services of the platform that the engine and the model use: the
// device environment reported with every upload, the app's static
// configuration, the switch-off of a legacy measurement class, and the
// lookup of the service property list.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

class QZMEnvironmentInfo {
 public:
  static std::shared_ptr<QZMEnvironmentInfo> sharedInstance();

  // The hardware model name, asked once and kept for the process; an empty
  // one is logged.
  std::string deviceModel();
  // Asked on every call.
  std::string deviceOSVersion() const;
  // The leading number of the OS version; 0 when it has none.
  std::int32_t deviceOSMajorVersion() const;
  // The first preferred language, lower-cased; nullopt (logged) without one.
  std::optional<std::string> userDefaultLanguage();
  // The local zone's offset from GMT, truncated toward zero: +05:45 is 345.
  std::int32_t timeZoneOffsetMinutes() const;

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;
  // The last language lower-cased, and its lower case: every event asks.
  std::mutex languageMutex_;
  std::string language_;
  std::string lowercasedLanguage_;
};

// What the app's static configuration may say; nullopt where it says
// nothing, so the caller keeps its own default.
class QZMStaticConfig {
 public:
  virtual ~QZMStaticConfig() = default;
  virtual std::optional<bool> screenReportingEnabled() const { return std::nullopt; }
};

// The app's static configuration: it says nothing.
class QZMAppStaticConfig final : public QZMStaticConfig {
 public:
  static std::shared_ptr<QZMAppStaticConfig> sharedInstance();
};

// Switches off the legacy measurement class "DQRMeasurement" when the process
// has it. That class has no build for this platform, so it is never present:
// nothing is sent and the answer is false.
class QZMBackwardCompatibilityUtil {
 public:
  static bool disableDQRMeasurement();
  static std::shared_ptr<QZMBackwardCompatibilityUtil> sharedInstance() { return nullptr; }
  void setIsEnabled(bool) {}
};

// The service property list, "DralixService-Info.plist" among the app's
// resources. The SDK is linked into the program, so the bundle that holds
// its classes is the main bundle.
class QZMDralixServiceFileUtil {
 public:
  static std::optional<std::string> dralixServiceInfoPlistPath();
  // nullopt without the file or when it holds no dictionary.
  static std::optional<foundation::Dictionary> dictionaryFromDralixServiceInfoPlist();
};
