#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace {

using foundation::Dictionary;
using foundation::Object;
using testkit::FoundationTest;
using testkit::settle;

class PersistedConfig : public FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    config = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
    ASSERT_TRUE(config);
  }
  void TearDown() override {
    config.reset();
    FoundationTest::TearDown();
  }
  // Lets the store go (its file is written at once) and opens it again as a
  // new launch would.
  void relaunch() {
    config.reset();
    home->relaunch();
    config = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
    ASSERT_TRUE(config);
  }
  Dictionary file() {
    auto read = foundation::readPropertyListDictionary(QZMApplicationSupportPlistPath(kQZMPersistedConfigSuiteName));
    return read ? *read : Dictionary{};
  }

  std::shared_ptr<QZMPersistedConfig> config;
};

TEST_F(PersistedConfig, NamedSettingsAreStoredUnderTheirKeysAndSurviveARelaunch) {
  using C = QZMPersistedConfig;
  struct Case {
    const char* key;
    Object stored;
    std::function<void(C&)> set;
    std::function<bool(C&)> readsBack;
  } cases[] = {
      {"last_delete_stale", 1.5e9, [](C& c) { c.setLastDeleteStaleBundlesTimestamp(1.5e9); },
       [](C& c) { return c.lastDeleteStaleBundlesTimestamp() == 1.5e9; }},
      {"search_ad_number_of_retries", 3, [](C& c) { c.setSearchAdRetryCount(3); },
       [](C& c) { return c.searchAdRetryCount() == 3; }},
      {"app_instance_id", "4E2A", [](C& c) { c.setAppInstanceID("4E2A"); },
       [](C& c) { return c.appInstanceID() == "4E2A"; }},
      {"dxv_app_id", "1:123:ios:ab", [](C& c) { c.setAppIDFromDXV("1:123:ios:ab"); },
       [](C& c) { return c.appIDFromDXV() == "1:123:ios:ab"; }},
      {"hashed_idfa", "9f", [](C& c) { c.setHashedResettableDeviceID("9f"); },
       [](C& c) { return c.hashedResettableDeviceID() == "9f"; }},
      {"last_backoff", 12.25, [](C& c) { c.setLastBackoffTimestamp(12.25); },
       [](C& c) { return c.lastBackoffTimestamp() == 12.25; }},
      {"os_version", "6.1", [](C& c) { c.setOsVersion("6.1"); }, [](C& c) { return c.osVersion() == "6.1"; }},
      {"first_open_timestamp_ms", 1700000000123LL, [](C& c) { c.setFirstOpenTimestampMilliseconds(1700000000123LL); },
       [](C& c) { return c.firstOpenTimestampMilliseconds() == 1700000000123LL; }},
      {"last_modified_since_key", "Tue, 11 Jun 2024", [](C& c) { c.setConfigServerLastModifiedString("Tue, 11 Jun 2024"); },
       [](C& c) { return c.configServerLastModifiedString() == Object("Tue, 11 Jun 2024"); }},
      {"config_dxv_version", 111400, [](C& c) { c.setConfigDXVVersion(111400); },
       [](C& c) { return c.configDXVVersion() == 111400; }},
      {"load_timestamp", 1.7e9, [](C& c) { c.setLoadTimestampValue(Object(1.7e9)); },
       [](C& c) { return c.loadTimestampValue() == Object(1.7e9); }},
      {"allow_personalized_ads", true, [](C& c) { c.setAllowPersonalizedAds(Object(true)); },
       [](C& c) { return c.allowPersonalizedAds() == Object(true); }},
      {"deep_link_retry_count", 2, [](C& c) { c.setDeferredDeepLinkRetryCount(2); },
       [](C& c) { return c.deferredDeepLinkRetryCount() == 2; }},
      {"set_last_advertising_id_reset", 1, [](C& c) { c.setShouldSetLastAdvertisingIDResetUserProperty(true); },
       [](C& c) { return c.shouldSetLastAdvertisingIDResetUserProperty(); }},
      {"unmatched_first_open", 1, [](C& c) { c.setUnmatchedFirstOpenWithoutIDFA(true); },
       [](C& c) { return c.unmatchedFirstOpenWithoutIDFA(); }},
      {"previous_first_open_count", 4, [](C& c) { c.setPreviousFirstOpenCount(Object(4)); },
       [](C& c) { return c.previousFirstOpenCount() == Object(4); }},
      {"ad_campaign_info_buffer", foundation::Data{1, 2}, [](C& c) { c.setAdCampaignInfoBuffer(Object(foundation::Data{1, 2})); },
       [](C& c) { return c.adCampaignInfoBuffer() == Object(foundation::Data{1, 2}); }},
      {"last_engagement_end", 99.5, [](C& c) { c.setLastSessionActivityClockTime(99.5); },
       [](C& c) { return c.lastSessionActivityClockTime() == 99.5; }},
      {"session_number", 8, [](C& c) { c.setSessionNumber(8); }, [](C& c) { return c.sessionNumber() == 8; }},
      {"session_timeout", 1800, [](C& c) { c.setSessionTimeoutValue(Object(1800)); },
       [](C& c) { return c.sessionTimeoutValue() == Object(1800); }},
      {"default_event_parameters", Dictionary{{"level", 3}},
       [](C& c) { c.setDefaultEventParameters(Dictionary{{"level", 3}}); },
       [](C& c) { return c.defaultEventParameters() == Dictionary{{"level", 3}}; }},
      {"last_monitor_data_sampled_timestamp", 5.0, [](C& c) { c.setLastMonitorDataSampledTimestamp(5.0); },
       [](C& c) { return c.lastMonitorDataSampledTimestamp() == 5.0; }},
      {"skan_evaluation_update_backoff_millis", 250, [](C& c) { c.setSKANEvaluationUpdateBackoffMillis(250); },
       [](C& c) { return c.SKANEvaluationUpdateBackoffMillis() == 250; }},
  };
  for (const auto& c : cases) {
    c.set(*config);
    EXPECT_TRUE(c.readsBack(*config)) << c.key;
  }
  relaunch();
  Dictionary stored = file();
  for (const auto& c : cases) {
    std::string key = std::string("/dralix/measurement/") + c.key;
    EXPECT_EQ(stored.count(key) ? stored.at(key) : Object(), c.stored) << key;
    EXPECT_TRUE(c.readsBack(*config)) << c.key;
  }
  // Setting nothing removes the value.
  config->setAppInstanceID(std::nullopt);
  config->setDefaultEventParameters(std::nullopt);
  config->setLoadTimestampValue(std::nullopt);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  EXPECT_EQ(config->defaultEventParameters(), std::nullopt);
  EXPECT_EQ(config->loadTimestampValue(), std::nullopt);
}

