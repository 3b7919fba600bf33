// User properties through the facade: name and value checks on the caller's
// thread with their error events, the user ID, the personalised-ads switch
// and the queries.
#include <gtest/gtest.h>

#include <future>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/QZMAnalytics.h"
#include "measurement/foundation/QZMPersistedConfig.h"

namespace {

using foundation::Dictionary;
using foundation::Object;
using testkit::FacadeTest;

class FacadeUserProperties : public FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    configureWithRecordingEngine();
  }

  std::vector<std::string> handed() const {
    std::vector<std::string> out;
    for (const auto& a : recorder->attributes()) {
      out.push_back(std::string(a.set ? "set " : "remove ") + a.origin + "/" + a.name +
                    (a.set ? "=" + a.value.description() : ""));
    }
    return out;
  }
};

TEST_F(FacadeUserProperties, PublicPropertiesAreCheckedBeforeTheyAreQueued) {
  struct Case {
    std::optional<QZMObject> value;
    std::string name;
    std::vector<std::string> expectedHanded;
    std::vector<std::pair<std::int64_t, std::string>> expectedErrors;
    std::int64_t expectedLine;
  };
  const Case cases[] = {
      {QZMObject("pro"), "plan", {"set app/plan=pro"}, {}, 0},
      {std::nullopt, "plan", {"remove /plan"}, {}, 0},
      {QZMObject("pro"), "first_open_time", {}, {{15, "first_open_time"}}, 0},
      {QZMObject("pro"), "zarnholt_plan", {}, {{15, "zarnholt_plan"}}, 0},
      {QZMObject("pro"), "1plan", {}, {{6, "1plan"}}, 0},
      {QZMObject("pro"), std::string(25, 'p'), {}, {{6, std::string(24, 'p') + "..."}}, 0},
      {QZMObject(std::string(37, 'v')), "plan", {}, {{7, "plan"}}, 0},
      {QZMObject(3), "plan", {}, {}, 25003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = recorder->attributes().size();
    auto errorsBefore = errorEvents().size();
    clearMonitorLines();
    QZMAnalytics::setUserPropertyString(c.value, c.name);
    settleEngine();
    auto all = handed();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.expectedHanded);
    auto errors = errorEvents();
    EXPECT_EQ(decltype(errors)(errors.begin() + static_cast<long>(errorsBefore), errors.end()), c.expectedErrors);
    if (c.expectedLine) {
      EXPECT_EQ(linesWithCode(c.expectedLine).size(), 1u);
    }
  }
}

TEST_F(FacadeUserProperties, TheUserIDIsAnInternalPropertyAndRemovingItForgetsTheResetMarkToo) {
  QZMAnalytics::setUserID(QZMObject("user-7"));
  QZMAnalytics::setUserID(std::nullopt);
  QZMAnalytics::setUserID(QZMObject(7));
  QZMAnalytics::setUserID(QZMObject(std::string(257, 'u')));
  settleEngine();
  EXPECT_EQ(handed(), (std::vector<std::string>{"set app/_id=user-7", "remove /_id", "remove /_lair"}));
  EXPECT_EQ(linesWithCode(25004).size(), 1u);
  EXPECT_EQ(errorEvents(), (std::vector<std::pair<std::int64_t, std::string>>{{7, "_id"}}));
}

TEST_F(FacadeUserProperties, InternalPropertiesNeedAnOriginOfOneTo32Characters) {
  auto facade = QZMAnalytics::sharedInstance();
  facade->setInternalUserProperty(QZMObject("x"), "_ga", std::string(32, 'o'));
  facade->setInternalUserProperty(QZMObject("x"), "_ga", std::string(33, 'o'));
  facade->setInternalUserProperty(QZMObject("x"), "_ga", "");
  facade->setInternalUserProperty(QZMObject(2.5), "score", "wqm");
  facade->setInternalUserProperty(QZMObject("x"), "bad name", "wqm");
  settleEngine();
  EXPECT_EQ(handed(), (std::vector<std::string>{"set " + std::string(32, 'o') + "/_ga=x", "set wqm/score=2.5"}));
  EXPECT_EQ(linesWithCode(25005).size(), 2u);
  EXPECT_EQ(errorEvents(), (std::vector<std::pair<std::int64_t, std::string>>{{6, "bad name"}}));
}

