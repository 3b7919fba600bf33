// Where the SDK fetches its configuration and sends its uploads, and the
// server-side tagging upload with its share of app instances.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigState.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/Endpoints.h"

namespace {

constexpr const char* kKRPXUploadEnabledInfoKey = "DRALIX_ANALYTICS_KRPX_UPLOAD_ENABLED";
constexpr const char* kKRPXServerInfoHeader = "x-krpx-server-info";

// "https://host[:port]" with "<subdomain>." in front of the host.
std::string withSubdomain(const std::string& baseURL, const std::string& subdomain) {
  std::size_t hostStart = baseURL.find("://");
  hostStart = hostStart == std::string::npos ? 0 : hostStart + 3;
  return baseURL.substr(0, hostStart) + subdomain + "." + baseURL.substr(hostStart);
}

// Dot-separated labels of letters, digits and hyphens: anything else in
// front of the host could name another host.
bool isHostLabels(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  char previous = 0;
  for (char c : text) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!allowed || (c == '.' && previous == '.')) return false;
    previous = c;
  }
  return true;
}

// An absolute URL: a scheme, "://", a host, and no blanks or control
// characters anywhere.
bool makesURL(const std::string& text) {
  std::size_t separator = text.find("://");
  if (separator == std::string::npos || separator == 0) return false;
  for (std::size_t i = 0; i < separator; ++i) {
    char c = text[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!(letter || (i > 0 && other))) return false;
  }
  std::size_t hostStart = separator + 3;
  if (hostStart >= text.size() || text[hostStart] == '/' || text[hostStart] == '?' || text[hostStart] == '#') {
    return false;
  }
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

std::uint64_t QZMRolloutHash(std::string_view text) {
  // FNV-1a, 64 bits: fixed constants, so every run and platform agree.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::optional<std::uint64_t> QZMRemoteConfig::appDataConsentStatus() const {
  QZMRemoteConfigLinks links = QZMRemoteConfig::links();
  return links.appDataConsentStatus ? links.appDataConsentStatus() : std::nullopt;
}

std::optional<std::string> QZMRemoteConfig::remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                                        std::int64_t SDKVersion,
                                                                        std::int64_t runtimeVersion) const {
  auto monitor = QZMMeasurementBase::monitor();
  if (appID_.empty()) {
    monitor->logWithLevel(2, 29021, "Cannot create a URL to fetch a configuration with empty app ID");
    return std::nullopt;
  }
  std::string base = utilities::Endpoints::baseURL(utilities::kEndpointMeasurement) + "/config/app/" +
                     foundation::percentEncodedPathSegment(appID_) + "?";
  if (!platform || platform->empty()) {
    monitor->logWithLevel(2, 29010, "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  foundation::Dictionary query = {
      {"platform", *platform},
      {"runtime_version", runtimeVersion},
      {"dxv_version", SDKVersion},
  };
  return base + qzm_queryString(query);
}

std::string QZMRemoteConfig::uploadURL() const {
  const char* endpoint = appDataConsentStatus() == kQZMAppDataConsentStatusAuthorized
                             ? utilities::kEndpointMeasurementAuthorized
                             : utilities::kEndpointMeasurement;
  std::string base = utilities::Endpoints::baseURL(endpoint);
  std::optional<std::string> subdomain = uploadSubdomain();
  if (subdomain && isHostLabels(*subdomain)) base = withSubdomain(base, *subdomain);
  return base + "/a";
}

bool QZMRemoteConfig::KRPXUploadEnabled() const {
  if (!settings()->boolValue(QZMSetting::KRPXUploadEnabled)) return false;
  const foundation::Object* optIn = foundation::Bundle::main()->objectForInfoDictionaryKey(kKRPXUploadEnabledInfoKey);
  if (!optIn || !optIn->isNumber() || !optIn->boolValue()) return false;
  std::shared_ptr<const State> current = state();
  if (!current->KRPXSetting || current->KRPXSetting->uploadURL.value_or("").empty()) return false;
  if (QZMMeasurementBase::KRPXPreviewHeaders()) return true;

  // A negative share is none.
  std::int64_t percentage = std::max<std::int64_t>(current->KRPXSetting->uploadPercentage.value_or(0), 0);
  if (percentage >= 100) return true;
  std::optional<std::string> appInstanceID = persistedConfig_ ? persistedConfig_->appInstanceID() : std::nullopt;
  if (!appInstanceID || appInstanceID->empty()) return false;
  return QZMRolloutHash(*appInstanceID) % 100 < static_cast<std::uint64_t>(percentage);
}

std::optional<std::string> QZMRemoteConfig::KRPXUploadURL() const {
  std::shared_ptr<const State> current = state();
  if (!current->KRPXSetting) return std::nullopt;
  const QZMKRPXSetting& setting = *current->KRPXSetting;
  if (appDataConsentStatus() == kQZMAppDataConsentStatusAuthorized && setting.alternateUploadURL &&
      makesURL(*setting.alternateUploadURL)) {
    return setting.alternateUploadURL;
  }
  if (setting.uploadURL && makesURL(*setting.uploadURL)) return setting.uploadURL;
  return std::nullopt;
}

std::optional<foundation::Dictionary> QZMRemoteConfig::KRPXUploadHTTPHeaders() const {
  std::shared_ptr<const State> current = state();
  if (!current->KRPXSetting || current->KRPXSetting->serverInfo.value_or("").empty()) return std::nullopt;
  return foundation::Dictionary{{kKRPXServerInfoHeader, *current->KRPXSetting->serverInfo}};
}
