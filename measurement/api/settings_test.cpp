// The facade's consent bookkeeping: what it persists per source and how it
// restores it.
#include <gtest/gtest.h>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

class FacadeConsent : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    QZMConsentSettingsUtil::clearAllSettings();
  }
  void TearDown() override {
    QZMConsentSettingsUtil::clearAllSettings();
    FoundationTest::TearDown();
  }
};

TEST_F(FacadeConsent, PersistedSettingsComeBackWithASourceNoHigherThanTheirKind) {
  const Dictionary granted = {{"ad_storage", "granted"}};
  const Dictionary denied = {{"ad_storage", "denied"}};
  struct Case {
    QZMConsentSource persisted;
    std::optional<Dictionary> tcf, host, firstParty;
    std::optional<Dictionary> expectedSettings;
    QZMConsentSource expectedSource;
  };
  const Case cases[] = {
      {kQZMConsentSourceTCF, granted, denied, {}, granted, kQZMConsentSourceTCF},
      {kQZMConsentSourceOtherKey, {}, denied, {}, denied, kQZMConsentSourceInfoPlist},
      {kQZMConsentSourceAPI, {}, {}, granted, granted, kQZMConsentSourceAPI},
      {kQZMConsentSourceFirstParty, {}, {}, granted, granted, kQZMConsentSourceFirstParty},
      {kQZMConsentSourceOtherKey, {}, {}, {}, std::nullopt, kQZMConsentSourceOtherKey},
      {kQZMConsentSourceUnset, granted, {}, {}, std::nullopt, kQZMConsentSourceUnset},
  };
  auto store = QZMAnalytics::settingsStore();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "persisted source " << c.persisted);
    QZMAnalytics::clearConsent();
    if (c.persisted != kQZMConsentSourceUnset) store->setInteger(c.persisted, kQZMConsentSourceKey);
    if (c.tcf) store->setObject(Object(*c.tcf), kQZMConsentSettingsTCFKey);
    if (c.host) store->setObject(Object(*c.host), kQZMConsentSettings3PKey);
    if (c.firstParty) store->setObject(Object(*c.firstParty), kQZMConsentSettings1PKey);

    QZMAnalytics::loadPersistedConsentSettings();
    EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), c.expectedSource);
    EXPECT_EQ(QZMConsentSettingsUtil::consentSettings().value_or(Dictionary()),
              c.expectedSettings.value_or(Dictionary()));
  }
}

TEST_F(FacadeConsent, SettingConsentKeepsValidValuesAndPersistsThemUnderTheirSource) {
  QZMAnalytics::setConsent({{"ad_storage", "granted"}, {"analytics_storage", "maybe"}, {"unknown", "granted"}},
                           kQZMConsentSettings3PKey);
  EXPECT_EQ(linesWithCode(25042).size(), 1u);
  EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), kQZMConsentSourceAPI);
  EXPECT_EQ(QZMAnalytics::consentSettings3P(), (Dictionary{{"ad_storage", "granted"}}));
  EXPECT_EQ(QZMAnalytics::persistedConsentSource(), kQZMConsentSourceAPI);

  // A lower-ranking source is refused and changes nothing.
  QZMAnalytics::setConsent({{"ad_storage", "denied"}}, kQZMConsentSettings1PKey);
  EXPECT_EQ(linesWithCode(25043).size(), 1u);
  EXPECT_FALSE(QZMAnalytics::consentSettings1P());
  EXPECT_EQ(QZMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "granted"}}));

  // TCF ranks with the host's call and is kept under its own key.
  QZMAnalytics::setConsent({{"ad_storage", "denied"}}, kQZMConsentSettingsTCFKey);
  EXPECT_EQ(QZMAnalytics::consentSettingsTCF(), (Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(QZMAnalytics::persistedConsentSource(), kQZMConsentSourceTCF);

  clearMonitorLines();
  QZMAnalytics::setConsent({{"ad_storage", "yes"}, {"ad_user_data", Object(1)}}, kQZMConsentSettings3PKey);
  EXPECT_EQ(linesWithCode(25042).size(), 2u);
  EXPECT_EQ(linesWithCode(25041).size(), 1u);
}

}  // namespace
