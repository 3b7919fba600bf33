#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Dictionary;
using foundation::Object;
using Util = QZMConsentSettingsUtil;

class ConsentSettingsTest : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    Util::clearAllSettings();
    Util::setVersion(1);
  }
  void TearDown() override {
    Util::clearAllSettings();
    Util::setVersion(1);
    FoundationTest::TearDown();
  }

  // What the facade does with consent from a source: ignore it when a
  // stronger source set the current state, else merge it.
  static void offer(const Dictionary& settings, QZMConsentSource source) {
    if (Util::isConsentSourceHigherPriority(source)) Util::updateSettings(settings, source);
  }
};

TEST_F(ConsentSettingsTest, SourcePriority) {
  struct Case {
    QZMConsentSource current, given;
    bool higher, equal;
  };
  const Case cases[] = {
      {5, 10, true, true},    {10, 5, true, true},    {10, 20, false, false}, {20, 10, true, false},
      {5, 20, false, false},  {100, 100, true, true}, {100, 40, true, false}, {40, 30, true, false},
      {30, 40, false, false}, {20, 20, true, true},
  };
  for (const Case& c : cases) {
    Util::setConsentSource(c.current);
    EXPECT_EQ(Util::isConsentSourceHigherPriority(c.given), c.higher) << c.current << " vs " << c.given;
    EXPECT_EQ(Util::isConsentSourceEqualPriority(c.given), c.equal) << c.current << " vs " << c.given;
  }
}