TEST_F(PersistedConfig, ABurstOfWritesLeadsToOneSynchronisationASecondAfterTheLast) {
  for (int i = 0; i < 10; ++i) {
    config->setSessionNumber(i);
    clock->advance(0.01);
  }
  settle(config->serialQueue());
  EXPECT_EQ(config->synchronizeCount(), 0);
  clock->advance(0.95);
  settle(config->serialQueue());
  EXPECT_EQ(config->synchronizeCount(), 0);
  clock->advance(0.1);
  settle(config->serialQueue());
  EXPECT_EQ(config->synchronizeCount(), 1);
  clock->advance(10);
  settle(config->serialQueue());
  EXPECT_EQ(config->synchronizeCount(), 1);
  // The file itself follows within about a second of the first write.
  settle(config->userDefaults()->serialQueue());
  EXPECT_EQ(file().at("/dralix/measurement/session_number"), Object(9));
}

TEST_F(PersistedConfig, WritingToDiskNowTakesThePlaceOfTheDelayedWritesOnAnyThread) {
  // The clock stands still: no delayed write can run.
  config->setSessionNumber(3);
  config->setLoadTimestampValue(Object(1'700'000'000.5));
  config->setLoadTimestampValue(std::nullopt);
  // On the main thread, where the delayed form only schedules itself again.
  config->synchronizeToDiskNow();
  Dictionary written = file();
  EXPECT_EQ(written.at("/dralix/measurement/session_number"), Object(3));
  EXPECT_EQ(written.count("/dralix/measurement/load_timestamp"), 0u);
  EXPECT_EQ(config->synchronizeCount(), 1);
  clock->advance(5);
  settle(config->serialQueue());
  EXPECT_EQ(config->synchronizeCount(), 1);

  // From another thread; a store with nothing new makes no file.
  config->setSessionNumber(4);
  auto untouched = QZMPersistedConfig::initWithSuiteName("untouched");
  ASSERT_TRUE(untouched);
  std::thread([&] {
    config->synchronizeToDiskNow();
    untouched->synchronizeToDiskNow();
  }).join();
  EXPECT_EQ(file().at("/dralix/measurement/session_number"), Object(4));
  EXPECT_FALSE(foundation::fileExists(QZMApplicationSupportPlistPath("untouched")));
}

TEST_F(PersistedConfig, MidnightOffsetIsDrawnOnceInWholeMillisecondsAndKept) {
  utilities->scriptUniformRandom({86'399'999, 5});
  double offset = config->midnightOffset();
  EXPECT_DOUBLE_EQ(offset, 86399.999);
  // On disk at once, not a second later: a killed process keeps its days.
  EXPECT_EQ(file().at("/dralix/measurement/midnight_offset"), Object(offset));
  EXPECT_EQ(config->midnightOffset(), offset);
  relaunch();
  EXPECT_EQ(config->midnightOffset(), offset);

  // Drawn by the generator: within a day, with at most three decimals.
  config->clearValues();
  utilities->seed(7);
  double drawn = config->midnightOffset();
  EXPECT_GE(drawn, 0.0);
  EXPECT_LT(drawn, 86400.0);
  EXPECT_DOUBLE_EQ(std::round(drawn * 1000) / 1000, drawn);
}

TEST_F(PersistedConfig, ConcurrentFirstReadsOfTheMidnightOffsetAgreeWithWhatIsKept) {
  for (int round = 0; round < 10; ++round) {
    config->clearValues();
    constexpr int kReaders = 8;
    std::vector<double> seen(kReaders);
    std::atomic<int> ready{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
      readers.emplace_back([&, i] {
        ++ready;
        for (long spin = 0; ready < kReaders && spin < 100'000'000; ++spin) std::this_thread::yield();
        seen[i] = config->midnightOffset();
      });
    }
    for (auto& reader : readers) reader.join();
    const double kept = config->midnightOffset();
    for (double offset : seen) ASSERT_EQ(offset, kept) << "round " << round;
  }
}

TEST_F(PersistedConfig, ValuesOfAnotherTypeReadAsEmpty) {
  config->setString("12", "/dralix/measurement/session_number");
  config->setInt64(5, "/dralix/measurement/app_instance_id");
  config->setInt64(7, "/dralix/measurement/set_last_advertising_id_reset");
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_EQ(config->int64ForKey("/dralix/measurement/session_number"), 0);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());
  // The raw number accessor answers whatever is stored.
  EXPECT_EQ(config->numberForKey("/dralix/measurement/session_number"), Object("12"));

  // An empty key reads as empty without a word; the raw accessor lets the
  // dictionary refuse it.
  EXPECT_EQ(config->int64ForKey(""), 0);
  EXPECT_EQ(config->stringForKey(""), std::nullopt);
  EXPECT_TRUE(utilities->lines().empty());
  EXPECT_EQ(config->numberForKey(""), std::nullopt);
  ASSERT_EQ(utilities->lines().size(), 1u);
  EXPECT_EQ(utilities->lines()[0].messageCode, "I-ACS043001");
}

TEST_F(PersistedConfig, SearchAdCampaignValueKeepsNumbersOnly) {
  config->setSearchAdCampaignValue(Object(true));
  config->setSearchAdCampaignValue(Object("yes"));
  config->setSearchAdCampaignValue(std::nullopt);
  EXPECT_EQ(config->searchAdCampaignValue(), Object(true));
}

TEST_F(PersistedConfig, RefusedValuesChangeNothing) {
  config->setDefaultEventParameters(Dictionary{{"a", 1}});
  config->setDefaultEventParameters(Dictionary{{"a", foundation::Array{Object()}}});
  EXPECT_EQ(config->defaultEventParameters(), (Dictionary{{"a", 1}}));
  auto lines = linesWithCode(27002);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].message, "Unsupported value passed in dictionary");

  config->setSessionTimeoutValue(Object(1800));
  config->setSessionTimeoutValue(Object("1800"));
  EXPECT_EQ(config->sessionTimeoutValue(), Object(1800));
}

