#include "measurement/config/QZMRemoteConfig.h"

#include <algorithm>
#include <cmath>

#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Clock.h"

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::defaultInstance() {
  // Never destroyed: the worker queue may still read it while the program ends.
  static const auto* instance = new std::shared_ptr<QZMRemoteConfig>(std::make_shared<QZMRemoteConfig>());
  return *instance;
}

foundation::Result<std::shared_ptr<QZMRemoteConfig>> QZMRemoteConfig::initWithAppID(
    std::string appID, const std::shared_ptr<QZMDatabase>& database,
    std::shared_ptr<QZMPersistedConfig> persistedConfig, std::shared_ptr<QZMEManager> experimentManager) {
  if (appID.empty()) {
    constexpr const char* kMessage = "Cannot init remote configuration without valid Dralix App ID";
    QZMMeasurementBase::monitor()->logWithLevel(1, 29000, kMessage);
    return qzm_errorWithCode(29000, kMessage);
  }
  if (!database) {
    constexpr const char* kMessage = "Cannot init remote configuration without valid database";
    QZMMeasurementBase::monitor()->logWithLevel(1, 29001, kMessage);
    return qzm_errorWithCode(29001, kMessage);
  }
  auto config = std::make_shared<QZMRemoteConfig>();
  config->appID_ = std::move(appID);
  config->database_ = database;
  config->persistedConfig_ = std::move(persistedConfig);
  config->experimentManager_ = std::move(experimentManager);
  config->isDefaultInstance_ = false;
  return config;
}

double QZMRemoteConfig::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_) {
    QZMMeasurementBase::monitor()->logWithLevel(
        2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  // The database keeps no fetch time yet: as if never fetched.
  return 0;
}

bool QZMRemoteConfig::isExpired() const {
  if (isDefaultInstance_) {
    QZMMeasurementBase::monitor()->logWithLevel(
        2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  return std::fabs(foundation::now() - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

bool QZMRemoteConfig::isDMARegion() const {
  std::lock_guard lock(mutex_);
  return isDMARegion_;
}

// No configuration read so far carries consent defaults.
foundation::Dictionary QZMRemoteConfig::consentDefaults() const { return {}; }

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::current() {
  if (auto engine = QZMMeasurementBase::sharedInstance()) {
    if (auto running = engine->remoteConfigInstance()) return running;
  }
  return defaultInstance();
}

std::shared_ptr<const QZMMeasurementSettings> QZMRemoteConfig::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void QZMRemoteConfig::setSettings(std::shared_ptr<const QZMMeasurementSettings> settings) {
  if (!settings) settings = QZMMeasurementSettings::defaults();
  std::lock_guard lock(mutex_);
  settings_ = std::move(settings);
}

std::int32_t QZMRemoteConfig::maxInternalEventParameterValueLength() const {
  return std::max(maxPublicEventParameterValueLength(), std::int32_t{256});
}

std::int32_t QZMRemoteConfig::maxPSMStartCount() const {
  if (QZMMeasurementBase::monitor()->isDebugModeEnabled()) return 10;
  return settings()->intValue(QZMSetting::maxPSMStartCount);
}
