#include <gtest/gtest.h>

#include "measurement/foundation/QZMAppMetadata.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/testkit/DatabaseTestKit.h"

namespace {

using foundation::Object;

TEST(DayNumber, CountsWholeDaysFromTheInstallationsMidnight) {
  struct Case {
    double now;
    double offset;
    std::int32_t day;
  } cases[] = {
      {86400 * 10 + 3599, 3600, 9},
      {86400 * 10 + 3600, 3600, 10},
      {0, 0, 0},
      {-1, 0, -1},  // floored, also before 1970
      {1e300, 0, 2147483647},
      {-1e300, 0, -2147483647 - 1},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMDayNumber(c.now, c.offset), c.day) << c.now;
}

TEST(DailyCounts, IncrementsOfAnotherDayStartFromZero) {
  QZMDailyCounts counts(7, 1, 2, 3, 4, 5, 6);
  counts.incrementCountsForCurrentDay(7, true, true, 5);
  EXPECT_EQ(counts, QZMDailyCounts(7, 2, 7, 8, 4, 5, 6));
  counts.incrementCountsForCurrentDay(7, false, false);
  counts.incrementErrorEventsCountForCurrentDay(7);
  counts.incrementRealtimeCountsForCurrentDay(7);
  counts.incrementDCURealtimeCountsForCurrentDay(7);
  EXPECT_EQ(counts, QZMDailyCounts(7, 2, 9, 8, 5, 6, 7));

  counts.incrementRealtimeCountsForCurrentDay(8);
  EXPECT_EQ(counts, QZMDailyCounts(8, 0, 0, 0, 0, 1, 0));
  counts.decrementAllEventsCount();
  EXPECT_EQ(counts.allEventsCount(), 0);

  // A count never wraps to a small number that would pass a limit.
  QZMDailyCounts full(8, 0, 2147483646, 0, 0, 0, 0);
  full.incrementCountsForCurrentDay(8, false, false, 5);
  EXPECT_EQ(full.allEventsCount(), 2147483647);
}

class AppMetadata : public testkit::FoundationTest {};

TEST_F(AppMetadata, IndexesWrapWithALine) {
  auto metadata = QZMAppMetadata::initWithLastBundleIndex(2147483646, 2147483647, 1.0, 2.0);
  ASSERT_TRUE(metadata);
  metadata->increaseLastBundleIndex(3);
  EXPECT_EQ(metadata->lastBundleIndex(), 2);
  EXPECT_EQ(linesWithCode(4001).size(), 1u);
  metadata->increaseLastBundleIndex(5);
  EXPECT_EQ(metadata->lastBundleIndex(), 7);
  metadata->incrementLastDeliveryIndex();
  EXPECT_EQ(metadata->lastDeliveryIndex(), 0);
  EXPECT_EQ(linesWithCode(4002).size(), 1u);

  EXPECT_FALSE(QZMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
  EXPECT_EQ(linesWithCode(4000).size(), 1u);
}

class Aggregates : public testkit::DatabaseTest {
 protected:
  static QZMStoredEventAggregates aggregates(const std::string& name, std::int32_t lifetimeCount) {
    QZMStoredEventAggregates made;
    made.name = name;
    made.lifetimeCount = lifetimeCount;
    made.currentBundleCount = 2;
    made.currentSessionCount = 3;
    made.lastFireTimestamp = 1700000000.5;
    return made;
  }
  void update(const QZMStoredEventAggregates& value) {
    auto written = database->updateEventAggregates(value);
    ASSERT_TRUE(written.ok()) << written.error().text();
  }
  std::vector<std::string> names(const std::vector<QZMStoredEventAggregates>& all) {
    std::vector<std::string> found;
    for (const auto& a : all) found.push_back(a.name);
    return found;
  }
};

TEST_F(Aggregates, AppMetadataRoundTripsAndANegativeStoredIndexCannotBeRead) {
  auto fresh = database->queryAppMetadata().value();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(*fresh, *QZMAppMetadata::initWithLastBundleIndex(0, 0, 0.0, 0.0));

  auto changed = *QZMAppMetadata::initWithLastBundleIndex(12, 4, 1700000000.0, 1700000060.5);
  ASSERT_TRUE(database->updateAppMetadata(changed).ok());
  EXPECT_EQ(database->queryAppMetadata().value(), changed);

  execute("UPDATE app_metadata SET last_bundle_index = -3");
  auto negative = database->queryAppMetadata();
  ASSERT_FALSE(negative.ok());
  EXPECT_EQ(negative.error().description, "Failed to initialize data types from dictionaries");

  execute("DELETE FROM app_metadata");
  EXPECT_EQ(database->queryAppMetadata().value(), std::nullopt);
  EXPECT_EQ(database->dailyCounts().value(), std::nullopt);
  auto missing = database->updateAppMetadata(changed);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "Failed to update record. Item doesn't exist");
}

TEST_F(Aggregates, DailyCountsFollowTheInstallationsDayOnTheClock) {
  // The midnight offset is drawn in milliseconds: one hour past midnight.
  utilities->scriptUniformRandom({3600 * 1000});
  clock->setNow(86400.0 * 20000 + 3600 - 10);  // ten seconds before the installation's midnight
  const std::int32_t today = database->currentDayNumber().value();
  EXPECT_EQ(today, 19999);

  // A row that never held counts reads as today with zero counts.
  EXPECT_EQ(database->dailyCounts().value(), QZMDailyCounts(today, 0, 0, 0, 0, 0, 0));

  auto countOneEvent = [&] {
    auto counts = database->dailyCounts().value();
    ASSERT_TRUE(counts);
    counts->incrementCountsForCurrentDay(database->currentDayNumber().value(), true, false);
    ASSERT_TRUE(database->updateDailyCounts(*counts).ok());
  };
  countOneEvent();
  countOneEvent();
  EXPECT_EQ(database->dailyCounts().value(), QZMDailyCounts(today, 0, 2, 2, 0, 0, 0));

  // The stored day is kept until a mutator sees another day.
  clock->advance(20);
  EXPECT_EQ(database->dailyCounts().value()->day(), today);
  countOneEvent();
  EXPECT_EQ(database->dailyCounts().value(), QZMDailyCounts(today + 1, 0, 1, 1, 0, 0, 0));

  // A clock set back is another day too.
  clock->setNow(clock->now() - 86400);
  countOneEvent();
  EXPECT_EQ(database->dailyCounts().value(), QZMDailyCounts(today, 0, 1, 1, 0, 0, 0));
}

TEST_F(Aggregates, EventAggregatesRoundTripAndMissingColumnsReadAsDefaults) {
  auto full = aggregates("purchase", 9);
  full.lastBundledTimestamp = 1700000100.0;
  full.lastSampledComplexEventID = -77;
  full.lastSamplingRate = 4;
  full.lastExemptFromSampling = true;
  full.lastBundledDay = 19999;
  update(full);
  EXPECT_EQ(database->eventAggregatesWithName("purchase").value(), full);

  // Rewriting without a sampled complex event clears it: the row is replaced.
  auto rewritten = aggregates("purchase", 10);
  update(rewritten);
  EXPECT_EQ(database->eventAggregatesWithName("purchase").value(), rewritten);

  execute("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) VALUES "
          "('old', 5, 1, 12.5)");
  QZMStoredEventAggregates old;
  old.name = "old";
  old.lifetimeCount = 5;
  old.currentBundleCount = 1;
  old.lastFireTimestamp = 12.5;
  EXPECT_EQ(database->eventAggregatesWithName("old").value(), old);
  EXPECT_EQ(database->eventAggregatesWithName("none").value(), std::nullopt);
  EXPECT_EQ(names(database->allEventAggregates().value()), (std::vector<std::string>{"purchase", "old"}));

  ASSERT_TRUE(database->clearCurrentSessionCounts().ok());
  EXPECT_EQ(database->eventAggregatesWithName("purchase").value()->currentSessionCount, 0);
  ASSERT_TRUE(database->deleteAllEventAggregates().ok());
  EXPECT_TRUE(database->allEventAggregates().value().empty());

  auto unnamed = database->updateEventAggregates(aggregates("", 1));
  ASSERT_FALSE(unnamed.ok());
  EXPECT_EQ(unnamed.error().code, 1);
}

TEST_F(Aggregates, PublicEventCountLeavesOutNamesStartingWithAnUnderscore) {
  for (const char* name : {"_f", "_s", "a_b", "%", "buy"}) update(aggregates(name, 1));
  EXPECT_EQ(database->publicEventCount().value(), 3);
}

TEST_F(Aggregates, SnapshotIsSetAsideAndRestoredKeepingAFirstOpenCountedMeanwhile) {
  EXPECT_EQ(database->eventAggregatesSnapshotWithName("buy").value(), std::nullopt);
  ASSERT_TRUE(database->restoreFromEventsSnapshotTable().ok());

  update(aggregates("buy", 4));
  update(aggregates("view", 2));
  ASSERT_TRUE(database->createEventsSnapshotTable().ok());
  EXPECT_EQ(database->eventAggregatesSnapshotWithName("buy").value(), aggregates("buy", 4));

  // While storage is denied: counters wiped, a first open counted.
  ASSERT_TRUE(database->deleteAllEventAggregates().ok());
  update(aggregates("_f", 1));
  update(aggregates("scroll", 1));

  ASSERT_TRUE(database->restoreFromEventsSnapshotTable().ok());
  EXPECT_EQ(names(database->allEventAggregates().value()), (std::vector<std::string>{"buy", "view", "_f"}));
  EXPECT_EQ(database->eventAggregatesWithName("buy").value(), aggregates("buy", 4));
  EXPECT_EQ(database->eventAggregatesWithName("_f").value(), aggregates("_f", 1));
  // The snapshot is emptied, its table kept.
  EXPECT_EQ(database->sqliteStore()->tableExists(kQZMEventsSnapshotTable).value(), true);
  EXPECT_TRUE(rows("SELECT * FROM events_snapshot").empty());

  // A snapshot that holds a counted first open brings its own back.
  update(aggregates("_f", 3));
  ASSERT_TRUE(database->createEventsSnapshotTable().ok());
  update(aggregates("_f", 7));
  ASSERT_TRUE(database->restoreFromEventsSnapshotTable().ok());
  EXPECT_EQ(database->eventAggregatesWithName("_f").value()->lifetimeCount, 3);
}

// On its own, and inside a caller's transaction that goes on and commits
// (as bundling's does): either way the live counters stay.
TEST_F(Aggregates, RestoreThatFailsLeavesCountersAndSnapshotAsTheyWere) {
  for (bool nested : {false, true}) {
    SCOPED_TRACE(nested ? "inside a committed transaction" : "in its own transaction");
    execute("DELETE FROM events");
    update(aggregates("buy", 4));
    ASSERT_TRUE(database->createEventsSnapshotTable().ok());
    // A snapshot row the counters' table cannot take: no lifetime count.
    execute("INSERT INTO events_snapshot (name, current_bundle_count, last_fire_timestamp) VALUES ('bad', 1, 1.0)");
    ASSERT_TRUE(database->deleteAllEventAggregates().ok());
    update(aggregates("_f", 1));

    std::optional<foundation::Status> restored;
    if (nested) {
      ASSERT_TRUE(database
                      ->performTransaction([&] {
                        restored = database->restoreFromEventsSnapshotTable();
                        update(aggregates("counted_after", 1));
                        return true;
                      })
                      .ok());
    } else {
      restored = database->restoreFromEventsSnapshotTable();
    }
    ASSERT_FALSE(restored->ok());
    std::vector<std::string> expected = {"_f"};
    if (nested) expected.push_back("counted_after");
    EXPECT_EQ(names(database->allEventAggregates().value()), expected);
    EXPECT_EQ(rows("SELECT name FROM events_snapshot").size(), 2u);
  }
}

}  // namespace
