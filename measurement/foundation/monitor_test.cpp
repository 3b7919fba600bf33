#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <set>
#include <thread>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Object;
using testkit::FoundationTest;

constexpr std::int64_t kVersion = 111400;

TEST(MonitorLevels, EachLevelHasItsDescriptionVisibilityAndLoggerLevel) {
  struct Case {
    std::int64_t level;
    std::optional<std::string> description;
    bool silent;
    bool monitorable;
    int loggerLevel;
  } cases[] = {
      {0, "ERROR", false, false, 3},   {1, "ERROR", false, true, 3},    {2, "ERROR", true, true, 3},
      {3, "WARNING", false, false, 4}, {4, "WARNING", false, true, 4},  {5, "WARNING", true, true, 4},
      {6, "NOTICE", false, false, 5},  {7, "DEBUG", false, false, 7},   {8, std::nullopt, false, false, 7},
      {9, std::nullopt, true, true, 4}, {-1, std::nullopt, true, true, 4},
      {std::numeric_limits<std::int64_t>::min(), std::nullopt, true, true, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QZMMonitor::logLevelDescriptionFromLogLevel(c.level), c.description) << c.level;
    EXPECT_EQ(QZMMonitor::isSilentLevel(c.level), c.silent) << c.level;
    EXPECT_EQ(QZMMonitor::isMonitorableLevel(c.level), c.monitorable) << c.level;
    EXPECT_EQ(QZMASLLogger::DRKLoggerLevelFromLogLevel(c.level), c.loggerLevel) << c.level;
  }
}

TEST(MonitorText, ContextsAreEncodedByShapeNeverByContent) {
  QZMException sdk("NSInvalidArgumentException", "bad",
                   {"0 CoreFoundation 0x1 __exceptionPreprocess + 1", "1 libobjc 0x2 objc_exception_throw + 2",
                    "2 App 0x3 -[QZMDatabase insert:] + 3", "3 App 0x4 main + 4"});
  struct Case {
    const char* name;
    QZMLogContext context;
    std::string encoded;
  } cases[] = {
      {"nil", QZMLogContext(), ""},
      {"string", "secret user text", "-"},
      {"42", 42, "42"},
      {"-99", -99, "-99"},
      {"100", 100, "100...999"},
      {"-100", -100, "-999...-100"},
      {"4711", 4711, "1000...9999"},
      {"-4711", -4711, "-9999...-1000"},
      {"double 123.9", 123.9, "100...999"},
      {"Boolean", true, "1"},
      {"int64 max", std::numeric_limits<std::int64_t>::max(), "1000000000000000000...9999999999999999999"},
      {"int64 min", std::numeric_limits<std::int64_t>::min(), "-9999999999999999999...-1000000000000000000"},
      {"near a power of ten", 999999999999999999LL, "100000000000000000...999999999999999999"},
      {"array", Object(foundation::Array{1, 2}), "?"},
      {"data", Object(foundation::Data{1}), "?"},
      {"SDK error", qzm_errorWithCode(1, "x"), "com.dralix.dxv.measurement.ErrorDomain"},
      {"error without domain", foundation::Error("", 1, "x"), "-"},
      {"exception", sdk, "-[QZMDatabase insert:]"},
      {"exception without frames", QZMException("std::runtime_error", "boom"), "std::runtime_error"},
      {"other object", QZMLogContext::describing("<QZMEvent 0x1>"), "?"},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMMonitor::encodedStringWithContextObject(c.context), c.encoded) << c.name;
}

