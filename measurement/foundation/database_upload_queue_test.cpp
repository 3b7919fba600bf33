#include <gtest/gtest.h>

#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/utilities/Gzip.h"

namespace {

using foundation::Data;
using foundation::Object;

class UploadQueue : public testkit::DatabaseTest {
 protected:
  // A bundle ending at the time, padded to the encoded size when given one.
  std::unique_ptr<QZMPBMeasurementBundle> bundle(double endTimestamp, std::size_t encodedSize = 0,
                                                 std::optional<std::int32_t> retryCount = std::nullopt) {
    auto made = QZMPBMeasurementBundle::initWithBuffer({});
    NANOSetString(made.get(), QZMPBMeasurementBundle::kAppId, "1:123:ios:abc");
    NANOSetInt64(made.get(), QZMPBMeasurementBundle::kEndTimestampMillis,
                 static_cast<std::int64_t>(endTimestamp * 1000));
    if (retryCount) NANOSetInt32(made.get(), QZMPBMeasurementBundle::kRetryCount, *retryCount);
    if (encodedSize) {
      for (std::size_t pad = 0; pad < encodedSize; ++pad) {
        NANOSetString(made.get(), QZMPBMeasurementBundle::kMonitoringData, std::string(pad, 'x'));
        if (made->protoBuffer()->size() == encodedSize) break;
      }
      EXPECT_EQ(made->protoBuffer()->size(), encodedSize);
    }
    return made;
  }
  void insert(const QZMPBMeasurementBundle& bundle, bool realtime = false) {
    auto inserted = database->insertBundle(bundle, realtime);
    ASSERT_TRUE(inserted.ok()) << inserted.error().text();
  }
  static std::vector<std::int64_t> rowIDs(const std::vector<QZMQueuedBundle>& bundles) {
    std::vector<std::int64_t> ids;
    for (const auto& queued : bundles) ids.push_back(queued.rowID);
    return ids;
  }
  std::vector<Object> retryCounts() {
    std::vector<Object> counts;
    for (const auto& row : rows("SELECT retry_count FROM queue ORDER BY rowid")) counts.push_back(row.at("retry_count"));
    return counts;
  }
};

TEST_F(UploadQueue, InvalidBundlesAreRefusedAndNothingIsStored) {
  auto noAppID = bundle(clock->now());
  NANOClearField(noAppID.get(), QZMPBMeasurementBundle::kAppId);
  struct Case {
    std::unique_ptr<QZMPBMeasurementBundle> bundle;
    std::string description;
  } cases[] = {
      {QZMPBMeasurementBundle::initWithBuffer({}), "Failed to insert nil bundle"},
      {std::move(noAppID), "Failed to insert bundle without App ID"},
      {bundle(0), "Failed to insert bundle without valid timestamp"},
  };
  for (const auto& c : cases) {
    auto inserted = database->insertBundle(*c.bundle, false);
    ASSERT_FALSE(inserted.ok()) << c.description;
    EXPECT_EQ(inserted.error().code, 1);
    EXPECT_EQ(inserted.error().description, c.description);
  }
  EXPECT_EQ(database->isQueuedBundleTableEmpty().value(), true);
}

TEST_F(UploadQueue, BundleIsStoredCompressedAndReadBackWithTheRowsRetryCount) {
  const double now = clock->now();
  insert(*bundle(now - 10, 0, 5), true);
  insert(*bundle(now - 5, 0, 5));
  insert(*bundle(now - 1));
  execute("UPDATE queue SET retry_count = 3 WHERE rowid = 1; UPDATE queue SET retry_count = NULL WHERE rowid = 2");

  auto stored = rows("SELECT data, bundle_end_timestamp, is_realtime FROM queue WHERE rowid = 1");
  const Data& data = *stored[0].at("data").data();
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data[0], 0x1f);
  EXPECT_EQ(data[1], 0x8b);
  EXPECT_EQ(stored[0].at("bundle_end_timestamp"), Object(now - 10));
  EXPECT_EQ(stored[0].at("is_realtime"), Object(1));

