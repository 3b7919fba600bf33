#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;
using Record = QZMDatabase::Record;

std::unique_ptr<QZMPBMeasurementBundle> metadata(const std::string& appID) {
  auto bundle = QZMPBMeasurementBundle::initWithBuffer({});
  NANOSetString(bundle.get(), QZMPBMeasurementBundle::kAppId, appID);
  return bundle;
}

std::unique_ptr<QZMPBEvent> protoEvent(const std::string& name, std::int64_t previousMillis) {
  auto event = QZMPBEvent::initWithBuffer({});
  NANOSetString(event.get(), QZMPBEvent::kName, name);
  NANOSetInt64(event.get(), QZMPBEvent::kPreviousTimestampMillis, previousMillis);
  return event;
}

// What a converter sees of a stored event.
struct Stored {
  std::int64_t rowID;
  std::string name;
  std::int64_t previousMillis;
  bool hasNameInMessage;
  bool operator==(const Stored&) const = default;
};

Result<Stored> storedFromRow(const Record& row) {
  auto event = QZMPBEvent::initWithBuffer(*row.at("data").data());
  if (!event) return qzm_errorWithCode(3, "undecodable");
  return Stored{row.at("rowid").int64Value(), *row.at("name").string(),
                NANOGetInt64(event.get(), QZMPBEvent::kPreviousTimestampMillis),
                NANOHasField(event.get(), QZMPBEvent::kName)};
}

class RawEvents : public testkit::DatabaseTest {
 protected:
  std::int64_t storeMetadata(const std::string& appID) {
    auto bundle = metadata(appID);
    EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(*bundle).ok());
    return qzm_64LSBMD5(*bundle->protoBuffer());
  }
  void insert(const std::string& name, double timestamp, std::int64_t fingerprint, bool realtime = false,
              std::int64_t previousMillis = 1) {
    auto event = protoEvent(name, previousMillis);
    auto inserted = database->insertRawEvent(name, timestamp, event.get(), fingerprint, realtime);
    ASSERT_TRUE(inserted.ok()) << inserted.error().text();
  }
  // Stores an event as the engine does: its metadata, room under the limit
  // and the event, in one transaction.
  void storeEvent(const QZMPBMeasurementBundle& metadata, const std::string& name, double timestamp,
                  bool realtime = false) {
    std::optional<foundation::Error> failed;
    auto step = [&](const foundation::Status& status) {
      if (!status) failed = status.error();
      return status.ok();
    };
    Status stored = database->performTransaction([&] {
      std::int64_t fingerprint = 0;
      if (!step(database->insertIfNotExistsRawEventMetadata(metadata, fingerprint))) return false;
      auto trimmed = database->deleteRawEventsOverAbsoluteLimit();
      if (!trimmed.ok()) return step(trimmed.error());
      auto event = protoEvent(name, 1);
      return step(database->insertRawEvent(name, timestamp, event.get(), fingerprint, realtime));
    });
    ASSERT_TRUE(stored.ok()) << (failed ? failed->text() : stored.error().text());
  }
  // The upload schedule's questions, asked twice (the second answer comes
  // from memory), answer what SQLite answers.
  void expectScheduleAnswersAsSQLite(const std::string& what) {
    auto truth = rows(
        "SELECT NOT EXISTS (SELECT 1 FROM raw_events) AS empty, (SELECT MAX(timestamp) FROM raw_events) AS latest, "
        "EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1) AS realtime");
    ASSERT_EQ(truth.size(), 1u);
    const Object& latest = truth[0].at("latest");
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(database->isRawEventsTableEmpty().value(), truth[0].at("empty").int64Value() != 0) << what;
      EXPECT_EQ(database->queryLatestRawEventTime().value(),
                latest.isNull() ? std::nullopt : std::optional<double>(latest.doubleValue()))
          << what;
      EXPECT_EQ(database->containsRealtimeRawEventsWithError().value(), truth[0].at("realtime").int64Value() != 0)
          << what;
    }
  }
  std::int64_t rawEventCount() { return rows("SELECT count(1) AS n FROM raw_events")[0].at("n").int64Value(); }
};

