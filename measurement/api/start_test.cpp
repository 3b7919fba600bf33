// Analytics as a host starts it: the process-start hooks, the core app
// framework's configure call reaching the facade's start, and the engine it
// makes.
#include <gtest/gtest.h>

#include <atomic>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalyticsConnector.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "testing/MeasurementHost.h"

namespace {

using foundation::Dictionary;

// Runs before the fixtures below reset what process start left.
TEST(ProcessStart, RegistersTheLibraryAndStartsNothing) {
  auto libraries = ZNHApp::registeredLibraries();
  ASSERT_EQ(libraries.count(kZNHAnalyticsLibraryName), 1u);
  EXPECT_EQ(libraries.at(kZNHAnalyticsLibraryName), kZNHAnalyticsLibraryVersion);
  EXPECT_GT(QZMAnalytics::loadTimestamp(), 0);
  EXPECT_FALSE(ZNHApp::isDefaultAppConfigured());
  testkit::settle(QZMAnalytics::queue());
  EXPECT_FALSE(QZMMeasurementBase::wasSharedInstanceCreationAttempted());
}

class AnalyticsStart : public testkit::MeasurementHost {};

TEST_F(AnalyticsStart, ConfiguringTheAppStartsTheEngine) {
  std::atomic<int> willStart = 0;
  auto& center = foundation::NotificationCenter::defaultCenter();
  auto token = center.addObserverForName(kZNHAnalyticsWillStartNotification, nullptr, nullptr,
                                         [&](const foundation::Notification&) { ++willStart; });

  ASSERT_TRUE(configure().ok());
  center.removeObserver(token);

  auto measurement = engine();
  ASSERT_NE(measurement, nullptr);
  EXPECT_EQ(measurement->appID(), testkit::kTestAppID);
  EXPECT_TRUE(measurement->isEnabled());
  EXPECT_TRUE(measurement->didInitializeComponents());
  EXPECT_TRUE(QZMAnalytics::analyticsEnabled());
  EXPECT_TRUE(foundation::fileExists(QZMApplicationSupportFilePath(kQZMDatabaseFileName)));
  EXPECT_EQ(willStart, 1);
  EXPECT_EQ(QZMIdentifiers::sharedInstance()->origin(), kQZMOriginZarnholt);
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->appIDFromDXV(), testkit::kTestAppID);
  EXPECT_EQ(monitor->logTag(), kZNHLoggerAnalytics);
  EXPECT_EQ(measurement->initTimestamp(), clock->now());
  // The interop component is there for other components of the family.
  EXPECT_NE(ZNHApp::defaultApp()->instanceForProtocol(kZNHAnalyticsInteropProtocol), nullptr);

  // The app is configured once; so is the engine, whatever starts again.
  EXPECT_FALSE(ZNHApp::configure(ZNHOptions("1:9999:ios:ffff")).ok());
  QZMAnalytics::startWithAppID("1:9999:ios:ffff", kQZMOriginZarnholt, {{kQZMStartOptionLogTag, "[Other]"}});
  settleEngine();
  EXPECT_EQ(engine(), measurement);
  EXPECT_EQ(measurement->appID(), testkit::kTestAppID);
  EXPECT_EQ(monitor->logTag(), "[Other]");
}

struct CollectionCase {
  bool enabled;
  bool deactivated;
  bool expectEnabled;
};
class AnalyticsCollectionOptions : public testkit::MeasurementHost,
                                   public testing::WithParamInterface<CollectionCase> {};

TEST_P(AnalyticsCollectionOptions, DecideWhetherTheEngineStartsItsComponents) {
  const CollectionCase& c = GetParam();
  ZNHOptions options(testkit::kTestAppID);
  options.setAnalyticsCollectionEnabled(c.enabled);
  options.setAnalyticsCollectionDeactivated(c.deactivated);
  ASSERT_TRUE(configure(options).ok());
  ASSERT_NE(engine(), nullptr);
  EXPECT_EQ(engine()->isEnabled(), c.expectEnabled);
  EXPECT_EQ(engine()->isAnalyticsCollectionDeactivated(), c.deactivated);
  EXPECT_EQ(QZMAnalytics::analyticsEnabled(), c.expectEnabled);
  // A switched-off engine makes no database.
  EXPECT_EQ(foundation::fileExists(QZMApplicationSupportFilePath(kQZMDatabaseFileName)), c.expectEnabled);
}

INSTANTIATE_TEST_SUITE_P(Options, AnalyticsCollectionOptions,
                         testing::Values(CollectionCase{true, false, true}, CollectionCase{false, false, false},
                                         CollectionCase{true, true, false}));