  auto read = database->queryBundlesWithRowIDs({3, 1, 2, 99}).value();
  ASSERT_EQ(rowIDs(read), (std::vector<std::int64_t>{1, 2, 3}));
  // The row's count wins when it is at least 1; otherwise the bundle's own.
  EXPECT_EQ(NANOGetInt32(read[0].bundle.get(), QZMPBMeasurementBundle::kRetryCount), 3);
  EXPECT_EQ(NANOGetInt32(read[1].bundle.get(), QZMPBMeasurementBundle::kRetryCount), 5);
  EXPECT_EQ(NANOGetInt32(read[2].bundle.get(), QZMPBMeasurementBundle::kRetryCount), 0);
  EXPECT_EQ(NANOGetString(read[2].bundle.get(), QZMPBMeasurementBundle::kAppId), "1:123:ios:abc");

  EXPECT_EQ(database->containsRealtimeBundlesWithError().value(), true);
  EXPECT_EQ(database->queryLatestBundleTime().value(), now - 1);
  ASSERT_TRUE(database->deleteBundlesWithRowIDs({1, 3}).ok());
  EXPECT_EQ(rowIDs(database->queryBundlesWithCountLimit(10, 1 << 20).value()), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(database->containsRealtimeBundlesWithError().value(), false);

  auto empty = database->deleteBundlesWithRowIDs({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().description, "Received empty row IDs to process");
}

TEST_F(UploadQueue, ReadingForUploadTakesTheOldestWithinTheCountAndSizeLimits) {
  const double now = clock->now();
  struct Case {
    std::vector<std::size_t> sizes;  // oldest first
    std::int64_t countLimit;
    std::int64_t sizeLimit;
    std::vector<std::int64_t> expected;
  } cases[] = {
      {{400, 300, 100}, 10, 600, {1}},          // the second does not fit and ends the walk
      {{400, 200, 100}, 10, 600, {1, 2}},       // exactly at the limit
      {{900, 100}, 10, 600, {1}},               // the oldest goes alone whatever its size
      {{100, 100, 100, 100}, 3, 1000, {1, 2, 3}},
      {{}, 10, 600, {}},
  };
  for (const auto& c : cases) {
    // An emptied table numbers its rows from 1 again.
    execute("DELETE FROM queue");
    for (std::size_t size : c.sizes) insert(*bundle(now, size));
    auto read = database->queryBundlesWithCountLimit(c.countLimit, c.sizeLimit);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(rowIDs(*read), c.expected) << c.sizes.size() << " bundles, limit " << c.sizeLimit;
  }
}

TEST_F(UploadQueue, RowsThatDoNotDecodeArePassedOverAndDeletedWhenReadForUpload) {
  const double now = clock->now();
  insert(*bundle(now, 100));
  execute("INSERT INTO queue (data, bundle_end_timestamp) VALUES (x'1f8b0800', 1.0), (x'00', 1.0)");
  insert(*bundle(now, 100));
  EXPECT_EQ(rowIDs(database->queryBundlesWithRowIDs({2, 3, 4}).value()), (std::vector<std::int64_t>{4}));
  EXPECT_EQ(rowIDs(database->queryBundlesWithCountLimit(10, 1000).value()), (std::vector<std::int64_t>{1, 4}));
  // Otherwise the queue would never look empty and never drain.
  EXPECT_EQ(rows("SELECT rowid FROM queue").size(), 2u);
  EXPECT_EQ(linesWithCode(12019).size(), 2u);
}

// The read limit guards against damaged rows alone: the settings play no
// part in it, a bundle as large as the SDK ever writes is read intact, and a
// row inflating beyond that is deleted before it is decoded.
TEST_F(UploadQueue, OnlyARowInflatingBeyondTheLargestStoredBundleIsRefused) {
  const auto largest = static_cast<std::size_t>(QZMDatabase::kLargestStoredBundleBytes);
  const double now = clock->now();
  // Empty events, two bytes each: every one a whole record once decoded, so
  // that a few compressed bytes would take gigabytes.
  Data emptyEvents(largest + 2);
  for (std::size_t i = 0; i < emptyEvents.size(); i += 2) emptyEvents[i] = 0x12;
  auto compressed = drk_dataByGzippingData(emptyEvents);
  ASSERT_TRUE(compressed.ok());
  ASSERT_LT(compressed->size(), largest / 500);
  ASSERT_TRUE(database->sqliteStore()
                  ->upsertRecord({{"data", *compressed}, {"bundle_end_timestamp", now}}, "queue")
                  .ok());

  auto large = bundle(now);
  {
    // A string holds at most a mebibyte: events of one text each, the last
    // one cut to make the bundle's exact size.
    constexpr std::size_t kText = 1'000'000;
    std::vector<std::string> texts(largest / kText + 1, std::string(kText, 'x'));
    for (int attempt = 0; attempt < 4; ++attempt) {
      NANOObjectArray events;
      for (const std::string& text : texts) {
        auto param = QZMPBEventParam::initWithMessageInfo(nullptr);
        NANOSetString(param.get(), QZMPBEventParam::kName, std::string("text"));
        NANOSetString(param.get(), QZMPBEventParam::kStringValue, text);
        NANOObjectArray params{std::shared_ptr<NANOMessageBase>(std::move(param))};
        auto event = QZMPBEvent::initWithMessageInfo(nullptr);
        NANOSetArray(event.get(), QZMPBEvent::kParams, &params);
        events.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(event)));
      }
      NANOSetArray(large.get(), QZMPBMeasurementBundle::kEvents, &events);
      const std::size_t encoded = large->protoBuffer()->size();
      if (encoded == largest) break;
      texts.back().resize(texts.back().size() + largest - encoded);
    }
  }
  ASSERT_EQ(large->protoBuffer()->size(), largest);
  insert(*large);
  large.reset();

