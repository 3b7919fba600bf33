// The facade's event road: names checked on the caller's thread, events
// stamped at the call and held in order until start, screen parameters,
// listeners and the interceptor.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/QZMAnalytics.h"
#include "measurement/model/QZMEvent.h"

namespace {

using testkit::FacadeTest;

QZMDictionary screenOf(const char* name) { return {{"_si", 7}, {"_sc", "ViewController"}, {"_sn", name}}; }

class FacadeEvents : public FacadeTest {};

TEST_F(FacadeEvents, CallsBeforeStartArriveAfterItInOrderWithTheirOwnTimes) {
  recorder = testkit::RecordingEngine::make();
  QZMMeasurementBase::setSharedInstance(recorder);
  const double start = clock->now();
  QZMAnalytics::logEventWithName("first", {{"n", 1}});
  clock->advance(5);
  QZMAnalytics::setDefaultEventParameters(QZMDictionary{{"level", 2}});
  QZMAnalytics::logInternalEventWithOrigin("auto", "_second", {});
  clock->advance(5);
  QZMAnalytics::logEventWithName("third", {});
  settleEngine();
  EXPECT_TRUE(recorder->events().empty()) << "nothing reaches the engine before start";

  ASSERT_TRUE(configure().ok());
  auto events = recorder->events();
  ASSERT_EQ(recorder->eventNames(), (std::vector<std::string>{"first", "_second", "third"}));
  EXPECT_EQ(events[0].timestamp, start);
  EXPECT_EQ(events[1].timestamp, start + 5);
  EXPECT_EQ(events[2].timestamp, start + 10);
  EXPECT_TRUE(events[0].isPublic);
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_FALSE(events[1].isPublic);
  EXPECT_EQ(events[0].parameters, (QZMDictionary{{"n", 1}}));
  EXPECT_TRUE(events[0].enabled) << "the facade's collection state, known once the engine exists";
  EXPECT_EQ(recorder->defaultParameters().size(), 1u);
}

TEST_F(FacadeEvents, EventsFromManyThreadsReachTheEngineInTheOrderOfTheirTimes) {
  configureWithRecordingEngine();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 25; ++i) {
        clock->advance(1);
        QZMAnalytics::logEventWithName("e" + std::to_string(t), {});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 100u);
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_LE(events[i - 1].timestamp, events[i].timestamp);
}

TEST_F(FacadeEvents, RefusedPublicNamesBecomeErrorEventsAndNeverReachTheQueue) {
  configureWithRecordingEngine();
  struct Case {
    std::string name;
    std::int64_t code;
  };
  const Case cases[] = {
      {"zarnholt_offer", 13},                                // reserved prefix
      {"first_open", 13},                                    // reserved name
      {"1st_level", 2},                                      // does not start with a letter
      {"_internal", 2},                                      // not public
      {"level up", 2},                                       // not a name character
      {std::string(41, 'a'), 2},                             // one character too many
  };
  for (const Case& c : cases) QZMAnalytics::logEventWithName(c.name, {{"n", 1}});
  QZMAnalytics::logEventWithName(std::string(40, 'a'), {});
  settleEngine();

  auto errors = errorEvents();
  ASSERT_EQ(errors.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(errors[i].first, cases[i].code);
    // "_ev" names the event, cut to 40 characters.
    EXPECT_EQ(errors[i].second.substr(0, 40), cases[i].name.substr(0, 40));
  }
  auto names = recorder->eventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), std::string(40, 'a')), 1);
  EXPECT_EQ(names.size(), std::size(cases) + 1);
  for (const auto& event : recorder->events()) {
    if (event.name == "_err") {
      EXPECT_EQ(event.origin, "auto");
    }
  }
}

