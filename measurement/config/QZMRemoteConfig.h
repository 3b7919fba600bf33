// The measurement configuration the server delivers for one app, as the SDK
// reads it. This part serves the bounded settings: one getter per setting,
// answering its default until a configuration's settings are put in force.
// A configuration's settings are one immutable snapshot, swapped whole, so
// the getters may be called from any queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/config/QZMMeasurementSettings.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMDatabase;
class QZMEManager;
class QZMPersistedConfig;

class QZMRemoteConfig {
 public:
  // The shared instance without app or configuration: every getter answers
  // its default.
  static std::shared_ptr<QZMRemoteConfig> defaultInstance();
  // The engine's configuration of the app, kept in its database. An empty
  // app ID (code 29000) or a missing database (code 29001) is refused.
  static foundation::Result<std::shared_ptr<QZMRemoteConfig>> initWithAppID(
      std::string appID, const std::shared_ptr<QZMDatabase>& database,
      std::shared_ptr<QZMPersistedConfig> persistedConfig, std::shared_ptr<QZMEManager> experimentManager);
  // The running engine's configuration when it has one, else the default
  // instance; components read their limits through it at each use.
  static std::shared_ptr<QZMRemoteConfig> current();

  std::shared_ptr<const QZMMeasurementSettings> settings() const;
  // Puts a parsed configuration's settings in force.
  void setSettings(std::shared_ptr<const QZMMeasurementSettings> settings);
  // Back to every default.
  void resetSettings() { setSettings(nullptr); }

  const std::string& appID() const { return appID_; }
  bool isDefaultInstance() const { return isDefaultInstance_; }
  // Seconds since 1970 of the last successful fetch; 0 when there was none.
  double lastRemoteConfigUpdateTimestamp() const;
  // The configuration is at least its cache interval old (either way, should
  // the clock have moved back). The default instance is never expired.
  bool isExpired() const;
  // Whether the app is treated as being in the DMA region: yes until a
  // configuration says otherwise.
  bool isDMARegion() const;
  // Consent type -> "granted" or "denied" where the configuration sets
  // defaults; empty when it sets none.
  foundation::Dictionary consentDefaults() const;

