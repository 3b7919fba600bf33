// What the engine reports when it starts: the first open with its times,
// the campaign link stored at launch, app and OS updates, the "_npa"
// property and the launch session of a prewarmed launch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/SeenEventsTestKit.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/store/StoreKit.h"
#include "platform/ui/Application.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr std::int64_t kHour = 3'600'000;

TEST(HourRounding, MovesToTheNextWholeHourEvenFromAnExactOne) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t milliseconds;
    std::int64_t expected;
  } cases[] = {
      {10 * kHour + 20 * 60'000 + 30'500, 11 * kHour},
      {10 * kHour, 11 * kHour},
      {10 * kHour - 1, 10 * kHour},
      {0, kHour},
      {-1, kHour},
      {kMax, kMax},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QZMMeasurement::timestampMillisRoundedUpToNextHour(c.milliseconds), c.expected) << c.milliseconds;
  }
}

class StartupReports : public testkit::SeenEventsHost {
 protected:
  void SetUp() override {
    SeenEventsHost::SetUp();
    store::SKAdNetwork::resetForTests();
    // Loaded at 10:20:30.500 of a day.
    midnight = 1'700'000'000.0 - std::fmod(1'700'000'000.0, 86'400.0);
    loadTime = midnight + 10 * 3600 + 20 * 60 + 30.5;
    clock->setNow(loadTime);
    QZMAnalytics::setLoadTimestamp(loadTime);
  }
  void TearDown() override {
    foundation::Device::setSystemVersion(std::nullopt);
    foundation::ProcessInfo::clearEnvironmentOverrides();
    SeenEventsHost::TearDown();
  }
  std::shared_ptr<QZMPersistedConfig> config() { return engine()->persistedConfig(); }
  std::optional<QZMStoredUserAttribute> attribute(std::string_view name) {
    auto stored = engine()->database()->userAttributeWithName(name);
    return stored.ok() ? *stored : std::nullopt;
  }
  void runOnWorkerQueue(void (QZMMeasurement::*step)()) {
    onWorkerQueue([&] { (engine().get()->*step)(); });
    settle();
  }

  double midnight = 0;
  double loadTime = 0;
};

TEST_F(StartupReports, TheFirstOpenIsReportedOnceWithItsTimes) {
  ASSERT_TRUE(configure().ok());
  settle();
  const std::int64_t firstOpenMillis = static_cast<std::int64_t>(loadTime * 1000);
  ASSERT_TRUE(attribute("_fot"));
  EXPECT_EQ(attribute("_fot")->value, Object(static_cast<std::int64_t>((midnight + 11 * 3600) * 1000)));
  EXPECT_EQ(attribute("_fi")->value, Object(1));
  EXPECT_EQ(config()->firstOpenTimestampMilliseconds(), firstOpenMillis);
  EXPECT_FALSE(config()->loadTimestampValue()) << "the load time is kept until the first open only";

  auto firstOpens = eventsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  EXPECT_EQ(firstOpens[0].parameters, (Dictionary{{"_pfo", 0}, {"_uwa", 0}}));
  EXPECT_EQ(firstOpens[0].timestamp, loadTime);
  auto engagements = eventsNamed("_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].parameters, (Dictionary{{"_et", 1}}));
  EXPECT_EQ(store::SKAdNetwork::registrationCount(), 1);

  // The next start finds the first open and counts it for later installs.
  forgetSeenEvents();
  runOnWorkerQueue(&QZMMeasurement::reportFirstOpenOnWorkerQueue);
  EXPECT_TRUE(eventsNamed("_f").empty());
  EXPECT_EQ(engine()->previousFirstOpenCount().value(), std::optional<std::string>("1"));
}

TEST_F(StartupReports, TheStoredLaunchLinkIsReportedWithTheFirstOpen) {
  auto links = QZMUserDefaults::sharedUserDefaults();
  QZMStoreDeepLink(*links, "tolv://open?utm_source=mail&utm_campaign=spring");
  links->setDouble(loadTime - 1800, kQZMStoredDeepLinkTimestampKey);
  ASSERT_TRUE(configure().ok());
  settle();

  auto campaigns = eventsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].parameters,
            (Dictionary{{"source", "mail"},
                        {"campaign", "spring"},
                        {"_cc", static_cast<std::int64_t>((midnight + 8 * 3600) * 1000)},
                        {"click_timestamp", static_cast<std::int64_t>(loadTime * 1000) - 1}}));
  EXPECT_EQ(campaigns[0].timestamp, loadTime) << "not before the first open";
  EXPECT_FALSE(links->objectForKey(kQZMStoredDeepLinkKey));
  EXPECT_FALSE(links->objectForKey(kQZMStoredDeepLinkTimestampKey));
}