TEST_F(FacadeEvents, ScreenViewsGoToTheReporterAndOtherEventsCarryTheScreen) {
  configureWithRecordingEngine();
  screen->setScreen(screenOf("Menu"));
  QZMAnalytics::logEventWithName("screen_view", {{"screen_name", "Menu"}});
  QZMAnalytics::logEventWithName("tap", {});
  QZMAnalytics::logEventWithName("tap_with_screen", {{"_sn", "Other"}});
  settleEngine();

  ASSERT_EQ(screen->tracked().size(), 1u);
  EXPECT_EQ(screen->tracked()[0].first, (QZMDictionary{{"screen_name", "Menu"}}));
  EXPECT_EQ(screen->tracked()[0].second, clock->now());
  auto events = recorder->events();
  ASSERT_EQ(recorder->eventNames(), (std::vector<std::string>{"tap", "tap_with_screen"}));
  EXPECT_EQ(events[0].screenParameters, screenOf("Menu"));
  EXPECT_TRUE(events[1].screenParameters.empty()) << "the event names its own screen";
}

TEST_F(FacadeEvents, ForwardedEventsBringTheirScreenAsScreenParameters) {
  configureWithRecordingEngine();
  QZMDictionary parameters = screenOf("Shop");
  parameters["item"] = "otter";
  struct Case {
    const char* origin;
    bool ignoreInterceptor;
    bool moved;
  };
  const Case cases[] = {{"gtm+qrl", true, true}, {"gtm+qrl", false, false}, {"app", true, false}};
  for (const Case& c : cases) {
    QZMAnalytics::logEventWithOrigin(c.origin, true, "view_item", parameters, 1000, false, c.ignoreInterceptor);
  }
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].origin);
    EXPECT_EQ(events[i].timestamp, 1000);
    if (cases[i].moved) {
      EXPECT_EQ(events[i].parameters, (QZMDictionary{{"item", "otter"}}));
      EXPECT_EQ(events[i].screenParameters, screenOf("Shop"));
    } else {
      EXPECT_EQ(events[i].parameters, parameters);
      EXPECT_TRUE(events[i].screenParameters.empty());
    }
  }
}

TEST_F(FacadeEvents, AnAdComponentEventIDBecomesANumberWhenItIsOne) {
  configureWithRecordingEngine();
  auto facade = QZMAnalytics::sharedInstance();
  facade->logComponentEventWithOrigin("am", "_ai", {{"_aeid", "-42"}});
  facade->logComponentEventWithOrigin("am", "_ai", {{"_aeid", "4x2"}});
  facade->logComponentEventWithOrigin("ombe", "_ai", {{"_aeid", "42"}});
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 3u);
  ASSERT_NE(events[0].parameters.at("_aeid").value(), nullptr);
  EXPECT_EQ(events[0].parameters.at("_aeid").value()->int64Value(), -42);
  EXPECT_EQ(events[1].parameters.at("_aeid"), QZMObject("4x2"));
  EXPECT_EQ(events[2].parameters.at("_aeid"), QZMObject("42")) << "only the ad component's IDs are numbers";
  EXPECT_EQ(linesWithCode(25024).size(), 1u);
  EXPECT_FALSE(events[0].isPublic);
}

TEST_F(FacadeEvents, TheInterceptorTravelsWithEveryLaterEvent) {
  configureWithRecordingEngine();
  std::atomic<int> intercepted = 0;
  QZMAnalytics::setLogEventInterceptor([&](const std::string&, const std::string&, const QZMDictionary&, double) {
    ++intercepted;
  });
  QZMAnalytics::logEventWithName("with", {});
  QZMAnalytics::setLogEventInterceptor(nullptr);
  QZMAnalytics::logEventWithName("without", {});
  settleEngine();
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 2u);
  ASSERT_TRUE(events[0].interceptor);
  events[0].interceptor("app", "with", {}, 0);
  EXPECT_EQ(intercepted, 1);
  EXPECT_FALSE(events[1].interceptor);
}

