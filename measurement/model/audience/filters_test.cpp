#include <gtest/gtest.h>

#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/model/audience/QZMAudienceFilters.h"
#include "measurement/model/audience/QZMAudienceTimestampsCache.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Data;

std::vector<std::int64_t> int64s(const NANOMessageBase* message, std::int32_t field) {
  std::vector<std::int64_t> values;
  for (const auto& item : NANOGetArray(message, field).value_or(NANOObjectArray{}))
    values.push_back(std::get<foundation::Object>(item).int64Value());
  return values;
}

// (filter ID, whole seconds) of each dynamic timestamp.
std::vector<std::pair<std::int32_t, std::int64_t>> dynamicTimes(
    const std::vector<std::shared_ptr<QZMPBDynamicFilterResultTimestamp>>& messages) {
  std::vector<std::pair<std::int32_t, std::int64_t>> times;
  for (const auto& m : messages)
    times.emplace_back(NANOGetInt32(m.get(), QZMPBDynamicFilterResultTimestamp::kFilterId),
                       NANOGetInt64(m.get(), QZMPBDynamicFilterResultTimestamp::kEvalTimestamp));
  return times;
}

std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>> sequenceTimes(
    const std::vector<std::shared_ptr<QZMPBSequenceFilterResultTimestamp>>& messages) {
  std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>> times;
  for (const auto& m : messages)
    times.emplace_back(NANOGetInt32(m.get(), QZMPBSequenceFilterResultTimestamp::kFilterId),
                       int64s(m.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps));
  return times;
}

QZMEventFilter eventFilter(std::int32_t audience, std::int32_t id, bool dynamic, bool sequence, bool session = false) {
  return {audience, id, "e", Data{1}, session, dynamic, sequence};
}

QZMPropertyFilter propertyFilter(std::int32_t audience, std::int32_t id, bool sequence) {
  return {audience, id, "p", Data{1}, false, false, sequence};
}

TEST(FilterResultWords, EachFilterOwnsOneBitInBothListsAndAbsurdIDsNone) {
  QZMFilterResultWords words;
  ASSERT_TRUE(words.setResult(0, true));
  ASSERT_TRUE(words.setResult(65, false));
  ASSERT_TRUE(words.setResult(130, true));
  EXPECT_EQ(words.status(), (std::vector<std::uint64_t>{1, 2, 4}));
  EXPECT_EQ(words.results(), (std::vector<std::uint64_t>{1, 0, 4}));
  EXPECT_TRUE(words.isTrue(130));
  EXPECT_TRUE(words.isEvaluated(65));
  EXPECT_FALSE(words.isTrue(65));
  EXPECT_FALSE(words.isEvaluated(64 * 100));  // beyond the lists: zero

  for (std::int32_t absurd : {-1, -64, QZMFilterResultWords::kMaxFilterID, 2147483647}) {
    EXPECT_FALSE(words.setResult(absurd, true)) << absurd;
    EXPECT_FALSE(words.isEvaluated(absurd)) << absurd;
  }
  EXPECT_EQ(words.status().size(), 3u);

  // Bit 63 survives the trip through the message's unsigned words.
  ASSERT_TRUE(words.setResult(63, true));
  auto message = QZMPBResultData::initWithBuffer({});
  ASSERT_TRUE(words.writeTo(message.get()));
  auto decoded = QZMPBResultData::initWithBuffer(*message->protoBuffer());
  auto back = QZMFilterResultWords::fromResultData(decoded.get());
  EXPECT_EQ(back.status(), words.status());
  EXPECT_EQ(back.results(), words.results());
  EXPECT_TRUE(back.isTrue(63));
  EXPECT_TRUE(QZMFilterResultWords::fromResultData(nullptr).isEmpty());
}

TEST(AudienceFilters, StoredFiltersTakeTheirFlagsFromTheMessage) {
  auto message = QZMPBEventFilter::initWithBuffer({});
  NANOSetInt32(message.get(), QZMPBEventFilter::kFilterId, 3);
  NANOSetBool(message.get(), QZMPBEventFilter::kSessionScoped, true);
  NANOSetBool(message.get(), QZMPBEventFilter::kSequence, true);
  QZMStoredAudienceFilter stored{7, 3, "buy", *message->protoBuffer(), false};
  QZMEventFilter filter = QZMEventFilter::fromStored(stored);
  EXPECT_TRUE(filter.isSessionScoped());
  EXPECT_FALSE(filter.isDynamic());
  EXPECT_TRUE(filter.isSequence());
  EXPECT_EQ(filter.stored().sessionScoped, true);

  auto property = QZMPBPropertyFilter::initWithBuffer({});
  NANOSetBool(property.get(), QZMPBPropertyFilter::kDynamic, true);
  QZMPropertyFilter propertyFilter = QZMPropertyFilter::fromStored({7, 4, "tier", *property->protoBuffer(), true});
  EXPECT_TRUE(propertyFilter.isDynamic());
  EXPECT_FALSE(propertyFilter.isSessionScoped());

  QZMEventFilter undecodable = QZMEventFilter::fromStored({7, 5, "buy", Data{0xff, 0xff}, true});
  EXPECT_FALSE(undecodable.isSessionScoped() || undecodable.isDynamic() || undecodable.isSequence());
}