  // ---- Bounded settings ----
  std::int32_t analyticsAccountTimeZoneOffsetMinutes() const {
    return settings()->intValue(QZMSetting::analyticsAccountTimeZoneOffsetMinutes);
  }
  double adIDCacheTime() const { return settings()->interval(QZMSetting::adIDCacheTime); }
  bool gateIDFAOnATTMASEnabled() const { return settings()->boolValue(QZMSetting::gateIDFAOnATTMASEnabled); }
  double attributionCacheTTLInterval() const { return settings()->interval(QZMSetting::attributionCacheTTLInterval); }
  std::int32_t maxFiltersPerAudience() const { return settings()->intValue(QZMSetting::maxFiltersPerAudience); }
  std::int32_t maxFilterResultCount() const { return settings()->intValue(QZMSetting::maxFilterResultCount); }
  std::int32_t maxAudienceCount() const { return settings()->intValue(QZMSetting::maxAudienceCount); }
  std::int32_t maxParametersPerFilter() const { return settings()->intValue(QZMSetting::maxParametersPerFilter); }
  bool efficientEngagementReportingEnabled() const {
    return settings()->boolValue(QZMSetting::efficientEngagementReportingEnabled);
  }
  bool redundantEngagementRemovalEnabled() const {
    return settings()->boolValue(QZMSetting::redundantEngagementRemovalEnabled);
  }
  double remoteConfigCacheTimeInterval() const {
    return settings()->interval(QZMSetting::remoteConfigCacheTimeInterval);
  }
  bool isDeferredDeepLinkEnabled() const { return settings()->boolValue(QZMSetting::isDeferredDeepLinkEnabled); }
  std::int32_t maxDeferredDeepLinkRetryCount() const {
    return settings()->intValue(QZMSetting::maxDeferredDeepLinkRetryCount);
  }
  std::int32_t maxRealtimeDCUEventCountPerDay() const {
    return settings()->intValue(QZMSetting::maxRealtimeDCUEventCountPerDay);
  }
  bool isEventSamplingEnabled() const { return settings()->boolValue(QZMSetting::isEventSamplingEnabled); }
  bool appInBackgroundParameterEnabled() const {
    return settings()->boolValue(QZMSetting::appInBackgroundParameterEnabled);
  }
  std::int32_t maxTrackedCurrencies() const { return settings()->intValue(QZMSetting::maxTrackedCurrencies); }
  double monitoringSamplePeriod() const { return settings()->interval(QZMSetting::monitoringSamplePeriod); }
  bool isNetworkBackgroundSessionEnabled() const {
    return settings()->boolValue(QZMSetting::isNetworkBackgroundSessionEnabled);
  }
  double networkTimeout() const { return settings()->interval(QZMSetting::networkTimeout); }
  bool adsOnDeviceConversionFeatureEnabled() const {
    return settings()->boolValue(QZMSetting::adsOnDeviceConversionFeatureEnabled);
  }
  std::int32_t hashPrefixBitLengthEmail() const { return settings()->intValue(QZMSetting::hashPrefixBitLengthEmail); }
  std::int32_t hashPrefixBitLengthPhone() const { return settings()->intValue(QZMSetting::hashPrefixBitLengthPhone); }
  std::int32_t maxPSMRetryCount() const { return settings()->intValue(QZMSetting::maxPSMRetryCount); }
  double PSMRetryInterval() const { return settings()->interval(QZMSetting::PSMRetryInterval); }
  std::int32_t maxSignInDelayInDays() const { return settings()->intValue(QZMSetting::maxSignInDelayInDays); }
  bool checksumEnabled() const { return settings()->boolValue(QZMSetting::checksumEnabled); }
  double sessionDefaultTimeoutInterval() const {
    return settings()->interval(QZMSetting::sessionDefaultTimeoutInterval);
  }
  double sessionEventUserEngagementInterval() const {
    return settings()->interval(QZMSetting::sessionEventUserEngagementInterval);
  }
  double SKANCVFetchRetryInterval() const { return settings()->interval(QZMSetting::SKANCVFetchRetryInterval); }
  std::int32_t SKANCVFetchRetryLimit() const { return settings()->intValue(QZMSetting::SKANCVFetchRetryLimit); }
  double SKANFirstWindowCVFetchRetryInterval() const {
    return settings()->interval(QZMSetting::SKANFirstWindowCVFetchRetryInterval);
  }
  std::int32_t SKANFirstWindowCVFetchRetryLimit() const {
    return settings()->intValue(QZMSetting::SKANFirstWindowCVFetchRetryLimit);
  }
  double SKANFirstWindowCVFetchDelay() const { return settings()->interval(QZMSetting::SKANFirstWindowCVFetchDelay); }
  double SKANFirstWindowUploadInterval() const {
    return settings()->interval(QZMSetting::SKANFirstWindowUploadInterval);
  }
  double SKANInitialCVFetchDelay() const { return settings()->interval(QZMSetting::SKANInitialCVFetchDelay); }
  bool SKANUpdateConversionValueEnabled() const {
    return settings()->boolValue(QZMSetting::SKANUpdateConversionValueEnabled);
  }
  std::int32_t maxEventsStored() const { return settings()->intValue(QZMSetting::maxEventsStored); }
  double uploadingBackoffInterval() const { return settings()->interval(QZMSetting::uploadingBackoffInterval); }
  bool blocklistInternal() const { return settings()->boolValue(QZMSetting::blocklistInternal); }
  bool blocklistPublic() const { return settings()->boolValue(QZMSetting::blocklistPublic); }
  double uploadingDebugModeInterval() const { return settings()->interval(QZMSetting::uploadingDebugModeInterval); }
  double uploadingInitialDelayInterval() const {
    return settings()->interval(QZMSetting::uploadingInitialDelayInterval);
  }
  double uploadingInterval() const { return settings()->interval(QZMSetting::uploadingInterval); }
  std::int64_t uploadMaxSizeLimitBytes() const { return settings()->int64Value(QZMSetting::uploadMaxSizeLimitBytes); }
  std::int64_t uploadMaxBundlesLimit() const { return settings()->int64Value(QZMSetting::uploadMaxBundlesLimit); }
  std::int32_t maxConversionsPerDay() const { return settings()->intValue(QZMSetting::maxConversionsPerDay); }
  std::int32_t maxErrorEventsPerDay() const { return settings()->intValue(QZMSetting::maxErrorEventsPerDay); }
  std::int32_t maxEventNameCardinality() const { return settings()->intValue(QZMSetting::maxEventNameCardinality); }
  std::int32_t maxPublicEventParameterValueLength() const {
    return settings()->intValue(QZMSetting::maxPublicEventParameterValueLength);
  }
  std::int64_t uploadMaxEventsPerBundle() const { return settings()->int64Value(QZMSetting::uploadMaxEventsPerBundle); }
  std::int32_t maxEventsPerDay() const { return settings()->intValue(QZMSetting::maxEventsPerDay); }
  std::int32_t maxItemScopedCustomParameters() const {
    return settings()->intValue(QZMSetting::maxItemScopedCustomParameters);
  }
  std::int32_t maxPublicEventParams() const { return settings()->intValue(QZMSetting::maxPublicEventParams); }
  std::int32_t maxPublicEventsPerDay() const { return settings()->intValue(QZMSetting::maxPublicEventsPerDay); }
  std::int32_t maxPublicUserProperties() const { return settings()->intValue(QZMSetting::maxPublicUserProperties); }
  double maxQueueTime() const { return settings()->interval(QZMSetting::maxQueueTime); }
  std::int32_t maxRealtimeEventCountPerDay() const {
    return settings()->intValue(QZMSetting::maxRealtimeEventCountPerDay);
  }
  double uploadingRealTimeInterval() const { return settings()->interval(QZMSetting::uploadingRealTimeInterval); }
  std::int32_t uploadingRetryCount() const { return settings()->intValue(QZMSetting::uploadingRetryCount); }
  double uploadingRetryInterval() const { return settings()->interval(QZMSetting::uploadingRetryInterval); }
  double databaseDeleteStaleBundlesInterval() const {
    return settings()->interval(QZMSetting::databaseDeleteStaleBundlesInterval);
  }

  // ---- Derived settings ----
  // Never below 256, whatever the public limit.
  std::int32_t maxInternalEventParameterValueLength() const;
  // 10 while the monitor is in debug mode.
  std::int32_t maxPSMStartCount() const;
  // Read by the interval rule (the wire value is divided by 1000).
  std::int32_t maxBundlesCreatedPerIteration() const {
    return settings()->intValue(QZMSetting::maxBundlesCreatedPerIteration);
  }

 private:
  std::string appID_;
  // Weak: the database is the engine's, and outlives no engine.
  std::weak_ptr<QZMDatabase> database_;
  std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  std::shared_ptr<QZMEManager> experimentManager_;
  bool isDefaultInstance_ = true;
  mutable std::mutex mutex_;
  std::shared_ptr<const QZMMeasurementSettings> settings_ = QZMMeasurementSettings::defaults();
  bool isDMARegion_ = true;
};
