// The audiences of the measurement configuration: their event and property
// filters ("event_filters", "property_filters"), keyed by audience and filter
// ID, and each audience's evaluation state ("audience_filter_values").
#include <set>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMDatabase.h"

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

using Record = QZMDatabase::Record;

// The words that set the two filter tables apart in columns and messages.
struct FilterTable {
  const char* table;
  const char* nameColumn;
  const char* kind;      // "event" or "property"
  const char* nameWord;  // "event name" or "property name"
};
constexpr FilterTable kEventFilters{kQZMEventFiltersTable, "event_name", "event", "event name"};
constexpr FilterTable kPropertyFilters{kQZMPropertyFiltersTable, "property_name", "property", "property name"};

std::int32_t int32At(const Record& row, std::string_view column) {
  auto found = row.find(column);
  return found == row.end() ? 0 : static_cast<std::int32_t>(found->second.int64Value());
}

Data dataAt(const Record& row, std::string_view column) {
  auto found = row.find(column);
  return found != row.end() && found->second.data() ? *found->second.data() : Data();
}

Result<QZMStoredAudienceFilter> filterFromRow(const FilterTable& kind, const Record& row) {
  if (row.empty())
    return qzm_errorWithCode(3, absl::StrCat("Received empty dictionary for getting ", kind.kind, " filter"));
  auto name = row.find(kind.nameColumn);
  QZMStoredAudienceFilter filter;
  filter.audienceID = int32At(row, "audience_id");
  filter.filterID = int32At(row, "filter_id");
  if (name != row.end() && name->second.string()) filter.name = *name->second.string();
  filter.data = dataAt(row, "data");
  auto sessionScoped = row.find("session_scoped");
  filter.sessionScoped = sessionScoped != row.end() && sessionScoped->second.int64Value() != 0;
  return filter;
}

Status updateFilters(QZMSqliteStore& store, const FilterTable& kind,
                     const std::vector<QZMStoredAudienceFilter>& filters) {
  if (filters.empty()) return qzm_errorWithCode(1, absl::StrCat("Received empty ", kind.kind, " filters to update"));
  for (const auto& filter : filters) {
    if (filter.name.empty())
      return qzm_errorWithCode(3, absl::StrCat("Received ", kind.kind, " filter with empty ", kind.nameWord,
                                               " for getting dictionary representation"));
    if (filter.data.empty())
      return qzm_errorWithCode(
          3, absl::StrCat("Received ", kind.kind, " filter with empty data for getting dictionary representation"));
    Record record = {{"audience_id", filter.audienceID},
                     {"filter_id", filter.filterID},
                     {kind.nameColumn, filter.name},
                     {"data", filter.data},
                     {"session_scoped", filter.sessionScoped}};
    if (Status written = store.upsertRecord(record, kind.table); !written) return written;
  }
  return {};
}

Status deleteFilters(QZMSqliteStore& store, const FilterTable& kind,
                     const std::vector<QZMStoredAudienceFilter>& filters) {
  if (filters.empty()) return qzm_errorWithCode(1, absl::StrCat("Received empty ", kind.kind, " filters to delete"));
  std::vector<std::string> keys;
  for (const auto& filter : filters) {
    keys.push_back(absl::StrCat("(audience_id=", filter.audienceID, " AND filter_id=", filter.filterID, ")"));
  }
  auto deleted = store.deleteRecordsFromTableWithName(kind.table, absl::StrJoin(keys, " OR "), {});
  if (!deleted) return deleted.error();
  return {};
}

Result<QZMStoredFilterResult> filterResultFromRow(const Record& row) {
  if (row.empty()) return qzm_errorWithCode(3, "Received empty dictionary for getting filter result");
  return QZMStoredFilterResult{int32At(row, "audience_id"), dataAt(row, "current_results"),
                               dataAt(row, "previous_results")};
}

}  // namespace

Status QZMDatabase::updateEventFilters(const std::vector<QZMStoredAudienceFilter>& filters) {
  auto held = store();
  if (!held) return held.error();
  return updateFilters(**held, kEventFilters, filters);
}

Status QZMDatabase::updatePropertyFilters(const std::vector<QZMStoredAudienceFilter>& filters) {
  auto held = store();
  if (!held) return held.error();
  return updateFilters(**held, kPropertyFilters, filters);
}

Status QZMDatabase::deleteEventFilters(const std::vector<QZMStoredAudienceFilter>& filters) {
  auto held = store();
  if (!held) return held.error();
  return deleteFilters(**held, kEventFilters, filters);
}

Status QZMDatabase::deletePropertyFilters(const std::vector<QZMStoredAudienceFilter>& filters) {
  auto held = store();
  if (!held) return held.error();
  return deleteFilters(**held, kPropertyFilters, filters);
}

