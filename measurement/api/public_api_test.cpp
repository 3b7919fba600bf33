// The public API: which calls need the configured app, the on-device
// conversion inputs, consent from the host and the installation identifier.
#include <gtest/gtest.h>

#include <future>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/installations/ZNHInstallations.h"

namespace {

using foundation::Data;
using foundation::Dictionary;
using testkit::FacadeTest;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

class PublicAPI : public FacadeTest {
 protected:
  // The user data the engine got from one call, once the pause it causes is over.
  std::optional<Dictionary> userDataAfter(const std::function<void()>& call) {
    auto before = recorder->userData().size();
    call();
    clock->advance(0.5);
    testkit::settle(QZMAnalytics::queue());
    settleEngine();
    auto all = recorder->userData();
    if (all.size() == before) return std::nullopt;
    EXPECT_EQ(all.size(), before + 1);
    return all.back();
  }
};

TEST_F(PublicAPI, CallsThatNeedTheConfiguredAppAreDroppedWithALine) {
  struct Case {
    std::function<void()> call;
    std::int64_t code;
    std::vector<std::string> contexts;
  };
  const Case cases[] = {
      {[] { ZNHAnalytics::logEventWithName("level_up", {{"level", 3}}); }, 25018, {"level_up"}},
      {[] { ZNHAnalytics::setUserPropertyString("pro", "plan"); }, 25019, {"plan"}},
      {[] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c"); }, 25051, {}},
      {[] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber("+15555550100"); }, 25052, {}},
      {[] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(Data(32, 1)); }, 25053, {}},
      {[] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(Data(32, 1)); }, 25054, {}},
  };
  for (const Case& c : cases) {
    c.call();
    auto lines = linesWithCode(c.code);
    ASSERT_EQ(lines.size(), 1u) << c.code;
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].contexts, c.contexts);
  }
  EXPECT_EQ(QZMAnalytics::operationQueue()->operationCount(), 0u) << "nothing was held for later";

  // These need no configured app: they wait for the start or act at once.
  ZNHAnalytics::setUserID("user-7");
  ZNHAnalytics::setConsent({{"ad_storage", "granted"}});
  ZNHAnalytics::setAnalyticsCollectionEnabled(false);
  ZNHAnalytics::setSessionTimeoutInterval(60);
  settleEngine();
  EXPECT_EQ(QZMAnalytics::operationQueue()->operationCount(), 1u);
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "granted"}}));
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  EXPECT_EQ(linesWithCode(25059).size(), 1u);

  configureWithRecordingEngine(false);
  EXPECT_EQ(recorder->attributes().size(), 1u) << "the held user ID";
}

TEST_F(PublicAPI, AppEventsAndPropertiesReachTheEngineOnceConfigured) {
  configureWithRecordingEngine();
  ZNHAnalytics::logEventWithName("level_up", {{"level", 3}, {"character", "otter"}});
  ZNHAnalytics::setUserPropertyString("pro", "plan");
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(events[0].parameters, (QZMDictionary{{"level", 3}, {"character", "otter"}}));
  auto attributes = recorder->attributes();
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].origin, "app");
  EXPECT_EQ(attributes[0].name, "plan");
}

