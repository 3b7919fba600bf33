// The road of an event inside the engine: entry and routing, default
// parameters and backfill, handling (allowlist, background sessions,
// de-duplication, block list, daily limits) and the one transaction that
// stores counts, aggregates, metadata and the raw event together.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/EventTestKit.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "measurement/identity/QZMKeychainWrapper.h"
#include "measurement/model/QZMConditionalUserPropertyController.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMEventAggregatesStorage.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using eventkit::parameterOf;

class EngineEvents : public eventkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    startEngine();
  }

  // What an interceptor was handed.
  struct Intercepted {
    std::string origin, name;
    QZMDictionary parameters;
    double timestamp;
  };
  QZMLogEventInterceptor recordingInterceptor() {
    return [this](const std::string& origin, const std::string& name, const QZMDictionary& parameters,
                  double timestamp) {
      std::lock_guard lock(interceptedMutex);
      intercepted.push_back({origin, name, parameters, timestamp});
    };
  }

  void restart(QZMMeasurement::SafelistedEvents safelistedEvents = std::nullopt) {
    TearDown();
    EngineTest::SetUp();
    startEngine(std::move(safelistedEvents));
  }

  void setDefaults(const std::optional<QZMDictionary>& parameters) {
    engine->setDefaultEventParameters(parameters);
    drain();
  }
  foundation::Dictionary storedDefaults() {
    return engine->persistedConfig()->defaultEventParameters().value_or(foundation::Dictionary());
  }

  const QZMEvent& lastRawEvent() {
    last = rawEvents();
    EXPECT_FALSE(last.empty());
    return *last.back().rawEvent();
  }

  std::mutex interceptedMutex;
  std::vector<Intercepted> intercepted;
  std::vector<QZMRawEventData> last;
};

TEST_F(EngineEvents, AnEventReachesItsRowWithCountsAggregatesAndMetadata) {
  logEvent("level_up", {{"level", 3}});
  logEvent("level_up", {{"level", 4}});

  auto events = rawEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rawEvent()->origin(), "app");
  EXPECT_EQ(parameterOf(*events[1].rawEvent(), "level"), QZMValue::initWithInt64(4));
  // Equal context, one metadata row under one fingerprint.
  EXPECT_EQ(events[0].metadataFingerprint(), events[1].metadataFingerprint());
  EXPECT_EQ(rowCount(kQZMRawEventsMetadataTable), 1);
  EXPECT_EQ(rowCount(kQZMEventsTable), 1);

  QZMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 2);
  EXPECT_EQ(counts.publicEventsCount(), 2);
  EXPECT_EQ(linesWithCode(23072).size(), 2u);

  std::shared_ptr<QZMPBMeasurementBundle> metadata;
  onWorkerQueue([&] {
    metadata = *engine->database()->queryRawEventsMetadataWithFingerprint(events[0].metadataFingerprint());
  });
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(NANOGetInt32(metadata.get(), QZMPBMeasurementBundle::kProtocolVersion), 1);
  EXPECT_EQ(NANOGetString(metadata.get(), QZMPBMeasurementBundle::kPlatform), "ios");
  EXPECT_EQ(NANOGetInt64(metadata.get(), QZMPBMeasurementBundle::kLibraryVersion), 111400);
  EXPECT_TRUE(NANOHasField(metadata.get(), QZMPBMeasurementBundle::kAppInstanceId));
  // No user properties yet: the field stays unset.
  EXPECT_TRUE(NANOGetArray(metadata.get(), QZMPBMeasurementBundle::kUserAttributes)->empty());
}

