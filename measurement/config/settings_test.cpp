#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "testing/ExitRace.h"

namespace {

using Texts = std::vector<QZMMeasurementSettings::Text>;

class Settings : public testkit::FoundationTest {
 protected:
  // A configuration holding only these settings.
  std::shared_ptr<QZMRemoteConfig> configured(const Texts& texts) {
    auto config = std::make_shared<QZMRemoteConfig>();
    config->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
    return config;
  }
};

// A getter, and a switch that the full configuration combines with other
// inputs, read as numbers.
#define GETTER(name) [](const QZMRemoteConfig& c) -> double { return c.name(); }
#define SWITCH(name) [](const QZMRemoteConfig& c) -> double { return c.settings()->boolValue(QZMSetting::name); }

// Every setting: its key, its getter, its default and its bounds, as the
// server's texts meet them.
TEST_F(Settings, EveryKeyHasItsDefaultAndBounds) {
  enum class Kind { interval, integer, toggle };
  struct Row {
    const char* key;
    std::function<double(const QZMRemoteConfig&)> getter;
    Kind kind;
    double defaultValue;
    double minValue;
    double maxValue;
  } rows[] = {
      {"measurement.account.time_zone_offset_minutes", GETTER(analyticsAccountTimeZoneOffsetMinutes), Kind::integer, 0,
       -900, 900},
      {"measurement.ad_id_cache_time", GETTER(adIDCacheTime), Kind::interval, 1, 0, 86400},
      {"measurement.attmas_gate", GETTER(gateIDFAOnATTMASEnabled), Kind::toggle, 0, 0, 1},
      {"measurement.attribution.cache.ttl", GETTER(attributionCacheTTLInterval), Kind::interval, 604800, 86400,
       2592000},
      {"measurement.audience.filter_max_count_per_audience", GETTER(maxFiltersPerAudience), Kind::integer, 10, 0, 100},
      {"measurement.audience.filter_result_max_count", GETTER(maxFilterResultCount), Kind::integer, 200, 0, 2000},
      {"measurement.audience.max_count", GETTER(maxAudienceCount), Kind::integer, 100, 0, 500},
      {"measurement.audience.parameter_max_count_filter", GETTER(maxParametersPerFilter), Kind::integer, 25, 0, 250},
      {"measurement.collection.efficient_engagement_reporting_enabled", GETTER(efficientEngagementReportingEnabled),
       Kind::toggle, 0, 0, 1},
      {"measurement.collection.redundant_engagement_removal_enabled", GETTER(redundantEngagementRemovalEnabled),
       Kind::toggle, 0, 0, 1},
      {"measurement.config.cache_time", GETTER(remoteConfigCacheTimeInterval), Kind::interval, 3600, 60, 86400},
      {"measurement.customer_type_enabled", SWITCH(customerTypeEnabled), Kind::toggle, 1, 0, 1},
      {"measurement.ddl.enabled", GETTER(isDeferredDeepLinkEnabled), Kind::toggle, 1, 0, 1},
      {"measurement.ddl.retry_count", GETTER(maxDeferredDeepLinkRetryCount), Kind::integer, 5, 0, 10},
      {"measurement.dma.dcu_event_max_realtime_daily_count", GETTER(maxRealtimeDCUEventCountPerDay), Kind::integer, 1,
       0, 10},
      {"measurement.event_sampling_enabled", GETTER(isEventSamplingEnabled), Kind::toggle, 0, 0, 1},
      {"measurement.krpx_upload_enabled", SWITCH(KRPXUploadEnabled), Kind::toggle, 1, 0, 1},
      {"measurement.lifecycle.app_in_background_parameter", GETTER(appInBackgroundParameterEnabled), Kind::toggle, 1, 0,
       1},
      {"measurement.lifetimevalue.max_currency_tracked", GETTER(maxTrackedCurrencies), Kind::integer, 4, 1, 100},
      {"measurement.monitoring.sample_period_millis", GETTER(monitoringSamplePeriod), Kind::interval, 86400, 0, 604800},
      {"measurement.network.background_session_enabled", GETTER(isNetworkBackgroundSessionEnabled), Kind::toggle, 0, 0,
       1},
      {"measurement.network.network_timeout", GETTER(networkTimeout), Kind::interval, 60, 30, 3600},
      {"measurement.odm2_enabled", GETTER(adsOnDeviceConversionFeatureEnabled), Kind::toggle, 0, 0, 1},
      {"measurement.psm_prefix_email", GETTER(hashPrefixBitLengthEmail), Kind::integer, 14, 6, 20},
      {"measurement.psm_prefix_phone", GETTER(hashPrefixBitLengthPhone), Kind::integer, 11, 6, 18},
      {"measurement.psm_retry_count", GETTER(maxPSMRetryCount), Kind::integer, 5, 0, 10},
      {"measurement.psm_retry_interval", GETTER(PSMRetryInterval), Kind::interval, 300, 30, 1800},
      {"measurement.psm_signin_delay", GETTER(maxSignInDelayInDays), Kind::integer, 60, 7, 90},
      {"measurement.psm_start_count", GETTER(maxPSMStartCount), Kind::integer, 3, 0, 10},
      {"measurement.quality.checksum", GETTER(checksumEnabled), Kind::toggle, 0, 0, 1},
      {"measurement.session.default_timeout_interval", GETTER(sessionDefaultTimeoutInterval), Kind::interval, 1800, 0,
       86400},
      {"measurement.session.event_user_engagement_interval", GETTER(sessionEventUserEngagementInterval), Kind::interval,
       3600, 0, 86400},
      {"measurement.session_stitching_token_enabled", SWITCH(sessionStitchingTokenFeatureEnabled), Kind::toggle, 0, 0,
       1},
      {"measurement.skan.cv_fetch_retry_interval_sec", GETTER(SKANCVFetchRetryInterval), Kind::interval, 120, 30, 3600},
      {"measurement.skan.cv_fetch_retry_limit", GETTER(SKANCVFetchRetryLimit), Kind::integer, 4, 1, 10},
      {"measurement.skan.first_window.cv_fetch_retry_interval_sec", GETTER(SKANFirstWindowCVFetchRetryInterval),
       Kind::interval, 120, 30, 3600},
      {"measurement.skan.first_window.cv_fetch_retry_limit", GETTER(SKANFirstWindowCVFetchRetryLimit), Kind::integer, 4,
       1, 10},
      {"measurement.skan.first_window.initial_cv_fetch_delay_sec", GETTER(SKANFirstWindowCVFetchDelay), Kind::interval,
       20, 1, 3600},
      {"measurement.skan.first_window.upload_interval_sec", GETTER(SKANFirstWindowUploadInterval), Kind::interval, 1800,
       15, 86400},
      {"measurement.skan.initial_cv_fetch_delay_sec", GETTER(SKANInitialCVFetchDelay), Kind::interval, 120, 30, 3600},
      {"measurement.skan.update_conversion_value_enabled", GETTER(SKANUpdateConversionValueEnabled), Kind::toggle, 0, 0,
       1},
      {"measurement.store.max_stored_events_per_app", GETTER(maxEventsStored), Kind::integer, 100000, 0, 1000000},
      {"measurement.upload.backoff_period", GETTER(uploadingBackoffInterval), Kind::interval, 43200, 3600, 604800},
      {"measurement.upload.blacklist_internal", GETTER(blocklistInternal), Kind::toggle, 0, 0, 1},
      {"measurement.upload.blacklist_public", GETTER(blocklistPublic), Kind::toggle, 0, 0, 1},
      {"measurement.upload.debug_upload_interval", GETTER(uploadingDebugModeInterval), Kind::interval, 1, 1, 15},
      {"measurement.upload.initial_upload_delay_time", GETTER(uploadingInitialDelayInterval), Kind::interval, 15, 1,
       86400},
      {"measurement.upload.interval", GETTER(uploadingInterval), Kind::interval, 3600, 15, 86400},
      {"measurement.upload.max_batch_size", GETTER(uploadMaxSizeLimitBytes), Kind::integer, 65536, 0, 10485760},
      {"measurement.upload.max_bundles", GETTER(uploadMaxBundlesLimit), Kind::integer, 100, 1, 10000},
      {"measurement.upload.max_bundles_created_per_iteration", GETTER(maxBundlesCreatedPerIteration), Kind::interval,
       100, 1, 10000},
      {"measurement.upload.max_conversions_per_day", GETTER(maxConversionsPerDay), Kind::integer, 10000, 0, 1000000},
      {"measurement.upload.max_error_events_per_day", GETTER(maxErrorEventsPerDay), Kind::integer, 1000, 0, 1000000},
      {"measurement.upload.max_event_name_cardinality", GETTER(maxEventNameCardinality), Kind::integer, 2000, 500,
       2000},
      {"measurement.upload.max_event_parameter_value_length", GETTER(maxPublicEventParameterValueLength), Kind::integer,
       500, 100, 500},
      {"measurement.upload.max_events_per_bundle", GETTER(uploadMaxEventsPerBundle), Kind::integer, 1000, 1, 1000000},
      {"measurement.upload.max_events_per_day", GETTER(maxEventsPerDay), Kind::integer, 100000, 0, 1000000},
      {"measurement.upload.max_item_scoped_custom_parameters", GETTER(maxItemScopedCustomParameters), Kind::integer, 27,
       10, 35},
      {"measurement.upload.max_public_event_params", GETTER(maxPublicEventParams), Kind::integer, 100, 25, 100},
      {"measurement.upload.max_public_events_per_day", GETTER(maxPublicEventsPerDay), Kind::integer, 50000, 0, 1000000},
      {"measurement.upload.max_public_user_properties", GETTER(maxPublicUserProperties), Kind::integer, 100, 25, 100},
      {"measurement.upload.max_queue_time", GETTER(maxQueueTime), Kind::interval, 2419200, 604800, 7862400},
      {"measurement.upload.max_realtime_events_per_day", GETTER(maxRealtimeEventCountPerDay), Kind::integer, 10, 0, 10},
      {"measurement.upload.realtime_upload_interval", GETTER(uploadingRealTimeInterval), Kind::interval, 10, 10, 15},
      {"measurement.upload.retry_count", GETTER(uploadingRetryCount), Kind::integer, 6, 1, 24},
      {"measurement.upload.retry_time", GETTER(uploadingRetryInterval), Kind::interval, 1800, 60, 86400},
      {"measurement.upload.stale_data_deletion_interval", GETTER(databaseDeleteStaleBundlesInterval), Kind::interval,
       86400, 3600, 604800},
  };
  ASSERT_EQ(std::size(rows), kQZMSettingCount);

  // The wire text for a value in the getter's unit.
  auto wire = [](const Row& row, double value) {
    return std::to_string(std::llround(row.kind == Kind::interval ? value * 1000 : value));
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    const double step = row.kind == Kind::interval ? 0.001 : 1;
    EXPECT_EQ(row.getter(QZMRemoteConfig()), row.defaultValue);
    EXPECT_EQ(row.getter(*QZMRemoteConfig::defaultInstance()), row.defaultValue);
    struct Case {
      std::string text;
      double expected;
    } cases[] = {
        {wire(row, row.minValue), row.minValue},
        {wire(row, row.maxValue), row.maxValue},
        {wire(row, row.minValue - step), row.defaultValue},
        {wire(row, row.maxValue + step), row.defaultValue},
        {"ten", row.defaultValue},
        {"", row.defaultValue},
        {"1e3", row.defaultValue},
        {" 1", row.defaultValue},
        {"0x10", row.defaultValue},
        {std::string(400, '9'), row.defaultValue},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(row.getter(*configured({{row.key, c.text}})), c.expected) << "text " << c.text;
    }
  }
}

TEST_F(Settings, ServerTextsReadAsTheirKindsSay) {
  struct Case {
    const char* key;
    std::string text;
    std::function<double(const QZMRemoteConfig&)> getter;
    double expected;
  } cases[] = {
      // Intervals arrive in milliseconds, whatever the key's name says.
      {"measurement.upload.interval", "900000", [](auto& c) { return c.uploadingInterval(); }, 900},
      {"measurement.upload.interval", "900", [](auto& c) { return c.uploadingInterval(); }, 3600},
      {"measurement.psm_retry_interval", "60000", [](auto& c) { return c.PSMRetryInterval(); }, 60},
      {"measurement.skan.cv_fetch_retry_interval_sec", "120", [](auto& c) { return c.SKANCVFetchRetryInterval(); },
       120},
      {"measurement.network.network_timeout", "30000.9", [](auto& c) { return c.networkTimeout(); }, 30},
      {"measurement.network.network_timeout", "+45000", [](auto& c) { return c.networkTimeout(); }, 45},
      // Integers are bounded with their fraction, then truncated.
      {"measurement.upload.max_public_event_params", "99.5", [](auto& c) { return c.maxPublicEventParams(); }, 99},
      {"measurement.upload.max_public_event_params", "24.5", [](auto& c) { return c.maxPublicEventParams(); }, 100},
      {"measurement.upload.max_public_event_params", "101", [](auto& c) { return c.maxPublicEventParams(); }, 100},
      {"measurement.account.time_zone_offset_minutes", "-900",
       [](auto& c) { return c.analyticsAccountTimeZoneOffsetMinutes(); }, -900},
      {"measurement.account.time_zone_offset_minutes", "-901",
       [](auto& c) { return c.analyticsAccountTimeZoneOffsetMinutes(); }, 0},
      {"measurement.upload.max_batch_size", "0", [](auto& c) { return c.uploadMaxSizeLimitBytes(); }, 0},
      {"measurement.upload.max_batch_size", "10485760", [](auto& c) { return c.uploadMaxSizeLimitBytes(); }, 10485760},
      // Switches are on exactly at 1.
      {"measurement.quality.checksum", "1", [](auto& c) { return c.checksumEnabled(); }, 1},
      {"measurement.quality.checksum", "0.5", [](auto& c) { return c.checksumEnabled(); }, 0},
      {"measurement.ddl.enabled", "0", [](auto& c) { return c.isDeferredDeepLinkEnabled(); }, 0},
      {"measurement.ddl.enabled", "2", [](auto& c) { return c.isDeferredDeepLinkEnabled(); }, 1},
      {"measurement.ddl.enabled", "true", [](auto& c) { return c.isDeferredDeepLinkEnabled(); }, 1},
      // The bundle count is read by the interval rule, then truncated.
      {"measurement.upload.max_bundles_created_per_iteration", "500000",
       [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 500},
      {"measurement.upload.max_bundles_created_per_iteration", "500",
       [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 100},
      {"measurement.upload.max_bundles_created_per_iteration", "2999",
       [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 2},
      {"measurement.upload.max_bundles_created_per_iteration", "999",
       [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 100},
      // The internal length limit never goes below 256.
      {"measurement.upload.max_event_parameter_value_length", "100",
       [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 256},
      {"measurement.upload.max_event_parameter_value_length", "300",
       [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 300},
      {"measurement.upload.max_event_parameter_value_length", "nan",
       [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 500},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.getter(*configured({{c.key, c.text}})), c.expected) << c.key << " = " << c.text;
  }
}

TEST_F(Settings, ConfigurationListIsReadOnceWithLaterEntriesWinningAndNumbersBoundedAlike) {
  auto settings = QZMMeasurementSettings::settingsWithTexts(
      {{"measurement.upload.retry_count", "3"},
       {"", "5"},
       {"measurement.upload.retry_count", std::nullopt},
       {"measurement.upload.retry_count", "4"},
       {"measurement.psm_prefix_email", "8"},
       {"custom.flag", "on"}},
      {{"measurement.psm_prefix_email", 40}, {"measurement.psm_signin_delay", 30}});
  QZMRemoteConfig config;
  config.setSettings(settings);
  EXPECT_EQ(config.uploadingRetryCount(), 4);
  // The number replaces the text; above the maximum it gives the default.
  EXPECT_EQ(config.hashPrefixBitLengthEmail(), 14);
  EXPECT_EQ(config.maxSignInDelayInDays(), 30);
  EXPECT_EQ(config.hashPrefixBitLengthPhone(), 11);
  EXPECT_EQ(linesWithCode(29019).size(), 2u);
  EXPECT_EQ(settings->deliveredText("custom.flag"), "on");
  EXPECT_EQ(settings->deliveredText("measurement.psm_prefix_email"), "40");
  EXPECT_EQ(settings->deliveredText("measurement.upload.interval"), std::nullopt);
}

TEST_F(Settings, ANewConfigurationReplacesTheWholeSnapshotAndReadersKeepTheirs) {
  QZMRemoteConfig config;
  config.setSettings(QZMMeasurementSettings::settingsWithTexts(
      {{"measurement.upload.retry_count", "3"}, {"measurement.upload.interval", "60000"}}));
  auto held = config.settings();
  config.setSettings(QZMMeasurementSettings::settingsWithTexts({{"measurement.upload.retry_count", "5"}}));
  EXPECT_EQ(config.uploadingRetryCount(), 5);
  EXPECT_EQ(config.uploadingInterval(), 3600);  // absent from the new list: the default
  EXPECT_EQ(held->intValue(QZMSetting::uploadingRetryCount), 3);
  config.resetSettings();
  EXPECT_EQ(config.uploadingRetryCount(), 6);
}

TEST_F(Settings, DebugModeRaisesThePSMStartCount) {
  auto config = configured({{"measurement.psm_start_count", "2"}});
  EXPECT_EQ(config->maxPSMStartCount(), 2);
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(config->maxPSMStartCount(), 10);
  monitor->setDebugModeEnabled(false);
}

TEST_F(Settings, ComponentsReadTheRunningEnginesConfiguration) {
  struct Engine : testkit::MeasurementDouble {
    std::shared_ptr<QZMRemoteConfig> remoteConfigInstance() const override { return config; }
    std::shared_ptr<QZMRemoteConfig> config;
  };
  EXPECT_EQ(QZMRemoteConfig::current(), QZMRemoteConfig::defaultInstance());
  auto engine = std::make_shared<Engine>();
  QZMMeasurementBase::setSharedInstance(engine);
  EXPECT_EQ(QZMRemoteConfig::current(), QZMRemoteConfig::defaultInstance());
  engine->config = configured({{"measurement.upload.retry_count", "3"}});
  EXPECT_EQ(QZMRemoteConfig::current(), engine->config);
  EXPECT_EQ(QZMRemoteConfig::current()->uploadingRetryCount(), 3);
}

TEST_F(Settings, TheEnginesConfigurationNeedsAnAppAndADatabaseAndStartsExpired) {
  auto persisted = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
  auto database = QZMDatabase::initWithDatabaseName("config_test.sql", persisted);
  ASSERT_TRUE(database.ok()) << database.error().text();

  auto noApp = QZMRemoteConfig::initWithAppID("", *database, persisted, nullptr);
  ASSERT_FALSE(noApp.ok());
  EXPECT_EQ(noApp.error().code, 29000);
  auto noDatabase = QZMRemoteConfig::initWithAppID("1:1234:ios:abcd", nullptr, persisted, nullptr);
  ASSERT_FALSE(noDatabase.ok());
  EXPECT_EQ(noDatabase.error().code, 29001);

  auto config = QZMRemoteConfig::initWithAppID("1:1234:ios:abcd", *database, persisted, nullptr);
  ASSERT_TRUE(config.ok());
  EXPECT_EQ((*config)->appID(), "1:1234:ios:abcd");
  EXPECT_FALSE((*config)->isDefaultInstance());
  EXPECT_TRUE((*config)->isExpired());
  EXPECT_TRUE((*config)->isDMARegion());
  // The default instance has no fetch to be old.
  EXPECT_FALSE(QZMRemoteConfig::defaultInstance()->isExpired());
  EXPECT_EQ(linesWithCode(29007).size(), 1u);
}

TEST(SettingsText, OnlyPlainDecimalsAreNumbers) {
  struct Case {
    std::string text;
    std::optional<double> number;
  } cases[] = {
      {"12", 12},
      {"-0.5", -0.5},
      {"+7", 7},
      {".5", 0.5},
      {"12.", 12},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"1e5", std::nullopt},
      {"1,5", std::nullopt},
      {"inf", std::nullopt},
      {"NaN", std::nullopt},
      {std::string(400, '9'), std::nullopt},
      {"5 ", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMMeasurementSettings::numberFromString(c.text), c.number) << c.text;
}

// The worker queue may still read its limits while the program ends.
TEST(ProcessExit, AWorkerStillReadingSettingsFindsTheDefaultsInPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        race.exitWhileRunning([] {
          auto config = std::make_shared<QZMRemoteConfig>();
          config->resetSettings();
          (void)config->uploadingInterval();
          (void)QZMRemoteConfig::defaultInstance()->maxEventsStored();
        });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
