#include <gtest/gtest.h>

#include <vector>

#include "measurement/consent/QZMTCFClient.h"
#include "measurement/consent/QZMTCFData.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Object;

// A vendor bit string with the SDK's vendor set or not; shorter on request.
std::string vendorBits(bool set, std::size_t length = kQZMTCFVendorID + 3) {
  std::string bits(length, '1');
  if (length >= static_cast<std::size_t>(kQZMTCFVendorID)) bits[kQZMTCFVendorID - 1] = set ? '1' : '0';
  return bits;
}

// A publisher restriction string with the given type for the SDK's vendor.
std::string restriction(char type) {
  std::string text(kQZMTCFVendorID + 2, '3');
  text[kQZMTCFVendorID - 1] = type;
  return text;
}

const Dictionary kEverythingGranted{
    {"IABTCF_gdprApplies", 1},
    {"IABTCF_EnableAdvertiserConsentMode", 1},
    {"IABTCF_PurposeConsents", "1111111111"},
    {"IABTCF_PurposeLegitimateInterests", "1111111111"},
    {"IABTCF_VendorConsents", vendorBits(true)},
    {"IABTCF_VendorLegitimateInterests", vendorBits(true)},
    {"IABTCF_PolicyVersion", 4},
    {"IABTCF_CmpSdkID", 300},
};

Dictionary with(Dictionary base, const Dictionary& changes) {
  for (const auto& [key, value] : changes) {
    if (value.isNull()) {
      base.erase(key);
    } else {
      base[key] = value;
    }
  }
  return base;
}

Dictionary consent(const char* adStorage, const char* adPersonalization, const char* adUserData) {
  return {{"ad_storage", adStorage}, {"ad_personalization", adPersonalization}, {"ad_user_data", adUserData}};
}

class TCFTest : public testkit::FoundationTest {
 protected:
  struct Event {
    std::string origin, name;
    Dictionary parameters;
  };
  struct Applied {
    Dictionary consent;
    std::string key;
  };

  void SetUp() override {
    FoundationTest::SetUp();
    client = std::make_unique<QZMTCFClient>(QZMTCFClient::Handlers{
        [this](const Dictionary& settings, const std::string& key) {
          applied.push_back({settings, key});
        },
        [this](const std::string& origin, const std::string& name, const Dictionary& parameters) {
          events.push_back({origin, name, parameters});
        }});
  }

  // Replaces the app's TCF keys with these.
  void store(const Dictionary& keys) {
    auto defaults = QZMUserDefaults::sharedUserDefaults();
    defaults->clearAllData();
    for (const auto& [key, value] : keys) defaults->setObject(value, key);
  }

  std::shared_ptr<QZMUserDefaults> suite() { return QZMUserDefaults::initWithSuiteName(kQZMTCFSuiteName); }

  std::unique_ptr<QZMTCFClient> client;
  std::vector<Event> events;
  std::vector<Applied> applied;
};