TEST_F(EngineEvents, RoutingBetweenInterceptorListenersHandlingAndTheEnabledSwitch) {
  // The facade runs listeners on its operation queue, which the start opens.
  QZMAnalytics::unsuspendOperationQueue();
  std::mutex heardMutex;
  std::vector<QZMParameters> heard;
  auto token = QZMAnalytics::addLogEventListener([&](const QZMEvent& event) {
    std::lock_guard lock(heardMutex);
    heard.push_back(event.parameters());
  });
  auto listened = [&] {
    QZMAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    testkit::settle(QZMAnalytics::queue());
    std::lock_guard lock(heardMutex);
    return heard.size();
  };

  struct Case {
    const char* name;
    std::string origin;
    std::string eventName;
    bool isPublic;
    bool enabled;
    bool ignoreEnabled;
    bool ignoreInterceptor;
    bool intercepted;
    bool listened;
  };
  const std::vector<Case> cases = {
      {"public event goes to the interceptor", "app", "tap", true, true, false, false, true, false},
      {"internal event is never intercepted", "auto", "_x", false, true, false, false, false, true},
      {"ad component's events stay hidden", "am", "tap", true, true, false, false, false, false},
      {"ignoring the interceptor", "app", "tap", true, true, false, true, false, true},
      {"collection off still reaches handling, unheard", "app", "tap", true, false, false, false, false, false},
      {"ignoring the switch", "app", "tap", true, false, true, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t storedBefore = rawEvents().size();
    std::size_t heardBefore = listened();
    intercepted.clear();
    engine->logEventWithOrigin(c.origin, c.isPublic, c.eventName, {{"p", 1}}, clock->now(), c.enabled,
                               c.ignoreEnabled, c.ignoreInterceptor, recordingInterceptor(), {{"_si", 7}});
    drain();
    EXPECT_EQ(intercepted.size(), c.intercepted ? 1u : 0u);
    EXPECT_EQ(rawEvents().size(), storedBefore + (c.intercepted ? 0 : 1));
    EXPECT_EQ(listened(), heardBefore + (c.listened ? 1 : 0));
    if (c.intercepted && !intercepted.empty()) {
      EXPECT_EQ(intercepted[0].name, c.eventName);
      EXPECT_TRUE(intercepted[0].parameters.contains("p"));
      EXPECT_TRUE(intercepted[0].parameters.contains("_si"));
    }
  }
  QZMAnalytics::removeLogEventListener(token);
}

// A time that cannot make a bundle, or one far ahead of the clock, never
// enters: such a row would hold back every event stored after it.
TEST_F(EngineEvents, EventsWithTimesThatCannotBeBundledAreRefusedAtEveryEntry) {
  const double now = clock->now();
  struct Case {
    const char* name;
    double timestamp;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"zero", 0, false},
      {"negative", -5, false},
      {"not a number", std::nan(""), false},
      {"infinite", INFINITY, false},
      {"enormous", 1e300, false},
      {"in milliseconds", now * 1000, false},
      {"two days ahead", now + 2 * 86400, false},
      {"an hour ahead", now + 3600, true},
      {"a year ago", now - 365 * 86400, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t stored = rawEvents().size();
    const std::size_t refusals = linesWithCode(23296).size();
    engine->logEventWithOrigin("app", true, "public_entry", {}, c.timestamp, true, false, false, nullptr, {});
    drain();
    onWorkerQueue([&] {
      engine->handleInternalEventOnWorkerQueue(QZMEvent::initWithOrigin("auto", false, "_internal_entry", c.timestamp,
                                                                        0, QZMDictionary{}));
    });
    drain();
    EXPECT_EQ(rawEvents().size(), stored + (c.accepted ? 2 : 0));
    EXPECT_EQ(linesWithCode(23296).size(), refusals + (c.accepted ? 0 : 2));
  }
}

TEST_F(EngineEvents, DefaultParametersMergeIntoEventsButNeverIntoErrors) {
  setDefaults(QZMDictionary{{"plan", "pro"}, {"level", 1}});
  EXPECT_EQ(storedDefaults(), (foundation::Dictionary{{"level", 1}, {"plan", "pro"}}));

  logEvent("tap", {{"level", 9}});
  EXPECT_EQ(parameterOf(lastRawEvent(), "plan"), QZMValue::initWithString("pro"));
  EXPECT_EQ(parameterOf(lastRawEvent(), "level"), QZMValue::initWithInt64(9));

  engine->logEventWithOrigin("auto", false, "_err", {{"_err", 2}}, clock->now(), true, false, false, nullptr, {});
  drain();
  EXPECT_EQ(lastRawEvent().name(), "_err");
  EXPECT_FALSE(parameterOf(lastRawEvent(), "plan"));
  handleEvent("_err", {{"_err", 3}});
  // The engine's own events get them too, "_err" again excepted.
  onWorkerQueue([&] {
    engine->handleInternalEventOnWorkerQueue(QZMEvent::initWithOrigin("auto", false, "_err", clock->now(), 0,
                                                                      QZMDictionary{{"_err", 4}}));
    engine->handleInternalEventOnWorkerQueue(QZMEvent::initWithOrigin("auto", false, "_au", clock->now(), 0,
                                                                      QZMDictionary{}));
  });
  drain();
  auto events = rawEvents();
  ASSERT_GE(events.size(), 2u);
  EXPECT_FALSE(parameterOf(*events[events.size() - 2].rawEvent(), "plan"));
  EXPECT_EQ(parameterOf(*events.back().rawEvent(), "plan"), QZMValue::initWithString("pro"));

  // A campaign event takes no "dxd_" default; other events do.
  engine->persistedConfig()->setDefaultEventParameters(foundation::Dictionary{{"plan", "pro"}, {"dxd_x", "1"}});
  onWorkerQueue([&] {
    for (const char* name : {"_cmp", "_au"}) {
      engine->handleInternalEventOnWorkerQueue(QZMEvent::initWithOrigin("auto", false, name, clock->now(), 0,
                                                                        QZMDictionary{}));
    }
  });
  drain();
  events = rawEvents();
  ASSERT_GE(events.size(), 2u);
  const QZMEvent& campaign = *events[events.size() - 2].rawEvent();
  ASSERT_EQ(campaign.name(), "_cmp");
  EXPECT_FALSE(parameterOf(campaign, "dxd_x"));
  EXPECT_EQ(parameterOf(campaign, "plan"), QZMValue::initWithString("pro"));
  EXPECT_EQ(parameterOf(*events.back().rawEvent(), "dxd_x"), QZMValue::initWithString("1"));
}

TEST_F(EngineEvents, SettingDefaultParameters) {
  setDefaults(QZMDictionary{{"a", 1}, {"b", "x"}, {"c", 2.5}});
  struct Case {
    const char* name;
    std::optional<QZMDictionary> given;
    foundation::Dictionary expected;
    std::vector<std::int64_t> errorCodes;
  };
  const std::vector<Case> cases = {
      {"a null removes its key", QZMDictionary{{"a", foundation::Object()}}, {{"b", "x"}, {"c", 2.5}}, {}},
      {"an invalid value keeps the earlier one", QZMDictionary{{"b", std::string(600, 'v')}}, {{"b", "x"}, {"c", 2.5}},
       {}},
      {"an array is refused with error 27", QZMDictionary{{"d", QZMArray{QZMDictionary{{"item_id", "1"}}}}},
       {{"b", "x"}, {"c", 2.5}}, {27}},
      {"a reserved name is refused", QZMDictionary{{"_d", 1}, {"zarnholt_d", 2}}, {{"b", "x"}, {"c", 2.5}}, {}},
      {"nothing clears them all", std::nullopt, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t errorsBefore = errorEventCodes().size();
    setDefaults(c.given);
    EXPECT_EQ(storedDefaults(), c.expected);
    auto errors = errorEventCodes();
    EXPECT_EQ(std::vector<std::int64_t>(errors.begin() + errorsBefore, errors.end()), c.errorCodes);
  }

  setSettings({{"measurement.upload.max_public_event_params", "25"}});
  QZMDictionary many;
  for (int i = 10; i < 40; ++i) many.emplace("p" + std::to_string(i), i);
  setDefaults(many);
  foundation::Dictionary kept = storedDefaults();
  EXPECT_EQ(kept.size(), 25u);
  EXPECT_TRUE(kept.contains("p34"));
  EXPECT_FALSE(kept.contains("p35"));
  EXPECT_EQ(errorEventCodes().back(), 26);
  EXPECT_EQ(linesWithCode(23215).size(), 1u);
}

TEST_F(EngineEvents, DefaultsBackfillTheEventsStoredSinceStartUntilTheAppsOwnEvent) {
  handleEvent("_s", {}, "auto");
  setDefaults(QZMDictionary{{"plan", "pro"}});
  EXPECT_EQ(parameterOf(lastRawEvent(), "plan"), QZMValue::initWithString("pro"));
  EXPECT_EQ(linesWithCode(23272).size(), 1u);

  logEvent("tap");
  handleEvent("_e", {}, "auto");
  setDefaults(QZMDictionary{{"plan", "max"}});
  // After the app's own event nothing stored is rewritten.
  auto events = rawEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(parameterOf(*events[0].rawEvent(), "plan"), QZMValue::initWithString("pro"));
  EXPECT_EQ(parameterOf(*events[1].rawEvent(), "plan"), QZMValue::initWithString("pro"));
  EXPECT_FALSE(parameterOf(*events[2].rawEvent(), "plan"));
  EXPECT_EQ(linesWithCode(23216).size(), 1u);
}

TEST_F(EngineEvents, SessionStartBackfillsTheEventsLoggedJustBeforeIt) {
  const double start = clock->now();
  auto seconds = [&](double offset) { return static_cast<std::int64_t>(start + offset); };
  handleEvent("early");  // 20 s before the session's time
  clock->setNow(start + 10);
  handleEvent("_x1");  // within 15 s
  clock->setNow(start + 20);
  handleEvent("_s", {{"_sid", seconds(20)}, {"_sno", 4}});

  auto events = rawEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(parameterOf(*events[0].rawEvent(), "_sid"));
  EXPECT_EQ(parameterOf(*events[1].rawEvent(), "_sid"), QZMValue::initWithInt64(seconds(20)));
  EXPECT_EQ(parameterOf(*events[1].rawEvent(), "_sno"), QZMValue::initWithInt64(4));

  // With a first open stored the session reaches back to it, but an event
  // whose metadata already carries a session keeps its own. The session is
  // live, so background handling leaves its properties alone.
  clock->setNow(start + 100);
  engine->persistedConfig()->setLastSessionActivityClockTime(clock->now());
  handleEvent("_f");
  onWorkerQueue([&] {
    auto sid = QZMUserAttribute::initWithOrigin("auto", "_sid", QZMValue::initWithInt64(1), clock->now());
    ASSERT_TRUE(engine->setUserPropertyInDatabaseOnWorkerQueue(*sid));
  });
  clock->setNow(start + 110);
  handleEvent("_y");
  onWorkerQueue([&] { ASSERT_TRUE(engine->database()->deleteUserAttributeWithName("_sid")); });
  clock->setNow(start + 200);
  handleEvent("_s", {{"_sid", seconds(200)}, {"_sno", 5}});

  events = rawEvents();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(parameterOf(*events[3].rawEvent(), "_sno"), QZMValue::initWithInt64(5)) << "the first open";
  EXPECT_FALSE(parameterOf(*events[4].rawEvent(), "_sno")) << "its metadata had a session";
  EXPECT_EQ(parameterOf(*events[1].rawEvent(), "_sno"), QZMValue::initWithInt64(4)) << "before the first open";
}

TEST_F(EngineEvents, HandlingDropsWhatItMust) {
  handleEvent("_iap", {{"subscription", 1}, {"_did", 77}, {"product_id", "p"}});
  ASSERT_EQ(rawEvents().size(), 1u);
  auto rollouts = [this](std::optional<std::string> stored) {
    return [this, stored] { engine->persistedConfig()->setZarnholtFeatureRollouts(stored); };
  };
  auto settings = [this](std::string name) { return [this, name] { setSettings({{name, "1"}}); }; };
  struct Case {
    const char* name;
    std::function<void()> setup;
    std::string eventName;
    QZMDictionary parameters;
    bool stored;
  };
  const std::vector<Case> cases = {
      {"subscription seen before", [] {}, "_iap", {{"subscription", 1}, {"_did", 77}}, false},
      {"another subscription", [] {}, "_iap", {{"subscription", 1}, {"_did", 78}}, true},
      {"purchase without subscription", [] {}, "_iap", {{"_did", 77}}, true},
      {"public events blocked", settings("measurement.upload.blacklist_public"), "tap", {}, false},
      {"internal events pass the public block", settings("measurement.upload.blacklist_public"), "_x", {}, true},
      {"internal events blocked", settings("measurement.upload.blacklist_internal"), "_x", {}, false},
      {"rollouts repeated", rollouts("r1"), "_ssr", {{"_ffr", "r1"}}, false},
      {"no rollouts and none given", rollouts(std::nullopt), "_ssr", {}, false},
      {"new rollouts", rollouts("r1"), "_ssr", {{"_ffr", "r2"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    std::size_t before = rawEvents().size();
    handleEvent(c.eventName, c.parameters, c.eventName.starts_with('_') ? "auto" : "app");
    EXPECT_EQ(rawEvents().size(), before + (c.stored ? 1 : 0));
    engine->remoteConfigInstance()->resetSettings();
  }
  // A kept "_ssr" makes its value the stored one; blanket blocks log no error.
  EXPECT_EQ(engine->persistedConfig()->zarnholtFeatureRollouts(), "r2");
  EXPECT_EQ(linesWithCode(23182).size(), 1u);
  EXPECT_EQ(linesWithCode(23052).size(), 2u);
  EXPECT_TRUE(errorEventCodes().empty());

  engine->setEnabled(false);
  drain();
  std::size_t before = rawEvents().size();
  handleEvent("tap", {}, "app");
  EXPECT_EQ(rawEvents().size(), before);
  EXPECT_EQ(linesWithCode(23049).size(), 1u);
}

// A configuration of the test app holding the programs and blocking one name.
std::shared_ptr<QZMPBMeasurementConfig> configurationWithPrograms(const std::string& appID,
                                                                  const std::vector<std::string>& programs,
                                                                  const std::string& blockedName) {
  auto config = QZMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetInt64(config.get(), QZMPBMeasurementConfig::kVersion, 1);
  NANOSetString(config.get(), QZMPBMeasurementConfig::kAppId, appID);
  NANOObjectArray rules;
  auto rule = QZMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(rule.get(), QZMPBEventConfig::kName, blockedName);
  NANOSetBool(rule.get(), QZMPBEventConfig::kBlocklisted, true);
  rules.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(rule)));
  NANOSetArray(config.get(), QZMPBMeasurementConfig::kEventConfig, &rules);
  NANOObjectArray assembled;
  for (const std::string& text : programs) {
    auto program = QZMPAssembleProgram(
        "(const \"register\" ($require \"internal.registerCallback\") \"logEvent\" ($require "
        "\"internal.eventLogger\")) " +
        text);
    EXPECT_TRUE(program.ok()) << text;
    if (program.ok()) assembled.emplace_back(std::shared_ptr<NANOMessageBase>(*program));
  }
  NANOSetArray(config.get(), QZMPBMeasurementConfig::kDynamicEventEditing, &assembled);
  return config;
}

TEST_F(EngineEvents, EditingProgramsChangeEventsAndAddTheirOwn) {
  struct Case {
    const char* name;
    const char* program;
    // Stored rows: name, origin, and the "added" parameter when set.
    std::vector<std::tuple<std::string, std::string, std::string>> stored;
    bool failed;
  };
  const std::vector<Case> cases = {
      {"an edit renames and adds a parameter",
       R"((function "edit" (array "e")
            (call (get "e") "setEventName" (array "tapped"))
            (call (get "e") "setParamValue" (array "added" "yes"))
            (return 0))
          ($register 0 (get "edit") (map "type" "edit")))",
       {{"tapped", "app", "yes"}},
       false},
      {"created events follow, with their own origin or the app's",
       R"((function "make" (array "e")
            ($logEvent "follow_up" 5 (map "_o" "auto" "added" "one"))
            ($logEvent "second" 6 (map "added" "two")))
          ($register 0 (get "make") (map "type" "create")))",
       {{"tap", "app", ""}, {"follow_up", "auto", "one"}, {"second", "app", "two"}},
       false},
      {"created events whose time cannot be stored are dropped, the rest kept",
       R"((function "make" (array "e")
            ($logEvent "zero_time" 0 (map "n" 1))
            ($logEvent "in_milliseconds" 1700000000000 (map "n" 1))
            ($logEvent "kept" 7 (map "added" "three")))
          ($register 0 (get "make") (map "type" "create")))",
       {{"tap", "app", ""}, {"kept", "app", "three"}},
       false},
      {"a failing program leaves the event as it came",
       R"((function "edit" (array "e")
            (call (get "e") "setEventName" (array "tapped"))
            (return 0))
          (function "make" (array "e") ($logEvent "n" 1))
          ($register 0 (get "edit") (map "type" "edit"))
          ($register 0 (get "make") (map "type" "create")))",
       {{"tap", "app", ""}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = configurationWithPrograms(engine->appID(), {c.program}, "blocked");
    // Configurations are applied off the main thread, as a fetch does.
    std::atomic<bool> updated = false;
    engine->scheduler()->scheduleOnWorkerQueueBlockID(
        "EditingTest", [&] { updated = engine->remoteConfigInstance()->updateMeasurementConfig(config.get()); });
    drain();
    ASSERT_TRUE(updated);
    ASSERT_NE(engine->remoteConfigInstance()->eventEditing(), nullptr);
    const std::size_t before = rawEvents().size();
    const std::size_t failures = linesWithCode(23223).size();
    handleEvent("tap", {{"label", "x"}}, "app");
    auto events = rawEvents();
    ASSERT_EQ(events.size(), before + c.stored.size());
    for (std::size_t i = 0; i < c.stored.size(); ++i) {
      const QZMEvent& event = *events[before + i].rawEvent();
      const auto& [name, origin, added] = c.stored[i];
      EXPECT_EQ(event.name(), name);
      EXPECT_EQ(event.origin(), origin);
      auto value = parameterOf(event, "added");
      EXPECT_EQ(value ? *value->stringValue() : "", added) << name;
    }
    EXPECT_EQ(linesWithCode(23223).size(), failures + (c.failed ? 1 : 0));
  }

  // The configuration's own block drops the event and reports it by name.
  const std::size_t before = rawEvents().size();
  handleEvent("blocked", {}, "app");
  EXPECT_EQ(rawEvents().size(), before);
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>{11});
}