TEST(MonitorText, ConsoleTextJoinsTheMessageAndItsContexts) {
  QZMException thrown("NSRangeException", "index 3 beyond bounds",
                      {"0 a 0x0 f + 1", "1 b 0x0 g + 1", "2 App 0x1 +[QZMValue valueFromObject:] + 12"});
  struct Case {
    const char* name;
    std::string message;
    std::vector<QZMLogContext> contexts;
    bool encode;
    std::string text;
  } cases[] = {
      {"no contexts", "Plain", {}, false, "Plain"},
      {"empty message", "", {}, false, "(Message was empty)"},
      {"string and nil", "Line", {"a", QZMLogContext()}, false, "Line: a, (nil)"},
      {"encoded", "Line", {"a", QZMLogContext(), 4711}, true, "Line: -, , 1000...9999"},
      {"number and error", "Line", {1.5, foundation::Error("dom", 7, "went wrong")}, false, "Line: 1.5, dom 7: went wrong"},
      {"exception", "Line", {thrown}, false, "Line: +[QZMValue valueFromObject:]: index 3 beyond bounds"},
      {"described object", "Line", {QZMLogContext::describing("<QZMEvent: _e>")}, false, "Line: <QZMEvent: _e>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QZMMonitor::stringWithLogMessage(c.message, 1, c.contexts, c.encode), c.text) << c.name;
  }
}

TEST(MonitorText, LastSDKSymbolComesFromTheFirstMatchingFrameAfterTheTopTwo) {
  auto exception = [](std::vector<std::string> frames) { return QZMException("Name", "why", std::move(frames)); };
  struct Case {
    const char* name;
    QZMException exception;
    std::optional<std::string> symbol;
  } cases[] = {
      {"one frame", exception({"0 App 0x1 -[QZMA b] + 1"}), "Name"},
      {"the top two frames are skipped", exception({"0 App 0x1 -[QZMA b] + 1", "1 App 0x1 -[QZMC d] + 1"}), "Name"},
      {"method with a blank", exception({"0 a", "1 b", "2 App 0x1 -[qzmStore write:] + 8"}), "-[qzmStore write:]"},
      {"function", exception({"0 a", "1 b", "2 App 0x1 QZMLogError + 8", "3 App 0x1 -[QZMX y] + 8"}), "QZMLogError"},
      {"short frames skipped", exception({"0 a", "1 b", "2 App QZMShort", "3 App 0x1 main + 1"}), "Name"},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMMonitor::lastQZMSymbolFromException(&c.exception), c.symbol) << c.name;
  EXPECT_EQ(QZMMonitor::lastQZMSymbolFromException(nullptr), std::nullopt);
}

TEST(MonitorText, SampleKeyNamesKindVersionAndMessage) {
  EXPECT_EQ(QZMMonitor::monitoringDataKeyWithMessage("Bad", 1, kVersion), "1E_111400:Bad");
  EXPECT_EQ(QZMMonitor::monitoringDataKeyWithMessage("Bad", 5, kVersion), "1W_111400:Bad");
  EXPECT_EQ(QZMMonitor::monitoringDataKeyWithMessage("Bad", 9, kVersion), "1?_111400:Bad");
}

TEST(ASLLogger, WritesTheCodedLineToTheOSLog) {
  auto utilities = std::make_shared<testkit::FakeUtilities>();
  utilities->setLoggerLevel(7);
  QZMUtilities::setShared(utilities);
  QZMASLLogger logger;
  logger.logMessage("100% done", "<Tag>", 23051, 7);
  logger.logMessage("Failed", "<Tag>", 1, 1);
  logger.logMessage("Verbose", "<Tag>", 24003, 8);
  QZMUtilities::setShared(nullptr);

  auto lines = utilities->lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, 7);
  EXPECT_EQ(lines[0].subsystem, "com.dralix.zarnholt.analytics");
  EXPECT_EQ(lines[0].category, "<Tag>");
  EXPECT_TRUE(lines[0].force);
  EXPECT_EQ(lines[0].messageCode, "I-ACS023051");
  EXPECT_EQ(lines[0].message, "100% done");
  EXPECT_EQ(lines[1].level, 3);
  EXPECT_FALSE(lines[1].force);
  EXPECT_EQ(lines[1].messageCode, "I-ACS000001");
  EXPECT_EQ(lines[2].level, 7);
  EXPECT_FALSE(lines[2].force);
}

class Monitor : public FoundationTest {
 protected:
  std::shared_ptr<QZMUserDefaults> monitorSuite = QZMUserDefaults::initWithSuiteName(kQZMMonitorSuiteName);
  std::shared_ptr<QZMUserDefaults> shared = QZMUserDefaults::sharedUserDefaults();

