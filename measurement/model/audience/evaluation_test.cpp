#include <gtest/gtest.h>

#include <variant>

#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Data;
template <class M>
using Ptr = std::shared_ptr<M>;

// ---- Filter messages ----

Ptr<QZMPBNumberFilter> number(std::int32_t type, const std::string& value) {
  Ptr<QZMPBNumberFilter> filter = QZMPBNumberFilter::initWithBuffer({});
  NANOSetInt32(filter.get(), QZMPBNumberFilter::kComparisonType, type);
  NANOSetString(filter.get(), QZMPBNumberFilter::kComparisonValue, value);
  return filter;
}
constexpr std::int32_t kGreater = 2;
constexpr std::int32_t kEqual = 3;

Ptr<QZMPBStringFilter> text(std::int32_t type, const std::string& expression) {
  Ptr<QZMPBStringFilter> filter = QZMPBStringFilter::initWithBuffer({});
  NANOSetInt32(filter.get(), QZMPBStringFilter::kMatchType, type);
  NANOSetString(filter.get(), QZMPBStringFilter::kExpression, expression);
  return filter;
}
constexpr std::int32_t kExactly = 5;

Ptr<QZMPBFilter> parameter(const std::string& name, Ptr<QZMPBNumberFilter> numberFilter,
                           Ptr<QZMPBStringFilter> stringFilter = nullptr, bool complement = false) {
  Ptr<QZMPBFilter> made = QZMPBFilter::initWithBuffer({});
  if (!name.empty()) NANOSetString(made.get(), QZMPBFilter::kParamName, name);
  if (numberFilter) NANOSetMessage(made.get(), QZMPBFilter::kNumberFilter, numberFilter.get());
  if (stringFilter) NANOSetMessage(made.get(), QZMPBFilter::kStringFilter, stringFilter.get());
  if (complement) NANOSetBool(made.get(), QZMPBFilter::kComplement, true);
  return made;
}

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

Data eventFilterData(std::int32_t id, const std::string& name, std::vector<Ptr<QZMPBFilter>> parameters = {},
                     Ptr<QZMPBNumberFilter> count = nullptr, Flags flags = {}) {
  Ptr<QZMPBEventFilter> made = QZMPBEventFilter::initWithBuffer({});
  NANOSetInt32(made.get(), QZMPBEventFilter::kFilterId, id);
  NANOSetString(made.get(), QZMPBEventFilter::kEventName, name);
  NANOObjectArray items;
  for (const auto& p : parameters) items.emplace_back(std::shared_ptr<NANOMessageBase>(p));
  NANOSetArray(made.get(), QZMPBEventFilter::kFilters, &items);
  if (count) NANOSetMessage(made.get(), QZMPBEventFilter::kEventCountFilter, count.get());
  NANOSetBool(made.get(), QZMPBEventFilter::kDynamic, flags.dynamic);
  NANOSetBool(made.get(), QZMPBEventFilter::kSequence, flags.sequence);
  NANOSetBool(made.get(), QZMPBEventFilter::kSessionScoped, flags.sessionScoped);
  return *made->protoBuffer();
}

Data propertyFilterData(std::int32_t id, const std::string& name, Ptr<QZMPBFilter> inner, Flags flags = {}) {
  Ptr<QZMPBPropertyFilter> made = QZMPBPropertyFilter::initWithBuffer({});
  NANOSetInt32(made.get(), QZMPBPropertyFilter::kFilterId, id);
  NANOSetString(made.get(), QZMPBPropertyFilter::kPropertyName, name);
  NANOSetMessage(made.get(), QZMPBPropertyFilter::kFilter, inner.get());
  NANOSetBool(made.get(), QZMPBPropertyFilter::kDynamic, flags.dynamic);
  NANOSetBool(made.get(), QZMPBPropertyFilter::kSequence, flags.sequence);
  NANOSetBool(made.get(), QZMPBPropertyFilter::kSessionScoped, flags.sessionScoped);
  return *made->protoBuffer();
}

QZMValue str(const std::string& value) { return *QZMValue::initWithString(value); }
QZMValue i64(std::int64_t value) { return QZMValue::initWithInt64(value); }

// ---- Fixture ----

