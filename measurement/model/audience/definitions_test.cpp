#include <gtest/gtest.h>

#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/model/audience/QZMAudienceFilters.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using Opt = std::optional<std::string>;
template <class M>
using Ptr = std::shared_ptr<M>;

template <class M>
NANOObjectArray objects(const std::vector<Ptr<M>>& messages) {
  NANOObjectArray items;
  for (const auto& message : messages) items.emplace_back(std::shared_ptr<NANOMessageBase>(message));
  return items;
}

Ptr<QZMPBNumberFilter> number(std::int32_t type, Opt value, bool isFloat = false) {
  Ptr<QZMPBNumberFilter> filter = QZMPBNumberFilter::initWithBuffer({});
  NANOSetInt32(filter.get(), QZMPBNumberFilter::kComparisonType, type);
  if (value) NANOSetString(filter.get(), QZMPBNumberFilter::kComparisonValue, *value);
  if (isFloat) NANOSetBool(filter.get(), QZMPBNumberFilter::kIsFloat, true);
  return filter;
}

Ptr<QZMPBStringFilter> string(std::int32_t type, Opt expression) {
  Ptr<QZMPBStringFilter> filter = QZMPBStringFilter::initWithBuffer({});
  NANOSetInt32(filter.get(), QZMPBStringFilter::kMatchType, type);
  if (expression) NANOSetString(filter.get(), QZMPBStringFilter::kExpression, *expression);
  return filter;
}

Ptr<QZMPBFilter> filter(Opt parameterName, Ptr<QZMPBNumberFilter> numberFilter, Ptr<QZMPBStringFilter> stringFilter) {
  Ptr<QZMPBFilter> made = QZMPBFilter::initWithBuffer({});
  if (parameterName) NANOSetString(made.get(), QZMPBFilter::kParamName, *parameterName);
  if (numberFilter) NANOSetMessage(made.get(), QZMPBFilter::kNumberFilter, numberFilter.get());
  if (stringFilter) NANOSetMessage(made.get(), QZMPBFilter::kStringFilter, stringFilter.get());
  return made;
}

Ptr<QZMPBEventFilter> eventFilter(std::optional<std::int32_t> id, Opt name, std::vector<Ptr<QZMPBFilter>> parameters = {},
                                  Ptr<QZMPBNumberFilter> count = nullptr) {
  Ptr<QZMPBEventFilter> made = QZMPBEventFilter::initWithBuffer({});
  if (id) NANOSetInt32(made.get(), QZMPBEventFilter::kFilterId, *id);
  if (name) NANOSetString(made.get(), QZMPBEventFilter::kEventName, *name);
  auto items = objects(parameters);
  NANOSetArray(made.get(), QZMPBEventFilter::kFilters, &items);
  if (count) NANOSetMessage(made.get(), QZMPBEventFilter::kEventCountFilter, count.get());
  return made;
}

Ptr<QZMPBPropertyFilter> propertyFilter(std::optional<std::int32_t> id, Opt name, Ptr<QZMPBFilter> inner) {
  Ptr<QZMPBPropertyFilter> made = QZMPBPropertyFilter::initWithBuffer({});
  if (id) NANOSetInt32(made.get(), QZMPBPropertyFilter::kFilterId, *id);
  if (name) NANOSetString(made.get(), QZMPBPropertyFilter::kPropertyName, *name);
  if (inner) NANOSetMessage(made.get(), QZMPBPropertyFilter::kFilter, inner.get());
  return made;
}

Ptr<QZMPBAudience> audience(std::optional<std::int32_t> id, std::vector<Ptr<QZMPBEventFilter>> events,
                            std::vector<Ptr<QZMPBPropertyFilter>> properties = {}) {
  Ptr<QZMPBAudience> made = QZMPBAudience::initWithBuffer({});
  if (id) NANOSetInt32(made.get(), QZMPBAudience::kAudienceId, *id);
  auto eventItems = objects(events);
  auto propertyItems = objects(properties);
  NANOSetArray(made.get(), QZMPBAudience::kEventFilters, &eventItems);
  NANOSetArray(made.get(), QZMPBAudience::kPropertyFilters, &propertyItems);
  return made;
}