struct RefusalCase {
  const char* name;
  const char* extraClass;
  bool publicAPI;
  bool servicePlist;
  const char* origin;
  std::int64_t expectedCode;
};
class RefusedStarts : public testkit::MeasurementHost, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedStarts, MakeNoEngine) {
  const RefusalCase& c = GetParam();
  if (!c.publicAPI) {
    utilities = std::make_shared<testkit::FakeUtilities>();
    QZMUtilities::setShared(utilities);
  }
  if (c.extraClass) utilities->addClass(c.extraClass);
  if (c.servicePlist) {
    ASSERT_TRUE(foundation::writePropertyListFile(home->bundleDirectory() + "/DralixService-Info.plist",
                                                  Dictionary{{"DRALIX_APP_ID", testkit::kTestAppID}})
                    .ok());
  }
  QZMAnalytics::startWithAppID(testkit::kTestAppID, c.origin, {});
  settleEngine();
  EXPECT_EQ(linesWithCode(c.expectedCode).size(), 1u);
  EXPECT_FALSE(QZMMeasurementBase::wasSharedInstanceCreationAttempted());
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RefusedStarts,
    testing::Values(RefusalCase{"OlderFrameworkPresent", "ZNHADatabase", true, false, kQZMOriginZarnholt, 25029},
                    RefusalCase{"PublicAPIDefersToTheCore", nullptr, true, false, "app", 25026},
                    RefusalCase{"ServiceListWithoutThePublicAPI", nullptr, false, true, "app", 25027}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

class StartOptions : public testkit::MeasurementHost {};

TEST_F(StartOptions, ChooseTheSafelistTheLogTagAndTheConsentOnStart) {
  QZMAnalytics::startWithAppID(testkit::kTestAppID, kQZMOriginZarnholt,
                               {{kQZMStartOptionSafelistedEvents, foundation::Array{"_s", "purchase"}},
                                {kQZMStartOptionLogTag, 5},
                                {"ad_storage", "denied"},
                                {"unrelated", "granted"}});
  settleEngine();
  ASSERT_NE(engine(), nullptr);
  EXPECT_EQ(engine()->safelistedEvents(), (std::vector<std::string>{"_s", "purchase"}));
  EXPECT_EQ(linesWithCode(25030).size(), 1u);
  EXPECT_NE(monitor->logTag(), "5");
  // Kept for the engine, which applies it at its start.
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), kQZMConsentSourceFirstParty);
}

TEST_F(StartOptions, OneBadNameDropsTheWholeSafelist) {
  struct Case {
    foundation::Object safelist;
    std::int64_t code;
  };
  const Case cases[] = {{foundation::Array{"_s", "not a name"}, 25035}, {foundation::Object("_s"), 25034}};
  for (const Case& c : cases) {
    clearMonitorLines();
    EXPECT_FALSE(QZMIsValidSafelistedEventsArray(c.safelist));
    EXPECT_EQ(linesWithCode(c.code).size(), 1u);
  }
  QZMAnalytics::startWithAppID(testkit::kTestAppID, kQZMOriginZarnholt,
                               {{kQZMStartOptionSafelistedEvents, cases[0].safelist}});
  settleEngine();
  ASSERT_NE(engine(), nullptr);
  EXPECT_FALSE(engine()->safelistedEvents());
}

TEST_F(StartOptions, TheConfigurationObjectSwitchesCollection) {
  ASSERT_TRUE(configure().ok());
  auto configuration = ZNHAnalyticsConfiguration::sharedInstance();
  configuration->setAnalyticsCollectionEnabled(false);
  settleEngine();
  EXPECT_FALSE(QZMAnalytics::analyticsEnabled());
  EXPECT_FALSE(engine()->isEnabled());
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->measurementEnabledState(), 0) << "not persisted";

  // Another sender, or a value that is not a number, changes nothing.
  ZNHAnalyticsConfiguration other;
  other.setAnalyticsCollectionEnabled(true);
  foundation::NotificationCenter::defaultCenter().postNotificationName(
      kZNHAnalyticsConfigurationSetEnabledNotification, configuration.get(),
      {{kZNHAnalyticsConfigurationSetEnabledNotification, "YES"}});
  settleEngine();
  EXPECT_FALSE(QZMAnalytics::analyticsEnabled());
  EXPECT_EQ(linesWithCode(25000).size(), 1u);

  configuration->setAnalyticsCollectionEnabled(true);
  settleEngine();
  EXPECT_TRUE(engine()->isEnabled());
}

TEST_F(StartOptions, TheTagManagerStartsWhenThereIsOne) {
  int started = 0;
  QZMUtilities::registerClassMethod("QRLManager", "initializeSharedInstance", [&] { ++started; });
  ASSERT_TRUE(configure().ok());
  EXPECT_EQ(started, 0) << "a method without its class is not there";
  QZMUtilities::registerClassMethod("QRLManager", "initializeSharedInstance", nullptr);

  EXPECT_TRUE(linesWithCode(25016).empty()) << "no class, nothing to say";

  utilities->addClass("QRLManager");
  QZMAnalytics::maybeEnableQrlManager();
  EXPECT_EQ(linesWithCode(25016).size(), 1u) << "a class without its initialiser is logged";
  QZMUtilities::registerClassMethod("QRLManager", "initializeSharedInstance", [&] { ++started; });
  QZMAnalytics::maybeEnableQrlManager();
  QZMUtilities::registerClassMethod("QRLManager", "initializeSharedInstance", nullptr);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(linesWithCode(25016).size(), 1u);
}

TEST_F(StartOptions, AnAppThatTurnsTheDelegateProxyOffIsToldSo) {
  home->setInfoPlist({{"ZarnholtAppDelegateProxyEnabled", false}});
  ASSERT_TRUE(configure().ok());
  EXPECT_EQ(linesWithCode(25036).size(), 1u);
}

}  // namespace
