// The session, screen-view and ad exposure reporters in a configured host:
// the app's life cycle arrives as the platform's notifications, view
// controllers appear in a key window, time comes from the fake clock, and
// the events reach a recording engine through the facade.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <limits>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/reporters/QZMAdExposureReporter.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Application.h"
#include "platform/ui/ContainerViewControllers.h"

namespace tolvapp {

// Controllers of the app under test.
class HomeViewController : public ui::ViewController {};
class DetailViewController : public ui::ViewController {};

}  // namespace tolvapp

namespace {

using testkit::HandedEvent;

// A controller a platform library keeps to itself.
class PrivateSheet : public ui::ViewController {
 public:
  std::string className() const override { return "UIKitCore._UIRemoteSheet"; }
  bool isClassFromMainBundle() const override { return false; }
};

std::int64_t intOf(const QZMDictionary& parameters, const char* name) {
  auto it = parameters.find(name);
  return it == parameters.end() ? -1 : it->second.plainObject().int64Value();
}

std::string textOf(const QZMDictionary& parameters, const char* name) {
  auto it = parameters.find(name);
  return it == parameters.end() ? "(none)" : it->second.plainObject().description();
}

class Reporters : public testkit::MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    QZMScreenViewReporter::setSharedInstance(nullptr);
    QZMAdExposureReporter::setSharedInstance(nullptr);
    ui::Application::shared().addWindow(&window);
    ui::Application::shared().makeKeyWindow(&window);
    recorder = testkit::RecordingEngine::make();
    QZMMeasurementBase::setSharedInstance(recorder);
    ASSERT_TRUE(configure().ok());
    ASSERT_TRUE(recorder->didInitializeComponents());
    sessions = recorder->sessionReporter();
    ASSERT_TRUE(sessions);
    screens = QZMScreenViewReporter::sharedInstance();
  }

  void TearDown() override {
    ui::Application::shared().removeWindow(&window);
    ui::Application::shared().expireBackgroundTasks();
    settleAll();
    sessions.reset();
    screens.reset();
    QZMScreenViewReporter::setSharedInstance(nullptr);
    QZMAdExposureReporter::setSharedInstance(nullptr);
    MeasurementHost::TearDown();
  }

  void post(ui::Notification notification) {
    foundation::NotificationCenter::defaultCenter().postNotificationName(ui::notificationName(notification));
  }
  void activate() { post(ui::Notification::applicationDidBecomeActive); }
  void resign() { post(ui::Notification::applicationWillResignActive); }
  void enterBackground() {
    resign();
    post(ui::Notification::applicationDidEnterBackground);
  }

  // Everything the reporters and the facade hold has reached the engine.
  void settleAll() {
    testkit::settle(QZMScreenViewReporter::sharedInstance()->queue());
    QZMAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    settleEngine();
  }
  std::vector<HandedEvent> events(const std::string& name) {
    settleAll();
    std::vector<HandedEvent> found;
    for (auto& event : recorder->events()) {
      if (event.name == name) found.push_back(event);
    }
    return found;
  }
  // The root controller appears in the key window, as the shell shows it.
  void show(ui::ViewController& root) {
    window.rootViewController = &root;
    root.loadViewIfNeeded();
    root.setViewWindow(&window);
    root.viewDidAppear(false);
  }
  void useSettings(std::vector<QZMMeasurementSettings::Text> texts) {
    recorder->remoteConfigInstance()->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
  }

  ui::Window window;
  std::shared_ptr<testkit::RecordingEngine> recorder;
  std::shared_ptr<QZMSessionReporter> sessions;
  std::shared_ptr<QZMScreenViewReporter> screens;
};

// ---- Sessions ----

TEST_F(Reporters, SessionExpiresOnlyStrictlyAfterTheTimeoutEitherWay) {
  struct Case {
    const char* name;
    double move;  // calendar seconds after the last activity
    bool expired;
  };
  const Case cases[] = {
      {"just active", 0, false},
      {"exactly the timeout", 1800, false},
      {"past the timeout", 1801, true},
      {"clock set back past the timeout", -1801, true},
      {"clock set back a little", -60, false},
  };
  auto config = QZMPersistedConfig::sharedInstance();
  sessions->setTimeoutSessionInterval(1800);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double start = clock->now();
    config->setLastSessionActivityClockTime(start);
    clock->setNow(start + c.move);
    EXPECT_EQ(sessions->isSessionExpired(), c.expired);
    // Extending moves a live session's activity to now, and never revives one.
    EXPECT_EQ(sessions->extendSession(), !c.expired);
    EXPECT_EQ(config->lastSessionActivityClockTime(), c.expired ? start : start + c.move);
    clock->setNow(start);
  }
}