TEST_F(EngineEvents, AllowlistKeepsOnlyItsEventsAndMarksThem) {
  restart(std::vector<std::string>{"tap", "_s"});
  logEvent("tap");
  logEvent("swipe");
  handleEvent("_s");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"tap", "_s"}));
  EXPECT_EQ(parameterOf(*rawEvents()[0].rawEvent(), "qvz_safelisted"), QZMValue::initWithInt64(1));
  EXPECT_EQ(linesWithCode(23174).size(), 1u);
}

TEST_F(EngineEvents, BackgroundEventsExtendOrStartSessionsAndExpiredSessionsLoseTheirProperties) {
  struct Reporter : QZMScreenViewReporter {
    bool isAppActive() override { return active; }
    std::atomic<bool> active = false;
  };
  auto reporter = std::make_shared<Reporter>();
  QZMScreenViewReporter::setSharedInstance(reporter);
  auto sessions = engine->sessionReporter();
  ASSERT_NE(sessions, nullptr);
  sessions->setTimeoutSessionInterval(1800);
  auto config = engine->persistedConfig();

  // A live session is extended to the event's time.
  config->setLastSessionActivityClockTime(clock->now());
  clock->setNow(clock->now() + 100);
  handleEvent("tap", {{"extend_session", 1}}, "app");
  EXPECT_EQ(config->lastSessionActivityClockTime(), clock->now());
  EXPECT_TRUE(engine->sessionStarts().empty());

  // An expired one is started anew, and its properties go.
  onWorkerQueue([&] {
    for (const char* name : {"_sid", "_sno", "_se", "_fot"}) {
      auto attribute = QZMUserAttribute::initWithOrigin("auto", name, QZMValue::initWithInt64(1), clock->now());
      ASSERT_TRUE(engine->setUserPropertyInDatabaseOnWorkerQueue(*attribute));
    }
  });
  clock->setNow(clock->now() + 3600);
  handleEvent("tap", {{"extend_session", 1}}, "app");
  ASSERT_EQ(engine->sessionStarts().size(), 1u);
  EXPECT_EQ(engine->sessionStarts()[0], std::make_pair(clock->now(), true));
  EXPECT_EQ(rowCount(kQZMUserAttributesTable), 1) << "only _fot is left";

  handleEvent("tap", {{"extend_session", "yes"}}, "app");
  EXPECT_EQ(linesWithCode(23179).size(), 1u);

  // In the foreground the parameter means nothing.
  reporter->active = true;
  handleEvent("tap", {{"extend_session", 1}}, "app");
  EXPECT_EQ(engine->sessionStarts().size(), 1u);

  // A disabled engine stops before any of it.
  reporter->active = false;
  engine->setEnabled(false);
  drain();
  handleEvent("tap", {{"extend_session", 1}}, "app");
  EXPECT_EQ(engine->sessionStarts().size(), 1u);
  QZMScreenViewReporter::setSharedInstance(nullptr);
}

