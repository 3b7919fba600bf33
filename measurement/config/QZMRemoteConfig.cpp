#include "measurement/config/QZMRemoteConfig.h"

#include <algorithm>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::defaultInstance() {
  // Never destroyed: the worker queue may still read it while the program ends.
  static const auto* instance = new std::shared_ptr<QZMRemoteConfig>(std::make_shared<QZMRemoteConfig>());
  return *instance;
}

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