TEST_F(Reporters, ANegativeTimeoutBecomesZero) {
  sessions->setTimeoutSessionInterval(-5);
  EXPECT_EQ(sessions->timeoutSessionInterval(), 0);
  EXPECT_EQ(linesWithCode(33001).size(), 1u);
}

TEST_F(Reporters, ActivationStartsASessionOnlyOnceTheLastOneExpired) {
  auto config = QZMPersistedConfig::sharedInstance();
  config->setSessionNumber(4);
  config->setLastSessionActivityClockTime(clock->now() - 3600);
  activate();
  auto starts = events("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].origin, "auto");
  EXPECT_EQ(intOf(starts[0].parameters, "_sno"), 5);
  EXPECT_EQ(intOf(starts[0].parameters, "_sid"), static_cast<std::int64_t>(clock->now()));
  EXPECT_EQ(config->sessionNumber(), 5);
  // The session's properties are cleared, then set to the new session.
  std::vector<std::string> properties;
  for (const auto& attribute : recorder->attributes()) {
    properties.push_back((attribute.set ? "set " : "removed ") + attribute.name);
  }
  EXPECT_EQ(properties, (std::vector<std::string>{"removed _sid", "removed _sno", "set _sid", "set _sno"}));

  // Back within the timeout: the same session.
  enterBackground();
  clock->advance(600);
  activate();
  EXPECT_EQ(events("_s").size(), 1u);
  // After it: a new one.
  enterBackground();
  clock->advance(1801);
  activate();
  EXPECT_EQ(events("_s").size(), 2u);
  EXPECT_EQ(config->sessionNumber(), 6);
}

TEST_F(Reporters, WithReportingOffActivationStartsNoSessionButStillMovesTheActivity) {
  recorder->setEnabled(false);
  settleEngine();
  EXPECT_FALSE(sessions->isReportingEnabled());
  auto config = QZMPersistedConfig::sharedInstance();
  config->setLastSessionActivityClockTime(clock->now() - 7200);
  activate();
  clock->advance(5);
  resign();
  EXPECT_TRUE(events("_s").empty());
  EXPECT_TRUE(events("_e").empty());
  EXPECT_EQ(config->lastSessionActivityClockTime(), clock->now());
  EXPECT_EQ(config->sessionNumber(), 0);
}

TEST_F(Reporters, StartsRacingFromTheMainThreadAndTheWorkerQueueMakeOneSession) {
  auto config = QZMPersistedConfig::sharedInstance();
  activate();
  // The worker starts a little later each round, so that its check and the
  // main thread's start meet at many offsets.
  for (int round = 0; round < 100; ++round) {
    config->setLastSessionActivityClockTime(clock->now() - 7200);
    std::int64_t before = config->sessionNumber();
    std::barrier start(2);
    // The engine's launch session against the app becoming active.
    recorder->scheduler()->scheduleOnWorkerQueueBlockID("test:launch session", [&] {
      start.arrive_and_wait();
      for (volatile int spin = 0; spin < round * 5;) spin = spin + 1;
      recorder->reportSessionStartOnWorkerQueueWithTimestamp(clock->now(), false);
    });
    start.arrive_and_wait();
    sessions->handleAppDidBecomeActive();
    settleEngine();
    ASSERT_EQ(config->sessionNumber(), before + 1) << "round " << round;
  }
}

TEST_F(Reporters, AStoredTimeoutIsUsedByOneReporterOnly) {
  auto config = QZMPersistedConfig::sharedInstance();
  config->setSessionTimeoutValue(foundation::Object(600.0));
  EXPECT_EQ(QZMSessionReporter::initWithPersistedConfig(config)->timeoutSessionInterval(), 600);
  EXPECT_FALSE(config->sessionTimeoutValue());
  EXPECT_EQ(QZMSessionReporter::initWithPersistedConfig(config)->timeoutSessionInterval(), 1800);
}

// ---- Engagement ----

TEST_F(Reporters, EngagementIsReportedWhenTheAppResignsWithTheScreenItWasOn) {
  tolvapp::HomeViewController home;
  show(home);
  activate();
  clock->advance(5.5);
  resign();
  auto engagement = events("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(intOf(engagement[0].parameters, "_et"), 5500);
  EXPECT_EQ(intOf(engagement[0].parameters, "_si"), screens->currentScreen()->instanceID());
  EXPECT_EQ(textOf(engagement[0].parameters, "_sc"), "HomeViewController");
  EXPECT_FALSE(sessions->userEngagementTimer()->hasActiveTimer());
}

TEST_F(Reporters, EngagementIsMeasuredOnUptimeCappedAtAnHourAndNeverNegative) {
  struct Case {
    const char* name;
    double calendarJump;  // the user sets the device's clock
    double uptime;
    std::int64_t millis;
  };
  const Case cases[] = {
      {"plain", 0, 2.25, 2250},
      {"clock set back", -86400, 3, 3000},
      {"clock set forward", 86400, 3, 3000},
      {"two hours", 0, 7200, 3600000},
  };
  activate();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sessions->handleAppDidBecomeActive();
    clock->setNow(clock->now() + c.calendarJump);
    clock->advance(c.uptime);
    EXPECT_EQ(sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false), c.millis);
  }
  EXPECT_TRUE(linesWithCode(33004).empty());
}