TEST_F(TCFTest, ConsentAndEventFromTheStoredKeys) {
  struct Case {
    const char* name;
    Dictionary keys;
    std::optional<Dictionary> consent;  // nullopt: not applied
    const char* tcfd;
    const char* tcfd2;
    const char* tcfm;
  };
  const Case cases[] = {
      {"everything granted", kEverythingGranted, consent("granted", "granted", "granted"), "14I4f", "21111", "01"},
      {"no legitimate interest for the vendor",
       with(kEverythingGranted, {{"IABTCF_VendorLegitimateInterests", vendorBits(false)}}),
       consent("granted", "granted", "denied"), "14I4f", "21115", "01"},
      {"policy version 2 keeps ad user data out", with(kEverythingGranted, {{"IABTCF_PolicyVersion", 2}}),
       consent("granted", "granted", "denied"), "14I2f", "21111", "01"},
      {"vendor consents shorter than the vendor's bit", with(kEverythingGranted, {{"IABTCF_VendorConsents", "1"}}),
       consent("denied", "denied", "denied"), "14I4f", "24441", "10"},
      {"purpose 1 not allowed by the publisher",
       with(kEverythingGranted, {{"IABTCF_PublisherRestrictions1", restriction('0')}}),
       consent("denied", "granted", "denied"), "14I4f", "23111", "01"},
      {"purpose 1 restricted to a basis the vendor cannot use",
       with(kEverythingGranted, {{"IABTCF_PublisherRestrictions1", restriction('2')}}),
       consent("denied", "granted", "denied"), "14I4f", "28111", "01"},
      {"purpose 7 restricted to consent, consent bit set",
       with(kEverythingGranted, {{"IABTCF_PublisherRestrictions7", restriction('1')}}),
       consent("granted", "granted", "granted"), "14I4f", "21111", "01"},
      {"purpose 7 restricted to consent, consent bit clear",
       with(kEverythingGranted,
            {{"IABTCF_PublisherRestrictions7", restriction('1')}, {"IABTCF_PurposeConsents", "1111110111"}}),
       consent("granted", "granted", "denied"), "14I4f", "21116", "01"},
      {"purpose 7 restricted to consent without vendor consent",
       with(kEverythingGranted,
            {{"IABTCF_PublisherRestrictions7", restriction('1')}, {"IABTCF_VendorConsents", vendorBits(false)}}),
       consent("denied", "denied", "denied"), "14I4f", "24444", "10"},
      {"purpose-one treatment for a Swiss publisher",
       with(kEverythingGranted, {{"IABTCF_PurposeConsents", "0111111111"},
                                 {"IABTCF_PurposeOneTreatment", true},
                                 {"IABTCF_PublisherCC", "CH"}}),
       consent("granted", "granted", "granted"), "14I4f", "21111", "01"},
      {"purpose-one treatment elsewhere",
       with(kEverythingGranted, {{"IABTCF_PurposeConsents", "0111111111"},
                                 {"IABTCF_PurposeOneTreatment", true},
                                 {"IABTCF_PublisherCC", "DE"}}),
       consent("denied", "granted", "denied"), "14I4f", "26111", "01"},
      {"CMP identifier out of range", with(kEverythingGranted, {{"IABTCF_CmpSdkID", 5000}}),
       consent("granted", "granted", "granted"), "1004f", "21111", "01"},
      {"GDPR does not apply: reported, not applied", with(kEverythingGranted, {{"IABTCF_gdprApplies", 0}}),
       std::nullopt, "14I4d", "21111", "01"},
      {"advertiser consent mode off", with(kEverythingGranted, {{"IABTCF_EnableAdvertiserConsentMode", false}}),
       std::nullopt, "14I47", "21111", "01"},
      {"malformed bit strings read as absent",
       with(kEverythingGranted,
            {{"IABTCF_PurposeConsents", "11x1111111"}, {"IABTCF_VendorLegitimateInterests", "1 1"}}),
       consent("denied", "denied", "denied"), "14I4f", "26665", "00"},
      {"numbers of the wrong kind read as absent",
       with(kEverythingGranted, {{"IABTCF_PolicyVersion", 4.0}, {"IABTCF_CmpSdkID", "300"}, {"IABTCF_gdprApplies", 2}}),
       std::nullopt, "1000d", "21111", "01"},
      {"a malformed restriction string is no restriction",
       with(kEverythingGranted, {{"IABTCF_PublisherRestrictions1", std::string(kQZMTCFVendorID - 1, '3') + "0x"}}),
       consent("granted", "granted", "granted"), "14I4f", "21111", "01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    applied.clear();
    client->clearPersistedValues();
    store(c.keys);
    client->setConsentFromTCFData();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].origin, "auto");
    EXPECT_EQ(events[0].name, "_tcf");
    EXPECT_EQ(events[0].parameters, (Dictionary{{"_tcfd", c.tcfd}, {"_tcfd2", c.tcfd2}, {"_tcfm", c.tcfm}}));
    if (c.consent) {
      ASSERT_EQ(applied.size(), 1u);
      EXPECT_EQ(applied[0].consent, *c.consent);
      EXPECT_EQ(applied[0].key, "consent_settings_tcf");
    } else {
      EXPECT_TRUE(applied.empty());
    }
    // What was applied is remembered as the previous consent.
    EXPECT_EQ(client->previousConsent(), QZMTCFClient::consentFromTCFData(client->tcfData()));
  }
}

TEST_F(TCFTest, StringRepresentation) {
  store(with(kEverythingGranted, {{"IABTCF_PublisherRestrictions3", restriction('2')},
                                  {"IABTCF_PublisherRestrictions10", restriction('0')},
                                  {"IABTCF_PublisherRestrictions4", "22"},
                                  {"IABTCF_PurposeOneTreatment", 0},
                                  {"IABTCF_PublisherCC", "DE"}}));
  client->readTCFData();
  EXPECT_EQ(client->stringRepresentationFromTCFData(),
            "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,hasDralixInVendorConsents=1,"
            "hasDralixInVendorLegitimateInterests=1,gdprApplies=1,policyVersion=4,purposeConsents=1111111111,"
            "purposeLegitimateInterests=1111111111,publisherRestrictions=||2|||||||0,isPurposeOneTreatmentEnabled=0,"
            "publisherCC=DE");
  EXPECT_TRUE(client->hasTCFDataToRead());
  EXPECT_TRUE(client->shouldApplyTCFData());

  store({});
  client->readTCFData();
  EXPECT_EQ(client->stringRepresentationFromTCFData(), "_v_=2,isTCFDataEnabled=1");
  EXPECT_FALSE(client->hasTCFDataToRead());
}

TEST_F(TCFTest, NothingToReadDoesNothing) {
  store({{"unrelated", 1}});
  client->setConsentFromTCFData();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(applied.empty());
  EXPECT_FALSE(suite()->objectForKey(kQZMTCFStringRepresentationKey));
}

