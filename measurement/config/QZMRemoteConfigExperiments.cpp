// The SDK as a client of its own experiments manager: registration, the
// snapshot a fetch announces, and the flags two switches consult first.
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

namespace {

constexpr const char* kCustomerTypeFlag = "customer_type_enabled";
constexpr const char* kSessionStitchingTokenFlag = "session_stitching_token_feature_enabled";

}  // namespace

void QZMRemoteConfig::registerWithExperimentManager() {
  auto property = QZMESDKProperty::initWithName(kQZMRemoteConfigSDKName);
  property->setVersion(QZMLibraryVersionFromBuildString(kQZMLibraryBuildString));
  property->setDelegate(std::weak_ptr<QZMESDKPropertyProviderDelegate>(shared_from_this()));
  experimentClient_ = experimentManager_->registerSDKProperty(property, {});
  if (!experimentClient_) return;
  experimentClient_->setDelegate(std::weak_ptr<QZMEExperimentObserverDelegate>(shared_from_this()));
  // The manager may not have loaded the stored snapshots yet; if so, it
  // tells us once it has (clientDidLoadStoredSnapshots).
  takeStoredSnapshots();
}

void QZMRemoteConfig::takeStoredSnapshots() {
  if (!experimentClient_) return;
  if (auto activated = experimentClient_->activateLatestSnapshot(); !activated) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 29023, "Cannot activate stale snapshot. Error", activated.error());
  }
  refreshCachedExperimentFlags();
}

void QZMRemoteConfig::clientDidLoadStoredSnapshots(const std::shared_ptr<QZMEClient>& /*client*/) {
  takeStoredSnapshots();
}

void QZMRemoteConfig::refreshCachedExperimentFlags() {
  if (!experimentClient_) return;
  std::optional<foundation::Object> value = experimentClient_->objectForKeyedSubscript(kCustomerTypeFlag);
  std::lock_guard lock(mutex_);
  customerTypeFlag_ = std::move(value);
}

bool QZMRemoteConfig::activateNewSnapshot() {
  {
    // Cleared before activating: a notice that arrives meanwhile stays.
    std::lock_guard lock(mutex_);
    if (!hasNewSnapshot_) return false;
    hasNewSnapshot_ = false;
  }
  if (!experimentClient_) return false;
  foundation::Result<bool> activated = experimentClient_->activateLatestSnapshot();
  if (!activated) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 29024, "Cannot activate snapshot. Error", activated.error());
    std::lock_guard lock(mutex_);
    hasNewSnapshot_ = true;
    return false;
  }
  // False without an error: nothing was pending, someone activated it first.
  if (!*activated) return false;
  refreshCachedExperimentFlags();
  return true;
}

bool QZMRemoteConfig::hasNewSnapshot() const {
  std::lock_guard lock(mutex_);
  return hasNewSnapshot_;
}

void QZMRemoteConfig::clientDidReceiveNewSnapshot(const std::shared_ptr<QZMEClient>& /*client*/) {
  std::lock_guard lock(mutex_);
  hasNewSnapshot_ = true;
}

void QZMRemoteConfig::clientDidReceiveFetchError(const std::shared_ptr<QZMEClient>& /*client*/,
                                                 const foundation::Error& error) {
  QZMMeasurementBase::monitor()->logWithLevel(2, 29025, "Cannot fetch experiment. Error", error);
}

bool QZMRemoteConfig::shouldFetchExperimentsForClient(const std::shared_ptr<QZMEClient>& /*client*/) {
  auto engine = QZMMeasurementBase::sharedInstance();
  return engine && engine->isEnabled();
}

bool QZMRemoteConfig::customerTypeEnabled() const {
  {
    std::lock_guard lock(mutex_);
    if (customerTypeFlag_) return customerTypeFlag_->boolValue();
  }
  return settings()->boolValue(QZMSetting::customerTypeEnabled);
}

bool QZMRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
  if (experimentClient_) {
    if (auto flag = experimentClient_->objectForKeyedSubscript(kSessionStitchingTokenFlag)) return flag->boolValue();
  }
  return settings()->boolValue(QZMSetting::sessionStitchingTokenFeatureEnabled);
}
