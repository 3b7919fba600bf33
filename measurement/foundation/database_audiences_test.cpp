#include <gtest/gtest.h>

#include "measurement/foundation/testkit/DatabaseTestKit.h"

namespace {

using foundation::Data;
using foundation::Object;

QZMStoredAudienceFilter filter(std::int32_t audience, std::int32_t id, const std::string& name,
                               bool sessionScoped = false) {
  return {audience, id, name, Data{0x08, static_cast<std::uint8_t>(id)}, sessionScoped};
}

class AudienceTables : public testkit::DatabaseTest {};

TEST_F(AudienceTables, FiltersAreWrittenReadByNameAndDeletedByKey) {
  ASSERT_TRUE(database->updateEventFilters({filter(1, 0, "buy", true), filter(1, 1, "view"), filter(2, 0, "buy")})
                  .ok());
  ASSERT_TRUE(database->updatePropertyFilters({filter(3, 0, "tier", true), filter(2, 1, "tier")}).ok());

  EXPECT_EQ(database->eventFiltersForEventName("buy").value(),
            (std::vector<QZMStoredAudienceFilter>{filter(1, 0, "buy", true), filter(2, 0, "buy")}));
  EXPECT_EQ(database->propertyFiltersForPropertyName("tier").value().size(), 2u);
  EXPECT_TRUE(database->eventFiltersForEventName("none").value().empty());

  auto ids = database->allAudienceIDs().value();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(database->allSessionScopedFilters().value(),
            (std::map<std::int32_t, std::vector<std::int32_t>>{{1, {0}}, {3, {0}}}));

  // Rewriting a key replaces its row.
  ASSERT_TRUE(database->updateEventFilters({filter(1, 0, "buy", false)}).ok());
  EXPECT_EQ(database->allSessionScopedFilters().value().count(1), 0u);

  ASSERT_TRUE(database->deleteEventFilters({filter(1, 0, "x"), filter(2, 0, "x")}).ok());
  EXPECT_TRUE(database->eventFiltersForEventName("buy").value().empty());
  EXPECT_EQ(database->eventFiltersForEventName("view").value().size(), 1u);
  ASSERT_TRUE(database->deletePropertyFilters({filter(3, 0, "x")}).ok());
  ASSERT_TRUE(database->deleteAllEventFilters().ok());
  EXPECT_EQ(database->allAudienceIDs().value(), (std::vector<std::int32_t>{2}));
  ASSERT_TRUE(database->deleteAllPropertyFilters().ok());
  EXPECT_TRUE(database->allAudienceIDs().value().empty());
}

TEST_F(AudienceTables, FilterWritesRefuseWhatCannotBeStored) {
  auto noData = filter(1, 0, "buy");
  noData.data.clear();
  struct Case {
    foundation::Status status;
    std::int64_t code;
    std::string description;
  } cases[] = {
      {database->updateEventFilters({}), 1, "Received empty event filters to update"},
      {database->updatePropertyFilters({}), 1, "Received empty property filters to update"},
      {database->updateEventFilters({filter(1, 0, "")}), 3,
       "Received event filter with empty event name for getting dictionary representation"},
      {database->updatePropertyFilters({noData}), 3,
       "Received property filter with empty data for getting dictionary representation"},
      {database->deleteEventFilters({}), 1, "Received empty event filters to delete"},
      {database->deletePropertyFilters({}), 1, "Received empty property filters to delete"},
      {database->updateFilterResults({}), 1, "Received empty filter results to update"},
      {database->updateFilterResults({{1, {}, {}}}), 3,
       "Received filter result with empty data for getting dictionary representation"},
      {database->deleteFilterResults({}), 1, "Received empty filter results to delete"},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.status.ok()) << c.description;
    EXPECT_EQ(c.status.error().code, c.code);
    EXPECT_EQ(c.status.error().description, c.description);
  }
  EXPECT_EQ(database->eventFiltersForEventName("").error().description,
            "Received empty event name for getting event filters");
}

TEST_F(AudienceTables, FilterResultsKeepEmptyPreviousResultsAsNull) {
  ASSERT_TRUE(database->updateFilterResults({{1, {1, 2}, {}}, {2, {3}, {4}}, {5, {6}, {}}}).ok());
  auto stored = rows("SELECT audience_id, previous_results FROM audience_filter_values ORDER BY audience_id");
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].at("previous_results"), Object());

  EXPECT_EQ(database->filterResultForAudienceID(1).value(), (QZMStoredFilterResult{1, {1, 2}, {}}));
  EXPECT_EQ(database->filterResultForAudienceID(9).value(), std::nullopt);
  auto all = database->allFilterResults().value();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.at(2), (QZMStoredFilterResult{2, {3}, {4}}));

  // Two results of one audience delete its row once.
  ASSERT_TRUE(database->deleteFilterResults({{1, {1}, {}}, {1, {9}, {}}, {5, {6}, {}}}).ok());
  EXPECT_EQ(database->allFilterResults().value().size(), 1u);

  execute("DROP TABLE audience_filter_values");
  EXPECT_FALSE(database->allFilterResults().ok());
}

}  // namespace
