// The engine's instance and its start: creation once per process, enabling
// and disabling on the worker queue, the fixed order of the first start and
// what a failed start leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/consent/QZMTCFClient.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/Files.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

// An engine that records the steps of its first start and can fail them.
class RecordingEngine : public QZMMeasurement {
 public:
  RecordingEngine(std::string appID, std::shared_ptr<QZMPersistedConfig> config, bool enabled, bool deactivated,
                  std::shared_ptr<QZMScheduler> scheduler)
      : QZMMeasurement(kQZMDatabaseFileName, config, nullptr, scheduler,
                       QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName),
                       std::move(appID), enabled, deactivated, std::nullopt, nullptr) {}

  static std::shared_ptr<RecordingEngine> make(std::string appID, bool enabled = true, bool deactivated = false,
                                               int databaseFailures = 0) {
    auto scheduler = QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel);
    auto engine = std::make_shared<RecordingEngine>(std::move(appID), QZMPersistedConfig::sharedInstance(), enabled,
                                                    deactivated, scheduler);
    engine->databaseFailures = databaseFailures;
    engine->finishInitialization();
    return engine;
  }

  std::vector<std::string> steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }
  void clearSteps() {
    std::lock_guard lock(mutex_);
    steps_.clear();
  }
  // The number of database openings still to fail.
  std::atomic<int> databaseFailures{0};
  std::atomic<bool> startedOffWorkerQueue{false};

  foundation::Status startMeasurementOnWorkerQueue() override {
    if (!scheduler()->isOnWorkerQueue()) startedOffWorkerQueue = true;
    record("start");
    return QZMMeasurement::startMeasurementOnWorkerQueue();
  }
  void setProspectiveConsentSettings() override {
    record("consent");
    QZMMeasurement::setProspectiveConsentSettings();
  }
  void updatePersistedAppIDFromDXV() override {
    record("platform app ID");
    QZMMeasurement::updatePersistedAppIDFromDXV();
  }
  void tcfClientSetConsentFromData() override {
    record("TCF consent");
    QZMMeasurement::tcfClientSetConsentFromData();
  }

 protected:
  std::shared_ptr<QZMIdentity> makeIdentity() override {
    record("identity");
    return QZMMeasurement::makeIdentity();
  }
  foundation::Result<std::shared_ptr<QZMDatabase>> makeDatabase() override {
    record("database");
    if (databaseFailures > 0) {
      --databaseFailures;
      return foundation::Error("SQLite", 5, "database is locked");
    }
    return QZMMeasurement::makeDatabase();
  }
  foundation::Result<std::shared_ptr<QZMRemoteConfig>> makeRemoteConfig() override {
    record("remote configuration");
    return QZMMeasurement::makeRemoteConfig();
  }
  foundation::Status makeAudience() override {
    record("audiences");
    return QZMMeasurement::makeAudience();
  }
  std::shared_ptr<QZMTCFClient> makeTCFClient() override {
    record("TCF client");
    return QZMMeasurement::makeTCFClient();
  }

 private:
  void record(std::string step) {
    std::lock_guard lock(mutex_);
    steps_.push_back(std::move(step));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> steps_;
};

class EngineStartup : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    QZMConsentSettingsUtil::clearAllSettings();
    QZMAnalytics::resetForTests();
    // Not started: no experiments fetch leaves a test.
    QZMEManager::setSharedInstance(QZMEManager::init());
  }

  void TearDown() override {
    if (engine) drain(engine);
    engine.reset();
    QZMMeasurementBase::setSharedInstance(nullptr);
    QZMIdentity::setSharedInstance(nullptr);
    QZMEManager::setSharedInstance(nullptr);
    QZMConsentSettingsUtil::clearAllSettings();
    FoundationTest::TearDown();
  }

  // Runs the worker queue until the enabling, and the disabling a failed
  // start queues behind it, have run.
  static void drain(const std::shared_ptr<QZMMeasurement>& measurement) {
    for (int i = 0; i < 3; ++i) testkit::settle(measurement->scheduler()->workerQueue());
  }

  static std::string databasePath() { return QZMApplicationSupportFilePath(kQZMDatabaseFileName); }

  std::shared_ptr<RecordingEngine> engine;
};