TEST_F(RawEvents, MetadataIsStoredOncePerFingerprintAndReadBack) {
  std::int64_t first = storeMetadata("app-1");
  EXPECT_EQ(storeMetadata("app-1"), first);
  std::int64_t second = storeMetadata("app-2");
  EXPECT_NE(second, first);

  auto stored = rows("SELECT metadata_fingerprint FROM raw_events_metadata ORDER BY rowid");
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].at("metadata_fingerprint"), Object(first));

  auto back = database->queryRawEventsMetadataWithFingerprint(second);
  ASSERT_TRUE(back.ok());
  ASSERT_TRUE(*back);
  EXPECT_EQ(NANOGetString(back->get(), QZMPBMeasurementBundle::kAppId), "app-2");
  auto none = database->queryRawEventsMetadataWithFingerprint(first + 1);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(*none);

  auto empty = database->insertIfNotExistsRawEventMetadata(*QZMPBMeasurementBundle::initWithBuffer({}));
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().code, 3);
  EXPECT_EQ(empty.error().description,
            "Received empty measurement bundle metadata for getting dictionary representation");
}

TEST_F(RawEvents, EventIsStoredWithoutItsNameAndReadBackOldestFirst) {
  std::int64_t fingerprint = storeMetadata("app");
  std::int64_t other = storeMetadata("other");
  insert("buy", 1700000000.25, fingerprint, true, 1699999999000);
  insert("_s", 1700000001.5, other);
  insert("view", 1700000002, fingerprint);

  auto stored = rows("SELECT rowid, name, timestamp, metadata_fingerprint, is_realtime FROM raw_events");
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0], (Record{{"rowid", 1},
                               {"name", "buy"},
                               {"timestamp", 1700000000.25},
                               {"metadata_fingerprint", fingerprint},
                               {"is_realtime", 1}}));

  auto read = database->rawEventsWithMetadataFingerprint<Stored>(fingerprint, nullptr, storedFromRow);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, (std::vector<Stored>{{1, "buy", 1699999999000, false}, {3, "view", 1, false}}));
  EXPECT_EQ(database->allRawEventsWithError<Stored>(storedFromRow)->size(), 3u);

  auto missing = database->insertRawEvent("x", 1, nullptr, fingerprint, false);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "Received empty event for inserting in the database");
}

TEST_F(RawEvents, UpdateRewritesAnExistingRowOnly) {
  std::int64_t fingerprint = storeMetadata("app");
  insert("buy", 10, fingerprint);
  auto event = protoEvent("buy", 77);
  ASSERT_TRUE(database->updateRawEvent(1, "buy", 10, event.get(), fingerprint, true).ok());
  auto missing = database->updateRawEvent(2, "buy", 10, event.get(), fingerprint, true);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "Failed to update record. Item doesn't exist");

  auto read = database->allRawEventsWithError<Stored>(storedFromRow).value();
  EXPECT_EQ(read, (std::vector<Stored>{{1, "buy", 77, false}}));
  EXPECT_EQ(database->containsRealtimeRawEventsWithError().value(), true);
}

