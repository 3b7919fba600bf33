#include "measurement/engine/QZMMeasurement.h"

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"

// The host's user properties are not stored yet: none is set, none can be
// read, and every origin may set the same number of them. The engine's own
// properties go straight to the database.

void QZMMeasurement::setUserAttribute(const QZMUserAttribute& /*attribute*/) {}

void QZMMeasurement::removeUserAttribute(const QZMUserAttribute& /*attribute*/) {}

std::optional<std::int64_t> QZMMeasurement::shouldDisableAdPersonalization() { return std::nullopt; }

void QZMMeasurement::userPropertiesIncludingInternal(bool /*includeInternal*/,
                                                     std::function<void(const foundation::Dictionary&)> callback) {
  if (callback) dispatch::Queue::global()->async([callback] { callback({}); });
}

void QZMMeasurement::maxUserPropertiesForOrigin(const std::string& /*origin*/,
                                                std::function<void(std::int32_t)> callback) {
  if (callback) dispatch::Queue::global()->async([callback] { callback(25); });
}

void QZMMeasurement::setUserAttributeOnWorkerQueue(const QZMUserAttribute& attribute) {
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool QZMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const QZMUserAttribute& attribute) {
  auto database = this->database();
  return database && database->updateUserAttribute(attribute.stored()).ok();
}

bool QZMMeasurement::shouldAllowAdNetworkRegistration() {
  const foundation::Object* enabled =
      foundation::Bundle::main()->objectForInfoDictionaryKey("DRALIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED");
  return !enabled || !enabled->isNumber() || enabled->boolValue();
}

void QZMMeasurement::updateAdPersonalizationConsentFromNPAValue(std::int64_t npaValue) {
  bool disable = npaValue != 0;
  // Consent that already agrees (granted against 0, denied against 1) stays.
  if (auto current = QZMConsentSettingsUtil::adPersonalization(); current && *current != disable) return;
  QZMConsentSettingsUtil::updateSettings({{"ad_personalization", disable ? "denied" : "granted"}});
  if (persistedConfig_->allowPersonalizedAds()) {
    QZMConsentSettingsUtil::setDiagnosticSource(5, "ad_personalization");
  } else if (auto defaults = QZMConsentSettingsUtil::defaultSettings();
             defaults && defaults->find("ad_personalization") != defaults->end()) {
    QZMConsentSettingsUtil::setDiagnosticSource(1, "ad_personalization");
  }
}
