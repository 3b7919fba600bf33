#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/api/ZNHAnalyticsConnector.h"

namespace {

using foundation::Dictionary;

// Runs the main queue, bounded in real time, until done.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    dispatch::drainMainQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(ConnectorRules, EventsByOriginNameAndParameters) {
  struct Case {
    const char* origin;
    const char* name;
    QZMDictionary parameters;
    bool logged;
  };
  const Case cases[] = {
      {"wqm", "promo", {}, true},
      {"ombe", "promo", {{"x", 1}}, true},
      {"app", "promo", {}, false},
      {"auto", "promo", {}, false},
      {"am", "promo", {}, false},
      {"wqm", "", {}, false},
      {"wqm", "_e", {}, false},
      {"wqm", "_f", {}, false},
      {"wqm", "_iap", {}, false},
      {"wqm", "_s", {}, false},
      {"wqm", "_au", {}, false},
      {"wqm", "promo", {{"_r", 1}}, false},
      {"wqm", "promo", {{"_dbg", 1}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.origin) + " " + c.name);
    EXPECT_EQ(
        ZNHConnectorUtils::isOriginAllowed(c.origin) && ZNHConnectorUtils::shouldLogEventWithName(c.name, c.parameters),
        c.logged);
  }
}

TEST(ConnectorRules, UserPropertiesByNameAndOrigin) {
  struct Case {
    const char* name;
    const char* origin;
    bool allowed;
  };
  const Case cases[] = {
      {"level", "wqm", true},    {"", "wqm", false},         {"_ln", "wqm", true},   {"_ln", "ombe", true},
      {"_ln", "pbt", false},     {"_fot", "wqm", false},     {"_sid", "wqm", false}, {"_ltv_USD", "wqm", false},
      {"_ltv_usd", "wqm", true}, {"_ltv_USDX", "wqm", true}, {"_cc1", "wqm", false}, {"_cc5", "wqm", false},
      {"_cc6", "wqm", true},     {"_cc12", "wqm", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " from " + c.origin);
    EXPECT_EQ(ZNHConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed);
  }
  EXPECT_TRUE(ZNHConnectorUtils::isUserPropertyAllowedForQuery("_fot"));
  EXPECT_TRUE(ZNHConnectorUtils::isUserPropertyAllowedForQuery("level"));
  EXPECT_FALSE(ZNHConnectorUtils::isUserPropertyAllowedForQuery("_lte"));
  EXPECT_FALSE(ZNHConnectorUtils::isUserPropertyAllowedForQuery(""));
}

class Listener : public ZNHAnalyticsInteropListener {
 public:
  void messageTriggered(const std::string& name, const Dictionary& parameters) override {
    EXPECT_TRUE(dispatch::isMainThread());
    std::lock_guard lock(mutex_);
    heard_.emplace_back(name, parameters);
  }
  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, parameters] : heard_) names.push_back(name);
    return names;
  }
  std::vector<std::pair<std::string, Dictionary>> heard() const {
    std::lock_guard lock(mutex_);
    return heard_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, Dictionary>> heard_;
};

class Connector : public testkit::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    connector = std::make_shared<ZNHAnalyticsConnector>();
  }
  void TearDown() override {
    connector.reset();
    FacadeTest::TearDown();
  }

  // An event as the engine tells listeners of it.
  static void logged(const std::string& origin, const std::string& name, QZMDictionary parameters = {}) {
    ZNHAnalytics::notifyEventListeners(QZMEvent::initWithOrigin(origin, false, name, 1.7e9, 0, parameters));
  }

  std::shared_ptr<ZNHAnalyticsConnector> connector;
};

TEST_F(Connector, IsWhatTheCoreResolvesTheProtocolTo) {
  configureWithRecordingEngine();
  auto interop = ZNHApp::defaultApp()->instance<ZNHAnalyticsInterop>(kZNHAnalyticsInteropProtocol);
  ASSERT_TRUE(interop);
  EXPECT_TRUE(dynamic_cast<ZNHAnalyticsConnector*>(interop.get()));
}