TEST_F(RawEvents, ReadsByFingerprintStopAtAThousandOrWhereTheFilterSays) {
  std::int64_t fingerprint = storeMetadata("app");
  ASSERT_TRUE(database
                  ->performTransaction([&] {
                    for (int i = 0; i < 1005; ++i) insert("e", i, fingerprint);
                    return true;
                  })
                  .ok());
  auto all = database->rawEventsWithMetadataFingerprint<Stored>(fingerprint, nullptr, storedFromRow).value();
  ASSERT_EQ(all.size(), 1000u);
  EXPECT_EQ(all.front().rowID, 1);
  EXPECT_EQ(all.back().rowID, 1000);

  auto firstThree = database->rawEventsWithMetadataFingerprint<Stored>(
      fingerprint, [](std::size_t kept, const Record&) { return kept < 3; }, storedFromRow);
  EXPECT_EQ(firstThree->size(), 3u);

  auto noneConverted = database->rawEventsWithMetadataFingerprint<Stored>(
      fingerprint, nullptr, [](const Record&) -> Result<Stored> { return qzm_errorWithCode(3, "no"); });
  ASSERT_FALSE(noneConverted.ok());
  EXPECT_EQ(noneConverted.error().description, "Failed to initialize data types from dictionaries");
  auto unknown = database->rawEventsWithMetadataFingerprint<Stored>(fingerprint + 1, nullptr, storedFromRow);
  ASSERT_TRUE(unknown.ok());
  EXPECT_TRUE(unknown->empty());

  // Trimming keeps the newest maxEventsStored - 1, making room for the next.
  settings.maxEventsStored = 1000;
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit().value(), 6);
  auto kept = rows("SELECT min(rowid) AS first, count(1) AS n FROM raw_events");
  EXPECT_EQ(kept[0].at("first"), Object(7));
  EXPECT_EQ(kept[0].at("n"), Object(999));
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit().value(), 0);
  settings.maxEventsStored = 10;
  EXPECT_EQ(database->allRawEventsWithError<Stored>(storedFromRow)->size(), 10u);

  ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(1000).ok());
  EXPECT_EQ(database->allRawEventsWithError<Stored>(storedFromRow)->front().rowID, 1001);
}

TEST_F(RawEvents, AbsoluteLimitCountsRowsWhateverGapsTheirIDsLeave) {
  struct Case {
    const char* name;
    const char* gap;  // rows deleted after 20 were stored
    std::int32_t limit;
    std::int64_t deleted;
    std::int64_t firstKept;
  };
  const Case cases[] = {
      {"under the limit", "", 30, 0, 1},
      {"span over the limit, count under it", "rowid BETWEEN 5 AND 14", 12, 0, 1},
      {"over the limit with a gap among the oldest", "rowid BETWEEN 2 AND 4", 10, 8, 12},
      {"over the limit with a gap among the newest", "rowid BETWEEN 16 AND 18", 10, 8, 9},
      {"a limit of one keeps none", "", 1, 20, 0},
  };
  std::int64_t fingerprint = storeMetadata("app");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    execute("DELETE FROM raw_events");
    for (int i = 0; i < 20; ++i) insert("e", 1, fingerprint);
    if (*c.gap) execute(std::string("DELETE FROM raw_events WHERE ") + c.gap);
    auto before = rows("SELECT count(1) AS n FROM raw_events");
    settings.maxEventsStored = c.limit;
    auto deleted = database->deleteRawEventsOverAbsoluteLimit();
    ASSERT_TRUE(deleted.ok()) << deleted.error().text();
    EXPECT_EQ(*deleted, c.deleted);
    auto kept = rows("SELECT min(rowid) AS first, count(1) AS n FROM raw_events");
    EXPECT_EQ(kept[0].at("n").int64Value(), before[0].at("n").int64Value() - c.deleted);
    if (c.firstKept) {
      EXPECT_EQ(kept[0].at("first"), Object(c.firstKept));
    }
  }
}

TEST_F(RawEvents, QueriesOnAnEmptyAndAFilledTable) {
  EXPECT_EQ(database->isRawEventsTableEmpty().value(), true);
  EXPECT_EQ(database->nextMetadataFingerprintToProcess().value(), std::nullopt);
  EXPECT_EQ(database->queryLatestRawEventTime().value(), std::nullopt);
  EXPECT_EQ(database->containsRealtimeRawEventsWithError().value(), false);

  std::int64_t older = storeMetadata("older");
  std::int64_t newer = storeMetadata("newer");
  insert("a", 30.5, newer);
  insert("b", 20, older);
  ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(1).ok());
  insert("c", 10, newer);

  EXPECT_EQ(database->isRawEventsTableEmpty().value(), false);
  EXPECT_EQ(database->nextMetadataFingerprintToProcess().value(), older);
  EXPECT_EQ(database->queryLatestRawEventTime().value(), 20.0);
  EXPECT_EQ(database->containsRawEventWithMetadataFingerprint(newer).value(), true);
  EXPECT_EQ(database->containsRawEventWithMetadataFingerprint(newer + 1).value(), false);
  EXPECT_EQ(database->containsRealtimeRawEventsWithError().value(), false);
}