TEST_F(EngineEvents, DailyLimitsDropEventsButKeepTheirCounts) {
  // The 3rd public event of the day is over the limit of 2.
  setSettings({{"measurement.upload.max_public_events_per_day", "2"}});
  logEvent("tap");
  logEvent("tap");
  logEvent("add_to_cart", {{"items", QZMArray{QZMDictionary{{"item_id", "a"}}, QZMDictionary{{"item_id", "b"}}}}});
  EXPECT_EQ(rawEvents().size(), 2u);
  QZMDailyCounts counts = dailyCounts();
  // Raised by its effective count (1 + 2 items); all events by one less.
  EXPECT_EQ(counts.publicEventsCount(), 5);
  EXPECT_EQ(counts.allEventsCount(), 4);
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>{16});
  EXPECT_EQ(linesWithCode(23057).size(), 1u);
  logEvent("tap");
  EXPECT_EQ(linesWithCode(23057).size(), 1u) << "logged again only a thousand later";

  // At the all-events limit the counts still rise.
  setSettings({{"measurement.upload.max_events_per_day", "4"}});
  ASSERT_EQ(dailyCounts().allEventsCount(), 4);
  handleEvent("_x");
  EXPECT_EQ(rawEventNames().back(), "tap");
  EXPECT_EQ(dailyCounts().allEventsCount(), 5);
  EXPECT_EQ(linesWithCode(23055).size(), 1u);

  // A new day starts afresh.
  clock->setNow(clock->now() + 86400);
  handleEvent("_x");
  EXPECT_EQ(rawEventNames().back(), "_x");
  EXPECT_EQ(dailyCounts().allEventsCount(), 1);
}

