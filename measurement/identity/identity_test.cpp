#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <thread>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"

namespace {

using foundation::Dictionary;

constexpr const char* kAdvertisingIDA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kAdvertisingIDB = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

// The platform's advertising services as a test sets them.
class FakeProvider : public QZMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return get(&State::hasStatus); }
  std::uint64_t appDataConsentStatus() override { return get(&State::status); }
  bool hasLimitedAdTracking() override { return get(&State::hasLimitedAdTracking); }
  bool limitedAdTracking() override { return get(&State::limitedAdTracking); }
  std::optional<std::string> resettableDeviceID() override { return get(&State::identifier); }

  struct State {
    bool hasStatus = true;
    std::uint64_t status = 3;
    bool hasLimitedAdTracking = true;
    bool limitedAdTracking = false;
    std::optional<std::string> identifier;
  };
  void set(State state) {
    std::lock_guard lock(mutex_);
    state_ = std::move(state);
  }
  void setIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(mutex_);
    state_.identifier = std::move(identifier);
  }

 private:
  template <class T>
  T get(T State::*field) {
    std::lock_guard lock(mutex_);
    return state_.*field;
  }
  std::mutex mutex_;
  State state_;
};

// The engine as the identity sees it: a running configuration and identity.
struct EngineDouble : testkit::MeasurementDouble {
  std::shared_ptr<QZMRemoteConfig> remoteConfigInstance() const override { return remoteConfig; }
  std::shared_ptr<QZMIdentity> identity() const override { return engineIdentity; }
  std::shared_ptr<QZMRemoteConfig> remoteConfig;
  std::shared_ptr<QZMIdentity> engineIdentity;
};

std::string md5(const char* text) { return *qzm_MD5String(text); }

class IdentityTest : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    QZMConsentSettingsUtil::clearAllSettings();
    foundation::Device::setSystemVersion("17.2");
    provider = std::make_shared<FakeProvider>();
    QZMDefaultIdentitySupport::setSharedInstance(QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(provider));
    config = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
  }
  void TearDown() override {
    if (identity) testkit::settle(identity->queue());
    identity.reset();
    QZMIdentity::setSharedInstance(nullptr);
    QZMDefaultIdentitySupport::setSharedInstance(nullptr);
    foundation::Device::setSystemVersion(std::nullopt);
    QZMConsentSettingsUtil::clearAllSettings();
    config.reset();
    FoundationTest::TearDown();
  }

  std::shared_ptr<QZMIdentity> makeIdentity() {
    identity = QZMIdentity::initWithPersistedConfig(config);
    return identity;
  }

  // Installs a running engine whose configuration holds these settings.
  std::shared_ptr<EngineDouble> runEngine(const std::vector<QZMMeasurementSettings::Text>& settings) {
    auto engine = std::make_shared<EngineDouble>();
    engine->remoteConfig = std::make_shared<QZMRemoteConfig>();
    engine->remoteConfig->setSettings(QZMMeasurementSettings::settingsWithTexts(settings));
    QZMMeasurementBase::setSharedInstance(engine);
    return engine;
  }

  void writeServicePlist(const Dictionary& values) {
    ASSERT_TRUE(foundation::createDirectory(home->bundleDirectory()).ok() ||
                foundation::isDirectory(home->bundleDirectory()));
    ASSERT_TRUE(foundation::writePropertyListFile(home->bundleDirectory() + "/DralixService-Info.plist",
                                                  foundation::Object(values), 0644)
                    .ok());
  }

  std::shared_ptr<FakeProvider> provider;
  std::shared_ptr<QZMPersistedConfig> config;
  std::shared_ptr<QZMIdentity> identity;
};

