// The measurement configuration fetch: a conditional GET of the app's
// configuration once the stored one has expired and nothing is left to
// upload. It shares the single request slot and the failure and back-off
// times with uploads, so the upload schedule paces it too.
#include <cmath>
#include <limits>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/consent/QZMTCFClient.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

// A configuration this old is fetched again when the app becomes active,
// even while uploads keep the regular fetch from running.
constexpr double kStaleConfigurationAge = 604800;
// Far more settings, event rules, audiences, programs or data controls than
// an app's configuration holds; a list beyond it is not read, as reading
// costs for every item.
constexpr std::size_t kMaxConfigurationListItems = 10000;

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

}  // namespace

void QZMMeasurement::fetchRemoteConfig() {
  auto config = remoteConfigInstance();
  if (!config || !network_) return;
  auto monitor = ::monitor();
  std::int64_t libraryVersion = QZMIdentity::kestrometerLibraryVersion();
  std::optional<std::string> url =
      config->remoteConfigURLWithPlatform(std::string("ios"), libraryVersion, QZMPRuntime::runtimeVersion());
  if (!url) {
    monitor->logWithLevel(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  monitor->logWithLevel(8, 23126, "Fetching configuration from the server");

  // After a library update the whole configuration is fetched again.
  DRKHTTPHeaders headers;
  if (persistedConfig_->configDXVVersion() == libraryVersion) {
    if (auto modified = persistedConfig_->configServerLastModifiedString(); modified && modified->string() &&
                                                                            !modified->string()->empty()) {
      headers["If-Modified-Since"] = *modified->string();
    }
    if (auto tag = nonEmpty(persistedConfig_->configServerETag())) headers["If-None-Match"] = *tag;
  }

  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->networkTimeout());
  std::string session = network_->getURL(
      *url, headers, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak = weak_from_this()](const DRKHTTPURLResponse& response, const foundation::Data& body,
                                const std::optional<foundation::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        self->isNetworkRequestPending_ = false;
        self->networkRemoteConfigFetchCompletionHandler(response, body, error);
      });
  if (session.empty()) {
    // Never answered: a failed fetch, so that the schedule paces the retry.
    isNetworkRequestPending_ = false;
    networkRemoteConfigFetchCompletionHandler(DRKHTTPURLResponse(), {},
                                              foundation::Error(kDRKNetworkErrorDomain, 0, "Request was not sent"));
  }
}

void QZMMeasurement::networkRemoteConfigFetchCompletionHandler(const DRKHTTPURLResponse& response,
                                                               const foundation::Data& data,
                                                               const std::optional<foundation::Error>& error) {
  auto monitor = ::monitor();
  std::int64_t status = response.statusCode;
  double now = foundation::now();
  monitor->logWithLevel(8, 23127, "Fetched configuration. Status code", status);

  bool accepted = status == kDRKNetworkHTTPStatusOK || status == kDRKNetworkHTTPStatusCodeNotModified ||
                  status == kDRKNetworkHTTPStatusNoContent || status == kDRKNetworkHTTPStatusCodeNotFound;
  if (!accepted) {
    std::vector<QZMLogContext> contexts = {status};
    if (error) contexts.emplace_back(*error);
    monitor->logWithLevel(3, 23128, "Network request failed to fetch remote config. Code, Error", contexts);
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (status == kDRKNetworkHTTPStatusCodeUnavailable || status == kDRKNetworkHTTPStatusCodeCannotAcceptTraffic) {
      persistedConfig_->setLastBackoffTimestamp(now);
    }
    monitor->logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error", contexts);
    updateSchedule();
    return;
  }

  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return;
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);

  bool recorded = true;
  auto recordFetchTime = [&](std::int64_t failureCode, std::string_view failureText) {
    if (foundation::Status updated = database->updateRemoteConfigSuccessfulTimestamp(now); !updated) {
      monitor->logWithLevel(1, failureCode, failureText, updated.error());
      recorded = false;
    }
  };
  if (status == kDRKNetworkHTTPStatusCodeNotFound) {
    monitor->logWithLevel(3, 23130, "Configuration not found. Using default configuration");
    recordFetchTime(23132, "Failed to update config last set timestamp. Error");
  } else if (status == kDRKNetworkHTTPStatusCodeNotModified) {
    monitor->logWithLevel(8, 23131, "Configuration has not been modified. Using the same configuration. Code", status);
    recordFetchTime(23132, "Failed to update config last set timestamp. Error");
  } else {
    monitor->logWithLevel(8, 23133, "Successfully fetched configuration from the server. Code, size", status,
                          response.expectedContentLength);
    recordFetchTime(23134, "Failed to set last set timestamp in database. Error");
    if (!data.empty()) {
      foundation::Status committed = database->performTransaction([&] { return storeFetchedConfiguration(data); });
      if (committed) {
        persistedConfig_->setConfigServerLastModifiedString(response.valueForHTTPHeaderField("Last-Modified"));
        persistedConfig_->setConfigServerETag(response.valueForHTTPHeaderField("ETag"));
        persistedConfig_->setConfigDXVVersion(QZMIdentity::kestrometerLibraryVersion());
      }
    }
  }

  if (recorded) {
    suspendedUploadTimestamp_ = 0;
  } else {
    double suspendedAt = uptime();
    suspendedUploadTimestamp_ = suspendedAt > 0 ? suspendedAt : 0;
  }
  updateAdsOnDeviceConversionMeasurement();
  // A deferred deep link that waited for this configuration goes before the
  // upload.
  if (!maybeRequestDeferredDeepLinkAfterConfigFetch()) uploadDataOrRegisterAlarm();
  if (auto client = tcfClient()) client->setIsDMARegion(config->isDMARegion());
}