TEST_F(EngineEvents, ErrorEventsOverTheirLimitAreLoggedOncePerThousand) {
  setSettings({{"measurement.upload.max_error_events_per_day", "2"}});
  for (int i = 0; i < 4; ++i) handleEvent("_err", {{"_err", 2}}, "auto");
  EXPECT_EQ(rawEvents().size(), 2u);
  EXPECT_EQ(linesWithCode(23056).size(), 1u);
  QZMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.errorEventsCount(), 4);
  EXPECT_EQ(counts.allEventsCount(), 2);
}

TEST_F(EngineEvents, ANewEventNameOverTheCardinalityFailsTheWholeTransaction) {
  setSettings({{"measurement.upload.max_event_name_cardinality", "500"}});
  onWorkerQueue([&] {
    ASSERT_TRUE(engine->database()->performTransaction([&] {
      for (int i = 0; i < 500; ++i) {
        auto aggregates = QZMEventAggregates::initWithName("name" + std::to_string(i), 0, 0, 0, 0);
        if (!engine->database()->updateEventAggregates(QZMStoredEventAggregatesFrom(*aggregates))) return false;
      }
      return true;
    }));
  });
  logEvent("name7");
  QZMDailyCounts before = dailyCounts();
  logEvent("brand_new");
  EXPECT_EQ(rawEventNames(), std::vector<std::string>{"name7"});
  EXPECT_EQ(dailyCounts(), before) << "the counts roll back with the event";
  EXPECT_EQ(rowCount(kQZMEventsTable), 500);
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>{8});
  EXPECT_EQ(linesWithCode(23065).size(), 1u);
}

