// The measurement configuration the server delivers for one app, as the SDK
// reads it: the bounded settings, per-event rules, upload addresses, the
// server-side tagging upload, data controls, consent defaults and
// delegations, and the event-editing program. It is also the SDK's own
// experiments client, whose flags two switches consult first.
//
// A configuration is parsed once into an immutable state, swapped whole, so
// the getters may be called from any queue and never see half of one. A new
// configuration is stored and parsed on the worker queue; inside a
// transaction of the database it comes into force when that commits, and a
// rolled-back one never does.
//
// QZMRemoteConfig.cpp holds creation, storing, reset and the caches' getters;
// QZMRemoteConfigParse.cpp turns a configuration into a state;
// QZMRemoteConfigAddresses.cpp the URLs and the tagging upload;
// QZMRemoteConfigExperiments.cpp the experiments client.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/experiments/QZMEClient.h"
#include "measurement/experiments/QZMESDKProperty.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMDatabase;
class QZMEManager;
class QZMPBEventConfig;
class QZMPBMeasurementConfig;
class QZMPersistedConfig;
class QZMPEventEditing;

// The name this SDK registers with the experiments manager.
inline constexpr const char* kQZMRemoteConfigSDKName = "kestro_meter";
// The app-data consent status under which uploads go to the hosts for
// authorised tracking.
inline constexpr std::uint64_t kQZMAppDataConsentStatusAuthorized = 3;

// What the configuration reads of the layers above it: the event
// vocabulary and the identity. QZMRemoteConfigEnvironment.h installs the
// SDK's own; until then names stay as given, the app-data consent status is
// unknown and the app version absent.
struct QZMRemoteConfigLinks {
  // The internal name of a public event name, or nullopt when it has none.
  std::function<std::optional<std::string>(std::string_view)> internalEventName;
  std::function<std::optional<std::uint64_t>()> appDataConsentStatus;
  std::function<std::optional<std::string>()> appVersion;
};

// The server-side tagging upload as a configuration sets it.
struct QZMKRPXSetting {
  std::optional<std::string> uploadURL;
  std::optional<std::string> serverInfo;
  // Used while tracking is authorised.
  std::optional<std::string> alternateUploadURL;
  std::optional<std::int32_t> uploadPercentage;
};

// The rules one event configuration sets; absent fields set nothing.
struct QZMEventRule {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<std::int32_t> samplingRate;
};

// The hash that places an app instance inside or outside a rollout's share:
// FNV-1a (64 bits) of the UTF-8 bytes, the same on every run and platform.
std::uint64_t QZMRolloutHash(std::string_view text);

