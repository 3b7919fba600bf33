#include "measurement/config/QZMMeasurementSettings.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "platform/foundation/Object.h"

namespace {

constexpr std::array<QZMSettingDescription, kQZMSettingCount> kDescriptions = {{
    {QZMSetting::analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes",
     QZMSettingKind::int32, 0, -900, 900},
    {QZMSetting::adIDCacheTime, "measurement.ad_id_cache_time", QZMSettingKind::interval, 1, 0, 86400},
    {QZMSetting::gateIDFAOnATTMASEnabled, "measurement.attmas_gate", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::attributionCacheTTLInterval, "measurement.attribution.cache.ttl", QZMSettingKind::interval, 604800,
     86400, 2592000},
    {QZMSetting::maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", QZMSettingKind::int32, 10,
     0, 100},
    {QZMSetting::maxFilterResultCount, "measurement.audience.filter_result_max_count", QZMSettingKind::int32, 200, 0,
     2000},
    {QZMSetting::maxAudienceCount, "measurement.audience.max_count", QZMSettingKind::int32, 100, 0, 500},
    {QZMSetting::maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", QZMSettingKind::int32, 25,
     0, 250},
    {QZMSetting::efficientEngagementReportingEnabled, "measurement.collection.efficient_engagement_reporting_enabled",
     QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::redundantEngagementRemovalEnabled, "measurement.collection.redundant_engagement_removal_enabled",
     QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::remoteConfigCacheTimeInterval, "measurement.config.cache_time", QZMSettingKind::interval, 3600, 60,
     86400},
    {QZMSetting::customerTypeEnabled, "measurement.customer_type_enabled", QZMSettingKind::toggle, 1, 0, 1},
    {QZMSetting::isDeferredDeepLinkEnabled, "measurement.ddl.enabled", QZMSettingKind::toggle, 1, 0, 1},
    {QZMSetting::maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", QZMSettingKind::int32, 5, 0, 10},
    {QZMSetting::maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count",
     QZMSettingKind::int32, 1, 0, 10},
    {QZMSetting::isEventSamplingEnabled, "measurement.event_sampling_enabled", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::KRPXUploadEnabled, "measurement.krpx_upload_enabled", QZMSettingKind::toggle, 1, 0, 1},
    {QZMSetting::appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter",
     QZMSettingKind::toggle, 1, 0, 1},
    {QZMSetting::maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", QZMSettingKind::int32, 4, 1,
     100},
    {QZMSetting::monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", QZMSettingKind::interval, 86400,
     0, 604800},
    {QZMSetting::isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled",
     QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::networkTimeout, "measurement.network.network_timeout", QZMSettingKind::interval, 60, 30, 3600},
    {QZMSetting::adsOnDeviceConversionFeatureEnabled, "measurement.odm2_enabled", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::hashPrefixBitLengthEmail, "measurement.psm_prefix_email", QZMSettingKind::int32, 14, 6, 20},
    {QZMSetting::hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", QZMSettingKind::int32, 11, 6, 18},
    {QZMSetting::maxPSMRetryCount, "measurement.psm_retry_count", QZMSettingKind::int32, 5, 0, 10},
    {QZMSetting::PSMRetryInterval, "measurement.psm_retry_interval", QZMSettingKind::interval, 300, 30, 1800},
    {QZMSetting::maxSignInDelayInDays, "measurement.psm_signin_delay", QZMSettingKind::int32, 60, 7, 90},
    {QZMSetting::maxPSMStartCount, "measurement.psm_start_count", QZMSettingKind::int32, 3, 0, 10},
    {QZMSetting::checksumEnabled, "measurement.quality.checksum", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval",
     QZMSettingKind::interval, 1800, 0, 86400},
    {QZMSetting::sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval",
     QZMSettingKind::interval, 3600, 0, 86400},
    {QZMSetting::sessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled",
     QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", QZMSettingKind::interval,
     120, 30, 3600},
    {QZMSetting::SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", QZMSettingKind::int32, 4, 1, 10},
    {QZMSetting::SKANFirstWindowCVFetchRetryInterval, "measurement.skan.first_window.cv_fetch_retry_interval_sec",
     QZMSettingKind::interval, 120, 30, 3600},
    {QZMSetting::SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit",
     QZMSettingKind::int32, 4, 1, 10},
    {QZMSetting::SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec",
     QZMSettingKind::interval, 20, 1, 3600},
    {QZMSetting::SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec",
     QZMSettingKind::interval, 1800, 15, 86400},
    {QZMSetting::SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", QZMSettingKind::interval, 120,
     30, 3600},
    {QZMSetting::SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled",
     QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::maxEventsStored, "measurement.store.max_stored_events_per_app", QZMSettingKind::int32, 100000, 0,
     1000000},
    {QZMSetting::uploadingBackoffInterval, "measurement.upload.backoff_period", QZMSettingKind::interval, 43200, 3600,
     604800},
    {QZMSetting::blocklistInternal, "measurement.upload.blacklist_internal", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::blocklistPublic, "measurement.upload.blacklist_public", QZMSettingKind::toggle, 0, 0, 1},
    {QZMSetting::uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", QZMSettingKind::interval, 1, 1,
     15},
    {QZMSetting::uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time",
     QZMSettingKind::interval, 15, 1, 86400},
    {QZMSetting::uploadingInterval, "measurement.upload.interval", QZMSettingKind::interval, 3600, 15, 86400},
    {QZMSetting::uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", QZMSettingKind::int64, 65536, 0,
     10485760},
    {QZMSetting::uploadMaxBundlesLimit, "measurement.upload.max_bundles", QZMSettingKind::int64, 100, 1, 10000},
    // A count of bundles that the server sends as it sends intervals: the
    // wire value is a thousand times the count; intValue() truncates it.
    {QZMSetting::maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration",
     QZMSettingKind::interval, 100, 1, 10000},
    {QZMSetting::maxConversionsPerDay, "measurement.upload.max_conversions_per_day", QZMSettingKind::int32, 10000, 0,
     1000000},
    {QZMSetting::maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", QZMSettingKind::int32, 1000, 0,
     1000000},
    {QZMSetting::maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", QZMSettingKind::int32, 2000,
     500, 2000},
    {QZMSetting::maxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length",
     QZMSettingKind::int32, 500, 100, 500},
    {QZMSetting::uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", QZMSettingKind::int64, 1000, 1,
     1000000},
    {QZMSetting::maxEventsPerDay, "measurement.upload.max_events_per_day", QZMSettingKind::int32, 100000, 0, 1000000},
    {QZMSetting::maxItemScopedCustomParameters, "measurement.upload.max_item_scoped_custom_parameters",
     QZMSettingKind::int32, 27, 10, 35},
    {QZMSetting::maxPublicEventParams, "measurement.upload.max_public_event_params", QZMSettingKind::int32, 100, 25,
     100},
    {QZMSetting::maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", QZMSettingKind::int32, 50000, 0,
     1000000},
    {QZMSetting::maxPublicUserProperties, "measurement.upload.max_public_user_properties", QZMSettingKind::int32, 100,
     25, 100},
    {QZMSetting::maxQueueTime, "measurement.upload.max_queue_time", QZMSettingKind::interval, 2419200, 604800, 7862400},
    {QZMSetting::maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", QZMSettingKind::int32,
     10, 0, 10},
    {QZMSetting::uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", QZMSettingKind::interval, 10,
     10, 15},
    {QZMSetting::uploadingRetryCount, "measurement.upload.retry_count", QZMSettingKind::int32, 6, 1, 24},
    {QZMSetting::uploadingRetryInterval, "measurement.upload.retry_time", QZMSettingKind::interval, 1800, 60, 86400},
    {QZMSetting::databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",
     QZMSettingKind::interval, 86400, 3600, 604800},
}};

constexpr bool inSettingOrder() {
  for (std::size_t i = 0; i < kDescriptions.size(); ++i)
    if (static_cast<std::size_t>(kDescriptions[i].setting) != i) return false;
  return true;
}
static_assert(inSettingOrder(), "the table follows QZMSetting");

// The server's value, read by the setting's kind and bounded; nullopt sends
// the setting to its default.
std::optional<double> boundedValue(const QZMSettingDescription& description, std::string_view text) {
  std::optional<double> number = QZMMeasurementSettings::numberFromString(text);
  if (!number) return std::nullopt;
  if (description.kind == QZMSettingKind::interval) {
    // Milliseconds: whole ones only, then seconds.
    double whole = std::trunc(*number);
    if (!(std::fabs(whole) < 9.2e18)) return std::nullopt;
    number = static_cast<double>(QZMSaturatingCast<std::int64_t>(whole)) / 1000.0;
  }
  if (*number < description.minValue || *number > description.maxValue) return std::nullopt;
  return number;
}

}  // namespace

const std::array<QZMSettingDescription, kQZMSettingCount>& QZMSettingDescriptions() { return kDescriptions; }

const QZMSettingDescription& QZMSettingDescriptionOf(QZMSetting setting) {
  return kDescriptions[static_cast<std::size_t>(setting)];
}

QZMMeasurementSettings::QZMMeasurementSettings() {
  for (const auto& description : kDescriptions)
    values_[static_cast<std::size_t>(description.setting)] = description.defaultValue;
}

std::shared_ptr<const QZMMeasurementSettings> QZMMeasurementSettings::defaults() {
  // Never destroyed: the worker queue may still read it while the program ends.
  static const auto* instance =
      new std::shared_ptr<const QZMMeasurementSettings>(new QZMMeasurementSettings());
  return *instance;
}

std::shared_ptr<const QZMMeasurementSettings> QZMMeasurementSettings::settingsWithTexts(
    const std::vector<Text>& texts, const std::map<std::string, double>& numbers) {
  std::shared_ptr<QZMMeasurementSettings> settings(new QZMMeasurementSettings());
  for (const auto& text : texts) {
    if (text.name.empty() || !text.value) {
      QZMMeasurementBase::monitor()->logWithLevel(5, 29019, "Cannot cache empty configuration value");
      continue;
    }
    settings->delivered_[text.name] = *text.value;
  }
  for (const auto& [name, number] : numbers) {
    if (name.empty() || !std::isfinite(number)) {
      QZMMeasurementBase::monitor()->logWithLevel(5, 29019, "Cannot cache empty configuration value");
      continue;
    }
    settings->delivered_[name] = foundation::formatDouble(number);
  }
  for (const auto& description : kDescriptions) {
    auto delivered = settings->delivered_.find(description.key);
    if (delivered == settings->delivered_.end()) continue;
    if (auto bounded = boundedValue(description, delivered->second)) {
      settings->values_[static_cast<std::size_t>(description.setting)] = *bounded;
    }
  }
  return settings;
}

std::optional<double> QZMMeasurementSettings::numberFromString(std::string_view text) {
  if (!QZMIsDecimalNumberString(text)) return std::nullopt;
  // from_chars takes no "+" sign; the check above allowed one.
  bool negative = text.front() == '-';
  if (text.front() == '+' || negative) text.remove_prefix(1);
  double number = 0;
  auto parsed = std::from_chars(text.data(), text.data() + text.size(), number);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || !std::isfinite(number))
    return std::nullopt;
  return negative ? -number : number;
}

double QZMMeasurementSettings::interval(QZMSetting setting) const { return value(setting); }

std::int32_t QZMMeasurementSettings::intValue(QZMSetting setting) const {
  return QZMSaturatingCast<std::int32_t>(value(setting));
}

std::int64_t QZMMeasurementSettings::int64Value(QZMSetting setting) const {
  return QZMSaturatingCast<std::int64_t>(value(setting));
}

bool QZMMeasurementSettings::boolValue(QZMSetting setting) const { return intValue(setting) == 1; }

std::optional<std::string> QZMMeasurementSettings::deliveredText(std::string_view name) const {
  auto delivered = delivered_.find(name);
  if (delivered == delivered_.end()) return std::nullopt;
  return delivered->second;
}