TEST_F(IdentityTest, AppVersionFields) {
  struct Case {
    const char* version;
    std::vector<std::int32_t> fields;
    std::size_t warnings;
  };
  const Case cases[] = {
      {"2.10.3b", {2, 10, 3}, 1},
      {"1..4", {1, 4}, 0},
      {"", {}, 0},
      {"x.5", {0, 5}, 1},
      {"7.0.0.9", {7, 0, 0, 9}, 0},
      {"99999999999", {std::numeric_limits<std::int32_t>::max()}, 0},
  };
  for (const Case& c : cases) {
    clearMonitorLines();
    EXPECT_EQ(QZMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields) << c.version;
    EXPECT_EQ(linesWithCode(20002).size(), c.warnings) << c.version;
  }

  home->setInfoPlist({{"CFBundleIdentifier", "com.example.fluid"},
                      {"CFBundleShortVersionString", "3.1"},
                      {"CFBundleVersion", "2.10.3b"}});
  makeIdentity();
  EXPECT_EQ(identity->appID(), "com.example.fluid");
  EXPECT_EQ(identity->appVersion(), "3.1");
  EXPECT_EQ(identity->appVersionMajor(), 2);
  EXPECT_EQ(identity->appVersionMinor(), 10);
  EXPECT_EQ(identity->appVersionRelease(), 3);

  home->setInfoPlist({{"CFBundleVersion", "5"}});
  makeIdentity();
  EXPECT_EQ(identity->appVersion(), std::nullopt);
  EXPECT_EQ(identity->appVersionMajor(), 5);
  EXPECT_EQ(identity->appVersionMinor(), std::nullopt);
}

TEST_F(IdentityTest, AppInstanceIDFollowsAnalyticsConsent) {
  QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"analytics_storage", "denied"}});
  makeIdentity();
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), std::nullopt);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);

  QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"analytics_storage", "granted"}});
  makeIdentity();
  auto stored = config->appInstanceID();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 32u);
  EXPECT_EQ(stored->find_first_not_of("0123456789ABCDEF"), std::string::npos) << *stored;
  EXPECT_EQ(identity->appInstanceID(), stored);
}

TEST_F(IdentityTest, AdvertisingIdentifierRefreshAcrossTheCacheTime) {
  provider->setIdentifier(kAdvertisingIDA);
  makeIdentity();
  const auto firstID = config->appInstanceID();
  ASSERT_TRUE(firstID);

  // First sight of an identifier: its hash is stored, the instance ID stays.
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDA));
  EXPECT_EQ(config->appInstanceID(), firstID);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(identity->resettableDeviceID(), kAdvertisingIDA);
  EXPECT_EQ(identity->appleConsentStatus(), kQZMAppleConsentStatusAuthorized);

  // Within the cache time (1 s by default) nothing is asked again.
  provider->setIdentifier(kAdvertisingIDB);
  clock->advance(0.5);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDA));
  EXPECT_EQ(identity->resettableDeviceID(), kAdvertisingIDA);

  // After it, the new identifier resets the instance ID.
  clock->advance(0.5);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDB));
  const auto secondID = config->appInstanceID();
  ASSERT_TRUE(secondID);
  EXPECT_NE(secondID, firstID);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(identity->hashedResettableDeviceID(), md5(kAdvertisingIDB));

  // The running configuration's cache time counts (milliseconds on the wire).
  runEngine({{"measurement.ad_id_cache_time", "60000"}});
  provider->setIdentifier(kAdvertisingIDA);
  clock->advance(59);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDB));
  clock->advance(1);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDA));
  EXPECT_NE(config->appInstanceID(), secondID);

  // A last refresh in the future (the clock was set back) does not hold.
  provider->setIdentifier(kAdvertisingIDB);
  clock->setNow(clock->now() - 3600);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDB));
}