TEST_F(EngineStartup, TheFirstStartMakesTheComponentsInTheirFixedOrder) {
  QZMIdentifiers::sharedInstance()->setOrigin(kQZMOriginZarnholt);
  engine = RecordingEngine::make("1:1234:ios:abcd");
  drain(engine);

  EXPECT_EQ(engine->steps(), (std::vector<std::string>{"start", "identity", "consent", "platform app ID", "database",
                                                        "remote configuration", "audiences", "TCF client",
                                                        "TCF consent"}));
  EXPECT_FALSE(engine->startedOffWorkerQueue);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  ASSERT_NE(engine->database(), nullptr);
  EXPECT_EQ(engine->database()->databasePath(), databasePath());
  EXPECT_TRUE(foundation::fileExists(databasePath()));
  ASSERT_NE(engine->remoteConfigInstance(), nullptr);
  EXPECT_EQ(engine->remoteConfigInstance()->appID(), "1:1234:ios:abcd");
  EXPECT_NE(engine->tcfClient(), nullptr);
  EXPECT_EQ(engine->identity(), QZMIdentity::sharedInstance());
  // Under the core framework's origin the app's ID is the platform app ID.
  EXPECT_EQ(engine->persistedConfig()->appIDFromDXV(), "1:1234:ios:abcd");

  // Ready before the switch-on is announced, each once.
  auto lines = monitorLines();
  auto position = [&](std::int64_t code) {
    return std::find_if(lines.begin(), lines.end(), [&](const auto& line) { return line.messageCode == code; }) -
           lines.begin();
  };
  EXPECT_EQ(linesWithCode(23016).size(), 1u);
  EXPECT_EQ(linesWithCode(23012).size(), 1u);
  EXPECT_LT(position(23016), position(23012));
  EXPECT_TRUE(linesWithCode(23011).empty());
}

TEST_F(EngineStartup, EnablingAndDisablingRunOnTheWorkerQueueAndMakeTheComponentsOnce) {
  engine = RecordingEngine::make("1:1234:ios:abcd");
  drain(engine);
  ASSERT_TRUE(engine->isEnabled());
  // The first switch was remembered as the app's deferred choice (on) until
  // the first open reported it.
  EXPECT_EQ(QZMAnalytics::deferredAnalyticsCollection(), std::nullopt);
  engine->alarm()->runAfterDelay(3600, [] {});
  ASSERT_TRUE(engine->alarm()->scheduledTimestamp());

  engine->setEnabled(false);
  drain(engine);
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->alarm()->scheduledTimestamp());
  EXPECT_EQ(linesWithCode(23013).size(), 1u);
  EXPECT_TRUE(engine->didInitializeComponents());
  auto database = engine->database();
  EXPECT_NE(database, nullptr);

  engine->clearSteps();
  engine->setEnabled(true);
  drain(engine);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_EQ(engine->steps(), std::vector<std::string>{"start"});
  EXPECT_EQ(engine->database(), database);
  EXPECT_EQ(linesWithCode(23012).size(), 2u);
  EXPECT_FALSE(engine->startedOffWorkerQueue);
  // Only the first switch after the first open is remembered: off.
  EXPECT_EQ(QZMAnalytics::deferredAnalyticsCollection(), Object(1));
}