  auto read = database->queryBundlesWithCountLimit(10, 65536);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(rowIDs(*read), (std::vector<std::int64_t>{2}));
  EXPECT_EQ((*read)[0].bundle->protoBuffer()->size(), largest);
  ASSERT_EQ(linesWithCode(12019).size(), 1u);
  EXPECT_NE(linesWithCode(12019)[0].contexts.back().find("inflates beyond " + std::to_string(largest) + " bytes"),
            std::string::npos)
      << linesWithCode(12019)[0].contexts.back();
  EXPECT_EQ(rows("SELECT rowid FROM queue").size(), 1u);
}

TEST_F(UploadQueue, RetryCountsGrowByOneUpToTheCeiling) {
  const double now = clock->now();
  for (int i = 0; i < 4; ++i) insert(*bundle(now, 0, i == 1 ? 2 : 0));
  execute("UPDATE queue SET retry_count = 2147483647 WHERE rowid = 3; UPDATE queue SET retry_count = NULL "
          "WHERE rowid = 4");
  ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({1, 2, 3, 4}).ok());
  EXPECT_EQ(retryCounts(), (std::vector<Object>{1, 3, 2147483647, Object()}));
  EXPECT_EQ(linesWithCode(12054).size(), 1u);

  ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({1}).ok());
  EXPECT_EQ(retryCounts(), (std::vector<Object>{2, 3, 2147483647, Object()}));

  auto empty = database->incrementRetryCounterForBundlesWithIDs({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().code, 1);
  EXPECT_EQ(empty.error().description, "Failed to increment retry counter");
}

TEST_F(UploadQueue, StaleDataIsDeletedAtMostOncePerInterval) {
  settings.maxQueueTime = 7 * 86400.0;
  settings.databaseDeleteStaleBundlesInterval = 86400;
  const double start = clock->now();
  config->setLastDeleteStaleBundlesTimestamp(start);

  // Kept all the same, with a line saying it is already stale.
  insert(*bundle(start - 8 * 86400));
  EXPECT_EQ(linesWithCode(12016).size(), 1u);
  insert(*bundle(start - 86400));
  EXPECT_EQ(rows("SELECT rowid FROM queue").size(), 2u);

  EXPECT_EQ(database->maybeDeleteStaleData().value(), false);
  clock->advance(86401);
  EXPECT_EQ(database->maybeDeleteStaleData().value(), true);
  EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), clock->now());
  auto left = rows("SELECT rowid FROM queue");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].at("rowid"), Object(2));
  EXPECT_EQ(database->maybeDeleteStaleData().value(), false);

  // A clock set far back makes it due as well.
  clock->setNow(start - 3 * 86400);
  EXPECT_EQ(database->maybeDeleteStaleData().value(), true);

  // A deletion rolled back with the transaction around it is not recorded:
  // the next call deletes again.
  const double recorded = config->lastDeleteStaleBundlesTimestamp();
  clock->advance(86401);
  ASSERT_FALSE(database
                   ->performTransaction([&] {
                     EXPECT_EQ(database->maybeDeleteStaleData().value(), true);
                     return false;
                   })
                   .ok());
  EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), recorded);
  EXPECT_EQ(database->maybeDeleteStaleData().value(), true);
  EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), clock->now());

  auto negative = database->deleteStaleBundlesOlderThanMaxAge(-1);
  ASSERT_FALSE(negative.ok());
  EXPECT_EQ(negative.error().description, "Cannot delete stale bundles after negative time period");
}

}  // namespace

