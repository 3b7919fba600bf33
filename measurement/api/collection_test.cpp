// Calls that run on the facade's queue at once (collection, sessions, links)
// and the reset bookkeeping, before and after start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentity.h"

namespace {

using foundation::Object;
using testkit::FacadeTest;

class FacadeCollection : public FacadeTest {};

TEST_F(FacadeCollection, EnablingIsPersistedButRefusedWhileCollectionIsDeactivated) {
  recorder = testkit::RecordingEngine::make(false);
  QZMMeasurementBase::setSharedInstance(recorder);
  ZNHOptions options(testkit::kTestAppID);
  options.setAnalyticsCollectionDeactivated(true);
  ASSERT_TRUE(configure(options).ok());
  auto config = QZMPersistedConfig::sharedInstance();

  QZMAnalytics::setAnalyticsEnabled(true, true);
  settleEngine();
  EXPECT_EQ(config->measurementEnabledState(), 1);
  EXPECT_FALSE(QZMAnalytics::analyticsEnabled());
  EXPECT_FALSE(recorder->isEnabled());

  QZMAnalytics::setAnalyticsEnabled(false, false);
  settleEngine();
  EXPECT_EQ(config->measurementEnabledState(), 1) << "not persisted";
}

TEST_F(FacadeCollection, SwitchingCollectionReachesTheEngine) {
  configureWithRecordingEngine();
  QZMAnalytics::setAnalyticsEnabled(false, true);
  settleEngine();
  EXPECT_FALSE(recorder->isEnabled());
  EXPECT_FALSE(QZMAnalytics::analyticsEnabled());
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  QZMAnalytics::setAnalyticsEnabled(true);
  settleEngine();
  EXPECT_TRUE(recorder->isEnabled());
}

TEST_F(FacadeCollection, SessionTimeoutsArePersistedUntilTheEngineRuns) {
  QZMAnalytics::setSessionTimeoutInterval(600);
  QZMAnalytics::setSessionTimeoutInterval(-1);
  QZMAnalytics::setSessionTimeoutInterval(std::nan(""));
  settleEngine();
  EXPECT_EQ(QZMPersistedConfig::sharedInstance()->sessionTimeoutValue(), Object(600.0));
  EXPECT_EQ(linesWithCode(25060).size(), 2u);
  EXPECT_EQ(linesWithCode(25059).size(), 1u);

  configureWithRecordingEngine();
  QZMAnalytics::setSessionTimeoutInterval(900);
  QZMAnalytics::setSessionTimeoutInterval(std::nan(""));
  settleEngine();
  EXPECT_EQ(recorder->sessionTimeouts(), std::vector<double>{900});
  EXPECT_EQ(linesWithCode(25060).size(), 3u);
  // The session reporter made at start took the stored timeout, once.
  EXPECT_FALSE(QZMPersistedConfig::sharedInstance()->sessionTimeoutValue());
  EXPECT_EQ(recorder->sessionReporter()->timeoutSessionInterval(), 600);
}

TEST_F(FacadeCollection, TheSessionIDIsAnsweredOnTheGlobalQueue) {
  struct Answer {
    std::int64_t id;
    std::optional<std::int64_t> errorCode;
    std::string queue;
  };
  auto ask = [] {
    auto answer = std::make_shared<std::promise<Answer>>();
    QZMAnalytics::sessionIDWithCompletion([answer](std::int64_t id, const std::optional<foundation::Error>& error) {
      answer->set_value({id, error ? std::optional(error->code) : std::nullopt, dispatch::currentQueueLabel()});
    });
    auto future = answer->get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  };
  Answer before = ask();
  EXPECT_EQ(before.id, 0);
  EXPECT_EQ(before.errorCode, 13);
  EXPECT_EQ(before.queue, "global");

  configureWithRecordingEngine();
  Answer after = ask();
  EXPECT_EQ(after.id, 1234);
  EXPECT_FALSE(after.errorCode);
  EXPECT_EQ(after.queue, "global");

  QZMAnalytics::sessionIDWithCompletion(nullptr);
  EXPECT_EQ(linesWithCode(25050).size(), 1u);
}

TEST_F(FacadeCollection, AResetKeepsItsBookkeepingUntilTheEngineHasWiped) {
  recorder = testkit::RecordingEngine::make();
  QZMMeasurementBase::setSharedInstance(recorder);
  // Its first start takes over an app instance ID left by a reset: let it
  // run before the reset below leaves one.
  settleEngine();
  clock->advance(100);
  QZMAnalytics::resetAnalyticsData();
  auto id = QZMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  EXPECT_EQ(QZMAnalytics::appInstanceID(), id);
  EXPECT_EQ(QZMAnalytics::resetRetryCount(), 1);
  EXPECT_TRUE(QZMAnalytics::needFirstOpenAfterReset());
  EXPECT_EQ(QZMAnalytics::loadTimestamp(), clock->now());

  // The engine's wipe fails at the first attempt: the bookkeeping stays.
  recorder->resetSucceeds = false;
  ASSERT_TRUE(configure().ok());
  EXPECT_EQ(recorder->resets(), (std::vector<std::optional<std::string>>{id}));
  EXPECT_EQ(linesWithCode(25037).size(), 1u);
  EXPECT_EQ(QZMAnalytics::resetRetryCount(), 1);

  recorder->resetSucceeds = true;
  QZMAnalytics::resetAnalyticsData();
  settleEngine();
  EXPECT_EQ(QZMAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(QZMAnalytics::appInstanceIDAfterReset());
  EXPECT_FALSE(QZMAnalytics::settingsStore()->objectForKey(kQZMResetRetryCountKey));
}

TEST_F(FacadeCollection, AResetWhileAnalyticsStorageIsDeniedKeepsNoID) {
  configureWithRecordingEngine();
  QZMAnalytics::setConsent({{"analytics_storage", "denied"}}, kQZMConsentSettings3PKey);
  QZMAnalytics::resetAnalyticsData();
  settleEngine();
  EXPECT_EQ(recorder->resets(), (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_FALSE(QZMAnalytics::appInstanceIDAfterReset());
  EXPECT_FALSE(QZMAnalytics::appInstanceID());
}

TEST_F(FacadeCollection, UserDataWaitsForCollectionAndPausesTheHeldCallsBriefly) {
  configureWithRecordingEngine();
  QZMAnalytics::setUserData({{"email_address", "otter@example.com"}});
  EXPECT_TRUE(QZMAnalytics::operationQueue()->isSuspended()) << "a half-second pause";
  QZMAnalytics::logEventWithName("after_pause", {});
  settleEngine();
  EXPECT_TRUE(recorder->events().empty());
  clock->advance(0.5);
  testkit::settle(QZMAnalytics::queue());
  settleEngine();
  EXPECT_EQ(recorder->userData(), (std::vector<foundation::Dictionary>{{{"email_address", "otter@example.com"}}}));
  EXPECT_EQ(recorder->eventNames(), std::vector<std::string>{"after_pause"});

  QZMAnalytics::setAnalyticsEnabled(false);
  QZMAnalytics::setUserData({{"email_address", "otter@example.com"}});
  clock->advance(0.5);
  testkit::settle(QZMAnalytics::queue());
  settleEngine();
  EXPECT_EQ(recorder->userData().size(), 1u);
  EXPECT_EQ(linesWithCode(25044).size(), 1u);
}

// Listeners run on the serial queue, which is also where another caller's
// pause is ended: a listener's user data call must not wait there.
TEST_F(FacadeCollection, AListenersUserDataCallDoesNotHoldUpTheQueueThatEndsAPause) {
  configureWithRecordingEngine();
  // Shared with the listener, which outlives the test should it be stuck.
  struct Heard {
    std::atomic<bool> called{false};
    std::promise<void> returned;
  };
  auto heard = std::make_shared<Heard>();
  std::future<void> returned = heard->returned.get_future();
  QZMAnalytics::addLogEventListener([heard](const QZMEvent& event) {
    if (event.name() != "trigger" || heard->called.exchange(true)) return;
    ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("otter@example.com");
    heard->returned.set_value();
  });
  settleEngine();

  // An operation ahead keeps the listener's call in line until the pause.
  auto operations = QZMAnalytics::operationQueue();
  std::promise<void> gate;
  std::shared_future<void> gateOpen = gate.get_future().share();
  operations->addOperation([gateOpen] { gateOpen.wait_for(std::chrono::seconds(60)); });
  QZMAnalytics::dispatchAsyncOnSerialQueue([] {
    QZMAnalytics::notifyEventListenersOnSerialQueue(
        *QZMEvent::initWithOrigin(kQZMOriginApp, true, "trigger", foundation::now(), 0, QZMDictionary()));
  });
  for (int i = 0; i < 60000 && operations->operationCount() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(operations->operationCount(), 2u) << "the listener's call is not in line";
  // Another caller's pause, as a user data call from any other thread makes it.
  operations->setSuspended(true);
  QZMAnalytics::queue()->asyncAfter(0.5, [operations] { operations->setSuspended(false); });
  gate.set_value();
  clock->advance(0.5);

  ASSERT_EQ(returned.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the listener waits for a pause only its own queue can end";
  testkit::settle(QZMAnalytics::queue());
  settleEngine();
  EXPECT_EQ(recorder->userData(), (std::vector<foundation::Dictionary>{{{"email_address", "otter@example.com"}}}));
  QZMAnalytics::logEventWithName("after", {});
  settleEngine();
  EXPECT_EQ(recorder->eventNames().back(), "after");
}

// The load of a host whose listener asks for user data while other threads
// do too and events keep coming: every caller returns and every event
// reaches the engine.
TEST_F(FacadeCollection, UserDataFromAListenerUnderConcurrentLoggingLosesNothing) {
  configureWithRecordingEngine();
  recorder->notifiesListeners = true;
  constexpr int kLoggers = 8;
  constexpr int kEventsEach = 150;
  constexpr int kUserDataCallers = 4;
  constexpr int kUserDataCallsEach = 5;
  constexpr int kThreads = kLoggers + kUserDataCallers;
  // Shared with the threads, which outlive the test should they be stuck.
  struct Load {
    std::atomic<int> heard{0};
    std::atomic<int> listenerCalls{0};
    std::atomic<int> finished{0};
  };
  auto load = std::make_shared<Load>();
  QZMAnalytics::addLogEventListener([load](const QZMEvent& event) {
    if (event.name() != "tap" || load->heard++ % 40 != 0) return;
    ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("listener@example.com");
    ++load->listenerCalls;
  });
  settleEngine();

  std::vector<std::thread> threads;
  for (int t = 0; t < kLoggers; ++t) {
    threads.emplace_back([load, t] {
      for (int i = 0; i < kEventsEach; ++i) QZMAnalytics::logEventWithName("tap", {{"n", t * kEventsEach + i}});
      ++load->finished;
    });
  }
  for (int t = 0; t < kUserDataCallers; ++t) {
    threads.emplace_back([load] {
      for (int i = 0; i < kUserDataCallsEach; ++i) {
        ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("caller@example.com");
      }
      ++load->finished;
    });
  }
  // Pauses end as the test moves its clock.
  for (int i = 0; i < 60000 && load->finished < kThreads; ++i) {
    clock->advance(0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (load->finished < kThreads) {
    for (auto& thread : threads) thread.detach();
    FAIL() << "callers stuck: " << kThreads - load->finished;
  }
  for (auto& thread : threads) thread.join();

  constexpr int kTaps = kLoggers * kEventsEach;
  auto taps = [&] {
    auto names = recorder->eventNames();
    return static_cast<int>(std::count(names.begin(), names.end(), "tap"));
  };
  auto userDataExpected = [&] { return static_cast<std::size_t>(kUserDataCallers * kUserDataCallsEach + load->listenerCalls); };
  for (int i = 0; i < 1000 && (taps() < kTaps || load->heard < kTaps || recorder->userData().size() < userDataExpected());
       ++i) {
    clock->advance(0.5);
    settleEngine();
  }
  EXPECT_EQ(taps(), kTaps);
  EXPECT_EQ(load->heard, kTaps);
  EXPECT_GT(load->listenerCalls, 0);
  EXPECT_EQ(recorder->userData().size(), userDataExpected());
}

TEST_F(FacadeCollection, OpenedLinksReachTheEngineAndTheListener) {
  std::vector<std::string> heard;
  QZMAnalytics::setOpenURLListener([&](const std::string& url) { heard.push_back(url); });
  QZMAnalytics::handleOpenURL("tolv://before");
  settleEngine();
  EXPECT_EQ(heard, std::vector<std::string>{"tolv://before"}) << "the listener needs no engine";

  configureWithRecordingEngine();
  clock->advance(3);
  QZMAnalytics::handleOpenURL("tolv://after");
  settleEngine();
  EXPECT_EQ(recorder->openedURLs(), (std::vector<std::pair<std::string, double>>{{"tolv://after", clock->now()}}));
  EXPECT_EQ(heard.back(), "tolv://after");
}

TEST_F(FacadeCollection, TheScreenNameIsSetOnTheMainThreadOnly) {
  QZMAnalytics::setScreenName("Menu", "MenuController");
  EXPECT_EQ(screen->screenParameters(), (QZMDictionary{{"_sn", "Menu"}}));
  std::thread([] { QZMAnalytics::setScreenName("Other", std::nullopt); }).join();
  EXPECT_EQ(screen->screenParameters(), (QZMDictionary{{"_sn", "Menu"}}));
  EXPECT_EQ(linesWithCode(25025).size(), 1u);
}

}  // namespace