TEST_F(EngineStartup, TheHostOptionThePersistedStateAndDeactivationDecideTheFirstSwitch) {
  struct Case {
    bool deactivated;
    std::int64_t persistedState;
    bool hostOption;
    bool expected;
  };
  const Case cases[] = {
      {false, 0, true, true},  {false, 0, false, false}, {false, 1, false, true},
      {false, 2, true, false}, {true, 1, true, false},   {true, 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "deactivated " << c.deactivated << ", state " << c.persistedState
                                    << ", option " << c.hostOption);
    clearMonitorLines();
    QZMPersistedConfig::sharedInstance()->setMeasurementEnabledState(c.persistedState);
    auto measurement = RecordingEngine::make("1:1234:ios:abcd", c.hostOption, c.deactivated);
    EXPECT_EQ(measurement->shouldEnableMeasurement(), c.expected);
    EXPECT_EQ(measurement->wasEnabledDuringInitialization(), c.expected);
    drain(measurement);
    EXPECT_EQ(measurement->isEnabled(), c.expected);
    EXPECT_EQ(measurement->didInitializeComponents(), c.expected);

    if (c.deactivated) {
      // Enabling cannot undo the host's deactivation.
      measurement->setEnabled(true);
      drain(measurement);
      EXPECT_FALSE(measurement->isEnabled());
      EXPECT_EQ(linesWithCode(23206).size(), 1u);
      EXPECT_FALSE(QZMAnalytics::deferredAnalyticsCollection());
    }
    QZMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  }
}

TEST_F(EngineStartup, AnEmptyAppIDMakesNoEngineAndNoLaterCallMakesOne) {
  utilities->addClass("ZNHAnalytics");
  auto warnings = [&] {
    std::size_t count = 0;
    for (const auto& line : utilities->lines()) count += line.messageCode == "I-ACS023147";
    return count;
  };
  EXPECT_EQ(QZMMeasurement::sharedInstance(), nullptr);
  EXPECT_EQ(warnings(), 1u);

  QZMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
  EXPECT_FALSE(QZMMeasurement::hasSharedInstance());
  EXPECT_EQ(linesWithCode(23170).size(), 1u);
  QZMMeasurement::initializeSharedInstanceWithAppID("1:1234:ios:abcd", true, false, std::nullopt);
  EXPECT_FALSE(QZMMeasurement::hasSharedInstance());
  EXPECT_EQ(QZMMeasurement::sharedInstance(), nullptr);
  // Once creation was tried, nobody is told to configure the app again.
  EXPECT_EQ(warnings(), 1u);
  EXPECT_EQ(QZMMeasurement::remoteConfig(), QZMRemoteConfig::defaultInstance());

  EXPECT_EQ(QZMMeasurement::initWithAppID("", true, false, std::nullopt, nullptr), nullptr);
  EXPECT_EQ(linesWithCode(23170).size(), 2u);
}

TEST_F(EngineStartup, TwoThreadsCreatingTheEngineAtOnceMakeOne) {
  std::barrier start(2);
  auto create = [&] {
    start.arrive_and_wait();
    QZMMeasurement::initializeSharedInstanceWithAppID("1:1234:ios:abcd", true, false, std::nullopt);
  };
  std::thread first(create);
  std::thread second(create);
  first.join();
  second.join();

  auto shared = QZMMeasurement::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(linesWithCode(23007).size(), 1u);
  drain(shared);
  EXPECT_TRUE(shared->didInitializeComponents());
  // The running engine's configuration is the one every component reads.
  EXPECT_EQ(QZMMeasurement::remoteConfig(), shared->remoteConfigInstance());
  EXPECT_EQ(QZMRemoteConfig::current(), shared->remoteConfigInstance());
}

TEST_F(EngineStartup, ADatabaseThatOpensAtTheSecondAttemptIsAccepted) {
  engine = RecordingEngine::make("1:1234:ios:abcd", true, false, /*databaseFailures=*/1);
  drain(engine);
  auto steps = engine->steps();
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "database"), 2);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_TRUE(linesWithCode(23011).empty());
}

