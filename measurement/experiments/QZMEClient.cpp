#include "measurement/experiments/QZMEClient.h"

#include "measurement/experiments/QZMEManager.h"
#include "measurement/experiments/QZMEMonitor.h"

std::shared_ptr<QZMEClient> QZMEClient::initWithSDKProperty(std::shared_ptr<QZMESDKProperty> property,
                                                            std::optional<std::vector<QZMEFlag>> defaultFlags,
                                                            std::weak_ptr<QZMEManager> withManager) {
  if (!property) {
    QZMEMonitor::shared()->logWithLevel(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    QZMEMonitor::shared()->logWithLevel(0, 830001, "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::make_shared<QZMEClient>(std::move(property), std::move(*defaultFlags), std::move(withManager));
}

QZMEClient::QZMEClient(std::shared_ptr<QZMESDKProperty> property, std::vector<QZMEFlag> defaultFlags,
                       std::weak_ptr<QZMEManager> manager)
    : property_(std::move(property)), defaultFlags_(std::move(defaultFlags)), manager_(std::move(manager)) {}

std::shared_ptr<QZMEExperimentObserverDelegate> QZMEClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void QZMEClient::setDelegate(std::weak_ptr<QZMEExperimentObserverDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::optional<foundation::Object> QZMEClient::valueForFlag(std::string_view flagName) const {
  if (flagName.empty()) {
    QZMEMonitor::shared()->logWithLevel(0, 830002, "Cannot get value for empty flag name");
    return std::nullopt;
  }
  auto manager = manager_.lock();
  if (!manager) return std::nullopt;
  return manager->flagValueForFlagName(flagName, SDKName());
}

std::optional<foundation::Object> QZMEClient::objectForKeyedSubscript(const foundation::Object& key) const {
  if (!key.isString()) {
    QZMEMonitor::shared()->logWithLevel(0, 830003, "Cannot get flag value of an invalid flag name", key);
    return std::nullopt;
  }
  return valueForFlag(*key.string());
}

foundation::Result<bool> QZMEClient::activateLatestSnapshot() {
  auto manager = manager_.lock();
  if (!manager) return false;
  return manager->activateSnapshotOfSDK(SDKName());
}

bool QZMEClient::hasStaleSnapshot() const {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == kQZMESnapshotStatusStale;
}

void QZMEClient::resetToDefaults() {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}