class QZMRemoteConfig : public QZMEExperimentObserverDelegate,
                        public QZMESDKPropertyProviderDelegate,
                        public std::enable_shared_from_this<QZMRemoteConfig> {
 public:
  // ---- Creation ----

  // The shared instance without app or configuration: every getter answers
  // its default.
  static std::shared_ptr<QZMRemoteConfig> defaultInstance();
  // The running engine's configuration when it has one, else the default
  // instance; components read their limits through it at each use.
  static std::shared_ptr<QZMRemoteConfig> current();

  // Registers with the manager when one is given, then puts the
  // configuration in force, or without one the stored configuration (read
  // on a background thread only). No database and no app ID make a default
  // instance.
  static std::shared_ptr<QZMRemoteConfig> initWithAppID(std::string appID, const std::shared_ptr<QZMDatabase>& database,
                                                        std::shared_ptr<QZMPBMeasurementConfig> measurementConfig,
                                                        std::shared_ptr<QZMPersistedConfig> persistedConfig,
                                                        std::shared_ptr<QZMEManager> experimentManager);
  // The engine's configuration of the app, starting from the stored one. An
  // empty app ID (code 29000) or a missing database (code 29001) is refused.
  static foundation::Result<std::shared_ptr<QZMRemoteConfig>> initWithAppID(
      std::string appID, const std::shared_ptr<QZMDatabase>& database,
      std::shared_ptr<QZMPersistedConfig> persistedConfig, std::shared_ptr<QZMEManager> experimentManager);
  static foundation::Result<std::shared_ptr<QZMRemoteConfig>> initWithAppID(
      std::string appID, const std::shared_ptr<QZMDatabase>& database, std::shared_ptr<QZMEManager> experimentManager);

  // Without app, database or configuration: a default instance of one's own.
  QZMRemoteConfig();
  ~QZMRemoteConfig() override;
  QZMRemoteConfig(const QZMRemoteConfig&) = delete;
  QZMRemoteConfig& operator=(const QZMRemoteConfig&) = delete;

  // Installs what the layers above offer; see QZMRemoteConfigLinks.
  static void setLinks(QZMRemoteConfigLinks links);
  static QZMRemoteConfigLinks links();

  // ---- Configuration ----

  // Stores and applies a fetched configuration; worker queue only. Refused,
  // with the previous one left in force: on the default instance (29002),
  // none (29003), another app's (29004), one the database cannot keep
  // (29005).
  bool updateMeasurementConfig(const QZMPBMeasurementConfig* measurementConfig);
  bool updateMeasurementConfig(const QZMPBMeasurementConfig& measurementConfig) {
    return updateMeasurementConfig(&measurementConfig);
  }
  // Back to the state of an instance without configuration: every cache
  // empty, the experiments forgotten; the event-editing program stays.
  void reset();

  const std::string& appID() const { return appID_; }
  bool isDefaultInstance() const { return isDefaultInstance_; }
  // Whether a configuration is in force.
  bool hasConfiguration() const;
  // The configuration's version; -1 when there is none or it carries none.
  std::int64_t version() const;
  // Seconds since 1970 of the last successful fetch; 0 when there was none.
  double lastRemoteConfigUpdateTimestamp() const;
  // The configuration is at least its cache interval old (either way, should
  // the clock have moved back). The default instance is never expired.
  bool isExpired() const;

  // ---- Addresses ----

  // "https://<configuration host>/config/app/<app ID>?<query>"; nullopt
  // without an app ID (29021) or a platform (29010).
  std::optional<std::string> remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                         std::int64_t SDKVersion, std::int64_t runtimeVersion) const;
  std::optional<std::string> uploadSubdomain() const;
  // "https://[<subdomain>.]<upload host>/a", on the hosts for authorised
  // tracking while the app-data consent status says so. A subdomain that is
  // not dot-separated host labels is left out.
  std::string uploadURL() const;
  // The server-side tagging upload: its switch, the host's opt-in, an upload
  // URL in the configuration and either preview headers or a place among
  // the configured share of app instances.
  bool KRPXUploadEnabled() const;
  std::optional<std::string> KRPXUploadURL() const;
  std::optional<foundation::Dictionary> KRPXUploadHTTPHeaders() const;

  // ---- Per-event rules ----

  // Keyed by internal name; an empty name (29006) finds none.
  std::shared_ptr<QZMPBEventConfig> eventConfigWithName(std::string_view name) const;
  std::optional<QZMEventRule> eventRuleWithName(std::string_view name) const;
  // Blocked by its own configuration, else by the switch of its kind (public
  // or internal name).
  bool isEventBlocklisted(std::string_view name) const;
  bool isEventCustomConversion(std::string_view name) const;
  bool eventHasSamplingRate(std::string_view name) const;
  // The configured rate when it lies in 2..65535; otherwise 1.
  std::int32_t samplingRateForEvent(std::string_view name) const;

  // ---- Other caches ----

  std::vector<std::string> dataControls() const;
  // Consent type -> "granted" or "denied"; empty when none.
  foundation::Dictionary consentDefaults() const;
  // Consent type -> the consent type it follows.
  foundation::Dictionary consentDelegations() const;
  foundation::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  // Yes until a configuration says otherwise.
  bool isDMARegion() const;
  // The loaded event-editing program, or nullptr. Worker queue only, as the
  // program itself.
  std::shared_ptr<QZMPEventEditing> eventEditing() const;
  // The experiment IDs of the manager's activated snapshots.
  std::vector<std::int32_t> experimentIDs() const;

  // ---- Experiments ----

  // Activates a snapshot the client announced; false when none waits or the
  // activation fails (then it is tried again next time).
  bool activateNewSnapshot();
  bool hasNewSnapshot() const;
  const std::shared_ptr<QZMEClient>& experimentClient() const { return experimentClient_; }

  bool implementsClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<QZMEClient>& client) override;
  bool implementsClientDidReceiveFetchError() const override { return true; }
  void clientDidReceiveFetchError(const std::shared_ptr<QZMEClient>& client,
                                  const foundation::Error& error) override;
  bool implementsClientDidLoadStoredSnapshots() const override { return true; }
  void clientDidLoadStoredSnapshots(const std::shared_ptr<QZMEClient>& client) override;
  bool implementsShouldFetchExperimentsForClient() const override { return true; }
  // While the engine exists and is enabled.
  bool shouldFetchExperimentsForClient(const std::shared_ptr<QZMEClient>& client) override;

  // ---- Settings ----

  std::shared_ptr<const QZMMeasurementSettings> settings() const;
  // Puts other settings in force, keeping the rest of the configuration.
  void setSettings(std::shared_ptr<const QZMMeasurementSettings> settings);
  // Back to every default.
  void resetSettings() { setSettings(nullptr); }

  // The experiment flag first, then the switch.
  bool customerTypeEnabled() const;
  bool sessionStitchingTokenFeatureEnabled() const;

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
  // A count of bundles. The server sends it scaled as intervals are (its
  // value divided by 1000), and the bounds apply to the count.
  std::int32_t maxBundlesCreatedPerIteration() const {
    return settings()->intValue(QZMSetting::maxBundlesCreatedPerIteration);
  }

  // Everything a configuration puts in force, parsed once.
  struct State;

 private:
  std::shared_ptr<const State> state() const;
  // Puts the state in force at once, or inside a transaction of the
  // database once that commits.
  void putInForce(std::shared_ptr<const State> state);
  void swapState(std::shared_ptr<const State> state, std::uint64_t resets);
  // The stored configuration, or nullptr.
  std::shared_ptr<QZMPBMeasurementConfig> measurementConfigFromDatabase() const;
  // A new state for the configuration, or nullptr when it is not this app's
  // or cannot be read; the previous state gives what the configuration
  // leaves as it was.
  std::shared_ptr<const State> parse(const QZMPBMeasurementConfig& config, const State& previous) const;
  void registerWithExperimentManager();
  // Activates a snapshot an earlier run left waiting and reads the flags.
  void takeStoredSnapshots();
  void refreshCachedExperimentFlags();
  std::optional<std::uint64_t> appDataConsentStatus() const;

  std::string appID_;
  // Weak: the database is the engine's.
  std::weak_ptr<QZMDatabase> database_;
  std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  std::shared_ptr<QZMEManager> experimentManager_;
  std::shared_ptr<QZMEClient> experimentClient_;
  bool isDefaultInstance_ = true;

  mutable std::mutex mutex_;
  std::shared_ptr<const State> state_;
  // Counts the resets, so that a state staged before a reset does not come
  // into force after it.
  std::uint64_t resets_ = 0;
  bool hasNewSnapshot_ = false;
  std::optional<foundation::Object> customerTypeFlag_;
};