TEST_F(StartupReports, AnExpiredLaunchLinkOnlyTellsThatACampaignWasThere) {
  ASSERT_TRUE(configure().ok());
  auto links = QZMUserDefaults::sharedUserDefaults();
  QZMStoreDeepLink(*links, "tolv://open?utm_source=mail&gclid=G");
  clock->advance(engine()->remoteConfigInstance()->attributionCacheTTLInterval() + 1);
  forgetSeenEvents();
  onWorkerQueue([&] { engine()->reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
  settle();

  EXPECT_TRUE(eventsNamed("_cmp").empty());
  auto restored = eventsNamed("_cmpx");
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_EQ(restored[0].parameters,
            (Dictionary{{"source", "(not set)"}, {"medium", "(not set)"}, {"_cc", 1}}));
  EXPECT_FALSE(links->objectForKey(kQZMStoredDeepLinkKey));
}

TEST_F(StartupReports, UpdatesAreReportedWhenAnEarlierVersionWasKnown) {
  home->setInfoPlist({{"CFBundleShortVersionString", "2.0"}});
  foundation::Device::setSystemVersion("17.1");
  ASSERT_TRUE(configure().ok());
  EXPECT_EQ(config()->appVersion(), "2.0") << "the first run stores the versions";
  EXPECT_EQ(config()->osVersion(), "17.1");

  struct Case {
    void (QZMPersistedConfig::*setPrevious)(const std::optional<std::string>&);
    std::optional<std::string> (QZMPersistedConfig::*stored)();
    void (QZMMeasurement::*report)();
    const char* event;
    const char* parameter;
    std::string current;
    std::optional<std::string> previous;
    bool reported;
  } cases[] = {
      {&QZMPersistedConfig::setAppVersion, &QZMPersistedConfig::appVersion,
       &QZMMeasurement::reportAppUpdateOnWorkerQueue, "_au", "_pv", "2.0", std::nullopt, false},
      {&QZMPersistedConfig::setAppVersion, &QZMPersistedConfig::appVersion,
       &QZMMeasurement::reportAppUpdateOnWorkerQueue, "_au", "_pv", "2.0", "", false},
      {&QZMPersistedConfig::setAppVersion, &QZMPersistedConfig::appVersion,
       &QZMMeasurement::reportAppUpdateOnWorkerQueue, "_au", "_pv", "2.0", "2.0", false},
      {&QZMPersistedConfig::setAppVersion, &QZMPersistedConfig::appVersion,
       &QZMMeasurement::reportAppUpdateOnWorkerQueue, "_au", "_pv", "2.0", "1.0", true},
      {&QZMPersistedConfig::setOsVersion, &QZMPersistedConfig::osVersion,
       &QZMMeasurement::reportOSUpdateOnWorkerQueue, "_ou", "_po", "17.1", std::nullopt, false},
      {&QZMPersistedConfig::setOsVersion, &QZMPersistedConfig::osVersion,
       &QZMMeasurement::reportOSUpdateOnWorkerQueue, "_ou", "_po", "17.1", "17.1", false},
      {&QZMPersistedConfig::setOsVersion, &QZMPersistedConfig::osVersion,
       &QZMMeasurement::reportOSUpdateOnWorkerQueue, "_ou", "_po", "17.1", "16.4", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.event) + " after " + c.previous.value_or("(none)"));
    (config().get()->*c.setPrevious)(c.previous);
    forgetSeenEvents();
    runOnWorkerQueue(c.report);
    auto updates = eventsNamed(c.event);
    ASSERT_EQ(updates.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(updates[0].parameters, (Dictionary{{c.parameter, *c.previous}}));
    }
    EXPECT_EQ((config().get()->*c.stored)(), c.current);
  }
}

TEST_F(StartupReports, AnNPAPropertyThatNothingDecidesAnyMoreIsRemoved) {
  ASSERT_TRUE(configure().ok());
  ASSERT_TRUE(engine()->database()->updateUserAttribute({"auto", "_npa", Object(1), loadTime}).ok());
  clearMonitorLines();
  runOnWorkerQueue(&QZMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue);
  EXPECT_FALSE(attribute("_npa"));
  EXPECT_EQ(linesWithCode(23180).size(), 1u);
}

TEST_F(StartupReports, AGBRAIDPropertyFromBeforeBecomesTheCampaignRecord) {
  ASSERT_TRUE(configure().ok());
  config()->setAdCampaignInfoBuffer(std::nullopt);
  ASSERT_TRUE(engine()->database()->updateUserAttribute({"auto", "_gbraid", Object("B7"), 1234.5}).ok());
  runOnWorkerQueue(&QZMMeasurement::updateCachedAdCampaignInfoWithExistingGBRAIDProperty);
  std::optional<Object> buffer = config()->adCampaignInfoBuffer();
  ASSERT_TRUE(buffer && buffer->isData());
  auto record = QZMPBAdCampaignInfo::initWithBuffer(*buffer->data());
  ASSERT_TRUE(record);
  EXPECT_EQ(NANOGetString(record.get(), QZMPBAdCampaignInfo::kBraidId), "B7");
  EXPECT_EQ(NANOGetInt64(record.get(), QZMPBAdCampaignInfo::kClickTimestampMillis), 1'234'500);
  EXPECT_FALSE(NANOHasField(record.get(), QZMPBAdCampaignInfo::kClickId));

  // A record that exists is kept.
  ASSERT_TRUE(engine()->database()->updateUserAttribute({"auto", "_gbraid", Object("B8"), 99}).ok());
  runOnWorkerQueue(&QZMMeasurement::updateCachedAdCampaignInfoWithExistingGBRAIDProperty);
  EXPECT_EQ(config()->adCampaignInfoBuffer(), buffer);
}

TEST_F(StartupReports, APrewarmedLaunchStartsItsSessionWhenItsSceneConnects) {
  foundation::Device::setSystemVersion("16.0");
  ASSERT_TRUE(configure().ok());
  home->setInfoPlist({{"UIApplicationSceneManifest", Dictionary{}}});
  foundation::ProcessInfo::setEnvironmentOverride("ActivePrewarm", "1");
  forgetSeenEvents();
  runOnWorkerQueue(&QZMMeasurement::reportFirstOpenOnWorkerQueue);
  EXPECT_TRUE(eventsNamed("_s").empty());

  for (int i = 0; i < 2; ++i) {
    foundation::NotificationCenter::defaultCenter().postNotificationName(ui::kSceneWillConnectNotification);
    settle();
  }
  auto sessions = eventsNamed("_s");
  ASSERT_EQ(sessions.size(), 1u) << "the first connection only";
  EXPECT_EQ(sessions[0].timestamp, loadTime);
}

}  // namespace