class AudienceEvaluation : public testkit::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    audience = QZMAudience::initWithDatabase(database);
  }

  void addEventFilter(std::int32_t audienceID, std::int32_t filterID, const std::string& name, Data data,
                      bool sessionScoped = false) {
    ASSERT_TRUE(database->updateEventFilters({{audienceID, filterID, name, std::move(data), sessionScoped}}).ok());
  }
  void addPropertyFilter(std::int32_t audienceID, std::int32_t filterID, const std::string& name, Data data,
                         bool sessionScoped = false) {
    ASSERT_TRUE(database->updatePropertyFilters({{audienceID, filterID, name, std::move(data), sessionScoped}}).ok());
  }

  foundation::Status logEvent(const std::string& name, const QZMParameters& parameters, std::int32_t lifetimeCount = 1,
                              std::int32_t sessionCount = 1, QZMAudienceTimestampsCache* cache = nullptr) {
    auto aggregates = QZMEventAggregates::initWithName(name, lifetimeCount, 0, sessionCount, clock->now());
    return audience->evaluateFiltersForEventName(name, parameters, *aggregates, clock->now(), cache);
  }
  foundation::Status setProperty(const std::string& name, const QZMValue& value,
                                 QZMAudienceTimestampsCache* cache = nullptr) {
    auto attribute = QZMUserAttribute::initWithOrigin("app", name, value, clock->now());
    return audience->evaluateFiltersForUserProperty(*attribute, cache, clock->now());
  }

  std::unique_ptr<QZMPBResultData> resultData(std::int32_t audienceID) {
    auto stored = database->filterResultForAudienceID(audienceID);
    if (!stored.ok() || !*stored) return nullptr;
    return QZMPBResultData::initWithBuffer((*stored)->currentResults);
  }
  // "-" not evaluated, "F" false, "T" true.
  std::string state(std::int32_t audienceID, std::int32_t filterID) {
    auto data = resultData(audienceID);
    auto words = QZMFilterResultWords::fromResultData(data.get());
    if (!words.isEvaluated(filterID)) return "-";
    return words.isTrue(filterID) ? "T" : "F";
  }
  std::vector<std::int64_t> words(std::int32_t audienceID, std::int32_t field) {
    std::vector<std::int64_t> out;
    auto data = resultData(audienceID);
    for (const auto& item : NANOGetArray(data.get(), field).value_or(NANOObjectArray{}))
      out.push_back(std::get<foundation::Object>(item).int64Value());
    return out;
  }
  std::map<std::int32_t, std::int64_t> dynamicTimes(std::int32_t audienceID) {
    std::map<std::int32_t, std::int64_t> out;
    auto data = resultData(audienceID);
    for (const auto& entry : NANOGetArray<QZMPBDynamicFilterResultTimestamp>(
                                 data.get(), QZMPBResultData::kDynamicFilterTimestamps)
                                 .value_or(std::vector<Ptr<QZMPBDynamicFilterResultTimestamp>>{}))
      out[NANOGetInt32(entry.get(), QZMPBDynamicFilterResultTimestamp::kFilterId)] =
          NANOGetInt64(entry.get(), QZMPBDynamicFilterResultTimestamp::kEvalTimestamp);
    return out;
  }
  static std::map<std::int32_t, std::vector<std::int64_t>> sequenceTimes(const QZMPBResultData* data) {
    std::map<std::int32_t, std::vector<std::int64_t>> out;
    for (const auto& entry : NANOGetArray<QZMPBSequenceFilterResultTimestamp>(
                                 data, QZMPBResultData::kSequenceFilterTimestamps)
                                 .value_or(std::vector<Ptr<QZMPBSequenceFilterResultTimestamp>>{})) {
      auto& times = out[NANOGetInt32(entry.get(), QZMPBSequenceFilterResultTimestamp::kFilterId)];
      for (const auto& item : NANOGetArray(entry.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps)
                                  .value_or(NANOObjectArray{}))
        times.push_back(std::get<foundation::Object>(item).int64Value());
    }
    return out;
  }

  std::shared_ptr<QZMAudience> audience;
};

