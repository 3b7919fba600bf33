#include "measurement/foundation/QZMDatabaseSchema.h"

#include "absl/strings/str_format.h"

namespace {

// The two filter tables are keyed by audience and filter together.
std::pair<std::string, std::string> audienceFilterKey() {
  return {QZMSqliteStore::kPrimaryKeyColumnName, absl::StrFormat("(%s, %s)", "audience_id", "filter_id")};
}

std::vector<QZMTableDescription> makeSchema() {
  return {
      {kQZMAppMetadataTable,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"last_delivery_index", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}},
       {}},
      {kQZMRawEventsMetadataTable,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kQZMRawEventsTable,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kQZMEventsTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kQZMUserAttributesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kQZMQueueTable,
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {kQZMEventFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        audienceFilterKey()},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kQZMPropertyFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        audienceFilterKey()},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kQZMAudienceFilterValuesTable,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
       {},
       {}},
      {kQZMPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kQZMSubscriptionsTable, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kQZMConditionalPropertiesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kQZMMainEventParamsTable,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
      {kQZMODMValuesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "TEXT NOT NULL"}},
       {},
       {}},
  };
}

}  // namespace

const std::vector<QZMTableDescription>& QZMMeasurementDatabaseSchema() {
  static const auto* schema = new std::vector<QZMTableDescription>(makeSchema());
  return *schema;
}