TEST_F(Connector, EventsGoThroughTheFacadeUnderTheComponentsOrigin) {
  configureWithRecordingEngine();
  connector->logEventWithOrigin("ysk", "_cmp", {{"source", "x"}});
  connector->logEventWithOrigin("wqm", "_cmp", {});
  connector->logEventWithOrigin("pbt", "_cmp", {});
  connector->logEventWithOrigin("pbt", "_ae", {{"n", 2}});
  connector->logEventWithOrigin("ombe", "_ae", {});
  connector->logEventWithOrigin("app", "promo", {});
  connector->logEventWithOrigin("wqm", "_e", {});
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].origin, "ysk");
  EXPECT_FALSE(events[0].isPublic);
  EXPECT_EQ(events[0].parameters, (QZMDictionary{{"source", "x"}, {"_cis", "ysk_integration"}}));
  EXPECT_EQ(events[1].parameters, (QZMDictionary{{"_cis", "wqm_integration"}}));
  // No integration tag for an origin without one.
  EXPECT_EQ(events[2].parameters, QZMDictionary{});
  // Added after the check, so "_r" passes.
  EXPECT_EQ(events[3].parameters, (QZMDictionary{{"n", 2}, {"_r", std::int64_t{1}}}));
  EXPECT_EQ(events[4].parameters, QZMDictionary{});
}

TEST_F(Connector, UserPropertiesAreSetUnderTheOriginAndQueriedWithoutInternalNames) {
  configureWithRecordingEngine();
  connector->setUserPropertyWithOrigin("wqm", "_ln", QZMObject("lin"));
  connector->setUserPropertyWithOrigin("pbt", "_ln", QZMObject("lin"));
  connector->setUserPropertyWithOrigin("app", "level", QZMObject("3"));
  connector->setUserPropertyWithOrigin("crash", "_cc2", QZMObject("x"));
  settleEngine();
  auto attributes = recorder->attributes();
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].origin, "wqm");
  EXPECT_EQ(attributes[0].name, "_ln");

  recorder->userPropertiesAnswer = Dictionary{{"_fot", 1}, {"_lte", 2}, {"level", "3"}, {"_ltv_EUR", 4}};
  std::optional<Dictionary> answer;
  std::mutex mutex;
  connector->getUserPropertiesWithCallback([&](const Dictionary& properties) {
    EXPECT_EQ(dispatch::currentQueueLabel(), kZNHAnalyticsConnectorQueueLabel);
    std::lock_guard lock(mutex);
    answer = properties;
  });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return answer.has_value();
  }));
  EXPECT_EQ(*answer, (Dictionary{{"_fot", 1}, {"level", "3"}}));
}

TEST_F(Connector, MaxUserPropertiesWaitsForTheEngineButNoLongerThanTenSeconds) {
  // Before start the question is held, so no answer comes: none is made up.
  std::thread mover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    clock->advance(kZNHMaxUserPropertiesTimeout);
  });
  EXPECT_EQ(connector->maxUserProperties("wqm"), std::nullopt);
  mover.join();

  // Once started the held question and a new one are answered.
  configureWithRecordingEngine();
  EXPECT_EQ(connector->maxUserProperties("wqm"), 25);
}