// The filter under test is filter 0 of audience 1; each input is logged in
// turn and the filter's state checked after it.
TEST_F(AudienceEvaluation, TriStateResults) {
  struct Event {
    QZMParameters parameters;
    std::int32_t lifetimeCount = 1;
    std::int32_t sessionCount = 1;
  };
  struct Input {
    std::variant<Event, QZMValue> input;  // an event "buy" or a value of the property "tier"
    std::string expected;
  };
  struct Case {
    const char* title;
    bool eventFilter;
    Data data;
    std::vector<Input> inputs;
    std::optional<std::int64_t> loggedCode = std::nullopt;
  };
  const Flags dynamic{true, false, false};
  const Flags sessionScoped{false, false, true};
  const Case cases[] = {
      {"a name alone holds for every event of the name", true, eventFilterData(0, "buy"), {{Event{}, "T"}}},
      {"counts are compared with the lifetime count",
       true,
       eventFilterData(0, "buy", {}, number(kGreater, "1")),
       {{Event{{}, 1}, "F"}, {Event{{}, 2}, "T"}}},
      {"a session-scoped count uses the session's count",
       true,
       eventFilterData(0, "buy", {}, number(kEqual, "1"), sessionScoped),
       {{Event{{}, 5, 1}, "T"}}},
      {"a true event filter never turns false",
       true,
       eventFilterData(0, "buy", {parameter("v", number(kEqual, "5"))}),
       {{Event{{{"v", i64(5)}}}, "T"}, {Event{{{"v", i64(6)}}}, "T"}}},
      {"nor does a dynamic one",
       true,
       eventFilterData(0, "buy", {parameter("v", number(kEqual, "5"))}, nullptr, dynamic),
       {{Event{{{"v", i64(5)}}}, "T"}, {Event{{{"v", i64(6)}}}, "T"}}},
      {"a false event filter turns true",
       true,
       eventFilterData(0, "buy", {parameter("v", number(kEqual, "5"))}),
       {{Event{{{"v", i64(6)}}}, "F"}, {Event{{{"v", i64(5)}}}, "T"}}},
      {"a missing parameter leaves the bits alone",
       true,
       eventFilterData(0, "buy", {parameter("v", number(kEqual, "5"))}),
       {{Event{}, "-"}, {Event{{{"v", i64(6)}}}, "F"}, {Event{}, "F"}},
       7009},
      {"a digit string parameter against a number filter has no answer",
       true,
       eventFilterData(0, "buy", {parameter("v", number(kEqual, "5"))}),
       {{Event{{{"v", str("5")}}}, "-"}},
       7010},
      {"the complement inverts",
       true,
       eventFilterData(0, "buy", {parameter("v", nullptr, text(kExactly, "a"), true)}),
       {{Event{{{"v", str("A")}}}, "F"}, {Event{{{"v", str("b")}}}, "T"}}},
      {"a dynamic property filter follows the value",
       false,
       propertyFilterData(0, "tier", parameter("", number(kGreater, "10")), dynamic),
       {{i64(11), "T"}, {i64(5), "F"}, {i64(12), "T"}}},
      {"a plain property filter stays true",
       false,
       propertyFilterData(0, "tier", parameter("", number(kGreater, "10"))),
       {{i64(5), "F"}, {i64(11), "T"}, {i64(5), "T"}}},
      {"so does a session-scoped one until the session ends",
       false,
       propertyFilterData(0, "tier", parameter("", number(kGreater, "10")), sessionScoped),
       {{i64(11), "T"}, {i64(5), "T"}}},
      {"a digit string property is compared as a decimal",
       false,
       propertyFilterData(0, "tier", parameter("", number(kEqual, "5"))),
       {{str("abc"), "-"}, {str("05.0"), "T"}},
       7001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    execute("DELETE FROM event_filters; DELETE FROM property_filters; DELETE FROM audience_filter_values");
    clearMonitorLines();
    if (c.eventFilter) {
      addEventFilter(1, 0, "buy", c.data);
    } else {
      addPropertyFilter(1, 0, "tier", c.data);
    }
    std::string states;
    for (const auto& input : c.inputs) {
      if (const auto* event = std::get_if<Event>(&input.input)) {
        ASSERT_TRUE(logEvent("buy", event->parameters, event->lifetimeCount, event->sessionCount).ok());
      } else {
        ASSERT_TRUE(setProperty("tier", std::get<QZMValue>(input.input)).ok());
      }
      states += state(1, 0);
    }
    std::string expected;
    for (const auto& input : c.inputs) expected += input.expected;
    EXPECT_EQ(states, expected);
    if (c.loggedCode) {
      EXPECT_FALSE(linesWithCode(*c.loggedCode).empty()) << *c.loggedCode;
    }
  }
}

TEST_F(AudienceEvaluation, FilterSixtyFourUsesTheSecondWord) {
  addEventFilter(1, 0, "buy", eventFilterData(0, "buy"));
  addEventFilter(1, 64, "view", eventFilterData(64, "view"));
  ASSERT_TRUE(logEvent("buy", {}).ok());
  EXPECT_EQ(words(1, QZMPBResultData::kStatus), std::vector<std::int64_t>{1});
  ASSERT_TRUE(logEvent("view", {}).ok());
  EXPECT_EQ(words(1, QZMPBResultData::kStatus), (std::vector<std::int64_t>{1, 1}));
  EXPECT_EQ(words(1, QZMPBResultData::kResults), (std::vector<std::int64_t>{1, 1}));
}

TEST_F(AudienceEvaluation, DynamicTimesKeepTheLatestAndSequenceTimesAccumulate) {
  addEventFilter(1, 0, "buy", eventFilterData(0, "buy", {}, nullptr, {true, false, false}));
  addEventFilter(1, 1, "buy", eventFilterData(1, "buy", {}, nullptr, {false, true, false}));
  const auto start = static_cast<std::int64_t>(clock->now());

  // One pass (one cache): both times of the sequence filter are kept.
  QZMAudienceTimestampsCache cache;
  ASSERT_TRUE(logEvent("buy", {}, 1, 1, &cache).ok());
  clock->advance(10);
  ASSERT_TRUE(logEvent("buy", {}, 2, 2, &cache).ok());
  EXPECT_EQ(dynamicTimes(1), (std::map<std::int32_t, std::int64_t>{{0, start + 10}}));
  EXPECT_EQ(sequenceTimes(resultData(1).get()),
            (std::map<std::int32_t, std::vector<std::int64_t>>{{1, {start, start + 10}}}));

  // A later pass starts from the stored latest times only.
  clock->advance(10.5);
  ASSERT_TRUE(logEvent("buy", {}, 3, 3).ok());
  EXPECT_EQ(dynamicTimes(1), (std::map<std::int32_t, std::int64_t>{{0, start + 20}}));
  EXPECT_EQ(sequenceTimes(resultData(1).get()),
            (std::map<std::int32_t, std::vector<std::int64_t>>{{1, {start + 10, start + 20}}}));
}

TEST_F(AudienceEvaluation, NanoUserPropertiesAreEvaluatedAtTheirSetTime) {
  addPropertyFilter(1, 0, "tier", propertyFilterData(0, "tier", parameter("", number(kGreater, "10")), {true, false, false}));
  auto property = QZMPBUserAttribute::initWithBuffer({});
  NANOSetString(property.get(), QZMPBUserAttribute::kName, "tier");
  NANOSetInt64(property.get(), QZMPBUserAttribute::kSetTimestampMillis, 1'000'000'500);
  auto refused = audience->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(linesWithCode(6039).size(), 1u);

  NANOSetInt64(property.get(), QZMPBUserAttribute::kIntValue, 11);
  ASSERT_TRUE(audience->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt).ok());
  EXPECT_EQ(state(1, 0), "T");
  EXPECT_EQ(dynamicTimes(1), (std::map<std::int32_t, std::int64_t>{{0, 1'000'000}}));
}

Ptr<QZMPBResultData> leafData(const QZMPBAudienceLeafFilterResult& leaf, std::int32_t field) {
  return NANOGetMessage<QZMPBResultData>(&leaf, field);
}

TEST_F(AudienceEvaluation, BundlesCarryPreviousResultsOnlyWhenChanged) {
  auto empty = audience->resultsForBundling();
  ASSERT_TRUE(empty.ok()) << "no audiences is not a failure";
  EXPECT_TRUE(empty->empty());

  addEventFilter(1, 0, "buy", eventFilterData(0, "buy"));
  addEventFilter(1, 1, "view", eventFilterData(1, "view"));
  ASSERT_TRUE(logEvent("buy", {}).ok());

  auto first = audience->resultsForBundling();
  ASSERT_TRUE(first.ok());
  ASSERT_EQ(first->size(), 1u);
  const auto& leaf = *first->front();
  EXPECT_EQ(NANOGetInt32(&leaf, QZMPBAudienceLeafFilterResult::kAudienceId), 1);
  EXPECT_TRUE(NANOGetBool(&leaf, QZMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_FALSE(leafData(leaf, QZMPBAudienceLeafFilterResult::kPreviousData));
  const Data bundled = *leafData(leaf, QZMPBAudienceLeafFilterResult::kCurrentData)->protoBuffer();

  auto second = audience->resultsForBundling();
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(second->size(), 1u);
  EXPECT_TRUE(NANOHasField(second->front().get(), QZMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_FALSE(NANOGetBool(second->front().get(), QZMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_FALSE(leafData(*second->front(), QZMPBAudienceLeafFilterResult::kPreviousData));

  ASSERT_TRUE(logEvent("view", {}).ok());
  auto third = audience->resultsForBundling();
  ASSERT_TRUE(third.ok());
  auto previous = leafData(*third->front(), QZMPBAudienceLeafFilterResult::kPreviousData);
  ASSERT_TRUE(previous);
  EXPECT_EQ(*previous->protoBuffer(), bundled);
}

TEST_F(AudienceEvaluation, AnUnchangedSequenceIsCutToItsLatestTime) {
  addEventFilter(1, 0, "buy", eventFilterData(0, "buy", {}, nullptr, {false, true, false}));
  const auto start = static_cast<std::int64_t>(clock->now());
  QZMAudienceTimestampsCache cache;
  ASSERT_TRUE(logEvent("buy", {}, 1, 1, &cache).ok());
  clock->advance(5);
  ASSERT_TRUE(logEvent("buy", {}, 2, 2, &cache).ok());
  ASSERT_TRUE(audience->resultsForBundling().ok());
  auto again = audience->resultsForBundling();
  ASSERT_TRUE(again.ok());
  auto current = leafData(*again->front(), QZMPBAudienceLeafFilterResult::kCurrentData);
  EXPECT_EQ(sequenceTimes(current.get()), (std::map<std::int32_t, std::vector<std::int64_t>>{{0, {start + 5}}}));
}

TEST_F(AudienceEvaluation, AudiencesWithNothingEvaluatedAreNotBundled) {
  Ptr<QZMPBResultData> zero = QZMPBResultData::initWithBuffer({});
  NANOObjectArray words{foundation::Object(std::int64_t{0})};
  NANOSetArray(zero.get(), QZMPBResultData::kStatus, &words);
  NANOSetArray(zero.get(), QZMPBResultData::kResults, &words);
  ASSERT_TRUE(database->updateFilterResults({{7, *zero->protoBuffer(), {}}}).ok());
  auto bundled = audience->resultsForBundling();
  ASSERT_TRUE(bundled.ok());
  EXPECT_TRUE(bundled->empty());
  EXPECT_EQ(linesWithCode(6021).size(), 1u);
}

TEST_F(AudienceEvaluation, SessionStartForgetsSessionScopedResults) {
  // Audience 1: a session-scoped dynamic filter and a plain one; audience 2:
  // a session-scoped filter alone.
  addEventFilter(1, 0, "buy", eventFilterData(0, "buy", {}, nullptr, {true, false, true}), true);
  addEventFilter(1, 1, "buy", eventFilterData(1, "buy"));
  addEventFilter(2, 0, "buy", eventFilterData(0, "buy", {}, nullptr, {false, false, true}), true);
  ASSERT_TRUE(logEvent("buy", {}).ok());
  ASSERT_EQ(state(1, 0) + state(1, 1) + state(2, 0), "TTT");
  ASSERT_EQ(dynamicTimes(1).count(0), 1u);
  const Data before = (*database->filterResultForAudienceID(1))->currentResults;

  ASSERT_TRUE(audience->clearEvaluationResultsForSessionScopedFilters().ok());
  EXPECT_EQ(state(1, 0) + state(1, 1), "-T");
  EXPECT_TRUE(dynamicTimes(1).empty());
  EXPECT_EQ((*database->filterResultForAudienceID(1))->previousResults, before);
  EXPECT_FALSE(database->filterResultForAudienceID(2)->has_value());
}

TEST_F(AudienceEvaluation, DatabaseFailuresFailThePass) {
  addEventFilter(1, 0, "buy", eventFilterData(0, "buy"));
  execute("DROP TABLE audience_filter_values");
  struct Case {
    foundation::Status status;
    std::int64_t code;
  } cases[] = {
      {logEvent("buy", {}), 6001},
      {audience->resultsForBundling().ok() ? foundation::Status() : qzm_errorWithCode(1, "failed"), 6019},
      {audience->clearEvaluationResultsForSessionScopedFilters(), 6041},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.status.ok()) << c.code;
    EXPECT_EQ(linesWithCode(c.code).size(), 1u) << c.code;
  }
}

}  // namespace