TEST_F(ConsentSettingsTest, MergeFollowsSourcePriority) {
  struct Step {
    Dictionary settings;
    QZMConsentSource source;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Dictionary expected;
    QZMConsentSource expectedSource;
    const char* diagnostics;
  };
  const Case cases[] = {
      {"the host's call and TCF rank equal, so the later wins",
       {{{{"ad_storage", "denied"}}, 10}, {{{"ad_storage", "granted"}}, 5}},
       {{"ad_storage", "granted"}},
       5,
       "17999"},
      {"and the other way round",
       {{{{"ad_storage", "granted"}}, 5}, {{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}, 10}},
       {{"ad_storage", "denied"}, {"analytics_storage", "denied"}},
       10,
       "15599"},
      {"the Info.plist never overrides TCF",
       {{{{"ad_storage", "granted"}}, 5}, {{{"ad_storage", "denied"}, {"ad_user_data", "denied"}}, 20}},
       {{"ad_storage", "granted"}},
       5,
       "17999"},
      {"weaker sources are ignored, a stronger one is merged over what stands",
       {{{{"ad_storage", "denied"}}, 20},
        {{{"ad_storage", "granted"}}, 40},
        {{{"analytics_storage", "denied"}}, 30},
        {{{"analytics_storage", "granted"}}, 10}},
       {{"ad_storage", "denied"}, {"analytics_storage", "granted"}},
       10,
       "13599"},
      {"with nothing loaded any source is taken",
       {{{{"ad_personalization", "granted"}}, 40}},
       {{"ad_personalization", "granted"}},
       40,
       "19994"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Util::clearAllSettings();
    for (const Step& step : c.steps) offer(step.settings, step.source);
    EXPECT_EQ(Util::consentSettings(), c.expected);
    EXPECT_EQ(Util::consentSource(), c.expectedSource);
    EXPECT_EQ(Util::consentDiagnostics(), c.diagnostics);
  }
}

TEST_F(ConsentSettingsTest, EUPolicyFollowsTheRegionalDefault) {
  struct Case {
    const char* value;
    std::optional<Dictionary> regional;
    bool adUserDataDenied;
    std::optional<bool> adPersonalization;
    const char* description;
  };
  const Case cases[] = {
      {"EU_CONSENT_POLICY", std::nullopt, true, false,
       "ad_storage is granted. analytics_storage is granted. ad_user_data is denied (eu_consent_policy). "
       "ad_personalization is denied (eu_consent_policy)."},
      {"eu_consent_policy", Dictionary{{"ad_user_data", "granted"}, {"ad_personalization", "granted"}}, false, true,
       "ad_storage is granted. analytics_storage is granted. ad_user_data is granted (eu_consent_policy). "
       "ad_personalization is granted (eu_consent_policy)."},
      {"Eu_Consent_Policy", Dictionary{{"ad_user_data", "denied"}}, true, false,
       "ad_storage is granted. analytics_storage is granted. ad_user_data is denied (eu_consent_policy). "
       "ad_personalization is denied (eu_consent_policy)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Util::clearAllSettings();
    Util::setRegionalDefaults(c.regional);
    Util::updateSettings({{"ad_user_data", c.value}, {"ad_personalization", c.value}}, kQZMConsentSourceAPI);
    EXPECT_EQ(Util::isAdUserDataDenied(), c.adUserDataDenied);
    EXPECT_EQ(Util::adPersonalization(), c.adPersonalization);
    EXPECT_EQ(Util::description(), c.description);
    EXPECT_EQ(Util::consentDiagnostics(), "19988");
  }

  // For a storage type the value is an ordinary one: neither granted nor denied.
  Util::clearAllSettings();
  Util::setConsentSettings(Dictionary{{"ad_storage", "eu_consent_policy"}});
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_EQ(Util::consentSignals(), "G1--");
  EXPECT_EQ(Util::description(), "ad_storage is eu_consent_policy. analytics_storage is granted.");
}

TEST_F(ConsentSettingsTest, AdUserDataFollowsDelegationThenDefault) {
  struct Case {
    const char* name;
    Dictionary current;
    std::optional<Dictionary> defaults;
    bool denied;
    char digit;
  };
  const Case cases[] = {
      {"the delegated type's current value decides",
       {{"ad_storage", "denied"}},
       Dictionary{{"ad_user_data", "granted"}},
       true,
       '2'},
      {"a granted delegate", {{"ad_storage", "Granted"}}, Dictionary{{"ad_user_data", "denied"}}, false, '2'},
      {"without the delegate's value the default decides",
       {{"analytics_storage", "denied"}},
       Dictionary{{"ad_user_data", "denied"}},
       true,
       '2'},
      {"nothing anywhere is not denied", {}, std::nullopt, false, '2'},
      {"an own value beats the delegate",
       {{"ad_storage", "denied"}, {"ad_user_data", "granted"}},
       std::nullopt,
       false,
       '5'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Util::clearAllSettings();
    Util::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
    Util::setDefaultSettings(c.defaults);
    Util::updateSettings(c.current, kQZMConsentSourceAPI);
    EXPECT_EQ(Util::isAdUserDataDenied(), c.denied);
    EXPECT_EQ(Util::consentDiagnostics()[3], c.digit);
    EXPECT_TRUE(Util::didAdUserDataConsentChange(!c.denied));
    EXPECT_FALSE(Util::didAdUserDataConsentChange(c.denied));
  }
}

TEST_F(ConsentSettingsTest, SignalsAndDiagnostics) {
  struct Case {
    const char* name;
    std::optional<Dictionary> current;
    std::optional<Dictionary> defaults;
    QZMConsentSource source;
    const char* signals;
    const char* diagnostics;
  };
  const Case cases[] = {
      {"nothing", std::nullopt, std::nullopt, 100, "G1--", "19999"},
      {"ad storage granted only", Dictionary{{"ad_storage", "granted"}}, std::nullopt, 10, "G11-", "15999"},
      {"both storage types, a default for ad user data",
       Dictionary{{"ad_storage", "Denied"}, {"analytics_storage", "granted"}}, Dictionary{{"ad_user_data", "granted"}},
       10, "G101", "15519"},
      {"defaults never count for the storage types", std::nullopt,
       Dictionary{{"ad_storage", "denied"}, {"ad_personalization", "denied"}}, 100, "G1--", "19991"},
      {"values that are not strings match nothing", Dictionary{{"ad_storage", 0}, {"analytics_storage", "yes"}},
       std::nullopt, 20, "G1--", "13399"},
      {"TCF", Dictionary{{"ad_storage", "denied"}, {"ad_user_data", "denied"}, {"ad_personalization", "granted"}},
       std::nullopt, 5, "G10-", "17977"},
      {"first-party settings at start", Dictionary{{"analytics_storage", "denied"}}, std::nullopt, 40, "G1-0", "19499"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Util::clearAllSettings();
    Util::setDefaultSettings(c.defaults);
    if (c.current) Util::updateSettings(*c.current, c.source);
    EXPECT_EQ(Util::consentSignals(), c.signals);
    EXPECT_EQ(Util::consentDiagnostics(), c.diagnostics);
  }
}

TEST_F(ConsentSettingsTest, DiagnosticDigitsFromSourceAndByHand) {
  Util::setConsentSettings(Dictionary{{"ad_storage", "granted"}, {"analytics_storage", "granted"}});
  // Set directly, the settings keep the reset digit until the source is told.
  EXPECT_EQ(Util::consentDiagnostics(), "10099");
  Util::setConsentSource(kQZMConsentSourceInfoPlist);
  EXPECT_EQ(Util::consentDiagnostics(), "13399");
  Util::setDiagnosticSource(6, "analytics_storage");
  EXPECT_EQ(Util::consentDiagnostics(), "13699");
  Util::refreshDiagnosticSources(true);
  EXPECT_EQ(Util::consentDiagnostics(), "13399");
  Util::resetDiagnosticSources();
  EXPECT_EQ(Util::consentDiagnostics(), "10099");
}

TEST_F(ConsentSettingsTest, SettersAndResets) {
  Util::updateSettings({{"ad_storage", "denied"}, {"ad_personalization", "granted"}}, kQZMConsentSourceTCF);
  Util::updateSettings({{"analytics_storage", "denied"}});
  EXPECT_EQ(Util::consentSource(), kQZMConsentSourceTCF);
  EXPECT_EQ(Util::consentDiagnostics(), "17097");
  EXPECT_EQ(Util::adPersonalization(), true);

  Util::unsetAdPersonalization();
  EXPECT_EQ(Util::consentSettings(), (Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}));
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);
  EXPECT_EQ(Util::consentDiagnostics(), "17099");

  Util::setVersion(2);
  Util::setVersion(3);
  Util::setVersion(0);
  EXPECT_EQ(Util::version(), 2);

  // Removing the settings also forgets their source, so any source is taken.
  Util::setConsentSettings(std::nullopt);
  EXPECT_EQ(Util::consentSource(), kQZMConsentSourceUnset);
  EXPECT_TRUE(Util::isConsentSourceHigherPriority(kQZMConsentSourceFirstParty));
  EXPECT_EQ(Util::consentSettings(), std::nullopt);

  Util::updateSettings({{"ad_storage", "denied"}}, kQZMConsentSourceAPI);
  Util::setDefaultSettings(Dictionary{{"ad_user_data", "denied"}});
  Util::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
  Util::setRegionalDefaults(Dictionary{{"ad_user_data", "granted"}});
  Util::clearAllSettings();
  EXPECT_EQ(Util::consentSource(), kQZMConsentSourceUnset);
  EXPECT_EQ(Util::consentSettings(), std::nullopt);
  EXPECT_EQ(Util::defaultSettings(), std::nullopt);
  EXPECT_EQ(Util::delegatedSettings(), std::nullopt);
  EXPECT_EQ(Util::regionalDefaults(), std::nullopt);
  EXPECT_FALSE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::consentDiagnostics(), "19999");
}

TEST_F(ConsentSettingsTest, SettingsFromDictionaryKeepOnlyConsentTypes) {
  const Dictionary input{{"ad_storage", "granted"}, {"ad_user_data", 7}, {"unknown", "denied"}, {"AD_STORAGE", "x"}};
  EXPECT_EQ(Util::consentSettingsFromDictionary(input), (Dictionary{{"ad_storage", "granted"}, {"ad_user_data", 7}}));
}

TEST_F(ConsentSettingsTest, InfoPlistDefaults) {
  constexpr const char* kAdStorage = "DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
  constexpr const char* kAnalytics = "DRALIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
  constexpr const char* kUserData = "DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
  constexpr const char* kPersonalization = "DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
  struct Case {
    const char* key;
    Object value;
    const char* type;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {kAdStorage, "no", "ad_storage", "denied"},
      {kAdStorage, 1, "ad_storage", "granted"},
      {kAdStorage, Dictionary{{"a", 1}}, "ad_storage", std::nullopt},
      {kAdStorage, "eu_consent_policy", "ad_storage", std::nullopt},
      {kAnalytics, "YES", "analytics_storage", "granted"},
      {kAnalytics, false, "analytics_storage", "denied"},
      {kAnalytics, " +007", "analytics_storage", "granted"},
      {kUserData, "EU_Consent_Policy", "ad_user_data", "eu_consent_policy"},
      {kUserData, "true", "ad_user_data", "granted"},
      {kPersonalization, true, "ad_personalization", std::nullopt},
      {kPersonalization, "eu_consent_policy", "ad_personalization", "eu_consent_policy"},
      {kPersonalization, "false", "ad_personalization", "denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.value.description());
    home->setInfoPlist({{c.key, c.value}});
    Dictionary expected;
    if (c.expected) expected[c.type] = *c.expected;
    EXPECT_EQ(Util::consentSettingsFromPlist(), expected);
  }
  home->setInfoPlist({});
  EXPECT_TRUE(Util::consentSettingsFromPlist().empty());
}

TEST_F(ConsentSettingsTest, ConcurrentWritersAndReadersKeepOneConsistentState) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const char* type = kQZMConsentTypes[t];
      for (int i = 0; i < 100; ++i) {
        Util::updateSettings({{type, i % 2 ? "granted" : "denied"}},
                             t % 2 ? kQZMConsentSourceAPI : kQZMConsentSourceTCF);
        (void)Util::consentDiagnostics();
        (void)Util::description();
        (void)Util::isAdUserDataDenied();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const Dictionary expected{{"ad_storage", "granted"},
                            {"analytics_storage", "granted"},
                            {"ad_user_data", "granted"},
                            {"ad_personalization", "granted"}};
  EXPECT_EQ(Util::consentSettings(), expected);
  EXPECT_EQ(Util::consentSignals(), "G111");
}

}  // namespace
