#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMConditionalUserPropertyController.h"
#include "measurement/model/QZMUserAttribute.h"

namespace {

using modeltest::i64;
using modeltest::str;

class ConditionalUserProperties : public modeltest::ModelTest {
 protected:
  // The engine's two writes, as the engine does them: a written event is
  // first shown to the controller, then stored with the events it triggers.
  struct CUPEngine : Engine {
    std::shared_ptr<QZMDatabase> database() const override { return db; }
    void writeEventOnWorkerQueue(const QZMEvent& event) override {
      auto triggered = QZMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(&event);
      record(event, false);
      if (triggered) {
        for (const auto& more : *triggered) record(*more, false);
      }
    }
    void writeFilteredEventOnWorkerQueue(const QZMEvent& event) override { record(event, true); }
    void record(const QZMEvent& event, bool filtered) {
      written.push_back(absl::StrCat(event.name(), " ", event.origin(), filtered ? " filtered" : "", " +",
                                     event.timestamp() - start));
    }

    std::shared_ptr<QZMDatabase> db;
    double start = 0;
    std::vector<std::string> written;  // worker queue only
  };

  void SetUp() override {
    ModelTest::SetUp();
    cup = std::make_shared<CUPEngine>();
    ASSERT_NO_FATAL_FAILURE(openDatabase(cup->db));
    cup->start = clock->now();
    engine = cup;
    QZMMeasurementBase::setSharedInstance(cup);
  }

  void TearDown() override {
    settleWorker();
    QZMMeasurementBase::setSharedInstance(nullptr);
    engine.reset();
    cup.reset();
    ModelTest::TearDown();
  }

  QZMConditionalUserPropertyController& controller() { return *QZMConditionalUserPropertyController::sharedInstance(); }
  void settleWorker() { testkit::settle(cup->workerScheduler->workerQueue()); }
  void onWorker(const std::function<void()>& block) {
    cup->workerScheduler->dispatchSyncOnWorkerQueueBlockID("test:1", block);
  }

  static std::shared_ptr<const QZMEvent> event(const std::string& name) {
    return QZMEvent::initWithOrigin("tmpl", false, name, 1, 0, QZMParameters{{"p", i64(1)}});
  }

  static QZMConditionalUserProperty property(std::optional<QZMValue> value, std::string trigger = "",
                                             double triggerTimeout = 60, double timeToLive = 100) {
    QZMConditionalUserProperty made;
    made.setOrigin("app");
    made.setValue(std::move(value));
    made.setTriggerEventName(std::move(trigger));
    made.setTriggerTimeout(triggerTimeout);
    made.setTimeToLive(timeToLive);
    made.setTriggeredEvent(event("on_trigger"));
    made.setTimedOutEvent(event("on_timeout"));
    made.setExpiredEvent(event("on_expire"));
    return made;
  }

  void logEvent(const std::string& name) {
    onWorker([&] {
      auto made = QZMEvent::initWithOrigin("app", false, name, clock->now(), 0, QZMParameters{});
      ASSERT_TRUE(made);
      cup->writeEventOnWorkerQueue(*made);
    });
  }

  std::optional<QZMStoredUserAttribute> userProperty(const std::string& name) {
    auto read = cup->db->userAttributeWithName(name);
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : std::nullopt;
  }

  std::shared_ptr<CUPEngine> cup;
};

TEST_F(ConditionalUserProperties, LimitsOfTimesAndValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double triggerTimeout, timeToLive;
    std::optional<QZMValue> value;
    std::optional<std::int64_t> loggedCode;
  } cases[] = {
      {0.001, 0.001, str("v"), std::nullopt},
      {15552000, 15552000, i64(3), std::nullopt},
      {60, 60, std::nullopt, std::nullopt},
      {0.0009, 60, str("v"), 11000},
      {15552001, 60, str("v"), 11000},
      {nan, 60, str("v"), 11000},
      {60, 0.0009, str("v"), 11001},
      {60, 15552001, str("v"), 11001},
      {60, nan, str("v"), 11001},
      {60, infinity, str("v"), 11001},
      {60, 60, QZMValue::initWithArray({QZMObject(QZMDictionary{})}), 11022},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    auto made = property(c.value, "", c.triggerTimeout, c.timeToLive);
    made.setName("tier");
    EXPECT_EQ(QZMIsValidConditionalUserProperty(made), !c.loggedCode) << c.triggerTimeout << " " << c.timeToLive;
    if (c.loggedCode) {
      EXPECT_EQ(linesWithCode(*c.loggedCode).size(), 1u) << *c.loggedCode;
    }
  }
  auto badName = property(str("v"));
  badName.setName("");
  EXPECT_FALSE(QZMIsValidConditionalUserProperty(badName));
}

