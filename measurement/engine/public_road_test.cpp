// One event and one user property traced from the public API, through the
// facade's queues and the engine's worker queue, to their rows.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/consent/QZMTCFData.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "testing/MeasurementHost.h"

namespace {

class PublicRoad : public testkit::MeasurementHost {
 protected:
  std::vector<QZMRawEventData> rawEvents() {
    std::vector<QZMRawEventData> events;
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("PublicRoad", [&] {
      auto read = engine()->database()->allRawEventsWithError<QZMRawEventData>(QZMRawEventDataFromDictionary);
      ASSERT_TRUE(read.ok());
      events = std::move(*read);
    });
    return events;
  }
};

TEST_F(PublicRoad, AnEventFromTheAppReachesItsRowAndTheListeners) {
  std::mutex mutex;
  std::vector<std::string> heard;
  auto token = ZNHAnalytics::addLogEventListener([&](const QZMEvent& event) {
    std::lock_guard lock(mutex);
    heard.push_back(event.name());
  });
  ASSERT_TRUE(configure().ok());
  ZNHAnalytics::setUserID("user-7");
  ZNHAnalytics::setUserPropertyString("pro", "plan");
  ZNHAnalytics::setDefaultEventParameters(QZMDictionary{{"build", "qa"}});
  ZNHAnalytics::logEventWithName("level_up", {{"level", 3}, {"character", "otter"}});
  settleEngine();
  // The listeners hear of it on the facade's queue, after the write.
  settleEngine();

  std::vector<QZMRawEventData> stored;
  for (const QZMRawEventData& raw : rawEvents()) {
    if (raw.rawEvent()->name() == "level_up") stored.push_back(raw);
  }
  ASSERT_EQ(stored.size(), 1u);
  const QZMEvent& event = *stored[0].rawEvent();
  EXPECT_EQ(event.origin(), "app");
  EXPECT_EQ(event.parameters().at("level"), QZMValue::initWithInt64(3));
  EXPECT_EQ(event.parameters().at("character"), QZMValue::initWithString("otter"));
  EXPECT_EQ(event.parameters().at("build"), QZMValue::initWithString("qa"));

  std::shared_ptr<QZMPBMeasurementBundle> metadata;
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("PublicRoad", [&] {
    metadata = *engine()->database()->queryRawEventsMetadataWithFingerprint(stored[0].metadataFingerprint());
  });
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(NANOGetString(metadata.get(), QZMPBMeasurementBundle::kAppId), engine()->identity()->appID());
  std::vector<std::string> properties;
  auto attributes = NANOGetArray<QZMPBUserAttribute>(metadata.get(), QZMPBMeasurementBundle::kUserAttributes);
  for (const auto& attribute : *attributes) {
    properties.push_back(*NANOGetString(attribute.get(), QZMPBUserAttribute::kName));
  }
  EXPECT_NE(std::find(properties.begin(), properties.end(), "_id"), properties.end());
  EXPECT_NE(std::find(properties.begin(), properties.end(), "plan"), properties.end());

  std::lock_guard lock(mutex);
  EXPECT_NE(std::find(heard.begin(), heard.end(), "level_up"), heard.end());
  ZNHAnalytics::removeLogEventListener(token);
}

// The app's TCF data, read at start, gives consent the TCF source and leaves
// its "_tcf" event in the database.
TEST_F(PublicRoad, TCFDataReachesConsentAndItsEventRow) {
  std::string vendorBits(kQZMTCFVendorID + 3, '1');
  const foundation::Dictionary keys{
      {"IABTCF_gdprApplies", 1},
      {"IABTCF_EnableAdvertiserConsentMode", 1},
      {"IABTCF_PurposeConsents", "1111111111"},
      {"IABTCF_PurposeLegitimateInterests", "1111111111"},
      {"IABTCF_VendorConsents", vendorBits},
      {"IABTCF_VendorLegitimateInterests", vendorBits},
      {"IABTCF_PolicyVersion", 4},
      {"IABTCF_CmpSdkID", 300},
  };
  auto defaults = QZMUserDefaults::sharedUserDefaults();
  for (const auto& [key, value] : keys) defaults->setObject(value, key);
  ASSERT_TRUE(configure().ok());
  settleEngine();
  settleEngine();

  std::vector<std::string> names;
  for (const QZMRawEventData& raw : rawEvents()) names.push_back(raw.rawEvent()->name());
  EXPECT_NE(std::find(names.begin(), names.end(), "_tcf"), names.end());
  EXPECT_EQ(QZMConsentSettingsUtil::consentSource(), kQZMConsentSourceTCF);
}

}  // namespace