  // The persisted health record, once the monitor queue has caught up and
  // the record's write is due.
  std::optional<foundation::Array> record() {
    testkit::settle(monitor->monitorQueue());
    clock->advance(kQZMMonitorSaveDelay);
    testkit::settle(monitor->monitorQueue());
    return monitorSuite->arrayForKey(kQZMHealthMonitorKey);
  }
  std::int64_t population() {
    auto r = record();
    return r ? (*r)[1].int64Value() : 0;
  }
};

TEST_F(Monitor, LevelDecidesBetweenConsoleAndHealthSample) {
  struct Case {
    int loggerLevel;
    bool verbose;
    std::int64_t level;
    bool shown;
    bool sampled;
  } cases[] = {
      {5, false, 0, true, false},  {5, false, 1, true, true},   {5, false, 2, false, true},
      {5, false, 3, true, false},  {5, false, 4, true, true},   {5, false, 5, false, true},
      {5, false, 6, true, false},  {5, false, 7, false, false}, {5, false, 8, false, false},
      {5, false, -1, false, true}, {7, false, 7, true, false},  {7, false, 8, false, false},
      {7, false, 9, false, false}, {7, true, 8, true, false},   {7, true, 9, false, true},
      {3, false, 3, false, false}, {3, false, 4, false, true},
  };
  // Whether a line is wanted at all is asked of the monitor beside each
  // case; the fixture's observer would want every one.
  monitor->setObserver(nullptr);
  for (const auto& c : cases) {
    monitor->setVerboseLoggingEnabled(c.verbose);
    utilities->setLoggerLevel(c.loggerLevel);
    monitor->clearMonitoringData();
    logger->clear();
    std::string where = absl::StrCat("logger level ", c.loggerLevel, ", level ", c.level);
    EXPECT_EQ(monitor->wantsLineWithLevel(c.level), c.shown || c.sampled) << where;
    monitor->logWithLevel(c.level, 99, "Probe");
    auto lines = sinkLines();
    EXPECT_EQ(lines.size(), c.shown ? 1u : 0u) << where;
    if (c.shown && !lines.empty()) {
      EXPECT_EQ(lines[0].message, "Probe") << where;
      EXPECT_EQ(lines[0].messageCode, 99) << where;
      EXPECT_EQ(lines[0].logLevel, c.level) << where;
    }
    EXPECT_EQ(population(), c.sampled ? 1 : 0) << where;
  }
  utilities->setLoggerLevel(5);
  monitor->setVerboseLoggingEnabled(false);
  monitor->setObserver([](std::int64_t, std::int64_t, std::string_view, const std::vector<QZMLogContext>&) {});
  EXPECT_TRUE(monitor->wantsLineWithLevel(8));
}

TEST_F(Monitor, SinkGetsLinesInOrderWithTheTagInForceWhenWritten) {
  utilities->setLoggerLevel(7);
  monitor->logWithLevel(6, 1, "first");
  monitor->setLogTag("<Custom>");
  monitor->logWithLevel(6, 2, "second", "ctx");
  monitor->setEncodeContexts(true);
  monitor->logWithLevel(6, 3, "third", "ctx", 4711);
  auto lines = sinkLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "first");
  EXPECT_EQ(lines[1].message, "second: ctx");
  EXPECT_EQ(lines[2].message, "third: -, 1000...9999");
  // The tag is read when the write runs on the monitor queue.
  EXPECT_EQ(lines[2].logTag, "<Custom>");
}

TEST_F(Monitor, SampleKeepsOneLineChosenUniformlyWithThePopulation) {
  utilities->setLoggerLevel(3);
  // A draw of 0 out of the population replaces the kept line: here at the
  // third and the sixth line.
  utilities->scriptUniformRandom({1, 0, 1, 1, 0, 1, 1, 1, 1});
  for (int i = 1; i <= 10; ++i) monitor->logWithLevel(i % 2 ? 1 : 4, 24000 + i, absl::StrCat("m", i), i * 1000);
  auto r = record();
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[1].int64Value(), 10);
  EXPECT_EQ(*(*r)[2].string(), "1W_111400:m6");
  EXPECT_EQ(*(*r)[0].string(), "1000...9999");

  clock->advance(3600);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(600, 0), "10:1W_111400:m6:1000...9999");
}