TEST_F(PublicAPI, HashedIdentifiersAreDigestsOrTheirHexadecimalText) {
  configureWithRecordingEngine();
  const Data digest = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                       0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  const std::string hex = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef";
  struct Case {
    const char* name;
    std::optional<Data> input;
    std::optional<Data> expected;  // nullopt: refused
    bool lengthWarning;
  };
  const Case cases[] = {
      {"digest", digest, digest, false},
      {"hexadecimal text", bytes(hex), digest, true},
      {"text that is not hexadecimal", bytes(hex.substr(0, 62) + "zz"), std::nullopt, true},
      {"a short digest", Data(10, 7), Data(10, 7), true},
      {"nothing", std::nullopt, Data(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMonitorLines();
    auto handed = userDataAfter([&] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(c.input); });
    EXPECT_EQ(linesWithCode(25056).size(), c.lengthWarning ? 1u : 0u);
    if (c.expected) {
      EXPECT_EQ(handed, (Dictionary{{kZNHUserDataHashedEmailAddress, *c.expected}}));
    } else {
      EXPECT_FALSE(handed);
      EXPECT_EQ(linesWithCode(25045).size(), 1u);
    }
  }

  clearMonitorLines();
  EXPECT_EQ(userDataAfter([&] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(bytes(hex)); }),
            (Dictionary{{kZNHUserDataHashedPhoneNumber, digest}}));
  EXPECT_EQ(linesWithCode(25057).size(), 1u);
  EXPECT_FALSE(userDataAfter([&] {
    ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(bytes(std::string(64, 'g')));
  }));
  EXPECT_EQ(linesWithCode(25046).size(), 1u);
}

TEST_F(PublicAPI, PlainIdentifiersAreHandedOnEvenWhenEmpty) {
  configureWithRecordingEngine();
  EXPECT_EQ(userDataAfter([] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt); }),
            (Dictionary{{kZNHUserDataEmailAddress, ""}}));
  EXPECT_EQ(userDataAfter([] { ZNHAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber("+15555550100"); }),
            (Dictionary{{kZNHUserDataPhoneNumber, "+15555550100"}}));
}

TEST_F(PublicAPI, TheHostsConsentOutranksTheFirstPartysButNotTCF) {
  ZNHAnalytics::setConsent({{"ad_storage", "granted"}});
  EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), kQZMConsentSourceAPI);
  EXPECT_EQ(linesWithCode(25055).size(), 1u);

  QZMAnalytics::setConsent({{"ad_storage", "denied"}});
  EXPECT_EQ(linesWithCode(25043).size(), 1u);
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "granted"}}));

  QZMAnalytics::setConsent({{"ad_storage", "denied"}}, kQZMConsentSettingsTCFKey);
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "denied"}}));
  ZNHAnalytics::setConsent({{"ad_storage", "granted"}});
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "granted"}}));
}

TEST_F(PublicAPI, AdPersonalizationConsentSetsThePersonalisedAdsProperty) {
  configureWithRecordingEngine();
  recorder->npa = 1;
  ZNHAnalytics::setConsent({{"ad_personalization", "denied"}});
  settleEngine();
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->allowPersonalizedAds(), foundation::Object(false));
  auto attributes = recorder->attributes();
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].name, "_npa");

  // Other consent types leave the property alone.
  ZNHAnalytics::setConsent({{"ad_storage", "granted"}});
  settleEngine();
  EXPECT_EQ(recorder->attributes().size(), 1u);
}

TEST_F(PublicAPI, TheInstallationIdentifierFollowsTheInstallationsService) {
  ASSERT_TRUE(configure().ok());
  auto installations = ZNHInstallations::installations();
  auto current = [&] {
    std::promise<std::optional<std::string>> answer;
    installations->installationIDWithCompletion(
        [&](const std::optional<std::string>& id, const std::optional<foundation::Error>&) { answer.set_value(id); });
    return answer.get_future().get();
  };
  auto identity = QZMIdentity::sharedInstance();
  auto waitFor = [&](const std::optional<std::string>& id) {
    for (int i = 0; i < 1000 && identity->zarnholtInstallationID() != id; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return identity->zarnholtInstallationID();
  };
  auto first = current();
  ASSERT_TRUE(first);
  EXPECT_EQ(waitFor(first), first);

  // Observing again keeps it observed: a new identifier arrives.
  ZNHAnalytics::observeZarnholtInstallationIDChanges();
  std::promise<void> deleted;
  installations->deleteWithCompletion([&](const std::optional<foundation::Error>&) { deleted.set_value(); });
  deleted.get_future().wait();
  auto second = current();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(waitFor(second), second);
}

}  // namespace