TEST_F(IdentityTest, TrackingStatusAndTheAttGate) {
  struct Case {
    const char* name;
    const char* systemVersion;
    FakeProvider::State state;
    bool gate;
    std::uint64_t status;
    std::optional<std::string> identifier;
  };
  const Case cases[] = {
      {"no identifier manager", "17.2", {true, 3, false, false}, false, 6, kAdvertisingIDA},
      {"no status", "17.2", {false, 3, true, false}, false, 5, kAdvertisingIDA},
      {"status above 3", "17.2", {true, 9, true, false}, false, 5, kAdvertisingIDA},
      {"not determined", "17.2", {true, 0, true, false}, false, 4, kAdvertisingIDA},
      {"restricted", "17.2", {true, 1, true, false}, false, 1, kAdvertisingIDA},
      {"denied, gate off", "17.2", {true, 2, true, false}, false, 2, kAdvertisingIDA},
      {"denied, gate on", "17.2", {true, 2, true, false}, true, 2, std::nullopt},
      {"authorised, gate on", "17.2", {true, 3, true, false}, true, 3, kAdvertisingIDA},
      {"older system", "13.7", {true, 3, true, false}, false, 6, kAdvertisingIDA},
      {"older system, gate on", "13.7", {true, 3, true, false}, true, 6, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    foundation::Device::setSystemVersion(c.systemVersion);
    FakeProvider::State state = c.state;
    state.identifier = kAdvertisingIDA;
    provider->set(state);
    runEngine({{"measurement.attmas_gate", c.gate ? "1" : "0"}});
    config->clearValues();
    makeIdentity();
    EXPECT_EQ(identity->appleConsentStatus(), c.status);
    EXPECT_EQ(identity->resettableDeviceID(), c.identifier);
    EXPECT_EQ(config->hashedResettableDeviceID().has_value(), c.identifier.has_value());
  }
}

TEST_F(IdentityTest, ZeroUUIDAndDeniedAdStorage) {
  provider->setIdentifier(kQZMZeroUUID);
  makeIdentity();
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config->hashedResettableDeviceID(), std::nullopt);
  EXPECT_TRUE(QZMDefaultIdentitySupport::sharedInstance()->limitedAdTracking());
  EXPECT_TRUE(identity->limitedAdTracking());

  provider->setIdentifier(kAdvertisingIDA);
  clock->advance(1);
  EXPECT_EQ(identity->resettableDeviceID(), kAdvertisingIDA);
  EXPECT_FALSE(identity->limitedAdTracking());
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDA));

  // Denied ad storage hides the identifier and its hash and keeps what is stored.
  QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  provider->setIdentifier(kAdvertisingIDB);
  clock->advance(1);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(config->hashedResettableDeviceID(), md5(kAdvertisingIDA));
}

TEST_F(IdentityTest, SessionStitchingToken) {
  makeIdentity();
  auto t1 = identity->sessionStitchingTokenWithSessionNumber(1, false, false);
  ASSERT_TRUE(t1);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), t1);
  // Session 2 after session 1 ended normally is a new session.
  auto t2 = identity->sessionStitchingTokenWithSessionNumber(2, false, false);
  EXPECT_NE(t2, t1);
  // Session 3 right after an expired request continues the token.
  auto t3 = identity->sessionStitchingTokenWithSessionNumber(2, true, false);
  EXPECT_NE(t3, t2);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(3, false, false), t3);

  // Without a user ID the token lasts a day.
  clock->advance(86399);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(3, false, false), t3);
  clock->advance(1);
  auto t4 = identity->sessionStitchingTokenWithSessionNumber(3, false, false);
  EXPECT_NE(t4, t3);
  // With one it does not expire.
  clock->advance(86400 * 3);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(3, false, true), t4);

  identity->resetSessionStitchingToken();
  EXPECT_NE(identity->sessionStitchingTokenWithSessionNumber(3, false, true), t4);
}

TEST_F(IdentityTest, DiversionKeyAndEphemeralID) {
  makeIdentity();
  config->setDiversionKey("ABCD");
  auto key = identity->diversionKey();
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 5u);
  EXPECT_EQ(config->diversionKey(), key);
  config->setDiversionKey("ABCDE");
  EXPECT_EQ(identity->diversionKey(), "ABCDE");

  auto ephemeral = identity->ephemeralAppInstanceID();
  ASSERT_TRUE(ephemeral);
  EXPECT_EQ(identity->ephemeralAppInstanceID(), ephemeral);
  identity->resetEphemeralAppInstanceID();
  EXPECT_NE(identity->ephemeralAppInstanceID(), ephemeral);
  EXPECT_NE(config->appInstanceID(), identity->ephemeralAppInstanceID());
}