TEST_F(Reporters, TheEngagementTimerReportsOncePerIntervalOnTheMainQueue) {
  int fired = 0;
  auto token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      kQZMSessionReporterEngagementTimerDidFire, nullptr, nullptr, [&](const foundation::Notification&) { ++fired; });
  activate();
  ASSERT_TRUE(sessions->userEngagementTimer()->hasActiveTimer());
  for (int interval = 1; interval <= 2; ++interval) {
    clock->advance(3600);
    EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return fired == interval; },
                                            foundation::Deadline::wallAfterSeconds(3600 * 10)));
  }
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  auto engagement = events("_e");
  ASSERT_EQ(engagement.size(), 2u);
  EXPECT_EQ(intOf(engagement[1].parameters, "_et"), 3600000);
  EXPECT_TRUE(sessions->userEngagementTimer()->hasActiveTimer());
}

TEST_F(Reporters, AnEngagementIntervalOfZeroStillWaitsASecond) {
  useSettings({{"measurement.session.event_user_engagement_interval", "0"}});
  int fired = 0;
  auto token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      kQZMSessionReporterEngagementTimerDidFire, nullptr, nullptr, [&](const foundation::Notification&) { ++fired; });
  auto armedIn = [&] {
    auto scheduled = sessions->userEngagementTimer()->scheduledTimestamp();
    return scheduled ? scheduled->secondsSince1970 - clock->now() : -1.0;
  };
  activate();
  EXPECT_DOUBLE_EQ(armedIn(), 1.0);
  // With the clock still nothing is due, however often the main queue runs.
  for (int i = 0; i < 5; ++i) dispatch::drainMainQueue();
  EXPECT_EQ(fired, 0);
  clock->advance(1);
  EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return fired == 1; }, foundation::Deadline::wallAfterSeconds(60)));
  for (int i = 0; i < 5; ++i) dispatch::drainMainQueue();
  EXPECT_EQ(fired, 1);
  EXPECT_DOUBLE_EQ(armedIn(), 1.0);
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(Reporters, InTheBackgroundNothingIsReported) {
  activate();
  enterBackground();
  clock->advance(10);
  EXPECT_EQ(sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  sessions->logSessionStartEvent();
  EXPECT_EQ(linesWithCode(33006).size(), 1u);
  EXPECT_EQ(linesWithCode(33005).size(), 1u);
  EXPECT_EQ(events("_e").size(), 1u);  // the one at resignation
  EXPECT_TRUE(screens->screenParameters().empty());
}

TEST_F(Reporters, AScreenChangeReportsTheEngagementOfTheScreenLeft) {
  struct Case {
    const char* name;
    bool efficient;
    bool removeRedundant;
    double seconds;
    bool engagement;     // an "_e" for the screen left
    bool freeride;       // it carries "_fr"
    bool viewCarriesIt;  // the screen view carries "_et"
  };
  const Case cases[] = {
      {"short stay", false, false, 0.9, false, false, false},
      {"plain", false, false, 5, true, false, false},
      {"efficient", true, false, 5, true, true, true},
      {"efficient without redundancy", true, true, 5, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    useSettings({{"measurement.collection.efficient_engagement_reporting_enabled", c.efficient ? "1" : "0"},
                 {"measurement.collection.redundant_engagement_removal_enabled",
                  c.removeRedundant ? "1" : "0"}});
    tolvapp::HomeViewController home;
    tolvapp::DetailViewController detail;
    ui::NavigationController navigation(home);
    show(navigation);
    activate();
    std::size_t before = events("_e").size();
    std::size_t viewsBefore = events("_vs").size();
    clock->advance(c.seconds);
    navigation.pushViewController(detail);
    auto engagement = events("_e");
    ASSERT_EQ(engagement.size() - before, c.engagement ? 1u : 0u);
    if (c.engagement) {
      EXPECT_EQ(intOf(engagement.back().parameters, "_et"), static_cast<std::int64_t>(c.seconds * 1000));
      EXPECT_EQ(textOf(engagement.back().parameters, "_sc"), "HomeViewController");
      EXPECT_EQ(engagement.back().parameters.contains("_fr"), c.freeride);
    }
    auto views = events("_vs");
    ASSERT_EQ(views.size() - viewsBefore, 1u);
    EXPECT_EQ(textOf(views.back().parameters, "_sc"), "DetailViewController");
    EXPECT_EQ(intOf(views.back().parameters, "_et"),
              c.viewCarriesIt ? static_cast<std::int64_t>(c.seconds * 1000) : -1);
    enterBackground();
    window.rootViewController = nullptr;
  }
}

// ---- Screen views ----

TEST_F(Reporters, AppearingControllersAreScreenViewsNumberedFromARandomStart) {
  tolvapp::HomeViewController home;
  tolvapp::DetailViewController detail;
  ui::NavigationController navigation(home);
  show(navigation);
  navigation.pushViewController(detail);
  auto views = events("_vs");
  ASSERT_EQ(views.size(), 2u);
  const std::int64_t first = 0x0123456789abcdef + 1;  // the fixture's random number + 1
  EXPECT_EQ(views[0].origin, "auto");
  EXPECT_EQ(intOf(views[0].parameters, "_si"), first);
  EXPECT_EQ(textOf(views[0].parameters, "_sc"), "HomeViewController");
  EXPECT_FALSE(views[0].parameters.contains("_pi"));
  EXPECT_EQ(intOf(views[1].parameters, "_si"), first + 1);
  EXPECT_EQ(intOf(views[1].parameters, "_pi"), first);
  EXPECT_EQ(textOf(views[1].parameters, "_pc"), "HomeViewController");
  // Other events carry the screen shown.
  EXPECT_EQ(intOf(screens->screenParameters(), "_si"), first + 1);

  // Back to the first screen: it keeps its instance.
  navigation.popViewController();
  views = events("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(intOf(views[2].parameters, "_si"), first);

  // Appearing again while current is no new screen view.
  std::size_t alreadyTracked = linesWithCode(31006).size();
  home.viewDidAppear(false);
  EXPECT_EQ(events("_vs").size(), 3u);
  EXPECT_EQ(linesWithCode(31006).size(), alreadyTracked + 1);
}

TEST_F(Reporters, HooksAreInstalledOnlyWithReportingOnAndNoOlderLibraryPresent) {
  struct Case {
    const char* name;
    foundation::Dictionary info;
    bool olderLibrary;
    const char* messageCode;  // of the OS log line when not installed
  };
  const Case cases[] = {
      {"reporting on", {}, false, nullptr},
      {"reporting off", {{kQZMScreenReportingEnabledKey, false}}, false, "I-ACS036001"},
      {"an older library", {}, true, "I-ACS036005"},
  };
  utilities->setLoggerLevel(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    home->setInfoPlist(c.info);
    if (c.olderLibrary) utilities->addClass("ZNHADatabase");
    std::size_t linesBefore = utilities->lines().size();
    auto token = QZMInstallViewControllerHooks();
    EXPECT_EQ(token.has_value(), c.messageCode == nullptr);
    if (token) ui::ViewController::removeAppearanceHooks(*token);
    auto lines = utilities->lines();
    ASSERT_EQ(lines.size() - linesBefore, c.messageCode ? 1u : 0u);
    if (c.messageCode) {
      EXPECT_EQ(lines.back().messageCode, c.messageCode);
    }
  }
}

TEST_F(Reporters, AWindowBecomingKeyAgainMakesItsTopScreenCurrent) {
  tolvapp::DetailViewController detail;
  show(detail);
  ui::Window other;
  ui::Application::shared().addWindow(&other);
  ui::Application::shared().makeKeyWindow(&other);
  tolvapp::HomeViewController home;
  other.rootViewController = &home;
  home.loadViewIfNeeded();
  home.setViewWindow(&other);
  home.viewDidAppear(false);
  EXPECT_EQ(textOf(screens->screenParameters(), "_sc"), "HomeViewController");
  ui::Application::shared().makeKeyWindow(&window);
  ui::Application::shared().removeWindow(&other);
  EXPECT_EQ(textOf(screens->screenParameters(), "_sc"), "DetailViewController");
  EXPECT_EQ(events("_vs").size(), 3u);
}

TEST_F(Reporters, OnePerformanceDelegateHearsEveryAppearance) {
  struct Delegate : QZMScreenViewReporterDelegate {
    std::vector<std::string> heard;
    void viewControllerDidAppear(ui::ViewController& vc, bool tracked) override {
      heard.push_back(QZMStrippedClassName(vc.className()) + (tracked ? " tracked" : " untracked"));
    }
    void viewControllerDidDisappear(ui::ViewController& vc) override {
      heard.push_back(QZMStrippedClassName(vc.className()) + " gone");
    }
  };
  auto first = std::make_shared<Delegate>();
  auto second = std::make_shared<Delegate>();
  screens->setZarnholtPerfDelegate(first);
  screens->setZarnholtPerfDelegate(second);
  EXPECT_EQ(linesWithCode(31016).size(), 1u);
  tolvapp::HomeViewController home;
  show(home);
  PrivateSheet sheet;
  home.presentViewController(sheet);
  home.dismissViewController();
  EXPECT_EQ(first->heard, (std::vector<std::string>{"HomeViewController tracked", "_UIRemoteSheet untracked",
                                                   "_UIRemoteSheet gone"}));
  EXPECT_TRUE(second->heard.empty());
  screens->setZarnholtPerfDelegate(nullptr);
  EXPECT_EQ(screens->zarnholtPerfDelegate(), nullptr);
}

TEST_F(Reporters, ScreenInstancesWrapAroundPastTheLargestNumber) {
  QZMScreenViewReporter::setSharedInstance(nullptr);
  utilities->setSecureRandom(std::numeric_limits<std::uint64_t>::max() >> 1);
  screens = QZMScreenViewReporter::sharedInstance();
  EXPECT_EQ(screens->incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(screens->incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min() + 1);
}

TEST_F(Reporters, PrivateControllersOfPlatformLibrariesAreNeverScreens) {
  tolvapp::HomeViewController home;
  show(home);
  PrivateSheet sheet;
  home.presentViewController(sheet);
  EXPECT_FALSE(QZMIsTrackableViewController(sheet));
  EXPECT_EQ(events("_vs").size(), 1u);
  EXPECT_EQ(textOf(screens->screenParameters(), "_sc"), "HomeViewController");
}

TEST_F(Reporters, AppLoggedScreenViewsCarryTheirNameClassAndTime) {
  tolvapp::HomeViewController home;
  show(home);
  activate();
  double at = clock->now() - 2;
  screens->trackScreenWithParameters({{"screen_name", "Checkout"}, {"screen_class", "CartView"}, {"step", 2}}, at);
  auto views = events("_vs");
  ASSERT_EQ(views.size(), 2u);
  const HandedEvent& view = views[1];
  EXPECT_EQ(view.origin, "app");
  EXPECT_EQ(view.timestamp, at);
  EXPECT_EQ(textOf(view.parameters, "_sn"), "Checkout");
  EXPECT_EQ(textOf(view.parameters, "_sc"), "CartView");
  EXPECT_EQ(textOf(view.parameters, "_pc"), "HomeViewController");
  EXPECT_EQ(intOf(view.parameters, "step"), 2);
  EXPECT_FALSE(view.parameters.contains("screen_name"));
  EXPECT_FALSE(view.parameters.contains("screen_class"));

  // Without a class, on the main thread: the key window's root.
  screens->trackScreenWithParameters({{"screen_name", "Help"}}, clock->now());
  views = events("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(textOf(views[2].parameters, "_sc"), "HomeViewController");

  screens->trackScreenWithParameters({{"screen_name", std::string(501, 'n')}}, clock->now());
  screens->trackScreenWithParameters({{"screen_class", 7}}, clock->now());
  EXPECT_EQ(events("_vs").size(), 3u);
  EXPECT_EQ(linesWithCode(31027).size(), 1u);
  EXPECT_EQ(linesWithCode(31028).size(), 1u);

  enterBackground();
  screens->trackScreenWithParameters({{"screen_name", "Late"}}, clock->now());
  EXPECT_EQ(linesWithCode(31026).size(), 1u);
}

TEST_F(Reporters, TheAppRenamesTheTopScreen) {
  screens->setScreenName("Home", std::nullopt);
  EXPECT_EQ(linesWithCode(31003).size(), 1u);  // nothing has appeared yet

  tolvapp::HomeViewController home;
  show(home);
  screens->setScreenName("Home", std::nullopt);
  screens->setScreenName("Home", std::nullopt);
  EXPECT_EQ(linesWithCode(31004).size(), 1u);
  auto views = events("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(textOf(views[1].parameters, "_sn"), "Home");
  EXPECT_EQ(textOf(views[1].parameters, "_sc"), "HomeViewController");
  std::optional<std::string> name, screenClass;
  screens->getScreenName(&name, &screenClass);
  EXPECT_EQ(name, "Home");
  EXPECT_EQ(screenClass, "HomeViewController");

  // The named screen stays the top one when the controller appears again.
  home.viewDidAppear(false);
  EXPECT_EQ(screens->currentScreen()->name(), "Home");
}

TEST_F(Reporters, WithScreenReportingOffOnlyTheAppsOwnScreenViewsAreLogged) {
  struct Case {
    const char* name;
    foundation::Dictionary info;
    bool reporting;
  };
  const Case cases[] = {
      {"no switch", {}, true},
      {"general switch off", {{kQZMScreenReportingEnabledKey, false}}, false},
      {"automatic switch off", {{kQZMAutomaticScreenReportingEnabledKey, false}}, false},
      {"general switch wins", {{kQZMScreenReportingEnabledKey, true}, {kQZMAutomaticScreenReportingEnabledKey, false}},
       true},
      {"a string is no switch", {{kQZMScreenReportingEnabledKey, "NO"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    home->setInfoPlist(c.info);
    EXPECT_EQ(QZMIsAutomaticScreenReportingEnabled(), c.reporting);
    clearMonitorLines();
    screens->setScreenName("Renamed", std::nullopt);
    EXPECT_EQ(linesWithCode(31000).size(), c.reporting ? 0u : 1u);
    std::size_t before = events("_vs").size();
    screens->trackScreenWithParameters({{"screen_name", "Manual"}, {"screen_class", "Form"}}, clock->now());
    auto views = events("_vs");
    ASSERT_EQ(views.size(), before + 1);
    EXPECT_EQ(views.back().parameters.contains("_mst"), !c.reporting);
  }
}

TEST_F(Reporters, AScreenNeverReportedIsReportedOnReturnToTheForeground) {
  activate();
  enterBackground();
  tolvapp::HomeViewController home;
  show(home);  // appears while in the background
  EXPECT_TRUE(events("_vs").empty());
  EXPECT_EQ(linesWithCode(31013).size(), 1u);
  activate();
  EXPECT_EQ(events("_vs").size(), 1u);
  enterBackground();
  activate();
  EXPECT_EQ(events("_vs").size(), 1u);
}

// ---- Ad exposure ----

class AdExposure : public Reporters {
 protected:
  void SetUp() override {
    Reporters::SetUp();
    ads = QZMAdExposureReporter::sharedInstance();
    show(home);
    activate();
  }
  void TearDown() override {
    ads.reset();
    Reporters::TearDown();
  }
  // Begin runs later on the reporter's queue; end waits for it.
  void begin(const std::string& unit) { ads->beginAdUnitExposure(unit); }

  tolvapp::HomeViewController home;
  std::shared_ptr<QZMAdExposureReporter> ads;
};

TEST_F(AdExposure, AnExposureUnderASecondIsNotReported) {
  begin("banner");
  clock->advance(0.8);
  ads->endAdUnitExposure("banner");
  EXPECT_TRUE(events("_xu").empty());
  EXPECT_TRUE(events("_xa").empty());
  EXPECT_EQ(linesWithCode(1009).size(), 1u);
  EXPECT_EQ(linesWithCode(1006).size(), 1u);
}

TEST_F(AdExposure, NestedBeginsOfAUnitEndWithTheLastEnd) {
  begin("banner");
  begin("banner");
  clock->advance(2);
  ads->endAdUnitExposure("banner");
  EXPECT_TRUE(events("_xu").empty());
  clock->advance(1);
  ads->endAdUnitExposure("banner");
  auto units = events("_xu");
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].origin, "am");
  EXPECT_EQ(textOf(units[0].parameters, "_ai"), "banner");
  EXPECT_EQ(intOf(units[0].parameters, "_xt"), 3000);
  auto whole = events("_xa");
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(intOf(whole[0].parameters, "_xt"), 3000);
  EXPECT_EQ(intOf(whole[0].parameters, "_si"), screens->currentScreen()->instanceID());
}

TEST_F(AdExposure, UnknownUnitsAndUnitsPastTheLimitAreIgnored) {
  ads->endAdUnitExposure("never");
  EXPECT_EQ(linesWithCode(1004).size(), 1u);
  for (std::size_t i = 0; i <= kQZMMaxAdUnits; ++i) begin("unit" + std::to_string(i));
  ads->endAdUnitExposure("unit" + std::to_string(kQZMMaxAdUnits));
  EXPECT_EQ(linesWithCode(1002).size(), 1u);
  EXPECT_EQ(linesWithCode(1004).size(), 2u);
  ads->beginAdUnitExposure("");
  ads->endAdUnitExposure("");
  EXPECT_EQ(linesWithCode(1000).size(), 1u);
  EXPECT_EQ(linesWithCode(1003).size(), 1u);
}

TEST_F(AdExposure, AScreenChangeCutsTheSpansForTheScreenLeft) {
  tolvapp::DetailViewController detail;
  std::int64_t homeScreen = screens->currentScreen()->instanceID();
  begin("banner");
  clock->advance(3);
  ui::NavigationController navigation(detail);
  show(navigation);
  auto units = events("_xu");
  auto whole = events("_xa");
  ASSERT_EQ(units.size(), 1u);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(intOf(units[0].parameters, "_xt"), 3000);
  EXPECT_EQ(intOf(units[0].parameters, "_si"), homeScreen);
  EXPECT_EQ(intOf(whole[0].parameters, "_xt"), 3000);
  // The next report counts from the change.
  clock->advance(1.5);
  ads->endAdUnitExposure("banner");
  units = events("_xu");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(intOf(units[1].parameters, "_xt"), 1500);
  EXPECT_NE(intOf(units[1].parameters, "_si"), homeScreen);
}

TEST_F(AdExposure, ResigningReportsAndActivationRestartsWithoutReporting) {
  begin("banner");
  clock->advance(2);
  enterBackground();
  ASSERT_EQ(events("_xu").size(), 1u);
  clock->advance(100);  // in the background: not exposure
  activate();
  clock->advance(1.25);
  ads->endAdUnitExposure("banner");
  auto units = events("_xu");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(intOf(units[1].parameters, "_xt"), 1250);
}

TEST_F(AdExposure, TheEngagementTimerCutsTheSpansForTheScreenShown) {
  bool fired = false;
  auto token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      kQZMSessionReporterEngagementTimerDidFire, nullptr, nullptr, [&](const foundation::Notification&) {
        fired = true;
      });
  begin("banner");
  clock->advance(3600);
  EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return fired; }, foundation::Deadline::wallAfterSeconds(3600)));
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  auto units = events("_xu");
  auto whole = events("_xa");
  ASSERT_EQ(units.size(), 1u);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(intOf(units[0].parameters, "_xt"), 3600000);
  EXPECT_EQ(intOf(units[0].parameters, "_si"), screens->currentScreen()->instanceID());
  EXPECT_EQ(textOf(whole[0].parameters, "_sc"), "HomeViewController");
  // The unit stays shown; its next report counts from the cut.
  clock->advance(2);
  ads->endAdUnitExposure("banner");
  units = events("_xu");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(intOf(units[1].parameters, "_xt"), 2000);
}

TEST(AdEvents, AreTheAdsOriginOrTheExposureEvents) {
  struct Case {
    const char* origin;
    const char* name;
    bool ad;
  };
  const Case cases[] = {
      {"am", "anything", true}, {"auto", "_xa", true}, {"app", "_xu", true}, {"auto", "_e", false},
      {"amx", "_x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(QZMIsAdEvent(c.origin, c.name), c.ad) << c.origin << " " << c.name;
}

}  // namespace
