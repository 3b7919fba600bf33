#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "measurement/engine/reporters/QZMLifetimeValueRecorder.h"
#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/model/QZMUserAttribute.h"

namespace {

class LifetimeValue : public testkit::DatabaseTest {
 protected:
  bool record(const std::string& name, QZMDictionary parameters) {
    auto event = QZMEvent::initWithOrigin(name == "_iap" ? "auto" : "app", false, name, clock->now(), 0, parameters);
    EXPECT_TRUE(event) << name;
    return event && QZMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database, *event);
  }

  std::map<std::string, std::int64_t> values() {
    std::map<std::string, std::int64_t> result;
    auto all = QZMAllLifetimeValueUserAttributes(*database);
    EXPECT_TRUE(all.ok());
    if (all.ok()) {
      for (const auto& attribute : *all) result[attribute.name()] = attribute.value().int64Value();
    }
    return result;
  }
};

TEST_F(LifetimeValue, PurchasesAddAndRefundsSubtractPerCurrency) {
  EXPECT_TRUE(record("_iap", {{"currency", "usd"}, {"value", std::int64_t{1'990'000}}}));
  EXPECT_TRUE(record("purchase", {{"currency", "USD"}, {"value", 5.0}}));
  EXPECT_TRUE(record("ecommerce_purchase", {{"currency", "EUR"}, {"value", std::int64_t{2}}}));
  EXPECT_TRUE(record("refund", {{"currency", "USD"}, {"value", 5.0}}));
  EXPECT_EQ(values(), (std::map<std::string, std::int64_t>{{"_ltv_USD", 1'990'000}, {"_ltv_EUR", 2'000'000}}));
  EXPECT_EQ(linesWithCode(22006).size(), 4u);

  // Not purchases: nothing changes.
  EXPECT_TRUE(record("level_up", {{"currency", "USD"}, {"value", 5.0}}));
  EXPECT_TRUE(record("_assr", {{"currency", "USD"}, {"value", std::int64_t{5}}}));
  EXPECT_EQ(values()["_ltv_USD"], 1'990'000);
}

TEST_F(LifetimeValue, UnusableCurrencyOrValueIsSkipped) {
  struct Case {
    QZMDictionary parameters;
    std::int64_t code;
  };
  const Case cases[] = {
      {{{"value", 5.0}}, 22000},
      {{{"currency", "US"}, {"value", 5.0}}, 22000},
      {{{"currency", "USDX"}, {"value", 5.0}}, 22000},
      {{{"currency", std::int64_t{840}}, {"value", 5.0}}, 22000},
      {{{"currency", "USD"}}, 22001},
      {{{"currency", "USD"}, {"value", "5"}}, 22001},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    EXPECT_TRUE(record("purchase", c.parameters));
    EXPECT_EQ(linesWithCode(c.code).size(), 1u) << c.code;
  }
  EXPECT_TRUE(values().empty());
}

TEST_F(LifetimeValue, AFifthCurrencyReplacesTheOneSetLongestAgo) {
  for (const char* currency : {"USD", "EUR", "JPY", "GBP", "CHF"}) {
    EXPECT_TRUE(record("purchase", {{"currency", currency}, {"value", std::int64_t{1}}}));
    clock->advance(10);
  }
  auto held = values();
  EXPECT_EQ(held.size(), 4u);
  EXPECT_FALSE(held.contains("_ltv_USD"));
  EXPECT_TRUE(held.contains("_ltv_CHF"));

  // An update of a held currency deletes nothing.
  EXPECT_TRUE(record("purchase", {{"currency", "EUR"}, {"value", std::int64_t{1}}}));
  EXPECT_EQ(values().size(), 4u);
  EXPECT_EQ(values()["_ltv_EUR"], 2'000'000);
}

TEST_F(LifetimeValue, AmountsBeyondTheIntegerRangeAreRefused) {
  EXPECT_TRUE(record("_iap", {{"currency", "USD"}, {"value", std::int64_t{INT64_MAX - 10}}}));
  struct Case {
    const char* name;
    QZMObject value;
  };
  const Case cases[] = {
      // The sum with what is held would wrap.
      {"_iap", std::int64_t{11}},
      // The amount itself does not fit.
      {"purchase", 1e13},
      {"purchase", std::int64_t{INT64_MAX / 100}},
      {"_iap", 1e19},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    EXPECT_FALSE(record(c.name, {{"currency", "USD"}, {"value", c.value}})) << c.name;
    EXPECT_EQ(linesWithCode(22002).size(), 1u) << c.name;
  }
  EXPECT_EQ(values()["_ltv_USD"], INT64_MAX - 10);

  // Negating the smallest amount would overflow as well.
  EXPECT_TRUE(record("_iap", {{"currency", "EUR"}, {"value", std::int64_t{INT64_MIN}}}));
  EXPECT_FALSE(record("_iap", {{"currency", "EUR"}, {"value", std::int64_t{-1}}}));
}

TEST_F(LifetimeValue, ADatabaseFailureFailsTheWrite) {
  execute("DROP TABLE user_attributes");
  EXPECT_FALSE(record("purchase", {{"currency", "USD"}, {"value", 5.0}}));
  EXPECT_EQ(linesWithCode(22003).size(), 1u);
}

}  // namespace