TEST_F(IdentityTest, AppIDFromTheServiceFileAndSetOnce) {
  utilities->addClass("ZNHAnalytics");
  makeIdentity();
  EXPECT_EQ(identity->appIDFromDXV(), std::nullopt);
  EXPECT_EQ(linesWithCode(20006).size(), 1u);

  writeServicePlist({{"DRALIX_APP_ID", "1:123:ios:abc"}});
  clearMonitorLines();
  makeIdentity();
  EXPECT_EQ(identity->appIDFromDXV(), "1:123:ios:abc");
  EXPECT_TRUE(linesWithCode(20006).empty());

  identity->setAppIDFromDXV("");
  EXPECT_EQ(linesWithCode(20005).size(), 1u);
  identity->setAppIDFromDXV("1:first");
  identity->setAppIDFromDXV("1:second");
  EXPECT_EQ(identity->appIDFromDXV(), "1:first");
}

TEST_F(IdentityTest, VendorIdentifierNeverWaitsForTheMainThread) {
  makeIdentity();
  auto offMain = [&] { return std::async(std::launch::async, [&] { return identity->identifierForVendor(); }).get(); };
  // Nothing cached yet and the main queue not run: answered at once, empty.
  EXPECT_EQ(offMain(), std::nullopt);
  dispatch::drainMainQueue();
  testkit::settle(identity->queue());
  const std::string expected = foundation::Device::identifierForVendor();
  EXPECT_EQ(offMain(), expected);
  // On the main thread it is read directly.
  EXPECT_EQ(identity->identifierForVendor(), expected);

  // Not while an advertising identifier exists.
  provider->setIdentifier(kAdvertisingIDA);
  clock->advance(1);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}

TEST_F(IdentityTest, VendorIdentifierSwitchInTheInfoPlist) {
  home->setInfoPlist({{"DRALIX_ANALYTICS_IDFV_COLLECTION_ENABLED", false}});
  makeIdentity();
  ASSERT_EQ(linesWithCode(20009).size(), 1u);
  EXPECT_EQ(linesWithCode(20009)[0].message, "DRALIX_ANALYTICS_IDFV_COLLECTION_ENABLED = NO");
  EXPECT_EQ(identity->isIDFVCollectionEnabled(), false);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}

