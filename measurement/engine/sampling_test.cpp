// Event sampling at bundling: which events a configured rate keeps, the
// first event of each account day kept regardless, and the state each name
// keeps between bundles.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/model/audience/QZMEventAggregatesStorage.h"

namespace {

using testkit::Bundle;
using testkit::kDayStart;

constexpr std::int32_t kRate = 10;

class Sampling : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    start();
    applyConfiguration(*testkit::configuration(
        {{"measurement.event_sampling_enabled", "1"}, {"measurement.account.time_zone_offset_minutes", "60"}},
        {{.name = "level_up", .samplingRate = kRate}, {.name = "bad_rate", .samplingRate = 1}}));
  }

  static std::shared_ptr<QZMPBEvent> event(const std::string& name, double time,
                                           std::optional<std::int64_t> complexEventID = std::nullopt) {
    std::shared_ptr<QZMPBEvent> made = QZMPBEvent::initWithMessageInfo(nullptr);
    if (!name.empty()) NANOSetString(made.get(), QZMPBEvent::kName, name);
    NANOSetInt64(made.get(), QZMPBEvent::kTimestampMillis, static_cast<std::int64_t>(time * 1000));
    if (complexEventID) {
      std::shared_ptr<QZMPBEventParam> parameter = QZMPBEventParam::initWithMessageInfo(nullptr);
      NANOSetString(parameter.get(), QZMPBEventParam::kName, std::string("_eid"));
      NANOSetInt64(parameter.get(), QZMPBEventParam::kIntValue, *complexEventID);
      NANOObjectArray parameters = {std::static_pointer_cast<NANOMessageBase>(parameter)};
      NANOSetArray(made.get(), QZMPBEvent::kParams, &parameters);
    }
    return made;
  }

  QZMStoredEventAggregates aggregates(const std::string& name) {
    QZMStoredEventAggregates row;
    onWorkerQueue([&] {
      auto stored = database()->eventAggregatesWithName(name);
      ASSERT_TRUE(stored.ok() && *stored);
      row = **stored;
    });
    return row;
  }
};

TEST_F(Sampling, TheRollKeepsOneInRateAndTheFirstLoserOfEachDay) {
  enum Outcome { kKeptByRoll, kKeptAsFirstOfDay, kDropped, kKeptUnsampled };
  struct Row {
    const char* title;
    std::shared_ptr<QZMPBEvent> event;
    std::optional<std::uint32_t> roll;  // the random draw; nullopt when none is made
    Outcome outcome;
  };
  const std::vector<Row> rows = {
      {"first loser of the day", event("level_up", kDayStart + 100), 3, kKeptAsFirstOfDay},
      {"later loser the same day", event("level_up", kDayStart + 200), 5, kDropped},
      {"winner", event("level_up", kDayStart + 300), 0, kKeptByRoll},
      {"loser of a complex event", event("level_up", kDayStart + 400, 42), 7, kDropped},
      // 23:30 here is already the next day one hour east.
      {"first loser of the account's next day", event("level_up", kDayStart + 86400 - 1800), 9, kKeptAsFirstOfDay},
      {"a rate of 1 is no rate", event("bad_rate", kDayStart + 500), std::nullopt, kKeptUnsampled},
      {"a name without a rate", event("other", kDayStart + 600), std::nullopt, kKeptUnsampled},
      {"an event without a name", event("", kDayStart + 700), std::nullopt, kDropped},
  };
  std::vector<std::shared_ptr<QZMPBEvent>> events;
  std::deque<std::uint32_t> rolls;
  for (const Row& row : rows) {
    events.push_back(row.event);
    if (row.roll) rolls.push_back(*row.roll);
  }
  utilities->scriptUniformRandom(rolls);
  onWorkerQueue([&] {
    // Bundling has counted each name before it samples.
    for (const char* name : {"level_up", "bad_rate", "other"}) {
      ASSERT_TRUE(database()->updateEventAggregates({.name = name, .lifetimeCount = 1}).ok());
    }
  });

  std::vector<std::shared_ptr<QZMPBEvent>> kept;
  onWorkerQueue([&] {
    auto sampled = engine()->sampleEvents(events);
    ASSERT_TRUE(sampled.ok());
    kept = *sampled;
  });
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    bool isKept = std::find(kept.begin(), kept.end(), row.event) != kept.end();
    EXPECT_EQ(isKept, row.outcome != kDropped);
    if (!isKept) continue;
    EXPECT_EQ(testkit::intParameter(*row.event, "_sr"),
              row.outcome == kKeptUnsampled ? std::nullopt : std::optional<std::int64_t>(kRate));
    EXPECT_EQ(testkit::intParameter(*row.event, "_efs"),
              row.outcome == kKeptAsFirstOfDay ? std::optional<std::int64_t>(1) : std::nullopt);
  }
  // Kept events stay in their order.
  std::vector<std::shared_ptr<QZMPBEvent>> expected;
  for (const Row& row : rows) {
    if (row.outcome != kDropped) expected.push_back(row.event);
  }
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(linesWithCode(23154).size(), 1u);
  EXPECT_EQ(linesWithCode(23155).size(), 1u);

  QZMStoredEventAggregates state = aggregates("level_up");
  EXPECT_EQ(state.lastSamplingRate, kRate);
  EXPECT_EQ(state.lastBundledDay, static_cast<std::int32_t>((kDayStart + 86400 - 1800 + 3600) / 86400));
  EXPECT_DOUBLE_EQ(state.lastBundledTimestamp, kDayStart + 86400 - 1800);
  EXPECT_EQ(state.lastSampledComplexEventID, 42);
  EXPECT_TRUE(state.lastExemptFromSampling);
  EXPECT_EQ(state.lifetimeCount, 1) << "sampling keeps the counts";
}

TEST_F(Sampling, BundlingSamplesUnlessDebugModeIsOn) {
  for (bool debug : {true, false}) {
    SCOPED_TRACE(debug ? "debug mode" : "normal");
    monitor->setDebugModeEnabled(debug);
    std::int64_t fingerprint = storeMetadata();
    for (int i = 0; i < 3; ++i) storeEvent(fingerprint, "level_up", kDayStart + 10 * (i + 1) + (debug ? 0 : 86400));
    // Each loses the roll; the first of the day stays, the others go.
    utilities->scriptUniformRandom({1, 1, 1});
    ASSERT_EQ(bundleAll(), 1);
    auto queued = queuedBundles();
    ASSERT_EQ(queued.size(), 1u);
    auto events = *NANOGetArray<QZMPBEvent>(queued[0].bundle.get(), Bundle::kEvents);
    if (debug) {
      EXPECT_EQ(events.size(), 3u);
      EXPECT_FALSE(testkit::intParameter(*events[0], "_sr"));
    } else {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(testkit::intParameter(*events[0], "_efs"), 1);
    }
    onWorkerQueue([&] { ASSERT_TRUE(database()->deleteBundlesWithRowIDs({queued[0].rowID}).ok()); });
  }
  monitor->setDebugModeEnabled(false);
}

}  // namespace