TEST(MonitoringSampledData, EveryLineOfAPeriodIsEquallyLikelyToBeKept) {
  auto utilities = std::make_shared<testkit::FakeUtilities>();
  utilities->seed(20240611);
  QZMUtilities::setShared(utilities);
  std::map<std::string, int> kept;
  constexpr int kTrials = 5000;
  for (int trial = 0; trial < kTrials; ++trial) {
    QZMMonitoringSampledData data;
    for (int i = 0; i < 10; ++i) data.insertOrUpdateSampledDataWithKey(absl::StrCat("k", i), "");
    ++kept[(*data.sampledData())[2].string()->c_str()];
  }
  QZMUtilities::setShared(nullptr);
  ASSERT_EQ(kept.size(), 10u);
  // Each line is expected 500 times; the bounds are over six standard deviations apart.
  for (const auto& [key, count] : kept) {
    EXPECT_GT(count, 380) << key;
    EXPECT_LT(count, 620) << key;
  }
}

TEST(MonitoringSampledData, ABatchOfLinesMergedAtOnceKeepsEveryLineEquallyLikely) {
  auto utilities = std::make_shared<testkit::FakeUtilities>();
  utilities->seed(20250301);
  QZMUtilities::setShared(utilities);
  int mergedKept = 0;
  constexpr int kTrials = 5000;
  for (int trial = 0; trial < kTrials; ++trial) {
    QZMMonitoringSampledData data;
    for (int i = 0; i < 5; ++i) data.insertOrUpdateSampledDataWithKey(absl::StrCat("k", i), "");
    // Five more lines, one of which stands for them all.
    data.mergeSampledDataWithKey("merged", "", 5);
    auto kept = *data.sampledData();
    ASSERT_EQ(kept[1].int64Value(), 10);
    mergedKept += *kept[2].string() == "merged";
  }
  QZMUtilities::setShared(nullptr);
  // Expected 2500 times; the bounds are six standard deviations away.
  EXPECT_GT(mergedKept, 2290);
  EXPECT_LT(mergedKept, 2710);

  QZMMonitoringSampledData fresh;
  fresh.mergeSampledDataWithKey("only", "ctx", 3);
  EXPECT_EQ((*fresh.sampledData())[1].int64Value(), 3);
  EXPECT_EQ(*(*fresh.sampledData())[2].string(), "only");
}

TEST_F(Monitor, AFloodOfLinesWaitsInBoundedMemoryAndTheRecordIsWrittenOncePerDelay) {
  utilities->setLoggerLevel(3);
  // The monitor queue is held while the lines arrive.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  monitor->monitorQueue()->async([released] { released.wait(); });
  const std::size_t flood = 3 * kQZMMonitorMaxPendingLines + 7;
  for (std::size_t i = 0; i < flood; ++i) monitor->logWithLevel(1, 99, "Flood", static_cast<std::int64_t>(i));
  release.set_value();

  auto lines = sinkLines();
  ASSERT_EQ(lines.size(), kQZMMonitorMaxPendingLines + 1);
  EXPECT_EQ(lines[0].message, "Flood: 0");
  EXPECT_EQ(lines[kQZMMonitorMaxPendingLines - 1].message, absl::StrCat("Flood: ", kQZMMonitorMaxPendingLines - 1));
  EXPECT_EQ(lines.back().message,
            absl::StrCat("Too many log lines at once. Lines dropped: ", flood - kQZMMonitorMaxPendingLines));
  // Every sampled line counts, but nothing is written before the delay.
  EXPECT_FALSE(monitorSuite->arrayForKey(kQZMHealthMonitorKey));
  EXPECT_EQ(population(), static_cast<std::int64_t>(flood));

  // Another line is written with the next delay, not at once.
  monitor->logWithLevel(1, 99, "Late");
  testkit::settle(monitor->monitorQueue());
  EXPECT_EQ((*monitorSuite->arrayForKey(kQZMHealthMonitorKey))[1].int64Value(), static_cast<std::int64_t>(flood));
  EXPECT_EQ(population(), static_cast<std::int64_t>(flood + 1));
}

