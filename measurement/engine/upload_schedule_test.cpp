// When the next upload runs: the time rule over the last success, failure
// and back-off, and how the upload alarm is armed, kept, replaced or
// cancelled. Time is the fake clock's.
#include <gtest/gtest.h>

#include <optional>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"

namespace {

using testkit::Metadata;

class UploadSchedule : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    startServer();
    start();
    fingerprint = storeMetadata();
  }

  void resetState() {
    onWorkerQueue([&] { ASSERT_TRUE(database()->sqliteStore()->executeSQL("DELETE FROM raw_events").ok()); });
    persistedConfig()->setLastSuccessfulUploadTimestamp(0);
    persistedConfig()->setLastFailedUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    engine()->alarm()->cancel();
  }

  double nextUploadingTime() {
    double next = -1;
    onWorkerQueue([&] { next = engine()->nextUploadingTime(); });
    return next;
  }

  // Seconds from now at which the alarm fires; nullopt when it is idle.
  std::optional<double> alarmIn() {
    auto scheduled = engine()->alarm()->scheduledTimestamp();
    if (!scheduled) return std::nullopt;
    return scheduled->secondsSince1970 - clock->now();
  }

  void updateSchedule() {
    onWorkerQueue([&] { engine()->updateSchedule(); });
  }

  std::int64_t fingerprint = 0;
};