TEST_F(RawEvents, ScheduleAnswersKeptBetweenEventsAreWhatSQLiteWouldAnswerAfterEveryChange) {
  std::int64_t fingerprint = storeMetadata("app");
  testkit::OtherConnection other(database->databasePath());
  auto insertRow = [&](const char* name, double timestamp, bool realtime) {
    auto event = protoEvent(name, 1);
    return database->insertRawEvent(name, timestamp, event.get(), fingerprint, realtime);
  };
  struct Step {
    const char* what;
    std::function<void()> change;
  } steps[] = {
      {"nothing stored", [] {}},
      {"an event", [&] { ASSERT_TRUE(insertRow("a", 20, false).ok()); }},
      {"an older real-time event", [&] { ASSERT_TRUE(insertRow("b", 10, true).ok()); }},
      {"a newer event", [&] { ASSERT_TRUE(insertRow("c", 30.5, false).ok()); }},
      {"the newest deleted", [&] { ASSERT_TRUE(database->deleteRawEventsWithRowIDs({3}).ok()); }},
      {"a newer real-time insert rolled back",
       [&] { (void)database->performTransaction([&] { return insertRow("d", 99, true).ok() && false; }); }},
      {"a row changed by SQL of its own", [&] { execute("UPDATE raw_events SET timestamp = 50 WHERE name = 'a'"); }},
      {"the real-time mark taken off", [&] { execute("UPDATE raw_events SET is_realtime = 0"); }},
      {"everything deleted at once", [&] { execute("DELETE FROM raw_events"); }},
      // Another instance of a host, or a shell, on the same file.
      {"a real-time row added to the empty table by another connection",
       [&] {
         other.execute(
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
             "VALUES ('x', 70, 1, x'00', 1)");
       }},
      {"an event after", [&] { ASSERT_TRUE(insertRow("e", 5, true).ok()); }},
      {"the newest row deleted by another connection",
       [&] { other.execute("DELETE FROM raw_events WHERE timestamp = 70"); }},
      {"the real-time mark taken off by another connection",
       [&] { other.execute("UPDATE raw_events SET is_realtime = 0"); }},
      {"an event after another connection's changes", [&] { ASSERT_TRUE(insertRow("f", 3, false).ok()); }},
  };
  for (const auto& step : steps) {
    step.change();
    expectScheduleAnswersAsSQLite(step.what);
  }
}

TEST_F(RawEvents, RowLimitAndStoredMetadataHoldWhenAnotherConnectionChangesTheFile) {
  settings.maxEventsStored = 50;
  auto app = metadata("app");
  const std::int64_t fingerprint = qzm_64LSBMD5(*app->protoBuffer());
  storeEvent(*app, "first", 1);
  storeEvent(*app, "second", 2);
  EXPECT_EQ(database->isRawEventsTableEmpty().value(), false);

  // A hundred rows from elsewhere, and the metadata taken away.
  testkit::OtherConnection other(database->databasePath());
  other.execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
      "SELECT 'other', 3, " +
      std::to_string(fingerprint) + ", x'00', 0 FROM n");
  other.execute("DELETE FROM raw_events_metadata");

  for (int i = 0; i < 5; ++i) {
    storeEvent(*app, "after" + std::to_string(i), 4 + i);
    EXPECT_EQ(rawEventCount(), 50) << "event " << i;
  }
  // Every stored event still finds the metadata it refers to.
  EXPECT_NE(database->queryRawEventsMetadataWithFingerprint(fingerprint).value(), nullptr);
  EXPECT_TRUE(rows("SELECT 1 FROM raw_events WHERE metadata_fingerprint NOT IN "
                   "(SELECT metadata_fingerprint FROM raw_events_metadata)")
                  .empty());

  other.execute("DELETE FROM raw_events");
  EXPECT_EQ(database->isRawEventsTableEmpty().value(), true);
  other.execute(
      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES ('x', 9, 1, x'00', 0)");
  EXPECT_EQ(database->isRawEventsTableEmpty().value(), false);
}