TEST_F(EngineStartup, AFailedStartIsLoggedWithItsErrorAndLeavesNothingHalfStarted) {
  struct Case {
    const char* name;
    std::string appID;
    int databaseFailures;
    std::string expectedError;
  };
  const Case cases[] = {
      {"database never opens", "1:1234:ios:abcd", 1000, "SQLite 5: database is locked"},
      {"configuration refused", "", 0, "Cannot init remote configuration without valid Dralix App ID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMonitorLines();
    auto measurement = RecordingEngine::make(c.appID, true, false, c.databaseFailures);
    drain(measurement);

    auto failures = linesWithCode(23011);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].level, 0);
    ASSERT_EQ(failures[0].contexts.size(), 1u);
    EXPECT_NE(failures[0].contexts[0].find(c.expectedError), std::string::npos) << failures[0].contexts[0];
    EXPECT_EQ(linesWithCode(23013).size(), 1u);
    EXPECT_TRUE(linesWithCode(23012).empty());
    EXPECT_FALSE(measurement->isEnabled());
    EXPECT_FALSE(measurement->didInitializeComponents());
    EXPECT_EQ(measurement->database(), nullptr);
    EXPECT_EQ(measurement->remoteConfigInstance(), nullptr);
    EXPECT_EQ(measurement->tcfClient(), nullptr);
  }

  // The next enabling tries the whole start again.
  engine = RecordingEngine::make("1:1234:ios:abcd", true, false, 1000);
  drain(engine);
  ASSERT_FALSE(engine->isEnabled());
  engine->databaseFailures = 0;
  engine->setEnabled(true);
  drain(engine);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_NE(engine->database(), nullptr);
}

TEST_F(EngineStartup, DataIsDueForAWipeAfterAnUnfinishedResetOrAChangedPlatformAppID) {
  struct Case {
    std::int64_t retryCount;
    std::optional<std::string> fromIdentity;
    std::optional<std::string> persisted;
    bool expected;
  };
  const Case cases[] = {
      {0, "a", "a", false},          {0, "a", "b", true},   {0, std::nullopt, "b", false},
      {0, "a", std::nullopt, false}, {0, "", "b", false},   {1, "a", "a", true},
      {3, std::nullopt, std::nullopt, true}, {9, "a", "a", true}, {10, "a", "a", false},
      {-1, "a", "a", false},
  };
  engine = RecordingEngine::make("1:1234:ios:abcd");
  // Its own start reads and resets the count.
  drain(engine);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "retries " << c.retryCount << ", " << c.fromIdentity.value_or("(nil)")
                                    << " vs " << c.persisted.value_or("(nil)"));
    QZMAnalytics::settingsStore()->setInteger(c.retryCount, kQZMResetRetryCountKey);
    EXPECT_EQ(engine->shouldWipeDataWithAppID("ignored", c.fromIdentity, c.persisted), c.expected);
  }
}