// The events conditional user properties make reach their rows through the
// engine: the one their trigger fires, and those of properties that timed out.
TEST_F(EngineEvents, ConditionalUserPropertiesWriteTheirEventsThroughTheEngine) {
  auto property = [&](const std::string& name, const std::string& trigger, const std::string& eventName,
                      bool onTimeout) {
    QZMConditionalUserProperty made;
    made.setName(name);
    made.setOrigin("app");
    made.setValue(QZMValue::initWithString("pro"));
    made.setTriggerEventName(trigger);
    made.setTriggerTimeout(60);
    made.setTimeToLive(3600);
    made.setCreationTimestamp(clock->now());
    std::shared_ptr<const QZMEvent> event = QZMEvent::initWithOrigin("app", true, eventName, clock->now(), 0, QZMDictionary());
    if (onTimeout) {
      made.setTimedOutEvent(event);
    } else {
      made.setTriggeredEvent(event);
    }
    return made;
  };
  auto controller = QZMConditionalUserPropertyController::sharedInstance();
  auto setProperty = [&](const QZMConditionalUserProperty& made) {
    engine->scheduler()->scheduleOnWorkerQueueBlockID(
        "CUPTest", [controller, made] { controller->setConditionalUserPropertyOnWorkerQueue(made); });
    drain();
  };
  setProperty(property("plan", "purchase_done", "plan_applied", false));
  setProperty(property("trial", "never_logged", "trial_timed_out", true));

  logEvent("purchase_done");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"purchase_done", "plan_applied"}));
  std::optional<QZMUserAttribute> plan;
  onWorkerQueue([&] {
    auto stored = engine->database()->userAttributeWithName("plan");
    ASSERT_TRUE(stored.ok());
    if (*stored) plan = QZMUserAttribute::fromStored(**stored);
  });
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->value(), QZMValue::initWithString("pro"));

  clock->setNow(clock->now() + 61);
  logEvent("tap");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"purchase_done", "plan_applied", "trial_timed_out", "tap"}));
  EXPECT_TRUE(linesWithCode(23050).empty());
}

