#include "measurement/foundation/QZMPlatformUtilities.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"
#include "platform/utilities/DRKAppEnvironmentUtil.h"

// The shared instances are never destroyed: the worker queue may still use
// them while the program ends.
std::shared_ptr<QZMEnvironmentInfo> QZMEnvironmentInfo::sharedInstance() {
  static const auto* instance = new std::shared_ptr<QZMEnvironmentInfo>(std::make_shared<QZMEnvironmentInfo>());
  return *instance;
}

std::string QZMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    errno = 0;
    deviceModel_ = DRKAppEnvironmentUtil::deviceModel();
    int error = errno;
    if (deviceModel_.empty()) {
      QZMMeasurementBase::monitor()->logWithLevel(2, 14000, "Failed to get device model", std::strerror(error));
    }
  });
  return deviceModel_;
}

std::string QZMEnvironmentInfo::deviceOSVersion() const { return DRKAppEnvironmentUtil::systemVersion(); }

std::int32_t QZMEnvironmentInfo::deviceOSMajorVersion() const {
  std::string version = deviceOSVersion();
  std::int32_t major = 0;
  auto parsed = std::from_chars(version.data(), version.data() + version.size(), major);
  return parsed.ec == std::errc() ? major : 0;
}

std::optional<std::string> QZMEnvironmentInfo::userDefaultLanguage() {
  auto languages = foundation::Device::preferredLanguages();
  if (languages.empty() || languages.front().empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  std::lock_guard lock(languageMutex_);
  if (languages.front() != language_) {
    language_ = languages.front();
    lowercasedLanguage_ = foundation::lowercased(language_);
  }
  return lowercasedLanguage_;
}

std::int32_t QZMEnvironmentInfo::timeZoneOffsetMinutes() const {
  return static_cast<std::int32_t>(std::trunc(static_cast<double>(foundation::Device::timeZoneOffsetSeconds()) / 60.0));
}

std::shared_ptr<QZMAppStaticConfig> QZMAppStaticConfig::sharedInstance() {
  static const auto* instance = new std::shared_ptr<QZMAppStaticConfig>(std::make_shared<QZMAppStaticConfig>());
  return *instance;
}

bool QZMBackwardCompatibilityUtil::disableDQRMeasurement() { return false; }

std::optional<std::string> QZMDralixServiceFileUtil::dralixServiceInfoPlistPath() {
  return foundation::Bundle::main()->pathForResource("DralixService-Info", "plist");
}

std::optional<foundation::Dictionary> QZMDralixServiceFileUtil::dictionaryFromDralixServiceInfoPlist() {
  auto path = dralixServiceInfoPlistPath();
  if (!path) return std::nullopt;
  auto dictionary = foundation::readPropertyListDictionary(*path);
  if (!dictionary) return std::nullopt;
  return std::move(*dictionary);
}
