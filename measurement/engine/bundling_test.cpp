// Bundling raw events into the upload queue: which raw events share a
// bundle, what bundling counts and evaluates on the way, and that it always
// makes progress past events it cannot or may not bundle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/proto/NANOFieldHelpers.h"

namespace {

using testkit::Bundle;
using testkit::kDayStart;
using testkit::Metadata;
using Names = std::vector<std::vector<std::string>>;

class Bundling : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    start();
  }

  // What an upload reads: the oldest bundles within the limits in force.
  std::vector<QZMQueuedBundle> bundlesForUpload() {
    std::vector<QZMQueuedBundle> read;
    onWorkerQueue([&] {
      auto config = this->config();
      auto queued = database()->queryBundlesWithCountLimit(config->uploadMaxBundlesLimit(),
                                                           config->uploadMaxSizeLimitBytes());
      ASSERT_TRUE(queued.ok());
      read = *queued;
    });
    return read;
  }
};

using Params = std::vector<std::shared_ptr<QZMPBEventParam>>;
Params paramsOf(const QZMPBEvent& event) {
  return NANOGetArray<QZMPBEventParam>(&event, QZMPBEvent::kParams).value_or(Params());
}
Params paramsOf(const QZMPBEventParam& param) {
  return NANOGetArray<QZMPBEventParam>(&param, QZMPBEventParam::kParamValue).value_or(Params());
}

// A text parameter long enough to make an event of about 300 bytes.
QZMDictionary padding(char fill) { return {{"pad", std::string(280, fill)}}; }

// Texts of a mebibyte each, the most a text holds, that make an event larger
// than any the SDK stores now.
QZMDictionary oversizedEventParameters() {
  QZMDictionary texts;
  for (std::int64_t i = 0; i <= QZMDatabase::kLargestStoredEventBytes >> 20; ++i) {
    texts.emplace("text" + std::to_string(i), std::string(std::size_t{1} << 20, 'x'));
  }
  return texts;
}