TEST_F(EngineStartup, StartPicksTheHighestRankingConsentKnown) {
  const Dictionary granted = {{"ad_storage", "granted"}};
  const Dictionary denied = {{"ad_storage", "denied"}};
  struct Case {
    const char* name;
    QZMConsentSource current;
    std::optional<Dictionary> tcf;
    std::optional<Dictionary> host;
    std::optional<Dictionary> start;
    bool plistGranted;
    bool publicAPI;
    std::optional<Dictionary> expectedSettings;
    QZMConsentSource expectedSource;
  };
  const Case cases[] = {
      {"TCF alone", kQZMConsentSourceUnset, granted, {}, {}, false, false, granted, kQZMConsentSourceTCF},
      {"the host's call keeps TCF out", kQZMConsentSourceUnset, granted, denied, {}, false, false, denied,
       kQZMConsentSourceAPI},
      {"TCF again over its own source", kQZMConsentSourceTCF, granted, denied, {}, false, false, granted,
       kQZMConsentSourceTCF},
      {"the property list", kQZMConsentSourceUnset, {}, {}, denied, true, false, granted,
       kQZMConsentSourceInfoPlist},
      {"start settings", kQZMConsentSourceUnset, {}, {}, denied, false, false, denied, kQZMConsentSourceFirstParty},
      {"first-party consent ends under the public API", kQZMConsentSourceOtherKey, {}, {}, denied, false, true,
       std::nullopt, kQZMConsentSourceUnset},
      {"lower-ranking start settings change nothing", kQZMConsentSourceAPI, {}, {}, denied, false, false,
       std::nullopt, kQZMConsentSourceAPI},
  };
  engine = RecordingEngine::make("1:1234:ios:abcd", /*enabled=*/false);
  drain(engine);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QZMAnalytics::clearConsent();
    if (c.current != kQZMConsentSourceUnset) QZMConsentSettingsUtil::setConsentSource(c.current);
    auto store = QZMAnalytics::settingsStore();
    if (c.tcf) store->setObject(Object(*c.tcf), kQZMConsentSettingsTCFKey);
    if (c.host) store->setObject(Object(*c.host), kQZMConsentSettings3PKey);
    if (c.start) store->setObject(Object(*c.start), kQZMConsentSettingsOnStartKey);
    Dictionary info;
    if (c.plistGranted) info["DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE"] = true;
    home->setInfoPlist(info);
    if (c.publicAPI) utilities->addClass("ZNHAnalytics");

    engine->setProspectiveConsentSettings();
    EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), c.expectedSource);
    if (c.expectedSettings) {
      EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), c.expectedSettings);
      EXPECT_EQ(QZMAnalytics::persistedConsentSource(), c.expectedSource);
    } else if (c.publicAPI) {
      // Forgotten, persisted keys too.
      EXPECT_FALSE(store->objectForKey(kQZMConsentSettingsOnStartKey));
      EXPECT_EQ(QZMAnalytics::persistedConsentSource(), kQZMConsentSourceUnset);
    }
  }
}