TEST_F(UploadSchedule, NextUploadTimeFollowsTheLastSuccessFailuresAndModes) {
  struct Case {
    const char* title;
    double lastSuccessAgo;  // 0: never
    std::optional<double> failureAfterData;
    bool realtime;
    bool debug;
    std::optional<double> expectedAfterData;  // nullopt: nothing to schedule
  };
  // The newest event is 60 s old.
  const std::vector<Case> cases = {
      {"last success 10 minutes ago", 600, std::nullopt, false, false, 60 - 600 + 3600},
      {"last success 2 hours ago", 7200, std::nullopt, false, false, 15},
      {"never uploaded", 0, std::nullopt, false, false, 15},
      {"a failure after the data waits out growing retries", 0, 5000, false, false, 15 + 1800 + 3600},
      {"retries spent until new data arrives", 0, 200000, false, false, std::nullopt},
      {"a failure before the data counts for nothing", 7200, -10, false, false, 15},
      {"real-time data", 5, std::nullopt, true, false, 60 - 5 + 10},
      {"debug mode uploads within a second", 600, std::nullopt, false, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    resetState();
    double now = clock->now();
    double dataTime = now - 60;
    storeEvent(fingerprint, "level_up", dataTime, {}, c.realtime);
    if (c.lastSuccessAgo != 0) persistedConfig()->setLastSuccessfulUploadTimestamp(now - c.lastSuccessAgo);
    if (c.failureAfterData) persistedConfig()->setLastFailedUploadTimestamp(dataTime + *c.failureAfterData);
    monitor->setDebugModeEnabled(c.debug);
    double next = nextUploadingTime();
    monitor->setDebugModeEnabled(false);
    if (c.expectedAfterData) {
      EXPECT_DOUBLE_EQ(next, dataTime + *c.expectedAfterData);
    } else {
      EXPECT_EQ(next, 0);
    }
  }
}

// Data stamped ahead of the clock (a time in milliseconds, say) is taken as
// new: uploads are still scheduled, not held back for ever.
TEST_F(UploadSchedule, DataStampedInTheFutureCountsAsNew) {
  const double now = clock->now();
  for (double dataTime : {now + 3600, 2 * now + 1000, now * 1000}) {
    SCOPED_TRACE(dataTime);
    resetState();
    storeEvent(fingerprint, "level_up", dataTime);
    EXPECT_DOUBLE_EQ(nextUploadingTime(), now + 15);
    updateSchedule();
    ASSERT_TRUE(alarmIn());
    EXPECT_DOUBLE_EQ(*alarmIn(), 15);
  }
}

TEST_F(UploadSchedule, ABackOffHoldsUploadsForItsWholePeriod) {
  resetState();
  storeEvent(fingerprint, "level_up", clock->now() - 60);
  // A 503 or 429 an hour ago: nothing before twelve hours after it.
  persistedConfig()->setLastBackoffTimestamp(clock->now() - 3600);
  updateSchedule();
  ASSERT_TRUE(alarmIn());
  EXPECT_DOUBLE_EQ(*alarmIn(), 43200 - 3600);
  // Once the period has passed it no longer counts.
  resetState();
  storeEvent(fingerprint, "level_up", clock->now());
  persistedConfig()->setLastBackoffTimestamp(clock->now() - 43201);
  updateSchedule();
  EXPECT_DOUBLE_EQ(*alarmIn(), 15);
}

TEST_F(UploadSchedule, AnEarlierTaskStaysArmedAndALaterOneIsReplaced) {
  resetState();
  storeEvent(fingerprint, "level_up", clock->now());
  persistedConfig()->setLastSuccessfulUploadTimestamp(clock->now() - 600);
  updateSchedule();
  EXPECT_DOUBLE_EQ(*alarmIn(), 3000);

  // A real-time event wants an earlier upload: the alarm moves.
  storeEvent(fingerprint, "_rt", clock->now(), {}, true);
  persistedConfig()->setLastSuccessfulUploadTimestamp(clock->now() - 5);
  updateSchedule();
  EXPECT_DOUBLE_EQ(*alarmIn(), 5);

  // A later time leaves the earlier task as it is.
  persistedConfig()->setLastSuccessfulUploadTimestamp(clock->now() - 1);
  onWorkerQueue([&] { ASSERT_TRUE(database()->sqliteStore()->executeSQL("UPDATE raw_events SET is_realtime = 0").ok()); });
  clearMonitorLines();
  updateSchedule();
  EXPECT_DOUBLE_EQ(*alarmIn(), 5);
  EXPECT_EQ(linesWithCode(23027).size(), 1u);

  // When it fires, the upload runs on the worker queue.
  clearMonitorLines();
  clock->advance(5);
  settleEngine();
  waitForNetwork();
  EXPECT_FALSE(linesWithCode(23033).empty());
}

TEST_F(UploadSchedule, NothingIsArmedWithoutDataAndASuspensionEndsAfterAnHour) {
  resetState();
  clearMonitorLines();
  updateSchedule();
  EXPECT_FALSE(alarmIn());
  EXPECT_EQ(linesWithCode(23024).size(), 1u);

  storeEvent(fingerprint, "level_up", clock->now());
  onWorkerQueue([&] { engine()->setSuspendedUploadTimestamp(QZMMeasurement::uptime()); });
  clock->advance(3599);
  updateSchedule();
  EXPECT_FALSE(alarmIn());
  EXPECT_EQ(linesWithCode(23023).size(), 1u);

  clock->advance(1);
  updateSchedule();
  EXPECT_EQ(linesWithCode(23028).size(), 1u);
  EXPECT_EQ(engine()->suspendedUploadTimestamp(), 0);
}


TEST_F(UploadSchedule, WithoutANetworkNothingIsArmedOrSentUntilItComesBack) {
  resetState();
  storeEvent(fingerprint, "level_up", clock->now());
  clearMonitorLines();
  const std::size_t sentBefore = server->requests().size();
  engine()->network()->setNetworkConnected(false);
  updateSchedule();
  EXPECT_FALSE(alarmIn());
  EXPECT_EQ(linesWithCode(23026).size(), 1u);
  onWorkerQueue([&] { engine()->uploadData(); });
  EXPECT_EQ(linesWithCode(23035).size(), 1u);
  EXPECT_EQ(server->requests().size(), sentBefore);

  // The schedule waits for the network and arms the upload once it is back.
  engine()->network()->setNetworkConnected(true);
  settleEngine();
  EXPECT_EQ(alarmIn(), 15);
}
}  // namespace