TEST_F(Bundling, RawEventsShareABundleOnlyWithinOneRunOfOneMetadataAndOneHour) {
  struct Row {
    int metadata;  // index into the case's metadata
    std::string name;
    double secondsIntoDay;
    bool padded = false;
  };
  struct Case {
    const char* title;
    std::vector<Row> rows;
    std::vector<QZMMeasurementSettings::Text> settings;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"one metadata, one hour", {{0, "a", 10}, {0, "b", 20}, {0, "c", 30}}, {}, {{"a", "b", "c"}}},
      {"runs of two metadata", {{0, "a", 10}, {0, "b", 11}, {1, "x", 12}, {1, "y", 13}}, {}, {{"a", "b"}, {"x", "y"}}},
      {"interleaved metadata break the run",
       {{0, "a", 10}, {1, "x", 11}, {0, "b", 12}},
       {},
       {{"a"}, {"x"}, {"b"}}},
      {"a clock hour ends a bundle", {{0, "a", 3599}, {0, "b", 3600}, {0, "c", 3700}}, {}, {{"a"}, {"b", "c"}}},
      {"events per bundle", {{0, "a", 1}, {0, "b", 2}, {0, "c", 3}, {0, "d", 4}, {0, "e", 5}},
       {{"measurement.upload.max_events_per_bundle", "2"}},
       {{"a", "b"}, {"c", "d"}, {"e"}}},
      {"an event over the size limit forms a bundle alone",
       {{0, "big", 1, true}, {0, "next", 2, true}, {0, "small", 3}},
       {{"measurement.upload.max_batch_size", "200"}},
       {{"big"}, {"next"}, {"small"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    setSettings(c.settings);
    std::vector<std::int64_t> fingerprints = {storeMetadata(Metadata{.appID = "com.example.one"}),
                                              storeMetadata(Metadata{.appID = "com.example.two"})};
    for (const Row& row : c.rows) {
      storeEvent(fingerprints[row.metadata], row.name, kDayStart + row.secondsIntoDay,
                 row.padded ? padding('x') : QZMDictionary());
    }
    EXPECT_EQ(bundleAll(), static_cast<int>(c.expected.size()));
    EXPECT_EQ(queuedEventNames(), c.expected);
    EXPECT_EQ(rawEventCount(), 0);
    onWorkerQueue([&] {
      auto queued = database()->queryBundlesWithCountLimit(1000, 100'000'000);
      std::vector<std::int64_t> rowIDs;
      for (const auto& entry : *queued) rowIDs.push_back(entry.rowID);
      if (!rowIDs.empty()) {
        ASSERT_TRUE(database()->deleteBundlesWithRowIDs(rowIDs).ok());
      }
      // Metadata no raw event refers to any more is gone too.
      EXPECT_FALSE(*database()->queryRawEventsMetadataWithFingerprint(fingerprints[0]));
    });
  }
}

TEST_F(Bundling, FillsBundleFieldsAndCountsEventsAcrossBundles) {
  std::int64_t fingerprint = storeMetadata();
  storeEvent(fingerprint, "level_up", kDayStart + 100);
  storeEvent(fingerprint, "level_up", kDayStart + 160);
  ASSERT_EQ(bundleAll(), 1);
  // Event writing stores the metadata with every event.
  storeEvent(storeMetadata(), "level_up", kDayStart + 7300);
  ASSERT_EQ(bundleAll(), 1);

  auto queued = queuedBundles();
  ASSERT_EQ(queued.size(), 2u);
  const Bundle& first = *queued[0].bundle;
  const Bundle& second = *queued[1].bundle;
  EXPECT_EQ(NANOGetInt64(&first, Bundle::kStartTimestampMillis), (kDayStart + 100) * 1000);
  EXPECT_EQ(NANOGetInt64(&first, Bundle::kEndTimestampMillis), (kDayStart + 160) * 1000);
  // The first bundle ever has no previous one.
  EXPECT_FALSE(NANOHasField(&first, Bundle::kPreviousBundleStartTimestampMillis));
  EXPECT_FALSE(NANOHasField(&first, Bundle::kPreviousBundleEndTimestampMillis));
  EXPECT_EQ(NANOGetInt64(&second, Bundle::kPreviousBundleStartTimestampMillis), (kDayStart + 100) * 1000);
  EXPECT_EQ(NANOGetInt64(&second, Bundle::kPreviousBundleEndTimestampMillis), (kDayStart + 160) * 1000);
  // The bundle index counts events, the delivery index bundles.
  EXPECT_EQ(NANOGetInt32(&first, Bundle::kBundleIndex), 2);
  EXPECT_EQ(NANOGetInt32(&second, Bundle::kBundleIndex), 3);
  EXPECT_EQ(NANOGetInt32(&first, Bundle::kDeliveryIndex), 1);
  EXPECT_EQ(NANOGetInt32(&second, Bundle::kDeliveryIndex), 2);

  // Each event carries the time of the one before it, across bundles.
  auto firstEvents = *NANOGetArray<QZMPBEvent>(&first, Bundle::kEvents);
  auto secondEvents = *NANOGetArray<QZMPBEvent>(&second, Bundle::kEvents);
  EXPECT_FALSE(NANOHasField(firstEvents[0].get(), QZMPBEvent::kPreviousTimestampMillis));
  EXPECT_EQ(NANOGetInt64(firstEvents[1].get(), QZMPBEvent::kPreviousTimestampMillis), (kDayStart + 100) * 1000);
  EXPECT_EQ(NANOGetInt64(secondEvents[0].get(), QZMPBEvent::kPreviousTimestampMillis), (kDayStart + 160) * 1000);
  onWorkerQueue([&] {
    auto aggregates = database()->eventAggregatesWithName("level_up");
    ASSERT_TRUE(aggregates.ok() && *aggregates);
    EXPECT_EQ((*aggregates)->lifetimeCount, 3);
    EXPECT_EQ((*aggregates)->lastFireTimestamp, kDayStart + 7300);
  });
}

TEST_F(Bundling, PurchasesAreNewUntilOneWasBundled) {
  std::int64_t fingerprint = storeMetadata();
  storeEvent(fingerprint, "purchase", kDayStart + 1);
  storeEvent(fingerprint, "purchase", kDayStart + 2);
  ASSERT_EQ(bundleAll(), 1);
  auto events = *NANOGetArray<QZMPBEvent>(queuedBundles()[0].bundle.get(), Bundle::kEvents);
  auto customerType = [](const QZMPBEvent& event) {
    auto parameters = *NANOGetArray<QZMPBEventParam>(&event, QZMPBEvent::kParams);
    for (const auto& p : parameters) {
      if (NANOGetString(p.get(), QZMPBEventParam::kName) == "_ct") {
        return NANOGetString(p.get(), QZMPBEventParam::kStringValue).value_or("");
      }
    }
    return std::string();
  };
  EXPECT_EQ(customerType(*events[0]), "new");
  EXPECT_EQ(customerType(*events[1]), "returning");
}

// One damaged row, or one the rules refuse, never holds back the events
// stored after it.
TEST_F(Bundling, GroupsThatCannotBeBundledAreDroppedAndBundlingGoesOn) {
  struct Case {
    const char* title;
    std::vector<QZMMeasurementSettings::Text> settings;
    std::string damage;  // SQL applied to the first group
    std::int64_t loggedCode;
    QZMDictionary firstParameters = {};
  };
  const std::string firstRow = " WHERE rowid = (SELECT MIN(rowid) FROM raw_events)";
  const std::vector<Case> cases = {
      {"every event of the group blocked", {{"measurement.upload.blacklist_public", "1"}}, "", 23100},
      {"the group's only row unreadable", {}, "UPDATE raw_events SET data = x'ffffffff'" + firstRow, 23096},
      {"the group's metadata unreadable",
       {},
       "UPDATE raw_events_metadata SET metadata = x'ff' WHERE metadata_fingerprint = (SELECT metadata_fingerprint "
       "FROM raw_events" +
           firstRow + ")",
       23098},
      {"a time of zero", {}, "UPDATE raw_events SET timestamp = 0" + firstRow, 23096},
      {"a time beyond the millisecond range", {}, "UPDATE raw_events SET timestamp = 1e300" + firstRow, 23096},
      {"a time stored as text", {}, "UPDATE raw_events SET timestamp = 'noon'" + firstRow, 23096},
      {"a fingerprint stored as text", {}, "UPDATE raw_events SET metadata_fingerprint = 'abc'" + firstRow, 23096},
      {"a fingerprint stored as a fraction", {}, "UPDATE raw_events SET metadata_fingerprint = 1.5" + firstRow, 23096},
      // Stored before writing refused such events: no bundle the queue can
      // read back would hold it.
      {"an event larger than any stored bundle holds", {}, "", 23096, oversizedEventParameters()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    setSettings(c.settings);
    std::int64_t first = storeMetadata(Metadata{.appID = "com.example.one"});
    std::int64_t second = storeMetadata(Metadata{.appID = "com.example.two"});
    storeEvent(first, "public_one", kDayStart + 1, c.firstParameters);
    storeEvent(second, "_internal", kDayStart + 2);
    if (!c.damage.empty()) {
      onWorkerQueue([&] { ASSERT_TRUE(database()->sqliteStore()->executeSQL(c.damage).ok()); });
    }
    clearMonitorLines();
    // Both calls make progress: the lost group, then the good one.
    EXPECT_EQ(bundleAll(), 2);
    EXPECT_EQ(queuedEventNames(), Names{{"_internal"}});
    EXPECT_EQ(rawEventCount(), 0);
    EXPECT_FALSE(linesWithCode(c.loggedCode).empty());
    onWorkerQueue([&] {
      auto queued = database()->queryBundlesWithCountLimit(10, 100000);
      ASSERT_TRUE(database()->deleteBundlesWithRowIDs({queued->front().rowID}).ok());
    });
  }
}

// However large a bundle the SDK wrote, and whatever size limit was in force
// then or is now, an upload reads it back whole: none is deleted as too large.
TEST_F(Bundling, APurchaseWithTheMostItemsIsWrittenBundledAndReadBackForUploadIntact) {
  QZMArray items;
  for (int i = 0; i < 200; ++i) {
    QZMDictionary item{{"item_id", "sku" + std::to_string(i)}};
    for (int p = 0; p < 20; ++p) {
      item.emplace("custom_" + std::to_string(p), std::string(400, static_cast<char>('a' + p)));
    }
    items.emplace_back(std::move(item));
  }
  onWorkerQueue([&] {
    engine()->logEventOnWorkerQueueWithOrigin("app", true, "purchase", {{"items", items}}, clock->now(), true, false,
                                              false, nullptr, {});
  });
  ASSERT_EQ(bundleAll(), 1);

  std::vector<QZMQueuedBundle> read = bundlesForUpload();
  ASSERT_EQ(read.size(), 1u);
  auto events = *NANOGetArray<QZMPBEvent>(read[0].bundle.get(), Bundle::kEvents);
  ASSERT_EQ(events.size(), 1u);
  Params readItems;
  for (const auto& param : paramsOf(*events[0])) {
    if (NANOGetString(param.get(), QZMPBEventParam::kName) == "items") readItems = paramsOf(*param);
  }
  ASSERT_EQ(readItems.size(), 200u);
  for (const auto& item : readItems) {
    int custom = 0;
    for (const auto& param : paramsOf(*item)) {
      if (NANOGetString(param.get(), QZMPBEventParam::kStringValue).value_or("").size() == 400) ++custom;
    }
    EXPECT_EQ(custom, 20);
  }
  EXPECT_TRUE(linesWithCode(12019).empty());
}

TEST_F(Bundling, ABundleMadeUnderTheLargestSizeLimitIsReadBackOnceTheLimitIsDownAgain) {
  setSettings({{"measurement.upload.max_batch_size", "10485760"}});
  std::int64_t fingerprint = storeMetadata();
  // About 2.3 KB each: a thousand make one bundle of 2.3 MB.
  std::unique_ptr<QZMEvent> event = QZMEvent::initWithOrigin("app", false, "level_up", kDayStart + 60, 0,
                                                             QZMDictionary{{"pad", std::string(2300, 'x')}});
  ASSERT_TRUE(event);
  onWorkerQueue([&] {
    ASSERT_TRUE(database()->performTransaction([&] {
      for (int i = 0; i < 1000; ++i) {
        if (!QZMInsertRawEvent(*database(), event.get(), fingerprint, false).ok()) return false;
      }
      return true;
    }));
  });
  ASSERT_EQ(bundleAll(), 1);

  setSettings({{"measurement.upload.max_batch_size", "65536"}});
  std::vector<QZMQueuedBundle> read = bundlesForUpload();
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(testkit::eventNames(*read[0].bundle), std::vector<std::string>(1000, "level_up"));
  EXPECT_GT(read[0].bundle->protoBuffer()->size(), 2'300'000u);
  EXPECT_TRUE(linesWithCode(12019).empty());
}

// A bundle within the size limit may hold events that together take more
// memory to decode than any decode gets: bundling splits them so that each
// bundle is read back whole.
TEST_F(Bundling, EventsCostlyToDecodeAreBundledInPiecesThatEachReadBackWhole) {
  setSettings({{"measurement.upload.max_batch_size", "10485760"},
               {"measurement.upload.max_events_per_bundle", "1000000"}});
  std::int64_t fingerprint = storeMetadata();
  // Items of one empty text each: among the costliest values to decode for
  // their bytes that an event may hold.
  QZMArray items;
  for (int i = 0; i < 200; ++i) items.emplace_back(QZMDictionary{{"v", std::string()}});
  std::unique_ptr<QZMEvent> event =
      QZMEvent::initWithOrigin("app", false, "purchase", kDayStart + 60, 0, QZMDictionary{{"items", items}});
  ASSERT_TRUE(event);
  std::optional<foundation::Data> bytes = event->protoEvent()->protoBuffer();
  ASSERT_TRUE(bytes && QZMPBEvent::initWithBuffer(*bytes));
  const auto cost = static_cast<std::int64_t>(NANODecodeBudget::lastSpent());
  // Lowered, or the test would take minutes under the sanitizers.
  QZMDatabase::setLargestBundleDecodeBytesForTesting(std::int64_t{8} << 20);
  struct Restore {
    ~Restore() { QZMDatabase::setLargestBundleDecodeBytesForTesting(0); }
  } restore;
  const std::int64_t count = QZMDatabase::largestBundleDecodeBytes() / cost + 1;
  ASSERT_LT(count * static_cast<std::int64_t>(bytes->size()), 10485760 * 9 / 10)
      << "one bundle within the size limit must be able to hold them all";
  onWorkerQueue([&] {
    ASSERT_TRUE(database()->performTransaction([&] {
      for (std::int64_t i = 0; i < count; ++i) {
        if (!QZMInsertRawEvent(*database(), event.get(), fingerprint, false).ok()) return false;
      }
      return true;
    }));
  });
  EXPECT_GE(bundleAll(), 2);
  EXPECT_EQ(rawEventCount(), 0);

  // Read as an upload reads them, one at a time.
  std::int64_t read = 0;
  for (int bundles = 0; bundles < count; ++bundles) {
    std::optional<QZMQueuedBundle> oldest;
    onWorkerQueue([&] {
      auto queued = database()->queryBundlesWithCountLimit(1, 1);
      ASSERT_TRUE(queued.ok());
      if (queued->empty()) return;
      oldest = queued->front();
      ASSERT_TRUE(database()->deleteBundlesWithRowIDs({oldest->rowID}).ok());
    });
    if (!oldest) break;
    read += static_cast<std::int64_t>(testkit::eventNames(*oldest->bundle).size());
  }
  EXPECT_EQ(read, count);
  EXPECT_TRUE(linesWithCode(12019).empty());
}

TEST_F(Bundling, AudienceResultsGoIntoTheBundleUnlessAnalyticsStorageIsDenied) {
  onWorkerQueue([&] {
    auto filter = QZMPBEventFilter::initWithMessageInfo(nullptr);
    NANOSetInt32(filter.get(), QZMPBEventFilter::kFilterId, 0);
    NANOSetString(filter.get(), QZMPBEventFilter::kEventName, std::string("level_up"));
    ASSERT_TRUE(database()->updateEventFilters({{1, 0, "level_up", *filter->protoBuffer(), false}}).ok());
  });
  for (bool denied : {false, true}) {
    SCOPED_TRACE(denied ? "analytics storage denied" : "analytics storage granted");
    QZMConsentSettingsUtil::setConsentSettings(
        foundation::Dictionary{{kQZMConsentTypeAnalyticsStorage, denied ? kQZMConsentDenied : kQZMConsentGranted}});
    storeEvent(storeMetadata(), "level_up", kDayStart + (denied ? 20 : 10));
    ASSERT_EQ(bundleAll(), 1);
    auto queued = queuedBundles();
    ASSERT_EQ(queued.size(), 1u);
    auto results = NANOGetArray<QZMPBAudienceLeafFilterResult>(queued[0].bundle.get(), Bundle::kAudienceEvaluationResults);
    if (denied) {
      EXPECT_TRUE(results->empty());
    } else {
      ASSERT_EQ(results->size(), 1u);
      EXPECT_EQ(NANOGetInt32((*results)[0].get(), QZMPBAudienceLeafFilterResult::kAudienceId), 1);
    }
    onWorkerQueue([&] { ASSERT_TRUE(database()->deleteBundlesWithRowIDs({queued[0].rowID}).ok()); });
  }
}

TEST_F(Bundling, CountersAreSetAsideWhileAnalyticsStorageIsDeniedAndComeBack) {
  auto lifetimeCount = [&] {
    std::int32_t count = -1;
    onWorkerQueue([&] {
      auto aggregates = database()->eventAggregatesWithName("level_up");
      count = aggregates.ok() && *aggregates ? (*aggregates)->lifetimeCount : 0;
    });
    return count;
  };
  auto bundleOneWithSignals = [&](const std::string& signals, double time) {
    storeEvent(storeMetadata(Metadata{.consentSignals = signals}), "level_up", time);
    EXPECT_EQ(bundleAll(), 1);
  };
  bundleOneWithSignals("G111", kDayStart + 1);
  EXPECT_EQ(lifetimeCount(), 1);
  bundleOneWithSignals("G110", kDayStart + 2);
  EXPECT_EQ(persistedConfig()->previousBundledConsentSignals(), "G110");
  EXPECT_EQ(lifetimeCount(), 2);
  bundleOneWithSignals("G111", kDayStart + 3);
  // Back to the counters as they were before storage was denied, plus this
  // bundle's event.
  EXPECT_EQ(persistedConfig()->previousBundledConsentSignals(), "G111");
  EXPECT_EQ(lifetimeCount(), 2);
  EXPECT_TRUE(linesWithCode(23267).empty());
}

TEST_F(Bundling, AFailedBundleKeepsItsRawEventsAndTheConsentTransition) {
  storeEvent(storeMetadata(Metadata{.consentSignals = "G110"}), "level_up", kDayStart + 1);
  // Without its app metadata row, bundling fails after the transition.
  onWorkerQueue([&] { ASSERT_TRUE(database()->sqliteStore()->executeSQL("DELETE FROM app_metadata").ok()); });
  EXPECT_EQ(bundleAll(), 0);
  EXPECT_EQ(rawEventCount(), 1);
  EXPECT_FALSE(persistedConfig()->previousBundledConsentSignals().has_value());
  EXPECT_FALSE(linesWithCode(23111).empty());
}

}  // namespace