Status QZMDatabase::deleteAllEventFilters() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteAllRecordsFromTableWithName(kQZMEventFiltersTable);
}

Status QZMDatabase::deleteAllPropertyFilters() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteAllRecordsFromTableWithName(kQZMPropertyFiltersTable);
}

Result<std::vector<QZMStoredAudienceFilter>> QZMDatabase::eventFiltersForEventName(std::string_view eventName) {
  if (eventName.empty()) return qzm_errorWithCode(1, "Received empty event name for getting event filters");
  return dataTypesFromTableWithName<QZMStoredAudienceFilter>(
      kQZMEventFiltersTable, "event_name", Object(eventName),
      [](const Record& row) { return filterFromRow(kEventFilters, row); });
}

Result<std::vector<QZMStoredAudienceFilter>> QZMDatabase::propertyFiltersForPropertyName(
    std::string_view propertyName) {
  if (propertyName.empty()) return qzm_errorWithCode(1, "Received empty property name for getting property filters");
  return dataTypesFromTableWithName<QZMStoredAudienceFilter>(
      kQZMPropertyFiltersTable, "property_name", Object(propertyName),
      [](const Record& row) { return filterFromRow(kPropertyFilters, row); });
}

Result<std::vector<std::int32_t>> QZMDatabase::allAudienceIDs() {
  auto held = store();
  if (!held) return held.error();
  auto rows =
      (*held)->recordsForQuery("SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {});
  if (!rows) return rows.error();
  std::vector<std::int32_t> ids;
  for (const auto& row : *rows) {
    auto id = row.find("audience_id");
    if (id == row.end() || !id->second.isInteger())
      return qzm_errorWithCode(1, "Received nil audience ID for querying all audience IDs");
    ids.push_back(static_cast<std::int32_t>(id->second.int64Value()));
  }
  return ids;
}

Result<std::map<std::int32_t, std::vector<std::int32_t>>> QZMDatabase::allSessionScopedFilters() {
  auto held = store();
  if (!held) return held.error();
  auto rows = (*held)->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT audience_id, filter_id "
      "FROM property_filters WHERE session_scoped = 1",
      {});
  if (!rows) return rows.error();
  std::map<std::int32_t, std::vector<std::int32_t>> filters;
  for (const auto& row : *rows) filters[int32At(row, "audience_id")].push_back(int32At(row, "filter_id"));
  return filters;
}

Status QZMDatabase::updateFilterResults(const std::vector<QZMStoredFilterResult>& results) {
  if (results.empty()) return qzm_errorWithCode(1, "Received empty filter results to update");
  auto held = store();
  if (!held) return held.error();
  for (const auto& result : results) {
    if (result.currentResults.empty())
      return qzm_errorWithCode(3, "Received filter result with empty data for getting dictionary representation");
    Record record = {{"audience_id", result.audienceID},
                     {"current_results", result.currentResults},
                     {"previous_results", result.previousResults.empty() ? Object() : Object(result.previousResults)}};
    if (Status written = (*held)->upsertRecord(record, kQZMAudienceFilterValuesTable); !written) return written;
  }
  return {};
}

Result<std::optional<QZMStoredFilterResult>> QZMDatabase::filterResultForAudienceID(std::int32_t audienceID) {
  auto results = dataTypesFromTableWithName<QZMStoredFilterResult>(kQZMAudienceFilterValuesTable, "audience_id",
                                                                   audienceID, filterResultFromRow);
  if (!results) return results.error();
  if (results->empty()) return std::optional<QZMStoredFilterResult>();
  return std::optional<QZMStoredFilterResult>(results->front());
}

Result<std::map<std::int32_t, QZMStoredFilterResult>> QZMDatabase::allFilterResults() {
  auto results =
      allDataTypesFromTableWithName<QZMStoredFilterResult>(kQZMAudienceFilterValuesTable, -1, filterResultFromRow);
  if (!results) return results.error();
  std::map<std::int32_t, QZMStoredFilterResult> byAudience;
  for (auto& result : *results) byAudience[result.audienceID] = std::move(result);
  return byAudience;
}

Status QZMDatabase::deleteFilterResults(const std::vector<QZMStoredFilterResult>& results) {
  if (results.empty()) return qzm_errorWithCode(1, "Received empty filter results to delete");
  std::set<std::int32_t> audienceIDs;
  for (const auto& result : results) audienceIDs.insert(result.audienceID);
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(
      kQZMAudienceFilterValuesTable, absl::StrCat("audience_id IN (", absl::StrJoin(audienceIDs, ","), ")"), {});
  if (!deleted) return deleted.error();
  return {};
}