TEST_F(Monitor, UploadTextIsDueOnlyAfterASamplePeriod) {
  const double period = 600;
  // No record: "0:" only when a period passed since the last sample was taken.
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, clock->now() - 100), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, clock->now() - 601), "0:");
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, clock->now() + 601), "0:");

  monitor->logWithLevel(2, 1, "Oops");
  EXPECT_TRUE(record());
  clock->advance(599);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
  clock->advance(2);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), "1:1E_111400:Oops");
  // The record is gone, also from the suite.
  EXPECT_FALSE(record());
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
}

TEST_F(Monitor, SDKErrorsLendTheirMonitorContextToTheSample) {
  monitor->logWithLevel(1, 12000, "Store failed", qzm_errorWithCode(3, "disk full", "12:write"), "name",
                        qzm_errorWithCode(1, "no context"));
  auto r = record();
  ASSERT_TRUE(r);
  EXPECT_EQ(*(*r)[0].string(),
            "com.dralix.dxv.measurement.ErrorDomain,-,com.dralix.dxv.measurement.ErrorDomain,12:write");
}

TEST_F(Monitor, RecordSurvivesARelaunchAndAMalformedOneIsIgnored) {
  monitor->logWithLevel(4, 1, "Kept");
  EXPECT_EQ(population(), 1);
  home->relaunch();
  relaunchMonitor();
  monitor->logWithLevel(4, 1, "Kept");
  EXPECT_EQ(population(), 2);

  monitorSuite->setObject(Object(foundation::Array{"ctx", "not a number", "key", foundation::Date{1}}),
                          kQZMHealthMonitorKey);
  home->relaunch();
  relaunchMonitor();
  monitor->logWithLevel(4, 1, "Fresh");
  EXPECT_EQ(population(), 1);
  EXPECT_EQ(*(*record())[2].string(), "1W_111400:Fresh");
}

TEST_F(Monitor, ClearingForgetsTheRecordAndTheStoredDebugFlag) {
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(1, 1, "Oops");
  EXPECT_EQ(population(), 1);
  monitor->clearMonitoringData();
  EXPECT_FALSE(record());
  EXPECT_FALSE(shared->objectForKey(kQZMDebugModeKey));
  clock->advance(3600);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(600, 0), std::nullopt);
}

TEST_F(Monitor, LaunchArgumentsAndStoredFlagsSetTheModes) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool storedDebug;
    bool storedVerbose;
    bool debug;
    bool verbose;
  } cases[] = {
      {"nothing", {}, false, false, false, false},
      {"debug argument", {"-QZMAnalyticsDebugEnabled"}, false, false, true, false},
      {"core debug argument", {"-ZNHDebugEnabled"}, false, false, true, false},
      {"stored debug flag", {}, true, false, true, false},
      {"disabling wins over enabling", {"-QZMAnalyticsDebugEnabled", "-ZNHDebugDisabled"}, false, false, false, false},
      {"disabling wins over the stored flag", {"-noQZMAnalyticsDebugEnabled"}, true, false, false, false},
      {"verbose argument", {"-ZNHAnalyticsVerboseLoggingEnabled"}, false, false, false, true},
      {"stored verbose flag", {}, false, true, false, true},
      {"verbose disabled", {"-QZMAnalyticsVerboseLoggingDisabled", "-QZMAnalyticsVerboseLoggingEnabled"}, false, true,
       false, false},
  };
  for (const auto& c : cases) {
    shared->clearAllData();
    if (c.storedDebug) shared->setBool(true, kQZMDebugModeKey);
    if (c.storedVerbose) shared->setBool(true, kQZMVerboseLoggingKey);
    utilities->setLaunchArguments(c.arguments);
    utilities->setLoggerLevel(5);
    relaunchMonitor();
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug) << c.name;
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose) << c.name;
    // A mode stays on across launches through its stored flag, and off once switched off.
    EXPECT_EQ(shared->boolForKey(kQZMDebugModeKey), c.debug) << c.name;
    EXPECT_EQ(shared->boolForKey(kQZMVerboseLoggingKey), c.verbose) << c.name;
    EXPECT_EQ(utilities->loggerLevel(), c.debug || c.verbose ? 7 : 5) << c.name;
  }
}

