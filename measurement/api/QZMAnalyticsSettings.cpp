#include <algorithm>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUserDefaults.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

std::optional<Dictionary> storedDictionary(const char* key) {
  return QZMAnalytics::settingsStore()->dictionaryForKey(key);
}

}  // namespace

std::shared_ptr<QZMUserDefaults> QZMAnalytics::settingsStore() {
  static auto* store = new std::shared_ptr<QZMUserDefaults>(QZMUserDefaults::initWithSuiteName(kQZMAnalyticsSuiteName));
  return *store;
}

// ---- Reset bookkeeping ----

std::int64_t QZMAnalytics::resetRetryCount() { return settingsStore()->integerForKey(kQZMResetRetryCountKey); }

void QZMAnalytics::setResetRetryCount(std::int64_t count) {
  if (count < 1) {
    settingsStore()->removeObjectForKey(kQZMResetRetryCountKey);
  } else {
    settingsStore()->setInteger(count, kQZMResetRetryCountKey);
  }
}

bool QZMAnalytics::needFirstOpenAfterReset() { return settingsStore()->boolForKey(kQZMNeedFirstOpenAfterResetKey); }

void QZMAnalytics::setNeedFirstOpenAfterReset(bool need) {
  settingsStore()->setBool(need, kQZMNeedFirstOpenAfterResetKey);
}

void QZMAnalytics::removeNeedFirstOpenAfterReset() {
  settingsStore()->removeObjectForKey(kQZMNeedFirstOpenAfterResetKey);
}

std::optional<std::string> QZMAnalytics::appInstanceIDAfterReset() {
  return settingsStore()->stringForKey(kQZMAppInstanceIDAfterResetKey);
}

void QZMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  settingsStore()->setObject(appInstanceID ? Object(*appInstanceID) : Object(), kQZMAppInstanceIDAfterResetKey);
}

std::optional<Object> QZMAnalytics::deferredAnalyticsCollection() {
  return settingsStore()->objectForKey(kQZMDeferredAnalyticsCollectionKey);
}

void QZMAnalytics::setDeferredAnalyticsCollection(const std::optional<Object>& value) {
  settingsStore()->setObject(value.value_or(Object()), kQZMDeferredAnalyticsCollectionKey);
}

// ---- Consent ----

void QZMAnalytics::setConsent(const Dictionary& settings) { setConsent(settings, kQZMConsentSettings1PKey); }

void QZMAnalytics::setConsent(const Dictionary& settings, const std::string& key) {
  auto monitor = QZMMeasurement::monitor();
  if (QZMConsentSettingsUtil::consentSource() == kQZMConsentSourceUnset) loadPersistedConsentSettings();
  Dictionary valid = QZMConsentSettingsUtil::consentSettingsFromDictionary(settings);
  std::erase_if(valid, [&](const auto& entry) {
    const std::string* text = entry.second.string();
    if (text && (*text == kQZMConsentGranted || *text == kQZMConsentDenied)) return false;
    monitor->logWithLevel(3, 25042,
                          "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
                          QZMLogContext(entry.second));
    return true;
  });
  if (valid.empty()) {
    monitor->logWithLevel(3, 25041, "Discarding empty consent settings");
    return;
  }
  QZMConsentSource source = key == kQZMConsentSettingsTCFKey  ? kQZMConsentSourceTCF
                            : key == kQZMConsentSettings3PKey ? kQZMConsentSourceAPI
                                                              : kQZMConsentSourceOtherKey;
  if (!QZMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    monitor->logWithLevel(3, 25043, "Ignoring lower priority consent settings");
    return;
  }
  bool adUserDataWasDenied = QZMConsentSettingsUtil::isAdUserDataDenied();
  QZMConsentSettingsUtil::updateSettings(valid, source);
  persistConsentSettings(QZMConsentSettingsUtil::consentSettings(), source);
  if (source == kQZMConsentSourceAPI) monitor->logWithLevel(8, 25055, QZMConsentSettingsUtil::description());
  // Where the configuration sets consent defaults, a change of the ad user
  // data consent is reported.
  if (!QZMMeasurement::remoteConfig()->consentDefaults().empty() &&
      QZMConsentSettingsUtil::didAdUserDataConsentChange(adUserDataWasDenied)) {
    logInternalEventWithOrigin(kQZMOriginAuto, "_dcu", QZMDictionary{{"_r", QZMValue::initWithInt64(1)}});
  }
  if (valid.contains(kQZMConsentTypeAdPersonalization)) {
    if (auto personalization = QZMConsentSettingsUtil::adPersonalization()) {
      setUserPropertyString(QZMObject(*personalization ? "YES" : "NO"), kQZMAllowPersonalizedAdsPropertyName);
    }
  }
}

