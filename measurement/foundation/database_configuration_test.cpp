#include <gtest/gtest.h>

#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Object;

std::unique_ptr<QZMPBMeasurementConfig> measurementConfig(const std::string& appID, std::int64_t version) {
  auto config = QZMPBMeasurementConfig::initWithBuffer({});
  if (!appID.empty()) NANOSetString(config.get(), QZMPBMeasurementConfig::kAppId, appID);
  NANOSetInt64(config.get(), QZMPBMeasurementConfig::kVersion, version);
  return config;
}

class StoredConfiguration : public testkit::DatabaseTest {};

TEST_F(StoredConfiguration, IsStoredStampedAndReadBack) {
  EXPECT_EQ(*database->queryMeasurementConfigWithError(), nullptr);
  EXPECT_FALSE(database->lastRemoteConfigUpdateTimestamp()->has_value());

  ASSERT_TRUE(database->updateRemoteConfig(*measurementConfig("1:2:ios:3", 7)).ok());
  auto read = database->queryMeasurementConfigWithError();
  ASSERT_TRUE(read.ok() && *read);
  EXPECT_EQ(NANOGetInt64(read->get(), QZMPBMeasurementConfig::kVersion), 7);
  EXPECT_EQ(**database->lastRemoteConfigUpdateTimestamp(), clock->now());

  ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(5).ok());
  EXPECT_EQ(**database->lastRemoteConfigUpdateTimestamp(), 5);
  EXPECT_EQ(NANOGetInt64(database->queryMeasurementConfigWithError()->get(), QZMPBMeasurementConfig::kVersion), 7);
}

TEST_F(StoredConfiguration, RefusedConfigurationLeavesTheStoredOne) {
  ASSERT_TRUE(database->updateRemoteConfig(*measurementConfig("1:2:ios:3", 7)).ok());
  struct Case {
    std::unique_ptr<QZMPBMeasurementConfig> config;
    std::string description;
  } cases[] = {
      {QZMPBMeasurementConfig::initWithBuffer({}), "Invalid measurement config data"},
      {measurementConfig("", 8), "Missing Dralix app ID in measurement configuration"},
  };
  for (const auto& c : cases) {
    auto stored = database->updateRemoteConfig(*c.config);
    ASSERT_FALSE(stored.ok());
    EXPECT_EQ(stored.error().code, 1);
    EXPECT_EQ(stored.error().description, c.description);
  }
  EXPECT_EQ(NANOGetInt64(database->queryMeasurementConfigWithError()->get(), QZMPBMeasurementConfig::kVersion), 7);
}

TEST_F(StoredConfiguration, CorruptedBytesAreAnErrorAndNullIsNone) {
  execute("UPDATE app_metadata SET remote_config_data = x'0a' WHERE rowid = 1");
  auto corrupted = database->queryMeasurementConfigWithError();
  ASSERT_FALSE(corrupted.ok());
  EXPECT_EQ(corrupted.error().code, 2);
  EXPECT_EQ(corrupted.error().description, "Remote config data is corrupted");

  execute("UPDATE app_metadata SET remote_config_data = NULL WHERE rowid = 1");
  auto none = database->queryMeasurementConfigWithError();
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(*none, nullptr);
}

class Purchases : public testkit::DatabaseTest {};

TEST_F(Purchases, EachFingerprintIsNewOnceAndTheNewest1000Stay) {
  EXPECT_FALSE(*database->insertIfNotDuplicatePurchaseFingerprint(""));
  EXPECT_TRUE(*database->insertIfNotDuplicatePurchaseFingerprint("p0"));
  EXPECT_FALSE(*database->insertIfNotDuplicatePurchaseFingerprint("p0"));

  ASSERT_TRUE(database
                  ->performTransaction([&] {
                    for (int i = 1; i <= 1000; ++i) {
                      auto added = database->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i));
                      if (!added.ok() || !*added) return false;
                    }
                    return true;
                  })
                  .ok());
  EXPECT_EQ(rows("SELECT count(1) AS n FROM purchase_transactions")[0].at("n").int64Value(), 1000);
  EXPECT_FALSE(*database->insertIfNotDuplicatePurchaseFingerprint("p1"));
  EXPECT_TRUE(*database->insertIfNotDuplicatePurchaseFingerprint("p0"));
}

TEST_F(Purchases, SubscriptionsAreTrimmedOnRequest) {
  EXPECT_FALSE(*database->insertIfNotDuplicateSubscriptionID(""));
  ASSERT_TRUE(database
                  ->performTransaction([&] {
                    for (int i = 0; i < 1003; ++i) {
                      auto added = database->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i));
                      if (!added.ok() || !*added) return false;
                    }
                    return true;
                  })
                  .ok());
  EXPECT_FALSE(*database->insertIfNotDuplicateSubscriptionID("s0"));
  EXPECT_EQ(*database->deleteSubscriptionsOverLimit(), 3);
  EXPECT_EQ(*database->deleteSubscriptionsOverLimit(), 0);
  EXPECT_TRUE(*database->insertIfNotDuplicateSubscriptionID("s2"));
  EXPECT_FALSE(*database->insertIfNotDuplicateSubscriptionID("s3"));
}

TEST_F(Purchases, FailedQueryIsNotANewPurchase) {
  execute("DROP TABLE purchase_transactions");
  execute("DROP TABLE subscriptions");
  EXPECT_FALSE(database->insertIfNotDuplicatePurchaseFingerprint("p").ok());
  EXPECT_FALSE(database->insertIfNotDuplicateSubscriptionID("s").ok());
}

class ODMValues : public testkit::DatabaseTest {};

TEST_F(ODMValues, TenNamesAreKept) {
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(database->updateODMValue("v", "n" + std::to_string(i), i).ok());
  }
  auto eleventh = database->updateODMValue("v", "n10", 10);
  ASSERT_FALSE(eleventh.ok());
  EXPECT_EQ(eleventh.error().code, 2);
  EXPECT_EQ(eleventh.error().description, "Failed to insert data type. Table is full");

  ASSERT_TRUE(database->updateODMValue("changed", "n3", 33).ok());
  auto row = database->ODMValueWithName("n3");
  ASSERT_TRUE(row.ok());
  EXPECT_EQ(row->at("value"), Object("changed"));
  EXPECT_EQ(row->at("set_timestamp"), Object(33.0));
  EXPECT_TRUE(row->contains("rowid"));

  ASSERT_TRUE(database->deleteODMValueWithName("n3").ok());
  EXPECT_TRUE(database->ODMValueWithName("n3")->empty());
  EXPECT_TRUE(database->updateODMValue("v", "n10", 10).ok());
}

TEST_F(ODMValues, EmptyNamesAndValuesAreRefused) {
  struct Case {
    foundation::Status status;
    std::string description;
  } cases[] = {
      {database->updateODMValue("", "n", 1), "Received empty ODM value for update"},
      {database->updateODMValue("v", "", 1), "Received ODM value with empty name for update"},
      {database->deleteODMValueWithName(""), "Received ODM value with empty name for delete"},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.status.ok()) << c.description;
    EXPECT_EQ(c.status.error().code, 1);
    EXPECT_EQ(c.status.error().description, c.description);
  }
  EXPECT_EQ(database->ODMValueWithName("").error().description, "Received ODM value with empty name for query");
}

}  // namespace
