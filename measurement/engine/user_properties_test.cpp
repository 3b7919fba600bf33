// User properties in the engine: the limits of each kind and origin, the
// user ID and what hangs on it, the switch, the read-back calls, and the
// sources that decide whether ads may be personalised.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/EventTestKit.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Queue.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

class EngineUserProperties : public eventkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    startEngine();
  }

  QZMUserAttribute attribute(const std::string& origin, const std::string& name, QZMValue value) {
    auto made = QZMUserAttribute::initWithOrigin(origin, name, std::move(value), clock->now());
    EXPECT_TRUE(made.has_value()) << name;
    return *made;
  }
  QZMUserAttribute text(const std::string& origin, const std::string& name, const std::string& value) {
    return attribute(origin, name, *QZMValue::initWithString(value));
  }
  QZMUserAttribute number(const std::string& origin, const std::string& name, std::int64_t value) {
    return attribute(origin, name, QZMValue::initWithInt64(value));
  }

  // Through the asynchronous entry point, as the facade sets them.
  void set(const QZMUserAttribute& userAttribute) {
    engine->setUserAttribute(userAttribute);
    drain();
  }
  bool setOnWorkerQueue(const QZMUserAttribute& userAttribute) {
    bool stored = false;
    onWorkerQueue([&] { stored = engine->setUserPropertyInDatabaseOnWorkerQueue(userAttribute); });
    return stored;
  }
  std::optional<Object> stored(const std::string& name) {
    std::optional<Object> value;
    onWorkerQueue([&] {
      auto read = engine->database()->userAttributeWithName(name);
      ASSERT_TRUE(read.ok());
      if (*read) value = (*read)->value;
    });
    return value;
  }

  template <class T>
  static T await(std::future<T>& future) {
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }
};

TEST_F(EngineUserProperties, EachOriginKeepsAtMost25NewPropertiesButMayChangeThem) {
  for (int i = 0; i < 25; ++i) ASSERT_TRUE(setOnWorkerQueue(number("crash", "_p" + std::to_string(i), i)));
  EXPECT_FALSE(setOnWorkerQueue(number("crash", "_p25", 25)));
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>{9});
  EXPECT_EQ(linesWithCode(23084).size(), 1u);
  EXPECT_FALSE(stored("_p25"));

  EXPECT_TRUE(setOnWorkerQueue(number("crash", "_p3", 300)));
  EXPECT_EQ(stored("_p3"), Object(300));
  // Another origin has its own 25.
  EXPECT_TRUE(setOnWorkerQueue(number("auto", "_p25", 25)));
}

TEST_F(EngineUserProperties, PublicPropertiesStopAtTheConfiguredLimit) {
  setSettings({{"measurement.upload.max_public_user_properties", "25"}});
  // Spread over origins: the public limit counts them all.
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(setOnWorkerQueue(text(i % 2 ? "app" : "app+x", "prop" + std::to_string(i), "v")));
  }
  EXPECT_FALSE(setOnWorkerQueue(text("app", "prop25", "v")));
  EXPECT_TRUE(setOnWorkerQueue(text("app", "prop4", "changed")));
  EXPECT_EQ(stored("prop4"), Object("changed"));
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>{9});
}

TEST_F(EngineUserProperties, TheUserIDKeepsOrResetsWhatHangsOnIt) {
  auto identity = engine->identity();
  auto token = [&] { return identity->sessionStitchingTokenWithSessionNumber(1, false, true); };

  set(text("app", "_id", "user-1"));
  set(number("auto", "_lair", 1));
  auto first = token();
  ASSERT_TRUE(first);

  set(text("app", "_id", "user-1"));
  EXPECT_EQ(stored("_lair"), Object(1)) << "the same ID keeps it";
  EXPECT_EQ(token(), first);

  set(text("app", "_id", "user-2"));
  EXPECT_FALSE(stored("_lair")) << "another ID removes it";
  EXPECT_EQ(stored("_id"), Object("user-2"));
  EXPECT_NE(token(), first);

  auto second = token();
  engine->removeUserAttribute(text("app", "_id", "user-2"));
  drain();
  EXPECT_FALSE(stored("_id"));
  EXPECT_EQ(linesWithCode(23078).size(), 1u);
  EXPECT_NE(token(), second);
}