TEST_F(FacadeEvents, ListenersHearEveryEventUntilRemoved) {
  configureWithRecordingEngine();
  std::vector<std::string> heard;
  auto listen = [&](const char* who) {
    return QZMAnalytics::addLogEventListener([&heard, who](const QZMEvent& event) {
      heard.push_back(std::string(who) + ":" + event.name());
    });
  };
  auto first = listen("first");
  auto second = listen("second");
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  std::shared_ptr<const QZMEvent> event = QZMEvent::initWithOrigin("app", true, "level_up", 1, 0, QZMDictionary{});
  ASSERT_NE(event, nullptr);
  QZMAnalytics::notifyEventListeners(event);
  QZMAnalytics::removeLogEventListener(first);
  QZMAnalytics::notifyEventListeners(event);
  settleEngine();
  EXPECT_EQ(heard, (std::vector<std::string>{"first:level_up", "second:level_up", "second:level_up"}));

  QZMAnalytics::removeLogEventListener(first);
  QZMAnalytics::removeLogEventListener(std::nullopt);
  EXPECT_FALSE(QZMAnalytics::addLogEventListener(nullptr));
  settleEngine();
  EXPECT_EQ(linesWithCode(25015).size(), 1u);
  EXPECT_EQ(linesWithCode(25013).size(), 1u);
  EXPECT_EQ(linesWithCode(25012).size(), 1u);
  EXPECT_TRUE(linesWithCode(25014).empty());
}

TEST_F(FacadeEvents, RemovingBeforeAnyListenerWasAddedIsItsOwnMistake) {
  configureWithRecordingEngine();
  QZMAnalytics::removeLogEventListener(99);
  settleEngine();
  EXPECT_EQ(linesWithCode(25014).size(), 1u);
  EXPECT_TRUE(linesWithCode(25015).empty());
}

TEST_F(FacadeEvents, AListenerAddedOnTheSerialQueueIsThereAtOnce) {
  configureWithRecordingEngine();
  std::promise<bool> added;
  QZMAnalytics::dispatchAsyncOnSerialQueue([&] {
    std::atomic<int> calls = 0;
    auto token = QZMAnalytics::addLogEventListener([&](const QZMEvent&) { ++calls; });
    auto event = QZMEvent::initWithOrigin("app", true, "tap", 1, 0, QZMDictionary{});
    QZMAnalytics::notifyEventListenersOnSerialQueue(*event);
    QZMAnalytics::removeLogEventListener(token);
    added.set_value(calls == 1);
  });
  auto heard = added.get_future();
  ASSERT_EQ(heard.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(heard.get());
  settleEngine();
}

class EventsWithoutAnEngine : public testkit::MeasurementHost {};

TEST_F(EventsWithoutAnEngine, AreDroppedWithALineOnceNoEngineCanCome) {
  QZMAnalytics::logEventWithName("held", {});
  // An empty app ID makes no engine: what was held is dropped, and so is
  // what comes later, each with a line.
  QZMAnalytics::startWithAppID("", kQZMOriginZarnholt, {});
  settleEngine();
  QZMAnalytics::logEventWithName("later", {});
  settleEngine();
  EXPECT_EQ(engine(), nullptr);
  auto dropped = linesWithCode(25021);
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0].contexts, (std::vector<std::string>{"logEvent"}));
}

TEST_F(EventsWithoutAnEngine, HeldCallsAreDroppedWhenAnOlderFrameworkForbidsTheStart) {
  utilities->addClass("ZNHADatabase");
  QZMAnalytics::logEventWithName("held", {});
  QZMAnalytics::setUserID(QZMObject("user"));
  ASSERT_TRUE(configure().ok());
  QZMAnalytics::logEventWithName("later", {});
  settleEngine();
  EXPECT_EQ(linesWithCode(25029).size(), 1u);
  EXPECT_EQ(linesWithCode(25021).size(), 3u);
  EXPECT_EQ(QZMAnalytics::operationQueue()->operationCount(), 0u);
}

}  // namespace
