// The measurement SDK's settings: every limit, interval and switch the
// server may set in the measurement configuration, each with its key, a
// default and inclusive bounds. A configuration's settings are parsed once
// into an immutable snapshot; a value that is absent, unparsable, not finite
// or out of bounds gives the default. Without a configuration every setting
// is its default.
//
// Kinds:
// - interval: milliseconds on the wire (whatever the key says), served as
//   seconds; fractions of a millisecond are dropped before the division.
// - int32, int64: bounded as parsed, fraction included, then truncated.
// - toggle: an int32 from 0 to 1, on exactly when 1.
// Defaults and bounds of intervals are in seconds. The bundles made per
// upload are a count read by the interval rule and served truncated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class QZMSetting : int {
  analyticsAccountTimeZoneOffsetMinutes,
  adIDCacheTime,
  gateIDFAOnATTMASEnabled,
  attributionCacheTTLInterval,
  maxFiltersPerAudience,
  maxFilterResultCount,
  maxAudienceCount,
  maxParametersPerFilter,
  efficientEngagementReportingEnabled,
  redundantEngagementRemovalEnabled,
  remoteConfigCacheTimeInterval,
  customerTypeEnabled,
  isDeferredDeepLinkEnabled,
  maxDeferredDeepLinkRetryCount,
  maxRealtimeDCUEventCountPerDay,
  isEventSamplingEnabled,
  KRPXUploadEnabled,
  appInBackgroundParameterEnabled,
  maxTrackedCurrencies,
  monitoringSamplePeriod,
  isNetworkBackgroundSessionEnabled,
  networkTimeout,
  adsOnDeviceConversionFeatureEnabled,
  hashPrefixBitLengthEmail,
  hashPrefixBitLengthPhone,
  maxPSMRetryCount,
  PSMRetryInterval,
  maxSignInDelayInDays,
  maxPSMStartCount,
  checksumEnabled,
  sessionDefaultTimeoutInterval,
  sessionEventUserEngagementInterval,
  sessionStitchingTokenFeatureEnabled,
  SKANCVFetchRetryInterval,
  SKANCVFetchRetryLimit,
  SKANFirstWindowCVFetchRetryInterval,
  SKANFirstWindowCVFetchRetryLimit,
  SKANFirstWindowCVFetchDelay,
  SKANFirstWindowUploadInterval,
  SKANInitialCVFetchDelay,
  SKANUpdateConversionValueEnabled,
  maxEventsStored,
  uploadingBackoffInterval,
  blocklistInternal,
  blocklistPublic,
  uploadingDebugModeInterval,
  uploadingInitialDelayInterval,
  uploadingInterval,
  uploadMaxSizeLimitBytes,
  uploadMaxBundlesLimit,
  maxBundlesCreatedPerIteration,
  maxConversionsPerDay,
  maxErrorEventsPerDay,
  maxEventNameCardinality,
  maxPublicEventParameterValueLength,
  uploadMaxEventsPerBundle,
  maxEventsPerDay,
  maxItemScopedCustomParameters,
  maxPublicEventParams,
  maxPublicEventsPerDay,
  maxPublicUserProperties,
  maxQueueTime,
  maxRealtimeEventCountPerDay,
  uploadingRealTimeInterval,
  uploadingRetryCount,
  uploadingRetryInterval,
  databaseDeleteStaleBundlesInterval,
};
inline constexpr std::size_t kQZMSettingCount =
    static_cast<std::size_t>(QZMSetting::databaseDeleteStaleBundlesInterval) + 1;

enum class QZMSettingKind { interval, int32, int64, toggle };

struct QZMSettingDescription {
  QZMSetting setting;
  const char* key;
  QZMSettingKind kind;
  double defaultValue;
  double minValue;
  double maxValue;
};

// Every setting, in QZMSetting order.
const std::array<QZMSettingDescription, kQZMSettingCount>& QZMSettingDescriptions();
const QZMSettingDescription& QZMSettingDescriptionOf(QZMSetting setting);

class QZMMeasurementSettings {
 public:
  // One entry of a configuration's settings list; the value may be absent.
  struct Text {
    std::string name;
    std::optional<std::string> value;
  };

  // Every setting at its default.
  static std::shared_ptr<const QZMMeasurementSettings> defaults();
  // Parses a configuration's settings. Entries without a name or a value are
  // skipped (logged); a later entry of a name replaces an earlier one.
  // Numbers are values the configuration carries as numbers: they replace
  // the texts of their keys and are read and bounded as those would be.
  static std::shared_ptr<const QZMMeasurementSettings> settingsWithTexts(
      const std::vector<Text>& texts, const std::map<std::string, double>& numbers = {});

  double interval(QZMSetting setting) const;
  std::int32_t intValue(QZMSetting setting) const;
  std::int64_t int64Value(QZMSetting setting) const;
  bool boolValue(QZMSetting setting) const;

  // What the configuration delivered under a name, known setting or not:
  // its text, or a number's text; nullopt when it delivered nothing.
  std::optional<std::string> deliveredText(std::string_view name) const;

  // Parses a setting text as a plain decimal number ("12", "-0.5", "99.5");
  // nullopt for anything else, and for numbers that are not finite.
  static std::optional<double> numberFromString(std::string_view text);

 private:
  QZMMeasurementSettings();
  double value(QZMSetting setting) const { return values_[static_cast<std::size_t>(setting)]; }

  // The bounded value of each setting, in the unit it is served in.
  std::array<double, kQZMSettingCount> values_;
  std::map<std::string, std::string, std::less<>> delivered_;
};
