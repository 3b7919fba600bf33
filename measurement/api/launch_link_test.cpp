// The launch link kept for the engine and the interceptor that carries the
// app delegate's links to the facade.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/QZMAppDelegateInterceptor.h"
#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/utilities/DRKAppDelegateSwizzler.h"

namespace {

using foundation::Object;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(PreviousHourStart, CutsTowardZeroThenGoesBackAnHour) {
  struct Case {
    std::int64_t milliseconds;
    std::int64_t expected;
  } cases[] = {
      {7'200'000, 3'600'000},  {7'199'999, 0},       {3'600'000, 0},
      {0, -3'600'000},         {-1, -3'600'000},     {-3'600'001, -7'200'000},
      {kMin, kMin},            {kMin + 3'600'000, -9'223'372'036'854'000'000},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMPreviousHourStartMilliseconds(c.milliseconds), c.expected) << c.milliseconds;
}

class StoredLaunchLink : public testkit::FoundationTest {
 protected:
  std::shared_ptr<QZMUserDefaults> store = QZMUserDefaults::sharedUserDefaults();
};

TEST_F(StoredLaunchLink, IsKeptWithItsTimeUntilCleared) {
  QZMStoreDeepLink(*store, "tolv://open?utm_source=mail");
  EXPECT_EQ(store->stringForKey(kQZMStoredDeepLinkKey), "tolv://open?utm_source=mail");
  EXPECT_EQ(store->doubleForKey(kQZMStoredDeepLinkTimestampKey), clock->now());
  QZMClearStoredDeepLink(*store);
  EXPECT_FALSE(store->objectForKey(kQZMStoredDeepLinkKey));
  EXPECT_FALSE(store->objectForKey(kQZMStoredDeepLinkTimestampKey));
}

TEST_F(StoredLaunchLink, AgeCountsEitherWayFromNow) {
  EXPECT_FALSE(QZMIsStoredDeepLinkOlderThan(*store, 0)) << "nothing stored";
  struct Case {
    double storedOffset;  // seconds from now
    bool olderThanAMinute;
  } cases[] = {{-60, false}, {-61, true}, {60, false}, {61, true}, {0, false}};
  for (const auto& c : cases) {
    store->setDouble(clock->now() + c.storedOffset, kQZMStoredDeepLinkTimestampKey);
    EXPECT_EQ(QZMIsStoredDeepLinkOlderThan(*store, 60), c.olderThanAMinute) << c.storedOffset;
  }
}

TEST_F(StoredLaunchLink, ExpiresAfterTheAttributionLifetimeOnly) {
  auto config = QZMRemoteConfig::defaultInstance();
  EXPECT_FALSE(QZMExpireStoredDeepLink(*config)) << "nothing stored";

  QZMStoreDeepLink(*store, "tolv://open?gclid=1");
  clock->advance(config->attributionCacheTTLInterval());
  EXPECT_FALSE(QZMExpireStoredDeepLink(*config));
  EXPECT_TRUE(store->objectForKey(kQZMStoredDeepLinkKey));

  clock->advance(1);
  EXPECT_TRUE(QZMExpireStoredDeepLink(*config));
  EXPECT_FALSE(store->objectForKey(kQZMStoredDeepLinkKey));
  EXPECT_FALSE(store->objectForKey(kQZMStoredDeepLinkTimestampKey));
}

class Interceptor : public testkit::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    // User activities need a system that has them.
    foundation::Device::setSystemVersion("17.0");
    configureWithRecordingEngine();
    // The facade registered the interceptor on the main queue.
    dispatch::drainMainQueue();
  }
  void TearDown() override {
    foundation::Device::setSystemVersion(std::nullopt);
    FacadeTest::TearDown();
  }
};

TEST_F(Interceptor, LinksReachTheEngineButAreLeftToTheApp) {
  EXPECT_FALSE(DRKAppDelegateSwizzler::applicationOpenURL("tolv://open?utm_source=a"));
  EXPECT_FALSE(DRKAppDelegateSwizzler::applicationContinueUserActivity(
      {kDRKUserActivityTypeBrowsingWeb, "https://tolv.example/p?utm_source=b"}));
  settleEngine();
  std::vector<std::string> opened;
  for (const auto& [url, timestamp] : recorder->openedURLs()) opened.push_back(url);
  EXPECT_EQ(opened, (std::vector<std::string>{"tolv://open?utm_source=a", "https://tolv.example/p?utm_source=b"}));
}

TEST_F(Interceptor, ActivitiesWithoutALinkReachNothing) {
  DRKUserActivity activities[] = {
      {"com.tolv.handoff", "https://tolv.example/p?utm_source=b"},
      {kDRKUserActivityTypeBrowsingWeb, ""},
      {kDRKUserActivityTypeBrowsingWeb, "not a link"},
  };
  for (const auto& activity : activities) {
    EXPECT_FALSE(DRKAppDelegateSwizzler::applicationContinueUserActivity(activity));
  }
  settleEngine();
  EXPECT_TRUE(recorder->openedURLs().empty());
  EXPECT_EQ(linesWithCode(23006).size(), 3u);
}

TEST_F(Interceptor, BackgroundSessionEventsCompleteOnce) {
  int completions = 0;
  DRKAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession("session", [&] { ++completions; });
  EXPECT_EQ(completions, 1);
}

}  // namespace
