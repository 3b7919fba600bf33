#include <gtest/gtest.h>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/model/audience/QZMEventAggregatesStorage.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Data;
using foundation::Object;
using Record = QZMDatabase::Record;

std::shared_ptr<QZMPBEventParam> param(std::optional<std::string> name, std::optional<QZMValue> value,
                                       std::vector<std::shared_ptr<QZMPBEventParam>> children = {}) {
  std::shared_ptr<QZMPBEventParam> made = QZMPBEventParam::initWithBuffer({});
  if (name) NANOSetString(made.get(), QZMPBEventParam::kName, *name);
  if (value && value->isString()) NANOSetString(made.get(), QZMPBEventParam::kStringValue, *value->stringValue());
  if (value && value->isInt64()) NANOSetInt64(made.get(), QZMPBEventParam::kIntValue, value->int64Value());
  if (value && value->isDouble()) NANOSetDouble(made.get(), QZMPBEventParam::kDoubleValue, value->doubleValue());
  NANOObjectArray items;
  for (const auto& child : children) items.emplace_back(std::shared_ptr<NANOMessageBase>(child));
  NANOSetArray(made.get(), QZMPBEventParam::kParamValue, &items);
  return made;
}

std::unique_ptr<QZMPBEvent> message(std::vector<std::shared_ptr<QZMPBEventParam>> params,
                                    std::int64_t previousMillis = 0) {
  auto made = QZMPBEvent::initWithBuffer({});
  NANOObjectArray items;
  for (const auto& p : params) items.emplace_back(std::shared_ptr<NANOMessageBase>(p));
  NANOSetArray(made.get(), QZMPBEvent::kParams, &items);
  if (previousMillis) NANOSetInt64(made.get(), QZMPBEvent::kPreviousTimestampMillis, previousMillis);
  return made;
}

Record row(const QZMPBEvent& event, std::string name = "_s") {
  return {{"rowid", 4}, {"name", name}, {"timestamp", 1700000000.5}, {"metadata_fingerprint", -9},
          {"data", *event.protoBuffer()}};
}

QZMValue text(const std::string& value) { return *QZMValue::initWithString(value); }

class RawEventData : public testkit::DatabaseTest {};

TEST_F(RawEventData, StoredEventReadsBackWithItsNameOriginAndTimes) {
  QZMDictionary parameters = {{"level", QZMValue::initWithInt64(3)}, {"ratio", QZMValue::initWithDouble(2.5)},
                              {"label", text("x")}};
  std::shared_ptr<QZMEvent> event = QZMEvent::initWithOrigin("auto", false, "_s", 1700000000.25, 1699999990.5,
                                                             parameters);
  ASSERT_TRUE(event);
  ASSERT_TRUE(QZMInsertRawEvent(*database, event.get(), -9, false).ok());
  EXPECT_EQ(QZMInsertRawEvent(*database, nullptr, -9, false).error().description,
            "Received empty event for inserting in the database");

  auto read = database->allRawEventsWithError<QZMRawEventData>(QZMRawEventDataFromDictionary).value();
  ASSERT_EQ(read.size(), 1u);
  const QZMEvent& back = *read[0].rawEvent();
  EXPECT_EQ(read[0].rowID(), 1);
  EXPECT_EQ(read[0].metadataFingerprint(), -9);
  EXPECT_EQ(back.name(), "_s");
  EXPECT_EQ(back.origin(), "auto");
  EXPECT_EQ(back.timestamp(), 1700000000.25);
  EXPECT_EQ(back.previousTimestamp(), 1699999990.5);
  EXPECT_EQ(back.parameters(), event->parameters());

  // The flag of the event itself goes to the row on update.
  std::shared_ptr<QZMEvent> realtime = back.copy();
  realtime->setRealtime(true);
  ASSERT_TRUE(QZMUpdateRawEvent(*database, *QZMRawEventData::initWithRawEvent(realtime, 1, -9)).ok());
  EXPECT_EQ(database->containsRealtimeRawEventsWithError().value(), true);
}