TEST_F(EngineEvents, AFailedWriteRollsBackCountsAggregatesAndMetadataTogether) {
  logEvent("tap");
  QZMDailyCounts before = dailyCounts();
  onWorkerQueue([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_events BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'disk says no'); END"));
  });
  // A new name and new metadata, so every row of the write is new.
  onWorkerQueue([&] {
    auto plan = QZMUserAttribute::initWithOrigin("app", "plan", *QZMValue::initWithString("pro"), clock->now());
    ASSERT_TRUE(engine->setUserPropertyInDatabaseOnWorkerQueue(*plan));
  });
  logEvent("swipe");
  EXPECT_EQ(rawEventNames(), std::vector<std::string>{"tap"});
  EXPECT_EQ(dailyCounts(), before);
  EXPECT_EQ(rowCount(kQZMEventsTable), 1);
  EXPECT_EQ(rowCount(kQZMRawEventsMetadataTable), 1);
  EXPECT_EQ(linesWithCode(23071).size(), 1u);
  EXPECT_EQ(linesWithCode(12056).size(), 1u) << "the rolled-back transaction is reported";

  onWorkerQueue([&] { ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL("DROP TRIGGER refuse_events")); });
  logEvent("swipe");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"tap", "swipe"}));
  EXPECT_EQ(dailyCounts().allEventsCount(), before.allEventsCount() + 1);
}

// Bundles are read back only up to the largest the SDK writes: an event no
// bundle could hold is refused with everything its write changed.
TEST_F(EngineEvents, AnEventNoBundleCouldHoldIsRefusedWhole) {
  logEvent("tap");
  QZMDailyCounts before = dailyCounts();
  // Only the SDK's own events and edits escape the value length limits; a
  // text holds at most a mebibyte.
  QZMDictionary texts;
  for (std::int64_t i = 0; i <= QZMDatabase::kLargestStoredEventBytes >> 20; ++i) {
    texts.emplace("text" + std::to_string(i), std::string(std::size_t{1} << 20, 'x'));
  }
  handleEvent("bulk", texts);
  EXPECT_EQ(rawEventNames(), std::vector<std::string>{"tap"});
  EXPECT_EQ(dailyCounts(), before);
  EXPECT_EQ(rowCount(kQZMEventsTable), 1);
  EXPECT_EQ(linesWithCode(23071).size(), 0u);
  ASSERT_EQ(linesWithCode(23062).size(), 1u);
  EXPECT_EQ(linesWithCode(23062)[0].level, 1);

  logEvent("swipe");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"tap", "swipe"}));
}

TEST_F(EngineEvents, ASubscriptionStaysWhenTheTrimOfOldIdentifiersFails) {
  onWorkerQueue([&] {
    ASSERT_TRUE(engine->database()->performTransaction([&] {
      for (int i = 0; i < 1000; ++i) {
        if (!engine->database()->insertIfNotDuplicateSubscriptionID("old" + std::to_string(i)).ok()) return false;
      }
      return true;
    }));
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER keep_subscriptions BEFORE DELETE ON subscriptions BEGIN SELECT RAISE(ABORT, 'no'); END"));
  });
  handleEvent("_iap", {{"subscription", 1}, {"_did", 5}});
  EXPECT_EQ(rawEventNames(), std::vector<std::string>{"_iap"});
  EXPECT_EQ(linesWithCode(23183).size(), 1u);
  // Its identifier was stored: the same purchase again is a duplicate.
  handleEvent("_iap", {{"subscription", 1}, {"_did", 5}});
  EXPECT_EQ(rawEvents().size(), 1u);
}