TEST_F(PersistedConfig, CollectionSwitchLivesInTheSharedSuiteAndOutlivesClearing) {
  config->setMeasurementEnabledState(2);
  config->setAppInstanceID("A");
  EXPECT_EQ(config->measurementEnabledState(), 2);
  EXPECT_EQ(QZMUserDefaults::sharedUserDefaults()->integerForKey("/dralix/measurement/measurement_enabled_state"), 2);
  config->clearValues();
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  EXPECT_EQ(config->measurementEnabledState(), 2);
  relaunch();
  EXPECT_EQ(file().count("/dralix/measurement/app_instance_id"), 0u);
  EXPECT_EQ(config->measurementEnabledState(), 2);
}

TEST_F(PersistedConfig, AnOldPreferencesFileBecomesTheStore) {
  config.reset();
  const std::string suite = "com.example.old.settings";
  const std::string oldPath = QZMPreferencesPlistPath(suite);
  ASSERT_TRUE(foundation::writePropertyListFile(
      oldPath, Object(Dictionary{{"/dralix/measurement/app_instance_id", "FROM-PREFERENCES"}})));
  auto moved = QZMPersistedConfig::initWithSuiteName(suite);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->appInstanceID(), "FROM-PREFERENCES");
  EXPECT_FALSE(foundation::fileExists(oldPath));
  EXPECT_EQ(QZMPersistedConfig::initWithSuiteName(""), nullptr);
}

TEST_F(PersistedConfig, WithoutItsFolderTheStoreKeepsWorkingInMemory) {
  config.reset();
  ASSERT_TRUE(foundation::removeItem(foundation::Paths::applicationSupportDirectory() + "/Dralix"));
  ASSERT_TRUE(foundation::writeFileAtomically(foundation::Paths::applicationSupportDirectory() + "/Dralix",
                                              std::string_view("x")));
  auto unfiled = QZMPersistedConfig::initWithSuiteName("unfiled");
  ASSERT_TRUE(unfiled);
  unfiled->setAppInstanceID("KEPT");
  EXPECT_EQ(unfiled->appInstanceID(), "KEPT");
}

TEST_F(PersistedConfig, SharedInstanceIsTheMeasurementSuite) {
  auto shared = QZMPersistedConfig::sharedInstance();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, QZMPersistedConfig::sharedInstance());
  EXPECT_EQ(shared->name(), "com.dralix.dxv.measurement");
  EXPECT_EQ(shared->userDefaults()->filePath(),
            foundation::Paths::applicationSupportDirectory() + "/Dralix/Measurement/com.dralix.dxv.measurement.plist");
}

}  // namespace