class TimestampsCache : public testkit::FoundationTest {};

TEST_F(TimestampsCache, SequenceTimesKeepOnePerSecondAndPropertiesReplace) {
  QZMSequenceTimestampsCache cache(1);
  cache.addEventFilterTimestamp(100.2, 2);
  cache.addEventFilterTimestamp(100.9, 2);  // same second: the first stays
  cache.addEventFilterTimestamp(105.0, 2);
  cache.addEventFilterTimestamp(103.5, 2);  // goes back: logged, still added
  EXPECT_EQ(linesWithCode(42000).size(), 1u);
  cache.setUserPropertyTimestamp(50, 0);
  cache.setUserPropertyTimestamp(40, 0);
  EXPECT_EQ(linesWithCode(42001).size(), 1u);

  EXPECT_EQ(cache.sequenceTimestampsForFilterID(2), (std::vector<double>{100.2, 105.0, 103.5}));
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(9), std::nullopt);
  EXPECT_EQ(sequenceTimes(cache.sequenceFilterResultTimestamps()),
            (std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>>{{0, {40}}, {2, {100, 103, 105}}}));
}

TEST_F(TimestampsCache, EvaluationTimesGoToTheFiltersKindOfCache) {
  // Stored results: filter 1 true at 200 (dynamic), filter 4 a sequence at 10, 20.
  auto stored = QZMPBResultData::initWithBuffer({});
  auto dynamic = QZMPBDynamicFilterResultTimestamp::initWithBuffer({});
  NANOSetInt32(dynamic.get(), QZMPBDynamicFilterResultTimestamp::kFilterId, 1);
  NANOSetInt64(dynamic.get(), QZMPBDynamicFilterResultTimestamp::kEvalTimestamp, 200);
  auto sequence = QZMPBSequenceFilterResultTimestamp::initWithBuffer({});
  NANOSetInt32(sequence.get(), QZMPBSequenceFilterResultTimestamp::kFilterId, 4);
  NANOObjectArray times = {foundation::Object(10), foundation::Object(20)};
  NANOSetArray(sequence.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps, &times);
  NANOObjectArray dynamics = {std::shared_ptr<NANOMessageBase>(std::move(dynamic))};
  NANOObjectArray sequences = {std::shared_ptr<NANOMessageBase>(std::move(sequence))};
  NANOSetArray(stored.get(), QZMPBResultData::kDynamicFilterTimestamps, &dynamics);
  NANOSetArray(stored.get(), QZMPBResultData::kSequenceFilterTimestamps, &sequences);
  QZMFilterResult result(9, *stored->protoBuffer(), {});

  QZMAudienceTimestampsCache cache;
  cache.populateCachedTimestamps(&result, 9);
  cache.populateCachedTimestamps(nullptr, 9);  // once per audience: kept
  cache.populateCachedTimestamps(nullptr, 8);

  cache.addEvaluationTimestamp(150.5, eventFilter(9, 1, true, false));  // earlier than cached: dropped
  EXPECT_EQ(linesWithCode(6037).size(), 1u);
  cache.addEvaluationTimestamp(300.7, eventFilter(9, 2, false, false, true));
  cache.addEvaluationTimestamp(300.7, eventFilter(9, 2, false, false, true));  // same time again
  EXPECT_EQ(linesWithCode(6037).size(), 2u);
  cache.addEvaluationTimestamp(400, eventFilter(9, 3, false, false));  // neither kind: nothing
  cache.addEvaluationTimestamp(30, eventFilter(9, 4, false, true));
  cache.addEvaluationTimestamp(31, propertyFilter(9, 5, true));
  cache.addEvaluationTimestamp(35, propertyFilter(9, 5, true));

  EXPECT_EQ(dynamicTimes(cache.dynamicTimestampsForAudienceID(9)),
            (std::vector<std::pair<std::int32_t, std::int64_t>>{{1, 200}, {2, 300}}));
  EXPECT_EQ(sequenceTimes(*cache.sequenceTimestampsForAudienceID(9)),
            (std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>>{{4, {20, 30}}, {5, {35}}}));
  EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(8).empty());
  EXPECT_TRUE(cache.sequenceTimestampsForAudienceID(8)->empty());
  EXPECT_EQ(cache.sequenceTimestampsForAudienceID(7), std::nullopt);
}

}  // namespace