bool QZMMeasurement::storeFetchedConfiguration(const foundation::Data& data) {
  auto monitor = ::monitor();
  auto config = remoteConfigInstance();
  auto database = this->database();
  if (!config || !database) return false;
  std::unique_ptr<QZMPBMeasurementConfig> fetched = QZMPBMeasurementConfig::initWithBuffer(data);
  if (fetched) {
    for (std::int32_t list : {QZMPBMeasurementConfig::kSettings, QZMPBMeasurementConfig::kEventConfig,
                              QZMPBMeasurementConfig::kAudiences, QZMPBMeasurementConfig::kDynamicEventEditing,
                              QZMPBMeasurementConfig::kDataControls}) {
      std::size_t items = NANOGetArrayCount(fetched.get(), list).value_or(0);
      if (items > kMaxConfigurationListItems) {
        monitor->logWithLevel(2, 23149, "Configuration has too many items. It will not be used. Count",
                              static_cast<std::int64_t>(items));
        return false;
      }
    }
  }
  if (!fetched || !fetched->protoBuffer()) {
    monitor->logWithLevel(2, 23135, "Configuration data is invalid.");
    return false;
  }
  auto identity = this->identity();
  std::optional<std::string> expected = identity ? identity->appIDFromDXV() : std::nullopt;
  std::optional<std::string> appID = NANOGetString(fetched.get(), QZMPBMeasurementConfig::kAppId);
  if (!expected || !appID || *appID != *expected) {
    monitor->logWithLevel(2, 23136, "Configuration does not have valid Dralix App ID.");
    return false;
  }
  auto audiences = NANOGetArray<QZMPBAudience>(fetched.get(), QZMPBMeasurementConfig::kAudiences)
                       .value_or(std::vector<std::shared_ptr<QZMPBAudience>>());
  NANOClearField(fetched.get(), QZMPBMeasurementConfig::kAudiences);
  if (!config->updateMeasurementConfig(*fetched)) {
    monitor->logWithLevel(2, 23138, "Failed to update configuration with new server configuration", data);
    return false;
  }
  // The consent defaults follow the configuration only once it is kept.
  database->performAfterCommit([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->updateConsentSettingsUtilWithRemoteConfig();
  });
  if (auto audience = this->audience()) {
    if (foundation::Status updated = audience->updateAudiences(audiences); !updated) {
      monitor->logWithLevel(2, 23137, "Failed to update audiences with new server configuration", data);
      return false;
    }
  }
  return true;
}

void QZMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  auto config = remoteConfigInstance();
  if (!config) return;
  std::optional<bool> previous = QZMConsentSettingsUtil::adPersonalization();
  foundation::Dictionary defaults = config->consentDefaults();
  foundation::Dictionary delegations = config->consentDelegations();
  if (!defaults.empty() || !delegations.empty()) {
    QZMConsentSettingsUtil::setDefaultSettings(defaults);
    QZMConsentSettingsUtil::setDelegatedSettings(delegations);
  }
  foundation::Dictionary regional = config->regionalDefaults();
  QZMConsentSettingsUtil::setRegionalDefaults(regional.empty() ? std::nullopt
                                                               : std::optional<foundation::Dictionary>(regional));
  std::optional<bool> current = QZMConsentSettingsUtil::adPersonalization();
  if (current && current != previous) shouldUpdateNPAUserProperty_ = true;
}

void QZMMeasurement::refreshStaleRemoteConfig() {
  auto config = remoteConfigInstance();
  if (!config) return;
  double now = foundation::now();
  if (std::fabs(now - config->lastRemoteConfigUpdateTimestamp()) < kStaleConfigurationAge) return;
  // A server that asked for quiet gets it here as from every other fetch;
  // measured either way, as the upload schedule does.
  double backoff = persistedConfig_->lastBackoffTimestamp();
  if (std::fabs(backoff) > std::numeric_limits<double>::epsilon() &&
      std::fabs(now - backoff) < config->uploadingBackoffInterval()) {
    monitor()->logWithLevel(8, 23146, "Server asked to back off. Ignoring request to fetch configuration");
    return;
  }
  if (isNetworkReadyForRequest()) {
    fetchRemoteConfig();
  } else {
    monitor()->logWithLevel(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
  }
}