TEST_F(EngineStartup, TheFirstStartAppliesAnAppInstanceIDLeftByAResetAndDropsStaleRollouts) {
  QZMAnalytics::setAppInstanceIDAfterReset("0123456789abcdef0123456789abcdef");
  QZMAnalytics::settingsStore()->setObject(Object(Dictionary{{"ad_storage", "granted"}}),
                                           kQZMConsentSettingsOnStartKey);
  auto config = QZMPersistedConfig::sharedInstance();
  config->setZarnholtFeatureRollouts("rollouts");
  config->setAppIDFromVornad("old");

  engine = RecordingEngine::make("1:1234:ios:abcd");
  drain(engine);
  ASSERT_TRUE(engine->didInitializeComponents());
  EXPECT_EQ(engine->identity()->appInstanceID(), "0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(QZMAnalytics::appInstanceIDAfterReset());
  EXPECT_FALSE(QZMAnalytics::consentSettings1PStart());
  EXPECT_FALSE(config->zarnholtFeatureRollouts());
  EXPECT_FALSE(config->appIDFromVornad());

  // With the remote-config SDK in the process its rollouts stay.
  utilities->addClass("ZNHRemoteConfig");
  config->setZarnholtFeatureRollouts("rollouts");
  auto other = RecordingEngine::make("1:1234:ios:abcd");
  drain(other);
  EXPECT_EQ(config->zarnholtFeatureRollouts(), "rollouts");
}

TEST_F(EngineStartup, TheLoadTimeIsKeptUntilTheFirstOpenIsReported) {
  QZMAnalytics::setLoadTimestamp(1000);
  auto config = QZMPersistedConfig::sharedInstance();
  engine = RecordingEngine::make("1:1234:ios:abcd", false);
  EXPECT_EQ(engine->initTimestamp(), 1000);
  EXPECT_EQ(config->loadTimestampValue(), Object(1000.0));

  // A later launch that has not reported its first open keeps the first time.
  QZMAnalytics::setLoadTimestamp(2000);
  auto relaunched = RecordingEngine::make("1:1234:ios:abcd", false);
  EXPECT_EQ(relaunched->initTimestamp(), 1000);
  drain(relaunched);
}

TEST_F(EngineStartup, ScreenReportingIsAnnouncedUnlessTheInfoPlistTurnsItOff) {
  struct Case {
    Dictionary info;
    bool announced;
  };
  const Case cases[] = {
      {{}, true},
      {{{"ZarnholtScreenReportingEnabled", false}}, false},
      {{{"ZarnholtAutomaticScreenReportingEnabled", false}}, false},
      {{{"ZarnholtScreenReportingEnabled", true}, {"ZarnholtAutomaticScreenReportingEnabled", false}}, true},
      {{{"ZarnholtScreenReportingEnabled", "NO"}}, true},
  };
  utilities->addClass("ZNHAnalytics");
  for (const Case& c : cases) {
    SCOPED_TRACE(Object(c.info).description());
    home->setInfoPlist(c.info);
    clearMonitorLines();
    auto measurement = RecordingEngine::make("1:1234:ios:abcd");
    drain(measurement);
    ASSERT_TRUE(measurement->isEnabled());
    EXPECT_EQ(linesWithCode(23220).size(), c.announced ? 1u : 0u);
  }
}

TEST_F(EngineStartup, TheEngineAnnouncesItsVersionAndTheLoggingSwitches) {
  struct Case {
    bool publicAPI;
    std::string version;
    std::string debugHint;
  };
  const Case cases[] = {
      {false, "Analytics v.111400000 started", "application argument: -QZMAnalyticsDebugEnabled"},
      {true, "Analytics v.11.14.0 started", "application argument: -ZNHAnalyticsDebugEnabled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    clearMonitorLines();
    if (c.publicAPI) utilities->addClass("ZNHAnalytics");
    auto measurement = QZMMeasurement::initWithAppID("1:1234:ios:abcd", false, false, std::nullopt, nullptr);
    ASSERT_NE(measurement, nullptr);
    drain(measurement);
    ASSERT_EQ(linesWithCode(23007).size(), 1u);
    EXPECT_EQ(linesWithCode(23007)[0].message, c.version);
    EXPECT_EQ(linesWithCode(23222).size(), c.publicAPI ? 1u : 0u);
    ASSERT_EQ(linesWithCode(23008).size(), 1u);
    EXPECT_NE(linesWithCode(23008)[0].message.find(c.debugHint), std::string::npos);
    EXPECT_EQ(linesWithCode(23009).size(), 1u);
    EXPECT_EQ(linesWithCode(23207).size(), 1u);
    EXPECT_EQ(measurement->scheduler()->workerQueue()->label(), kQZMWorkerQueueLabel);
    EXPECT_EQ(measurement->alarm()->name(), kQZMMeasurementTimerName);
    EXPECT_EQ(measurement->databaseName(), kQZMDatabaseFileName);
    EXPECT_NE(measurement->network(), nullptr);
  }
}

TEST_F(EngineStartup, NetworkLogLinesReachTheMonitorAtItsLevels) {
  engine = RecordingEngine::make("1:1234:ios:abcd", false);
  const std::pair<int, std::int64_t> levels[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {2, 3}, {8, 3}};
  for (auto [networkLevel, monitorLevel] : levels) {
    SCOPED_TRACE(networkLevel);
    clearMonitorLines();
    engine->DRKNetwork_logWithLevel(networkLevel, 901001, "network line");
    auto lines = linesWithCode(901001);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, monitorLevel);
    EXPECT_EQ(lines[0].message, "network line");
  }
  clearMonitorLines();
  engine->DRKNetwork_logWithLevel(4, 901002, "with context", {QZMLogContext("host")});
  ASSERT_EQ(linesWithCode(901002).size(), 1u);
  EXPECT_EQ(linesWithCode(901002)[0].contexts, std::vector<std::string>{"host"});
}

}  // namespace
