#include <gtest/gtest.h>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMUserAttribute.h"

namespace {

using modeltest::dbl;
using modeltest::i64;
using modeltest::str;

class UserAttributeStorage : public modeltest::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(openDatabase(database));
  }

  void store(const std::string& name, QZMValue value, double setTimestamp = 1) {
    auto attribute = QZMUserAttribute::initWithOrigin("app", name, std::move(value), setTimestamp);
    ASSERT_TRUE(attribute) << name;
    ASSERT_TRUE(database->updateUserAttribute(attribute->stored()).ok()) << name;
  }

  std::shared_ptr<QZMDatabase> database;
};

std::vector<std::string> names(const std::vector<QZMUserAttribute>& attributes) {
  std::vector<std::string> out;
  for (const auto& attribute : attributes) out.push_back(attribute.name());
  return out;
}

TEST_F(UserAttributeStorage, ValuesComeBackWithTheirType) {
  for (const QZMValue& value : {str("gold"), i64(0), i64(-9), dbl(2.5), dbl(3.0)}) {
    store("tier", value, 42);
    auto read = database->userAttributeWithName("tier");
    ASSERT_TRUE(read.ok() && read->has_value());
    auto attribute = QZMUserAttribute::fromStored(**read);
    ASSERT_TRUE(attribute) << value.description();
    EXPECT_EQ(attribute->value(), value);
    EXPECT_EQ(attribute->origin(), "app");
    EXPECT_EQ(attribute->lastSetTimestamp(), 42);
  }
}

TEST_F(UserAttributeStorage, ArrayValuesAreRefusedNotStoredAsZero) {
  auto attribute = QZMUserAttribute::initWithOrigin("app", "tier", QZMValue::initWithArray(QZMArray{}), 1);
  ASSERT_TRUE(attribute);
  EXPECT_FALSE(database->updateUserAttribute(attribute->stored()).ok());
  EXPECT_FALSE(database->userAttributeWithName("tier")->has_value());
}

TEST_F(UserAttributeStorage, WithoutInternalLeavesOutWhatAnAppCannotSet) {
  store("_fot", i64(1));
  store("first_open_time", i64(1));
  store("dralix_tier", str("x"));
  store("tier", str("gold"));
  store("level", i64(3));
  EXPECT_EQ(names(*QZMUserAttributesIncludingInternal(*database, false)), (std::vector<std::string>{"tier", "level"}));
  EXPECT_EQ(names(*QZMUserAttributesIncludingInternal(*database, true)),
            (std::vector<std::string>{"_fot", "first_open_time", "dralix_tier", "tier", "level"}));
}

TEST_F(UserAttributeStorage, RowsTheRulesRefuseAreSkippedButFailTheLifetimeValues) {
  store("_ltv_USD", dbl(5), 2);
  store("tier", str("gold"));
  // A value longer than any user property may hold.
  ASSERT_TRUE(database->updateUserAttribute({"app", "_ltv_EUR", std::string(100, 'x'), 3}).ok());
  ASSERT_TRUE(database->updateUserAttribute({"app", "long", std::string(100, 'x'), 3}).ok());
  EXPECT_EQ(names(*QZMUserAttributesIncludingInternal(*database, true)),
            (std::vector<std::string>{"_ltv_USD", "tier"}));
  EXPECT_FALSE(QZMAllLifetimeValueUserAttributes(*database).ok());

  ASSERT_TRUE(database->deleteUserAttributeWithName("_ltv_EUR").ok());
  auto values = QZMAllLifetimeValueUserAttributes(*database);
  ASSERT_TRUE(values.ok());
  EXPECT_EQ(names(*values), std::vector<std::string>{"_ltv_USD"});
}

}  // namespace