TEST_F(FacadeUserProperties, NumbersKeepTheirKind) {
  QZMAnalytics::setUserAttributeNumber(QZMObject(2), "level");
  QZMAnalytics::setUserAttributeNumber(QZMObject(2.5), "ratio");
  QZMAnalytics::setUserAttributeNumber(QZMObject("2"), "text");
  settleEngine();
  auto attributes = recorder->attributes();
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_TRUE(attributes[0].value.isInt64());
  EXPECT_EQ(attributes[0].origin, "auto");
  EXPECT_TRUE(attributes[1].value.isDouble());
}

TEST_F(FacadeUserProperties, AllowingPersonalisedAdsIsStoredAndSetsTheEnginesAnswer) {
  auto config = QZMPersistedConfig::sharedInstance();
  recorder->npa = 0;
  QZMAnalytics::setUserPropertyString(QZMObject("YES"), kQZMAllowPersonalizedAdsPropertyName);
  settleEngine();
  EXPECT_EQ(config->allowPersonalizedAds(), Object(true));
  EXPECT_EQ(handed(), (std::vector<std::string>{"set auto/_npa=0"}));

  recorder->npa.reset();
  QZMAnalytics::setUserPropertyString(QZMObject("no"), kQZMAllowPersonalizedAdsPropertyName);
  settleEngine();
  EXPECT_EQ(config->allowPersonalizedAds(), Object(false));
  EXPECT_EQ(handed().back(), "remove auto/_npa") << "no answer removes the property";

  QZMAnalytics::setUserPropertyString(std::nullopt, kQZMAllowPersonalizedAdsPropertyName);
  settleEngine();
  EXPECT_FALSE(config->allowPersonalizedAds());
  EXPECT_TRUE(errorEvents().empty());
}

TEST_F(FacadeUserProperties, QueriesAnswerOnTheGivenQueue) {
  auto queue = dispatch::Queue::create("test.answers");
  std::promise<std::pair<Dictionary, std::string>> properties;
  QZMAnalytics::userPropertiesIncludingInternal(true, queue, [&](const Dictionary& answer) {
    properties.set_value({answer, dispatch::currentQueueLabel()});
  });
  std::promise<std::pair<std::int32_t, std::string>> maximum;
  QZMAnalytics::sharedInstance()->maxUserPropertiesForOrigin("wqm", queue, [&](std::int32_t answer) {
    maximum.set_value({answer, dispatch::currentQueueLabel()});
  });
  auto answered = properties.get_future();
  ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(answered.get(), std::make_pair(Dictionary{{"plan", "pro"}, {"internal", true}}, std::string("test.answers")));
  auto max = maximum.get_future();
  ASSERT_EQ(max.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(max.get(), std::make_pair(25, std::string("test.answers")));
  settleEngine();
}

TEST_F(FacadeUserProperties, QueriesRefuseWhatTheyCannotAnswer) {
  auto queue = dispatch::Queue::create("test.answers");
  auto facade = QZMAnalytics::sharedInstance();
  facade->maxUserPropertiesForOrigin("", queue, [](std::int32_t) {});
  facade->maxUserPropertiesForOrigin("wqm", nullptr, [](std::int32_t) {});
  facade->maxUserPropertiesForOrigin("wqm", queue, nullptr);
  QZMAnalytics::userPropertiesIncludingInternal(false, queue, nullptr);
  for (std::int64_t code : {25009, 25010, 25011}) EXPECT_EQ(linesWithCode(code).size(), 1u) << code;

  // While collection is off the answer is empty.
  QZMAnalytics::setAnalyticsEnabled(false);
  std::promise<Dictionary> properties;
  QZMAnalytics::userPropertiesIncludingInternal(false, queue, [&](const Dictionary& d) { properties.set_value(d); });
  auto answered = properties.get_future();
  ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(answered.get().empty());
  settleEngine();
  EXPECT_EQ(linesWithCode(25006).size(), 1u);
  EXPECT_EQ(linesWithCode(25008).size(), 1u);
}

}  // namespace