TEST_F(RawEventData, RowsThatCannotBecomeEventsAreRefusedAndSkipped) {
  auto origin = param("_o", text("app"));
  struct Case {
    Record row;
    std::string description;
  } cases[] = {
      {{}, "Received empty dictionary for getting raw event data"},
      {{{"name", "_s"}, {"data", Data{}}, {"metadata_fingerprint", 1}},
       "Unable to find row ID in the database dictionary"},
      {{{"rowid", 1}, {"metadata_fingerprint", 1}}, "Unable to find event data in the database dictionary"},
      {{{"rowid", 1}, {"data", Data{0x0a, 0x00}}}, "Unable to find event metadata in the database dictionary"},
      {{{"rowid", 1}, {"data", Data{0xff, 0xff}}, {"metadata_fingerprint", 1}}, "Failed to parse event from data"},
      {row(*message({param("level", QZMValue::initWithInt64(1))})),
       "Cannot create an event from database. Missing origin parameter"},
      {row(*message({param("_o", QZMValue::initWithInt64(1))})),
       "Cannot create an event from database. Origin parameter is not a string"},
      {row(*message({origin, param(std::nullopt, QZMValue::initWithInt64(1))})),
       "Failed to parse event params from data"},
      {row(*message({origin, param("level", std::nullopt)})), "Failed to parse event params from data"},
      {row(*message({origin}), "not a valid name!"), "Failed to initialize raw event data from dictionary"},
  };
  for (const auto& c : cases) {
    auto converted = QZMRawEventDataFromDictionary(c.row);
    ASSERT_FALSE(converted.ok()) << c.description;
    EXPECT_EQ(converted.error().description, c.description);
  }

  ASSERT_TRUE(database->insertRawEvent("_s", 1, message({param("level", QZMValue::initWithInt64(1))}).get(), 1, false)
                  .ok());
  ASSERT_TRUE(database->insertRawEvent("_s", 2, message({origin}).get(), 1, false).ok());
  auto read = database->allRawEventsWithError<QZMRawEventData>(QZMRawEventDataFromDictionary).value();
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].rowID(), 2);
}

TEST_F(RawEventData, ArrayParameterReadsBackAsOneDictionaryPerItem) {
  auto item = [](const std::string& name, std::int64_t quantity) {
    return param(std::nullopt, std::nullopt,
                 {param("item_name", text(name)), param("quantity", QZMValue::initWithInt64(quantity))});
  };
  auto event = message({param("_o", text("app")),
                        param("items", std::nullopt,
                              {item("a", 1), item("b", 2), param(std::nullopt, QZMValue::initWithInt64(7))})},
                       1699999999000);
  auto converted = QZMRawEventDataFromDictionary(row(*event, "_iap"));
  ASSERT_TRUE(converted.ok()) << converted.error().text();
  const QZMEvent& back = *converted->rawEvent();
  EXPECT_EQ(back.previousTimestamp(), 1699999999.0);
  auto items = back.parameters().find("items");
  ASSERT_NE(items, back.parameters().end());
  ASSERT_TRUE(items->second.isArray());
  const QZMArray& array = *items->second.arrayValue();
  ASSERT_EQ(array.size(), 2u);
  for (std::size_t i = 0; i < array.size(); ++i) {
    ASSERT_TRUE(array[i].dictionary()) << i;
    const QZMDictionary& entries = *array[i].dictionary();
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.at("quantity").plainObject(), Object(static_cast<std::int64_t>(i + 1)));
  }
}

TEST_F(RawEventData, RecordsRefuseAMissingEventOrANegativeRow) {
  std::shared_ptr<QZMEvent> event = QZMEvent::initWithOrigin("app", false, "_s", 1, 0, QZMDictionary{});
  EXPECT_FALSE(QZMRawEventData::initWithRawEvent(nullptr, 1, 0));
  EXPECT_EQ(linesWithCode(28000).size(), 1u);
  EXPECT_FALSE(QZMRawEventData::initWithRawEvent(event, -1, 0));
  EXPECT_EQ(linesWithCode(28001).size(), 1u);
  EXPECT_TRUE(QZMRawEventData::initWithRawEvent(event, 0, 0));
}

TEST_F(RawEventData, EventAggregatesTravelThroughTheirStoredForm) {
  auto aggregates = QZMEventAggregates::initWithName("_s", 4, 2, 1, 1700000000.5);
  ASSERT_TRUE(aggregates);
  aggregates->setLastBundledTimestamp(1700000100);
  aggregates->setLastSampledComplexEventID(77);
  aggregates->setLastSamplingRate(3);
  aggregates->setLastExemptFromSampling(true);
  aggregates->setLastBundledDay(19000);
  ASSERT_TRUE(database->updateEventAggregates(QZMStoredEventAggregatesFrom(*aggregates)).ok());
  auto stored = database->eventAggregatesWithName("_s").value();
  ASSERT_TRUE(stored);
  auto back = QZMEventAggregatesFromStored(*stored);
  ASSERT_TRUE(back);
  EXPECT_EQ(QZMStoredEventAggregatesFrom(*back), QZMStoredEventAggregatesFrom(*aggregates));

  QZMStoredEventAggregates negative = *stored;
  negative.lifetimeCount = -1;
  EXPECT_FALSE(QZMEventAggregatesFromStored(negative));
}

}  // namespace

namespace {

// The database cannot see the configuration; its own defaults must be the
// configuration's until the engine points it there.
TEST(DatabaseSettings, DefaultsAreTheConfigurationsDefaults) {
  QZMDatabaseSettings defaults;
  auto config = QZMRemoteConfig::defaultInstance();
  EXPECT_EQ(defaults.maxEventsStored, config->maxEventsStored());
  EXPECT_EQ(defaults.maxQueueTime, config->maxQueueTime());
  EXPECT_EQ(defaults.databaseDeleteStaleBundlesInterval, config->databaseDeleteStaleBundlesInterval());
}

}  // namespace