TEST_F(RawEvents, AtTheLimitEveryEventLeavesTheScheduleAnswersAsSQLiteGivesThem) {
  settings.maxEventsStored = 8;
  auto app = metadata("app");
  // Times out of order, so that the latest is at times among the oldest rows
  // that make room; real-time events now and then, at times the only one.
  struct Event {
    double timestamp;
    bool realtime;
  };
  std::vector<Event> events;
  for (int i = 0; i < 30; ++i) events.push_back({i % 9 == 0 ? 100.0 + i : 10.0 + i, i % 11 == 3});
  for (std::size_t i = 0; i < events.size(); ++i) {
    storeEvent(*app, "e" + std::to_string(i), events[i].timestamp, events[i].realtime);
    const std::string what = "after event " + std::to_string(i);
    EXPECT_EQ(rawEventCount(), std::min<std::int64_t>(static_cast<std::int64_t>(i) + 1, 8)) << what;
    expectScheduleAnswersAsSQLite(what);
  }
}

TEST_F(RawEvents, AtTheLimitAnEventAndTheScheduleQuestionsWalkNoTable) {
  settings.maxEventsStored = 10;
  auto app = metadata("app");
  auto askSchedule = [&] {
    ASSERT_TRUE(database->isRawEventsTableEmpty().ok());
    ASSERT_TRUE(database->queryLatestRawEventTime().ok());
    ASSERT_TRUE(database->containsRealtimeRawEventsWithError().ok());
  };
  for (int i = 0; i < 12; ++i) {
    storeEvent(*app, "before", 10 + i);
    askSchedule();
  }

  std::vector<std::string> statements;
  auto trace = [](unsigned, void* context, void* statement, void*) {
    static_cast<std::vector<std::string>*>(context)->push_back(sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
    return 0;
  };
  sqlite3* handle = database->sqliteStore()->sqliteHandle();
  sqlite3_trace_v2(handle, SQLITE_TRACE_STMT, trace, &statements);
  for (int i = 0; i < 3; ++i) {
    storeEvent(*app, "at the limit", 30 + i);
    askSchedule();
  }
  sqlite3_trace_v2(handle, 0, nullptr, nullptr);

  const std::string walks[] = {"SELECT count(1) FROM raw_events", "SELECT MAX(timestamp) FROM raw_events",
                               "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)"};
  std::size_t trims = 0;
  for (const std::string& statement : statements) {
    for (const std::string& walk : walks) EXPECT_NE(statement, walk);
    trims += statement.starts_with("DELETE FROM raw_events WHERE");
  }
  EXPECT_EQ(trims, 3u);
  EXPECT_EQ(rawEventCount(), 10);
  expectScheduleAnswersAsSQLite("at the limit");
}

TEST_F(RawEvents, BacklogIsVisitedAPageAtATimeWhollyAndInOrder) {
  std::int64_t fingerprint = storeMetadata("app");
  ASSERT_TRUE(database
                  ->performTransaction([&] {
                    for (int i = 1; i <= 12; ++i) insert("e" + std::to_string(i), i, fingerprint);
                    return true;
                  })
                  .ok());
  execute("DELETE FROM raw_events WHERE rowid IN (4, 5)");
  execute("UPDATE raw_events SET data = x'ff' WHERE rowid = 9");  // does not convert
  auto rowIDs = [](const std::vector<Stored>& stored) {
    std::vector<std::int64_t> ids;
    for (const Stored& one : stored) ids.push_back(one.rowID);
    return ids;
  };

  struct Case {
    std::int64_t pageSize;
    std::int64_t maxEventsStored;
  };
  const Case cases[] = {{1, 100000}, {3, 100000}, {5, 100000}, {10, 100000}, {11, 100000}, {1000, 100000},
                        {3, 7},      {3, 6},      {4, 4},      {2, 0},       {2, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "page " << c.pageSize << ", limit " << c.maxEventsStored);
    settings.maxEventsStored = c.maxEventsStored;
    std::vector<Stored> visited;
    auto read = database->visitAllRawEvents<Stored>(storedFromRow, [&](const Stored& stored) {
      visited.push_back(stored);
      return true;
    }, c.pageSize);
    ASSERT_TRUE(read.ok()) << read.error().text();
    EXPECT_EQ(rowIDs(visited), rowIDs(database->allRawEventsWithError<Stored>(storedFromRow).value()));
  }

  // A visitor that updates what it is given sees every event once; one that
  // says stop gets no more.
  settings.maxEventsStored = 100000;
  std::vector<std::int64_t> updated;
  ASSERT_TRUE(database
                  ->visitAllRawEvents<Stored>(storedFromRow, [&](const Stored& stored) {
                    auto event = protoEvent(stored.name, 42);
                    EXPECT_TRUE(database->updateRawEvent(stored.rowID, stored.name, 1, event.get(), fingerprint, false).ok());
                    updated.push_back(stored.rowID);
                    return true;
                  }, 3)
                  .ok());
  EXPECT_EQ(updated, (std::vector<std::int64_t>{1, 2, 3, 6, 7, 8, 10, 11, 12}));
  EXPECT_EQ(rows("SELECT rowid FROM raw_events WHERE timestamp = 1").size(), 9u);
  std::vector<std::int64_t> firstFour;
  ASSERT_TRUE(database
                  ->visitAllRawEvents<Stored>(storedFromRow, [&](const Stored& stored) {
                    firstFour.push_back(stored.rowID);
                    return firstFour.size() < 4;
                  }, 3)
                  .ok());
  EXPECT_EQ(firstFour, (std::vector<std::int64_t>{1, 2, 3, 6}));
}

TEST_F(RawEvents, StaleDeletionTakesEventsFarInThePastOrFutureAndTheirUnusedMetadata) {
  const double now = clock->now();
  const double day = 86400;
  std::int64_t kept = storeMetadata("kept");
  std::int64_t gone = storeMetadata("gone");
  insert("past", now - 2 * day, gone);
  insert("future", now + 2 * day, gone);
  insert("recent", now - day / 2, kept);

  ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(day).ok());
  auto left = rows("SELECT name FROM raw_events");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].at("name"), Object("recent"));
  EXPECT_EQ(database->queryRawEventsMetadataWithFingerprint(gone).value(), nullptr);
  EXPECT_NE(database->queryRawEventsMetadataWithFingerprint(kept).value(), nullptr);

  // Metadata whose events went by another road stays until something is
  // deleted as stale.
  std::int64_t orphan = storeMetadata("orphan");
  ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(day).ok());
  EXPECT_NE(database->queryRawEventsMetadataWithFingerprint(orphan).value(), nullptr);
  ASSERT_TRUE(database->deleteUnusedRawEventsMetadata().ok());
  EXPECT_EQ(database->queryRawEventsMetadataWithFingerprint(orphan).value(), nullptr);
  ASSERT_TRUE(database->deleteRawEventMetadataWithMetadataFingerprint(kept).ok());
  EXPECT_EQ(database->queryRawEventsMetadataWithFingerprint(kept).value(), nullptr);

  auto negative = database->deleteStaleRawEventsDataOlderThanMaxAge(-1);
  ASSERT_FALSE(negative.ok());
  EXPECT_EQ(negative.error().description, "Cannot delete stale raw events given negative time period");
}

}  // namespace