TEST_F(TCFTest, DisabledInTheInfoPlistIsReportedOnceButNeverApplied) {
  home->setInfoPlist({{"DRALIX_ANALYTICS_TCF_DATA_ENABLED", false}});
  QZMTCFClient disabled({[this](const Dictionary& s, const std::string& k) {
                           applied.push_back({s, k});
                         },
                         [this](const std::string& o, const std::string& n, const Dictionary& p) {
                           events.push_back({o, n, p});
                         }});
  store(kEverythingGranted);
  disabled.setConsentFromTCFData();
  disabled.setConsentFromTCFData();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].parameters.at("_tcfd"), Object("14I4b"));
  EXPECT_TRUE(applied.empty());

  store({});
  disabled.setConsentFromTCFData();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(suite()->stringForKey(kQZMTCFStringRepresentationKey), "_v_=2,isTCFDataEnabled=0");
}

TEST_F(TCFTest, ActsOnlyWhenTheDataChanges) {
  store(kEverythingGranted);
  client->setConsentFromTCFData();
  client->setConsentFromTCFData();
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(applied.size(), 1u);
  EXPECT_TRUE(client->persistedValuesEqualCurrentData());

  // A restarted client remembers through its suite.
  QZMTCFClient restarted({[this](const Dictionary& s, const std::string& k) {
                            applied.push_back({s, k});
                          },
                          [this](const std::string& o, const std::string& n, const Dictionary& p) {
                            events.push_back({o, n, p});
                          }});
  restarted.setConsentFromTCFData();
  EXPECT_EQ(events.size(), 1u);

  store(with(kEverythingGranted, {{"IABTCF_PurposeConsents", "1101111111"}}));
  restarted.setConsentFromTCFData();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].parameters.at("_tcfm"), Object("01"));
  ASSERT_EQ(applied.size(), 2u);
  EXPECT_EQ(applied[1].consent, consent("granted", "denied", "granted"));

  // The suite holds the values under their keys; absent ones are removed.
  auto remembered = suite();
  EXPECT_EQ(remembered->stringForKey("IABTCF_PurposeConsents"), "1101111111");
  EXPECT_EQ(remembered->objectForKey("IABTCF_PublisherCC"), std::nullopt);
  EXPECT_EQ(remembered->arrayForKey("IABTCF_PublisherRestrictions"), Array(10, Object("")));
  EXPECT_TRUE(remembered->boolForKey("DRALIX_ANALYTICS_TCF_DATA_ENABLED"));
}

TEST_F(TCFTest, OneTimeVendorFixOnlyAgainstAnOlderFormat) {
  const Dictionary noVendor = with(kEverythingGranted, {{"IABTCF_VendorConsents", vendorBits(false)}});
  suite()->setObject(Object("isTCFDataEnabled=1,gdprApplies=1"), kQZMTCFStringRepresentationKey);
  store(noVendor);
  client->readTCFData();
  EXPECT_TRUE(client->shouldApplyOneTimeTCFVendorFix());
  client->setConsentFromTCFData();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].parameters.at("_tcfm"), Object("10"));

  store(with(noVendor, {{"IABTCF_CmpSdkID", 7}}));
  client->readTCFData();
  EXPECT_FALSE(client->shouldApplyOneTimeTCFVendorFix());
  client->setConsentFromTCFData();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].parameters.at("_tcfm"), Object("00"));
}

TEST_F(TCFTest, DMARegionFlag) {
  store(kEverythingGranted);
  client->readTCFData();
  EXPECT_TRUE(client->isDMARegion());
  EXPECT_EQ(client->tcfBundleParameterValue(), "14I4f");
  client->setIsDMARegion(false);
  EXPECT_EQ(client->tcfBundleParameterValue(), "14I4e");
}

TEST_F(TCFTest, LegalBasisTable) {
  struct Case {
    std::int64_t purpose;
    char restriction;  // 0 for none
    QZMTCFLegalBasis basis;
  };
  const Case cases[] = {
      {1, 0, kQZMTCFLegalBasisConsent},
      {1, '0', kQZMTCFLegalBasisNone},
      {1, '1', kQZMTCFLegalBasisConsent},
      {1, '2', kQZMTCFLegalBasisUnusable},
      {2, 0, kQZMTCFLegalBasisLegitimateInterest},
      {2, '1', kQZMTCFLegalBasisConsent},
      {7, '2', kQZMTCFLegalBasisLegitimateInterest},
      {5, 0, kQZMTCFLegalBasisNone},
      {11, 0, kQZMTCFLegalBasisNone},
      {0, 0, kQZMTCFLegalBasisNone},
  };
  for (const Case& c : cases) {
    QZMTCFDataGenerator generator;
    if (c.restriction && c.purpose >= 1 && c.purpose <= 10)
      generator.publisherRestrictions[c.purpose - 1] = std::string(1, c.restriction);
    EXPECT_EQ(generator.generateData().legalBasisCheckFromPurposeID(c.purpose), c.basis)
        << "purpose " << c.purpose << " restriction " << (c.restriction ? c.restriction : '-');
  }
}

}  // namespace