// Each case sets the property "tier" at the start; times are seconds after it.
TEST_F(ConditionalUserProperties, LifeCycle) {
  struct Step {
    enum Kind { kSet, kUnset, kLog, kClear, kAdvance } kind;
    std::string text;
    double seconds = 0;
  };
  struct Case {
    const char* title;
    std::string trigger;
    double triggerTimeout, timeToLive;
    std::vector<Step> steps;
    std::optional<std::string> userProperty;  // "value +set time" at the end
    std::vector<std::string> written;
    bool stillStored;
  } cases[] = {
      {"no trigger applies at once", "", 60, 100, {{Step::kSet, "gold"}}, "gold +0", {"on_trigger app +0"}, true},
      {"trigger within the timeout",
       "buy",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 10}, {Step::kLog, "buy"}},
       "gold +10",
       {"buy app +10", "on_trigger app +10"},
       true},
      {"other events do not trigger",
       "buy",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 1}, {Step::kLog, "view"}},
       std::nullopt,
       {"view app +1"},
       true},
      {"times out at the trigger event",
       "buy",
       5,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 10}, {Step::kLog, "buy"}},
       std::nullopt,
       {"on_timeout app filtered +10", "buy app +10"},
       false},
      {"expires after its time to live",
       "",
       60,
       20,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 30}, {Step::kLog, "view"}},
       std::nullopt,
       {"on_trigger app +0", "on_expire app filtered +30", "view app +30"},
       false},
      {"triggered, then expires",
       "buy",
       60,
       20,
       {{Step::kSet, "gold"},
        {Step::kAdvance, "", 10},
        {Step::kLog, "buy"},
        {Step::kAdvance, "", 25},
        {Step::kLog, "view"}},
       std::nullopt,
       {"buy app +10", "on_trigger app +10", "on_expire app filtered +35", "view app +35"},
       false},
      {"cleared while active",
       "",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 5}, {Step::kClear, "on_clear"}},
       std::nullopt,
       {"on_trigger app +0", "on_clear app +5"},
       false},
      {"cleared while waiting",
       "buy",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kClear, "on_clear"}},
       std::nullopt,
       {"on_clear app +0"},
       false},
      {"set without a value removes it",
       "",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 5}, {Step::kUnset, ""}},
       std::nullopt,
       {"on_trigger app +0", "on_expire app +5"},
       false},
      {"ad_impression triggers what waits for _ai",
       "_ai",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kLog, "ad_impression"}},
       "gold +0",
       {"ad_impression app +0", "on_trigger app +0"},
       true},
      {"replacing an active property applies the new value",
       "",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kAdvance, "", 5}, {Step::kSet, "silver"}},
       "silver +5",
       {"on_trigger app +0"},
       true},
      {"replacing a waiting property keeps waiting",
       "buy",
       60,
       100,
       {{Step::kSet, "gold"}, {Step::kSet, "silver"}, {Step::kAdvance, "", 1}, {Step::kLog, "buy"}},
       "silver +1",
       {"buy app +1", "on_trigger app +1"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    ASSERT_TRUE(cup->db->sqliteStore()->executeSQL("DELETE FROM conditional_properties").ok());
    ASSERT_TRUE(cup->db->sqliteStore()->executeSQL("DELETE FROM user_attributes").ok());
    cup->written.clear();
    cup->start = clock->now();
    for (const auto& step : c.steps) {
      switch (step.kind) {
        case Step::kSet: {
          auto made = property(str(step.text), c.trigger, c.triggerTimeout, c.timeToLive);
          controller().setConditionalUserProperty(&made, "tier");
          break;
        }
        case Step::kUnset: {
          auto made = property(std::nullopt);
          controller().setConditionalUserProperty(&made, "tier");
          break;
        }
        case Step::kLog: logEvent(step.text); break;
        case Step::kClear: controller().clearConditionalUserPropertyWithClearEvent(event(step.text), "tier"); break;
        case Step::kAdvance: clock->advance(step.seconds); break;
      }
      settleWorker();
    }
    auto applied = userProperty("tier");
    std::optional<std::string> shown;
    if (applied) shown = absl::StrCat(*applied->value.string(), " +", applied->setTimestamp - cup->start);
    EXPECT_EQ(shown, c.userProperty);
    EXPECT_EQ(cup->written, c.written);
    EXPECT_EQ(cup->db->conditionalUserPropertyWithName("tier")->has_value(), c.stillStored);
  }
}