TEST_F(Monitor, SwitchesSetLevelsAndAnnounceThemselves) {
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 7);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 8);
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(utilities->loggerLevel(), 7);
  monitor->setKRPXDebugModeEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(utilities->loggerLevel(), 5);
  // KRPX mode leaves the stored flag alone.
  EXPECT_TRUE(shared->boolForKey(kQZMDebugModeKey));

  std::vector<std::pair<std::int64_t, std::string>> shown;
  for (const auto& line : sinkLines()) shown.emplace_back(line.messageCode, line.message);
  // The verbose line is shown: it is written once verbose logging is on.
  std::vector<std::pair<std::int64_t, std::string>> expected = {{24000, "Debug mode is on"},
                                                                {24003, "Verbose logging is on"},
                                                                {24004, "Verbose logging is off"}};
  EXPECT_EQ(shown, expected);
}

TEST_F(Monitor, CoreFrameworkDebugArgumentLeavesTheLoggerLevelToTheCoreFramework) {
  utilities->addClass("ZNHConfiguration");
  utilities->setLaunchArguments({"-ZNHDebugEnabled"});
  utilities->setLoggerLevel(4);
  relaunchMonitor();
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(utilities->loggerLevel(), 4);
}

TEST_F(Monitor, HealthRecordMovesOutOfTheSharedSuiteOnce) {
  foundation::Array old{"ctx", 3, "1E_111400:Old", foundation::Date{clock->now()}};
  struct Case {
    const char* name;
    std::int64_t state;
    bool alreadyInMonitorSuite;
    std::int64_t population;
  } cases[] = {
      {"fresh move", 0, false, 3},
      {"the monitor suite's copy wins", 0, true, 7},
      {"an interrupted move finishes", 1, true, 7},
      {"done before", 2, false, 0},
  };
  for (const auto& c : cases) {
    shared->clearAllData();
    monitorSuite->clearAllData();
    shared->setObject(Object(old), kQZMHealthMonitorKey);
    if (c.alreadyInMonitorSuite) {
      monitorSuite->setObject(Object(foundation::Array{"", 7, "1E_111400:New", foundation::Date{clock->now()}}),
                              kQZMHealthMonitorKey);
    }
    monitorSuite->setInteger(c.state, kQZMMonitorMigrationStateKey);
    relaunchMonitor();
    EXPECT_EQ(population(), c.population) << c.name;
    EXPECT_EQ(monitorSuite->integerForKey(kQZMMonitorMigrationStateKey), 2) << c.name;
    EXPECT_EQ(shared->objectForKey(kQZMHealthMonitorKey).has_value(), c.state == 2) << c.name;
  }
}

TEST_F(Monitor, TheSharedMonitorIsMadeOnceAcrossThreads) {
  QZMMeasurementBase::setMonitor(nullptr);
  std::vector<std::future<QZMMonitor*>> made;
  for (int i = 0; i < 8; ++i) {
    made.push_back(std::async(std::launch::async, [] { return QZMMeasurementBase::monitor().get(); }));
  }
  std::set<QZMMonitor*> distinct;
  for (auto& f : made) distinct.insert(f.get());
  EXPECT_EQ(distinct.size(), 1u);
  EXPECT_EQ(QZMMeasurementBase::monitor()->libraryVersion(), 111400);
  testkit::settle(QZMMeasurementBase::monitor()->monitorQueue());
  QZMMeasurementBase::setMonitor(monitor);
}

}  // namespace