void QZMAnalytics::loadPersistedConsentSettings() {
  QZMConsentSource persisted = persistedConsentSource();
  if (persisted == kQZMConsentSourceUnset) return;
  // The first stored kind wins; its source can rank no lower than the kind.
  const std::pair<const char*, QZMConsentSource> kinds[] = {{kQZMConsentSettingsTCFKey, kQZMConsentSourceTCF},
                                                            {kQZMConsentSettings3PKey, kQZMConsentSourceInfoPlist},
                                                            {kQZMConsentSettings1PKey, kQZMConsentSourceFirstParty}};
  for (const auto& [key, cap] : kinds) {
    if (auto settings = storedDictionary(key)) {
      QZMConsentSettingsUtil::setConsentSettings(settings);
      QZMConsentSettingsUtil::setConsentSource(std::min(persisted, cap));
      return;
    }
  }
  QZMConsentSettingsUtil::setConsentSource(persisted);
}

void QZMAnalytics::persistConsentSettings(const std::optional<Dictionary>& settings, QZMConsentSource source) {
  const char* key = source == kQZMConsentSourceTCF ? kQZMConsentSettingsTCFKey
                    : source < 21                  ? kQZMConsentSettings3PKey
                                                   : kQZMConsentSettings1PKey;
  auto store = settingsStore();
  store->setObject(settings ? Object(*settings) : Object(), key);
  store->setInteger(source, kQZMConsentSourceKey);
}

QZMConsentSource QZMAnalytics::persistedConsentSource() {
  auto number = settingsStore()->numberForKey(kQZMConsentSourceKey);
  return number ? number->int64Value() : kQZMConsentSourceUnset;
}

std::optional<Dictionary> QZMAnalytics::consentSettingsTCF() { return storedDictionary(kQZMConsentSettingsTCFKey); }
std::optional<Dictionary> QZMAnalytics::consentSettings3P() { return storedDictionary(kQZMConsentSettings3PKey); }
std::optional<Dictionary> QZMAnalytics::consentSettings1P() { return storedDictionary(kQZMConsentSettings1PKey); }
std::optional<Dictionary> QZMAnalytics::consentSettings1PStart() {
  return storedDictionary(kQZMConsentSettingsOnStartKey);
}

std::optional<Object> QZMAnalytics::deferredResetOnDeniedConsent() {
  return settingsStore()->objectForKey(kQZMDeferredConsentResetKey);
}

void QZMAnalytics::removeStartUpConsentSettings() { settingsStore()->removeObjectForKey(kQZMConsentSettingsOnStartKey); }

void QZMAnalytics::removeDeferredResetOnDeniedConsent() {
  settingsStore()->removeObjectForKey(kQZMDeferredConsentResetKey);
}

void QZMAnalytics::clearConsent() {
  auto store = settingsStore();
  for (const char* key : {kQZMConsentSourceKey, kQZMConsentSettings3PKey, kQZMConsentSettings1PKey,
                          kQZMConsentSettingsOnStartKey, kQZMDeferredConsentResetKey, kQZMConsentSettingsTCFKey}) {
    store->removeObjectForKey(key);
  }
  QZMConsentSettingsUtil::clearAllSettings();
}