TEST_F(ConditionalUserProperties, WrittenEventsCarryTheTemplateParameters) {
  auto made = property(str("gold"));
  made.setOrigin("auto");
  controller().setConditionalUserProperty(&made, "tier");
  settleWorker();
  onWorker([&] {
    // The stored template keeps its parameters through the database.
    auto stored = cup->db->conditionalUserPropertyWithName("tier");
    ASSERT_TRUE(stored.ok() && stored->has_value());
    auto property = QZMConditionalUserProperty::fromStored(**stored);
    ASSERT_TRUE(property && property->expiredEvent());
    EXPECT_EQ(property->expiredEvent()->parameters().at("p"), i64(1));
  });
  EXPECT_EQ(cup->written, std::vector<std::string>{"on_trigger auto +0"});
}

// A stored event that no longer reads counts as absent: its property still
// expires or is cleared, and only that event is lost.
TEST_F(ConditionalUserProperties, APropertyWhoseStoredEventIsDamagedStillExpiresAndClears) {
  struct Case {
    const char* title;
    const char* damage;  // a value for the expired event's column
    bool clear;          // cleared by name, else left to expire
    std::vector<std::string> written;
  } cases[] = {
      {"undecodable bytes, expiring", "x'ffffffff'", false, {"view app +30"}},
      {"text in place of bytes, expiring", "'not bytes'", false, {"view app +30"}},
      // Decodes, but without "_o" makes no event.
      {"a message without an origin, cleared", "x'1203616263'", true, {"on_clear app +30"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    ASSERT_TRUE(cup->db->sqliteStore()->executeSQL("DELETE FROM conditional_properties").ok());
    ASSERT_TRUE(cup->db->sqliteStore()->executeSQL("DELETE FROM user_attributes").ok());
    auto made = property(str("gold"), "", 60, 20);
    controller().setConditionalUserProperty(&made, "tier");
    settleWorker();
    ASSERT_TRUE(userProperty("tier"));
    ASSERT_TRUE(cup->db->sqliteStore()
                    ->executeSQL(absl::StrCat("UPDATE conditional_properties SET expired_event = ", c.damage))
                    .ok());
    cup->written.clear();
    cup->start = clock->now();
    clock->advance(30);
    if (c.clear) {
      controller().clearConditionalUserPropertyWithClearEvent(event("on_clear"), "tier");
    } else {
      logEvent("view");
    }
    settleWorker();
    EXPECT_FALSE(userProperty("tier"));
    EXPECT_FALSE(cup->db->conditionalUserPropertyWithName("tier")->has_value());
    EXPECT_EQ(cup->written, c.written);
  }
}

TEST_F(ConditionalUserProperties, FailedStoreRollsBackTheUserProperty) {
  ASSERT_TRUE(cup->db->sqliteStore()
                  ->executeSQL("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
                               "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, "
                               "trigger_timeout, triggered_timestamp, time_to_live, trigger_event_name) "
                               "SELECT 'p' || i, 'app', 'v', 0, 0, 1e9, 0, 1e9, 'never' FROM n")
                  .ok());
  auto made = property(str("gold"));
  controller().setConditionalUserProperty(&made, "tier");
  settleWorker();
  EXPECT_EQ(linesWithCode(11014).size(), 1u);
  EXPECT_FALSE(userProperty("tier"));
  EXPECT_TRUE(cup->written.empty());
}

TEST_F(ConditionalUserProperties, ClearingWhatDoesNotExistWritesNothing) {
  controller().clearConditionalUserPropertyWithClearEvent(event("on_clear"), "ghost");
  settleWorker();
  EXPECT_EQ(linesWithCode(11018).size(), 1u);
  EXPECT_TRUE(cup->written.empty());
}

TEST_F(ConditionalUserProperties, DisabledAnalyticsChangesNothing) {
  cup->enabled = false;
  auto made = property(str("gold"));
  controller().setConditionalUserProperty(&made, "tier");
  controller().clearConditionalUserPropertyWithClearEvent(event("on_clear"), "tier");
  settleWorker();
  EXPECT_EQ(linesWithCode(11007).size(), 1u);
  EXPECT_EQ(linesWithCode(11015).size(), 1u);
  EXPECT_FALSE(cup->db->conditionalUserPropertyWithName("tier")->has_value());
  EXPECT_EQ(controller().conditionalUserPropertiesWithNamePrefix(nullptr, nullptr), std::nullopt);
  EXPECT_EQ(linesWithCode(11005).size(), 1u);
}

std::vector<std::string> names(const std::optional<std::vector<QZMConditionalUserProperty>>& properties) {
  std::vector<std::string> out;
  if (properties) {
    for (const auto& p : *properties) out.push_back(p.name());
  }
  return out;
}

TEST_F(ConditionalUserProperties, QueryFiltersByPrefixAndOrigin) {
  for (const char* name : {"tier", "tier_2", "level"}) {
    auto made = property(str("v"), "buy");
    controller().setConditionalUserProperty(&made, name);
  }
  settleWorker();
  const QZMObject prefix("tier");
  const QZMObject origin("app");
  const QZMObject number(std::int64_t{7});
  EXPECT_EQ(names(controller().conditionalUserPropertiesWithNamePrefix(nullptr, nullptr)),
            (std::vector<std::string>{"tier", "tier_2", "level"}));
  EXPECT_EQ(names(controller().conditionalUserPropertiesWithNamePrefix(&prefix, &origin)),
            (std::vector<std::string>{"tier", "tier_2"}));

  EXPECT_EQ(controller().conditionalUserPropertiesWithNamePrefix(&number, nullptr), std::nullopt);
  EXPECT_EQ(controller().conditionalUserPropertiesWithNamePrefix(nullptr, &number), std::nullopt);
  ASSERT_EQ(linesWithCode(11003).size(), 1u);
  EXPECT_EQ(linesWithCode(11003)[0].contexts, std::vector<std::string>{"NSNumber"});
  EXPECT_EQ(linesWithCode(11004).size(), 1u);
}

TEST_F(ConditionalUserProperties, QueryOnTheWorkerQueueRunsAtOnce) {
  auto made = property(str("v"), "buy");
  controller().setConditionalUserProperty(&made, "tier");
  settleWorker();
  // Waiting for the worker queue from the worker queue would wait for ever
  // on this test's clock.
  std::vector<std::string> found;
  onWorker([&] { found = names(controller().conditionalUserPropertiesWithNamePrefix(nullptr, nullptr)); });
  EXPECT_EQ(found, std::vector<std::string>{"tier"});
}

TEST_F(ConditionalUserProperties, QueryGivesUpAfterThirtySecondsAndTheLateAnswerIsHarmless) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  cup->workerScheduler->scheduleOnWorkerQueueBlockID("test:2", [released] { released.wait(); });
  auto answer = std::async(std::launch::async,
                           [&] { return controller().conditionalUserPropertiesWithNamePrefix(nullptr, nullptr); });
  // The caller's wait ends only once the test clock has moved past it.
  for (int i = 0; i < 500 && answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++i) {
    clock->advance(31);
  }
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(answer.get(), std::nullopt);
  release.set_value();
  settleWorker();
}

TEST_F(ConditionalUserProperties, ProcessingNothingIsRefused) {
  std::optional<QZMConditionalUserPropertyController::Events> processed;
  onWorker([&] { processed = controller().processEventOnWorkerQueue(nullptr); });
  EXPECT_FALSE(processed);
  EXPECT_EQ(linesWithCode(10000).size(), 1u);
}

}  // namespace