TEST_F(EngineEvents, RealtimeMarksWithinTheDailyLimits) {
  setSettings({{"measurement.upload.max_realtime_events_per_day", "0"}});
  handleEvent("_x", {{"_r", 1}});
  handleEvent("_iap", {{"_r", 1}});
  auto events = rawEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].rawEvent()->isRealtime());
  EXPECT_EQ(linesWithCode(23060).size(), 1u);
  // A purchase is exempt from the limit.
  EXPECT_TRUE(events[1].rawEvent()->isRealtime());
  EXPECT_TRUE(events[1].rawEvent()->isConversion());
}

TEST_F(EngineEvents, FirstOpensAreCountedInTheKeychain) {
  auto count = [] {
    return QZMKeychainWrapper::keychainValueWithIdentifier("_pfo", eventkit::kEngineTestBundleID).value();
  };
  EXPECT_EQ(count(), std::nullopt);
  handleEvent("_f");
  EXPECT_EQ(count(), "1");
  ASSERT_TRUE(QZMKeychainWrapper::upsertKeychainValue(foundation::Object("9223372036854775807"), "_pfo",
                                                      eventkit::kEngineTestBundleID));
  handleEvent("_f");
  EXPECT_EQ(count(), "9223372036854775807");
  ASSERT_TRUE(QZMKeychainWrapper::upsertKeychainValue(foundation::Object("-4"), "_pfo", eventkit::kEngineTestBundleID));
  handleEvent("_f");
  EXPECT_EQ(count(), "1");
}

// A platform that offers an advertising identifier, tracking authorised.
class AdvertisingIdentifier : public QZMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return true; }
  std::uint64_t appDataConsentStatus() override { return 3; }
  bool hasLimitedAdTracking() override { return true; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override { return "6D92078A-8246-4BA4-AE5B-76104861E7DC"; }
};

TEST_F(EngineEvents, AFirstOpenWithoutAdvertisingIDIsMatchedOnceOneAppears) {
  auto config = engine->persistedConfig();
  ASSERT_TRUE(QZMKeychainWrapper::upsertKeychainValue(foundation::Object("3"), "_pfo", eventkit::kEngineTestBundleID));
  // A first open whose write rolls back leaves nothing to match.
  onWorkerQueue([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_events BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'disk says no'); END"));
  });
  handleEvent("_f");
  EXPECT_FALSE(config->unmatchedFirstOpenWithoutIDFA());
  onWorkerQueue([&] { ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL("DROP TRIGGER refuse_events")); });
  handleEvent("_f");
  EXPECT_TRUE(config->unmatchedFirstOpenWithoutIDFA());

  struct Installed {
    Installed() {
      QZMDefaultIdentitySupport::setSharedInstance(
          QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(std::make_shared<AdvertisingIdentifier>()));
    }
    ~Installed() { QZMDefaultIdentitySupport::setSharedInstance(nullptr); }
  } installed;
  // Past the time the identity keeps the identifiers it read.
  clock->setNow(clock->now() + 86401);
  handleEvent("tap", {}, "app");
  handleEvent("tap", {}, "app");
  EXPECT_EQ(rawEventNames(), (std::vector<std::string>{"_f", "tap", "_fx", "tap"}));
  EXPECT_FALSE(config->unmatchedFirstOpenWithoutIDFA());
  auto events = rawEvents();
  ASSERT_EQ(events.size(), 4u);
  const QZMEvent& matched = *events[2].rawEvent();
  EXPECT_EQ(parameterOf(matched, "_pfo"), QZMValue::initWithInt64(3)) << "first opens before this one";
  EXPECT_EQ(parameterOf(matched, "_uwa"), QZMValue::initWithInt64(0));
}

TEST_F(EngineEvents, MetadataCarriesUserPropertiesAndConsent) {
  onWorkerQueue([&] {
    for (auto [name, value] : {std::pair{"_npa", 1}, std::pair{"score", 7}}) {
      auto attribute = QZMUserAttribute::initWithOrigin("app", name, QZMValue::initWithInt64(value), clock->now());
      ASSERT_TRUE(engine->setUserPropertyInDatabaseOnWorkerQueue(*attribute));
    }
  });
  QZMConsentSettingsUtil::setConsentSettings(
      foundation::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}});
  logEvent("tap");
  auto events = rawEvents();
  ASSERT_EQ(events.size(), 1u);
  std::shared_ptr<QZMPBMeasurementBundle> metadata;
  onWorkerQueue([&] {
    metadata = *engine->database()->queryRawEventsMetadataWithFingerprint(events[0].metadataFingerprint());
  });
  ASSERT_NE(metadata, nullptr);
  auto attributes = NANOGetArray<QZMPBUserAttribute>(metadata.get(), QZMPBMeasurementBundle::kUserAttributes);
  ASSERT_EQ(attributes->size(), 2u);
  EXPECT_EQ(NANOGetString(metadata.get(), QZMPBMeasurementBundle::kConsentSignals), "G100");
  EXPECT_FALSE(NANOHasField(metadata.get(), QZMPBMeasurementBundle::kAppInstanceId));
  EXPECT_FALSE(NANOHasField(metadata.get(), QZMPBMeasurementBundle::kSessionStitchingToken));
}

}  // namespace