TEST_F(EngineUserProperties, AnAdvertisingIDResetIsRecordedOnlyForAUserWithAnID) {
  auto identity = engine->identity();
  identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
  logEvent("tap");
  EXPECT_FALSE(stored("_lair"));
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  set(text("app", "_id", "user-1"));
  logEvent("tap");
  EXPECT_EQ(stored("_lair"), Object(1));
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(EngineUserProperties, ADisabledEngineSetsAndRemovesNothing) {
  set(text("app", "kept", "v"));
  engine->setEnabled(false);
  drain();
  set(text("app", "other", "v"));
  set(number("auto", "_se", 5));
  engine->removeUserAttribute(text("app", "kept", "v"));
  drain();
  EXPECT_FALSE(stored("other"));
  EXPECT_FALSE(stored("_se"));
  EXPECT_EQ(stored("kept"), Object("v"));
  EXPECT_EQ(linesWithCode(23081).size(), 2u);
  EXPECT_EQ(linesWithCode(23076).size(), 1u);
  // The storing routine itself does not look at the switch.
  EXPECT_TRUE(setOnWorkerQueue(number("auto", "_se", 5)));
}

TEST_F(EngineUserProperties, ReadBackCallsAnswerOnTheGlobalQueue) {
  set(text("app", "plan", "pro"));
  set(attribute("app", "ratio", QZMValue::initWithDouble(0.5)));
  set(number("auto", "_fot", 1700000000000));

  auto readAll = [&](bool includeInternal) {
    std::promise<Dictionary> answered;
    auto future = answered.get_future();
    engine->userPropertiesIncludingInternal(includeInternal, [&](const Dictionary& properties) {
      EXPECT_FALSE(engine->scheduler()->isOnWorkerQueue());
      answered.set_value(properties);
    });
    return await(future);
  };
  EXPECT_EQ(readAll(false), (Dictionary{{"plan", "pro"}, {"ratio", 0.5}}));
  EXPECT_EQ(readAll(true), (Dictionary{{"_fot", std::int64_t{1700000000000}}, {"plan", "pro"}, {"ratio", 0.5}}));

  std::promise<std::optional<QZMUserAttribute>> one;
  auto oneFuture = one.get_future();
  engine->userAttributeWithName("plan", [&](const std::optional<QZMUserAttribute>& found) { one.set_value(found); });
  auto found = await(oneFuture);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->origin(), "app");
  EXPECT_EQ(*found->value().stringValue(), "pro");

  for (const char* origin : {"app", "auto", "crash"}) {
    std::promise<std::int32_t> limit;
    auto limitFuture = limit.get_future();
    engine->maxUserPropertiesForOrigin(origin, [&](std::int32_t value) { limit.set_value(value); });
    EXPECT_EQ(await(limitFuture), 25) << origin;
  }
  engine->maxUserPropertiesForOrigin("", [](std::int32_t) { ADD_FAILURE() << "no answer for an empty origin"; });
  engine->userPropertiesIncludingInternal(true, nullptr);
  testkit::settle(dispatch::Queue::global());
  EXPECT_EQ(linesWithCode(23093).size(), 1u);
  EXPECT_EQ(linesWithCode(23090).size(), 1u);
}

TEST_F(EngineUserProperties, WhoDecidesWhetherAdsArePersonalised) {
  struct Case {
    const char* name;
    std::optional<Object> persisted;
    std::optional<const char*> consent;
    std::optional<Object> plist;
    std::optional<const char*> defaults;
    std::optional<std::int64_t> expected;
  };
  const std::vector<Case> cases = {
      {"nothing says", {}, {}, {}, {}, std::nullopt},
      {"the app's own switch wins", Object(false), "granted", Object(true), "granted", 1},
      {"consent next", {}, "denied", Object(true), "granted", 1},
      {"granted consent", {}, "granted", Object(false), "denied", 0},
      {"the Info.plist number", {}, {}, Object(false), "granted", 1},
      {"another Info.plist value", {}, {}, Object("no"), "denied", 0},
      {"defaults ignore case", {}, {}, {}, "DENIED", 1},
      {"granted defaults", {}, {}, {}, "granted", 0},
      {"unknown defaults", {}, {}, {}, "maybe", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine->persistedConfig()->setAllowPersonalizedAds(c.persisted);
    QZMConsentSettingsUtil::clearAllSettings();
    if (c.consent) QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_personalization", *c.consent}});
    if (c.defaults) QZMConsentSettingsUtil::setDefaultSettings(Dictionary{{"ad_personalization", *c.defaults}});
    Dictionary info{{"CFBundleIdentifier", eventkit::kEngineTestBundleID}};
    if (c.plist) info.emplace("DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", *c.plist);
    home->setInfoPlist(info);
    std::optional<std::int64_t> answer;
    onWorkerQueue([&] { answer = engine->shouldDisableAdPersonalization(); });
    EXPECT_EQ(answer, c.expected);
  }
}

TEST_F(EngineUserProperties, TheNonPersonalisedAdsPropertyMovesConsentUnlessItAgrees) {
  set(number("auto", "_npa", 1));
  EXPECT_EQ(QZMConsentSettingsUtil::adPersonalization(), false);
  set(number("auto", "_npa", 0));
  EXPECT_EQ(QZMConsentSettingsUtil::adPersonalization(), true);

  // Consent that already agrees with the value is left as it is.
  QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_personalization", "denied"}});
  set(number("auto", "_npa", 1));
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_personalization", "denied"}}));
}

}  // namespace