Ptr<QZMPBFilter> goodParameter(const std::string& name = "value") { return filter(name, number(2, "1"), nullptr); }

class AudienceDefinitions : public testkit::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    remoteConfig = std::make_shared<QZMRemoteConfig>();
    audiences = QZMAudience::initWithDatabase(database);
    audiences->setRemoteConfig(remoteConfig);
  }
  void setSettings(std::vector<QZMMeasurementSettings::Text> texts) {
    remoteConfig->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
  }
  std::vector<QZMEventFilter> storedEventFilters(const std::string& name) {
    std::vector<QZMEventFilter> filters;
    auto read = database->eventFiltersForEventName(name);
    for (const auto& stored : read.value())
      filters.push_back(QZMEventFilter::fromStored(stored));
    return filters;
  }

  std::shared_ptr<QZMRemoteConfig> remoteConfig;
  std::shared_ptr<QZMAudience> audiences;
};

TEST_F(AudienceDefinitions, ValidationRefusesTheFirstFaultWithTheLevelAtFault) {
  std::vector<Ptr<QZMPBEventFilter>> tooMany;
  for (int i = 0; i < 11; ++i) tooMany.push_back(eventFilter(i, "e"));
  std::vector<Ptr<QZMPBFilter>> tooManyParameters(26, goodParameter());
  struct Case {
    Ptr<QZMPBAudience> audience;
    std::int64_t code;  // 0: valid
    std::string description;
  } cases[] = {
      {audience(std::nullopt, {eventFilter(0, "e")}), 9, "Missing audience ID"},
      {audience(-1, {eventFilter(0, "e")}), 9, "Audience ID is negative"},
      {audience(5, {eventFilter(0, "e")}), 9, "Duplicate audience ID"},
      {audience(1, {}), 9, "Audience filter count out of range"},
      {audience(1, tooMany), 9, "Audience filter count out of range"},
      {audience(1, {eventFilter(std::nullopt, "")}), 10, "Event filter missing event name"},
      {audience(1, {eventFilter(std::nullopt, "e")}), 10, "Missing event filter ID"},
      {audience(1, {eventFilter(10, "e")}), 10, "Event filter ID is out of range"},
      {audience(1, {eventFilter(-1, "e")}), 10, "Event filter ID is out of range"},
      {audience(1, {eventFilter(9, "e")}), 0, ""},
      {audience(1, {eventFilter(2, "e"), eventFilter(2, "f")}), 10, "Duplicate event filter ID"},
      {audience(1, {eventFilter(0, "e", {}, number(2, "1", true))}), 10, "Event filter has float event count filter"},
      {audience(1, {eventFilter(0, "e", {}, number(0, "1"))}), 10, "Event filter has invalid event count filter"},
      {audience(1, {eventFilter(0, "e", tooManyParameters)}), 10,
       "Event filter parameters filters count out of range"},
      {audience(1, {eventFilter(0, "e", {filter(std::nullopt, number(2, "1"), nullptr)})}), 10,
       "Event filter missing parameter name"},
      {audience(1, {eventFilter(0, "e", {filter("p", number(2, "1"), string(2, "a"))})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audience(1, {eventFilter(0, "e", {filter("p", nullptr, nullptr)})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audience(1, {eventFilter(0, "e", {filter("p", number(4, "1"), nullptr)})}), 10,
       "Event filter has invalid number filter"},
      {audience(1, {eventFilter(0, "e", {filter("p", nullptr, string(1, "("))})}), 10,
       "Event filter has invalid string filter"},
      {audience(1, {eventFilter(0, "e", {goodParameter()}, number(2, "3"))}), 0, ""},
      {audience(1, {}, {propertyFilter(0, "", goodParameter())}), 11, "Property filter missing property name"},
      {audience(1, {}, {propertyFilter(std::nullopt, "p", goodParameter())}), 11, "Missing property filter ID"},
      {audience(1, {}, {propertyFilter(10, "p", goodParameter())}), 11, "Property filter ID is out of range"},
      {audience(1, {eventFilter(3, "e")}, {propertyFilter(3, "p", goodParameter())}), 11,
       "Duplicate property filter ID"},
      {audience(1, {}, {propertyFilter(0, "p", nullptr)}), 11, "Property filter has no filter"},
      {audience(1, {}, {propertyFilter(0, "p", filter(std::nullopt, nullptr, nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {audience(1, {}, {propertyFilter(0, "p", filter(std::nullopt, number(3, "x"), nullptr))}), 11,
       "Property filter has invalid number filter"},
      {audience(1, {}, {propertyFilter(0, "p", filter(std::nullopt, nullptr, string(6, "a")))}), 11,
       "Property filter has invalid string filter"},
      // Every event filter is checked before any property filter.
      {audience(1, {eventFilter(0, "e"), eventFilter(1, "")}, {propertyFilter(2, "", nullptr)}), 10,
       "Event filter missing event name"},
  };
  for (const auto& c : cases) {
    auto valid = QZMValidateAudienceDefinition(*c.audience, {5}, *remoteConfig);
    if (c.code == 0) {
      EXPECT_TRUE(valid.ok()) << valid.error().text();
      continue;
    }
    ASSERT_FALSE(valid.ok()) << c.description;
    EXPECT_EQ(valid.error().code, c.code) << c.description;
    EXPECT_EQ(valid.error().description, c.description);
  }

  // The limits come from the configuration in force.
  setSettings({{"measurement.audience.filter_max_count_per_audience", "20"}});
  EXPECT_TRUE(QZMValidateAudienceDefinition(*audience(1, {eventFilter(15, "e")}), {}, *remoteConfig).ok());
}

TEST_F(AudienceDefinitions, ValidAudiencesReplaceTheStoredFiltersUnderInternalNames) {
  ASSERT_TRUE(database->updateEventFilters({{40, 0, "old", {0x08, 0x00}, false}}).ok());
  auto stored = audiences->updateAudiences({
      audience(1, {eventFilter(0, "first_open", {goodParameter("engagement_time_msec"), goodParameter("level")})},
               {propertyFilter(1, "first_open_time", goodParameter())}),
      audience(2, {eventFilter(0, "")}),  // invalid: left out
      audience(2, {eventFilter(3, "buy")}),  // the first 2 was invalid, so this one is taken
      audience(1, {eventFilter(0, "sell")}),  // duplicate of an accepted audience
  });
  ASSERT_TRUE(stored.ok()) << stored.error().text();
  EXPECT_EQ(linesWithCode(6009).size(), 2u);

  EXPECT_TRUE(storedEventFilters("old").empty());
  EXPECT_TRUE(storedEventFilters("first_open").empty());
  auto firstOpen = storedEventFilters("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_EQ(firstOpen[0].audienceID(), 1);
  auto message = QZMPBEventFilter::initWithBuffer(firstOpen[0].data());
  EXPECT_EQ(NANOGetString(message.get(), QZMPBEventFilter::kEventName), "_f");
  auto parameters = NANOGetArray<QZMPBFilter>(message.get(), QZMPBEventFilter::kFilters).value();
  ASSERT_EQ(parameters.size(), 2u);
  EXPECT_EQ(NANOGetString(parameters[0].get(), QZMPBFilter::kParamName), "_et");
  EXPECT_EQ(NANOGetString(parameters[1].get(), QZMPBFilter::kParamName), "level");

  auto properties = database->propertyFiltersForPropertyName("_fot").value();
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0].filterID, 1);
  EXPECT_EQ(storedEventFilters("buy").size(), 1u);
  EXPECT_TRUE(storedEventFilters("sell").empty());
  auto ids = database->allAudienceIDs().value();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2}));
}

TEST_F(AudienceDefinitions, FlagsOfTheMessageTravelWithTheStoredFilter) {
  auto dynamicFilter = eventFilter(0, "e");
  NANOSetBool(dynamicFilter.get(), QZMPBEventFilter::kDynamic, true);
  NANOSetBool(dynamicFilter.get(), QZMPBEventFilter::kSessionScoped, true);
  auto sequenceProperty = propertyFilter(1, "p", goodParameter());
  NANOSetBool(sequenceProperty.get(), QZMPBPropertyFilter::kSequence, true);
  ASSERT_TRUE(audiences->updateAudiences({audience(1, {dynamicFilter}, {sequenceProperty})}).ok());
  auto event = storedEventFilters("e").at(0);
  EXPECT_TRUE(event.isDynamic() && event.isSessionScoped() && !event.isSequence());
  EXPECT_EQ(database->allSessionScopedFilters().value(),
            (std::map<std::int32_t, std::vector<std::int32_t>>{{1, {0}}}));
  auto property = QZMPropertyFilter::fromStored(database->propertyFiltersForPropertyName("p").value().at(0));
  EXPECT_TRUE(property.isSequence() && !property.isDynamic());
}

TEST_F(AudienceDefinitions, TooManyAudiencesChangeNothingAndSucceed) {
  setSettings({{"measurement.audience.max_count", "1"}});
  ASSERT_TRUE(database->updateEventFilters({{40, 0, "old", {0x08, 0x00}, false}}).ok());
  ASSERT_TRUE(audiences->updateAudiences({audience(1, {eventFilter(0, "e")}), audience(2, {eventFilter(0, "e")})})
                  .ok());
  EXPECT_EQ(linesWithCode(6008).size(), 1u);
  EXPECT_EQ(storedEventFilters("old").size(), 1u);
  EXPECT_TRUE(storedEventFilters("e").empty());
}

TEST_F(AudienceDefinitions, ResultsOfAudiencesNoLongerDefinedGoOnlyBeyondTheLimit) {
  // Audience 7 is defined by the stored configuration, 1 by the new one, 8 by neither.
  ASSERT_TRUE(database->updateEventFilters({{7, 0, "old", {0x08, 0x00}, false}}).ok());
  ASSERT_TRUE(database->updateFilterResults({{1, {1}, {}}, {7, {1}, {}}, {8, {1}, {}}}).ok());
  ASSERT_TRUE(audiences->updateAudiences({audience(1, {eventFilter(0, "e")})}).ok());
  EXPECT_EQ(database->allFilterResults().value().size(), 3u);  // within the default limit

  setSettings({{"measurement.audience.filter_result_max_count", "1"}});
  ASSERT_TRUE(database->updateEventFilters({{7, 0, "old", {0x08, 0x00}, false}}).ok());
  ASSERT_TRUE(audiences->updateAudiences({audience(1, {eventFilter(0, "e")})}).ok());
  EXPECT_EQ(linesWithCode(6016).size(), 1u);
  auto left = database->allFilterResults().value();
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(left.count(8), 0u);

  // Over the limit with nothing stale: nothing to delete is no failure.
  ASSERT_TRUE(audiences->updateAudiences({audience(1, {eventFilter(0, "e")}), audience(7, {eventFilter(0, "e")})})
                  .ok());
  EXPECT_EQ(database->allFilterResults().value().size(), 2u);
}

TEST_F(AudienceDefinitions, DatabaseFailureFailsAndTheTransactionKeepsThePreviousFilters) {
  ASSERT_TRUE(database->updateEventFilters({{40, 0, "old", {0x08, 0x00}, false}}).ok());
  execute("DROP TABLE property_filters");
  foundation::Status inside;
  auto transaction = database->performTransaction([&] {
    inside = audiences->updateAudiences({audience(1, {eventFilter(0, "e")})});
    return inside.ok();
  });
  EXPECT_FALSE(inside.ok());
  EXPECT_FALSE(transaction.ok());
  EXPECT_EQ(linesWithCode(6011).size(), 1u);
  EXPECT_EQ(storedEventFilters("old").size(), 1u);

  execute("DROP TABLE audience_filter_values");
  EXPECT_FALSE(audiences->updateAudiences({audience(1, {eventFilter(0, "e")})}).ok());
  EXPECT_EQ(linesWithCode(6015).size(), 1u);
}

}  // namespace