TEST_F(Connector, ListenersHearTheirOriginAppEventsAndPlayVisits) {
  configureWithRecordingEngine();
  auto ombe = std::make_shared<Listener>();
  auto pbt = std::make_shared<Listener>();
  auto refused = std::make_shared<Listener>();
  connector->registerAnalyticsListener(ombe, "ombe");
  connector->registerAnalyticsListener(pbt, "pbt");
  connector->registerAnalyticsListener(refused, "wqm");
  connector->registerAnalyticsListener(nullptr, "crash");

  logged("ombe", "own", {{"d", 1.5}, {"i", 2}, {"s", "t"}});
  logged("app+qrl", "broadcast");
  logged("app", "campaign_details");  // hidden from every listener
  logged("wqm", "_vs");               // no "wqm" listener: the "pbt" one hears it
  logged("wqm", "other");             // nobody
  logged("crash", "_vs");
  logged("pbt", "mine");
  ASSERT_TRUE(eventually([&] { return pbt->names().size() >= 4; }));
  settleEngine();
  dispatch::drainMainQueue();

  EXPECT_EQ(ombe->names(), (std::vector<std::string>{"own", "broadcast"}));
  EXPECT_EQ(pbt->names(), (std::vector<std::string>{"broadcast", "_vs", "_vs", "mine"}));
  EXPECT_TRUE(refused->names().empty());
  // Numbers and text reach the listener; "_o" is a text parameter too.
  EXPECT_EQ(ombe->heard()[0].second, (Dictionary{{"d", 1.5}, {"i", 2}, {"s", "t"}, {"_o", "ombe"}}));
}

TEST_F(Connector, TheFacadeListenerLivesWhileAnOriginListens) {
  configureWithRecordingEngine();
  auto first = std::make_shared<Listener>();
  connector->registerAnalyticsListener(first, "ombe");
  connector->registerAnalyticsListener(first, "crash");
  EXPECT_TRUE(connector->hasLogEventListener());
  connector->unregisterAnalyticsListenerWithOrigin("ombe");
  EXPECT_TRUE(connector->hasLogEventListener());
  connector->unregisterAnalyticsListenerWithOrigin("crash");
  EXPECT_FALSE(connector->hasLogEventListener());

  logged("ombe", "unheard");
  // Registering again listens again.
  auto second = std::make_shared<Listener>();
  connector->registerAnalyticsListener(second, "ombe");
  logged("ombe", "heard");
  ASSERT_TRUE(eventually([&] { return !second->names().empty(); }));
  settleEngine();
  dispatch::drainMainQueue();
  EXPECT_EQ(second->names(), std::vector<std::string>{"heard"});
  EXPECT_TRUE(first->names().empty());
}

TEST_F(Connector, ConditionalUserPropertiesAreCheckedStoredAndClearedByName) {
  configureWithRecordingEngine();
  connector->setConditionalUserProperty({{"name", "tier"},
                                         {"origin", "wqm"},
                                         {"value", "gold"},
                                         {"creationTimestamp", 1.7e9},
                                         {"timeToLive", 3600},
                                         {"triggerTimeout", 60},
                                         {"expiredEvent", QZMDictionary{{"origin", "wqm"}, {"name", "tier_gone"}}},
                                         // Unknown, or of the wrong type: dropped with a line, never used.
                                         {"colour", "red"},
                                         {"triggerEventName", 7},
                                         {"triggeredEvent", "not an event"}});
  settleEngine();
  EXPECT_EQ(linesWithCode(25070).size(), 3u);
  connector->setConditionalUserProperty(
      {{"name", "other"}, {"origin", "wqm"}, {"value", "x"}, {"timeToLive", 60}, {"triggerTimeout", 60}});
  settleEngine();
  EXPECT_EQ(connector->conditionalUserProperties("wqm", std::nullopt),
            (std::vector<Dictionary>{{{"name", "tier"}, {"value", "gold"}}, {{"name", "other"}, {"value", "x"}}}));
  EXPECT_EQ(connector->conditionalUserProperties("wqm", "ti"),
            (std::vector<Dictionary>{{{"name", "tier"}, {"value", "gold"}}}));

  // The property named is cleared, whatever the clear event's parameters.
  connector->clearConditionalUserProperty("tier", "wqm", "tier_cleared", {{"other", "x"}});
  settleEngine();
  EXPECT_EQ(connector->conditionalUserProperties("wqm", std::nullopt),
            (std::vector<Dictionary>{{{"name", "other"}, {"value", "x"}}}));
}

}  // namespace