TEST_F(IdentityTest, DefaultSupportWithAndWithoutProvider) {
  clearMonitorLines();
  auto none = QZMDefaultIdentitySupport::init();
  EXPECT_EQ(linesWithCode(44003).size(), 1u);
  EXPECT_FALSE(none->hasAppDataConsentStatus());
  EXPECT_EQ(none->appDataConsentStatus(), kQZMUnknownAppDataConsentStatus);
  EXPECT_FALSE(none->hasLimitedAdTracking());
  EXPECT_EQ(none->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(none->limitedAdTracking());
  foundation::Device::setSystemVersion("13.0");
  EXPECT_FALSE(none->limitedAdTracking());

  // The provider is found by its class name; without the advertising
  // services it is linked but cannot tell limited ad tracking.
  utilities->addClass(kQZMPlatformIdentitySupportClassName);
  clearMonitorLines();
  auto found = QZMDefaultIdentitySupport::init();
  EXPECT_NE(found->platformIdentitySupport(), nullptr);
  EXPECT_EQ(linesWithCode(44000).size(), 1u);
  EXPECT_EQ(linesWithCode(44002).size(), 1u);

  clearMonitorLines();
  (void)QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(provider);
  EXPECT_EQ(linesWithCode(44000).size(), 1u);
  EXPECT_EQ(linesWithCode(44001).size(), 1u);
}

TEST_F(IdentityTest, PlatformSupportOverTheAdvertisingServices) {
  struct Identifiers : store::AdvertisingIdentifierManager {
    std::optional<bool> isAdvertisingTrackingEnabled() const override { return enabled; }
    std::optional<std::string> advertisingIdentifier() const override { return identifier; }
    std::optional<bool> enabled;
    std::optional<std::string> identifier;
  };
  struct Tracking : store::TrackingManager {
    std::optional<std::uint64_t> trackingAuthorizationStatus() const override { return status; }
    std::optional<std::uint64_t> status;
  };
  auto identifiers = std::make_shared<Identifiers>();
  auto tracking = std::make_shared<Tracking>();
  QZMPlatformIdentitySupport support(tracking, identifiers);
  EXPECT_TRUE(support.hasAppDataConsentStatus());
  EXPECT_TRUE(support.hasLimitedAdTracking());
  // Questions a service does not answer get the neutral answers.
  EXPECT_EQ(support.appDataConsentStatus(), kQZMUnknownAppDataConsentStatus);
  EXPECT_FALSE(support.limitedAdTracking());
  EXPECT_EQ(support.resettableDeviceID(), std::nullopt);

  tracking->status = store::kTrackingDenied;
  identifiers->enabled = false;
  identifiers->identifier = kAdvertisingIDA;
  EXPECT_EQ(support.appDataConsentStatus(), 2u);
  EXPECT_TRUE(support.limitedAdTracking());
  EXPECT_EQ(support.resettableDeviceID(), kAdvertisingIDA);

  QZMPlatformIdentitySupport without(nullptr, nullptr);
  EXPECT_FALSE(without.hasAppDataConsentStatus());
  EXPECT_FALSE(without.hasLimitedAdTracking());
  EXPECT_EQ(without.appDataConsentStatus(), kQZMUnknownAppDataConsentStatus);
}

TEST_F(IdentityTest, SlowAdvertisingIdentifierAnswersAfterTheBoundedWait) {
  struct SlowProvider : FakeProvider {
    std::optional<std::string> resettableDeviceID() override {
      gate.wait();
      return kAdvertisingIDA;
    }
    std::promise<void> released;
    std::shared_future<void> gate = released.get_future().share();
  };
  auto slow = std::make_shared<SlowProvider>();
  auto support = QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(slow);
  auto pending = std::async(std::launch::async, [&] { return support->resettableDeviceID(); });
  // The wait runs on the fake clock: move it on until the caller gives up.
  for (int i = 0; i < 500 && pending.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready; ++i)
    clock->advance(0.011);
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(pending.get(), std::nullopt);
  slow->released.set_value();
  EXPECT_EQ(support->resettableDeviceID(), kAdvertisingIDA);
}

TEST_F(IdentityTest, SharedInstanceAndIdentifiers) {
  writeServicePlist({{"DRALIX_APP_ID", "1:shared"}});
  QZMPersistedConfig::setSharedInstance(config);
  auto shared = QZMIdentity::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(QZMIdentity::sharedInstance(), shared);

  auto identifiers = QZMIdentifiers::sharedInstance();
  EXPECT_EQ(identifiers->dralixAppID(), "1:shared");
  EXPECT_EQ(identifiers->appInstanceID(), config->appInstanceID());
  EXPECT_EQ(identifiers->libraryVersion(), "111400");
  EXPECT_EQ(QZMIdentity::kestrometerLibraryVersion(), 111400);

  // A running engine's identity is asked first.
  auto engine = runEngine({});
  writeServicePlist({});
  engine->engineIdentity = makeIdentity();
  clearMonitorLines();
  EXPECT_EQ(identifiers->dralixAppID(), std::nullopt);
  EXPECT_EQ(linesWithCode(37000).size(), 1u);
  EXPECT_EQ(identifiers->analyticsAppID(), std::nullopt);
  EXPECT_EQ(linesWithCode(37005).size(), 1u);

  const std::int64_t first = std::stoll(identifiers->adEventID());
  EXPECT_EQ(std::stoll(identifiers->adEventID()), first + 1);

  identifiers->setOrigin("zq");
  identifiers->setOrigin("");
  EXPECT_EQ(identifiers->origin(), "zq");
  EXPECT_EQ(linesWithCode(37004).size(), 1u);
}

}  // namespace
