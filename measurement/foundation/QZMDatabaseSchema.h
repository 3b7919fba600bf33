// The measurement database's tables: their names, the column lists that
// create and migrate them, and how many rows each may hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/foundation/QZMSqliteStore.h"

inline constexpr const char* kQZMDatabaseName = "dralix-kestro-meter.sql";

inline constexpr const char* kQZMAppMetadataTable = "app_metadata";
inline constexpr const char* kQZMRawEventsMetadataTable = "raw_events_metadata";
inline constexpr const char* kQZMRawEventsTable = "raw_events";
inline constexpr const char* kQZMEventsTable = "events";
inline constexpr const char* kQZMUserAttributesTable = "user_attributes";
inline constexpr const char* kQZMQueueTable = "queue";
inline constexpr const char* kQZMEventFiltersTable = "event_filters";
inline constexpr const char* kQZMPropertyFiltersTable = "property_filters";
inline constexpr const char* kQZMAudienceFilterValuesTable = "audience_filter_values";
inline constexpr const char* kQZMPurchaseTransactionsTable = "purchase_transactions";
inline constexpr const char* kQZMSubscriptionsTable = "subscriptions";
inline constexpr const char* kQZMConditionalPropertiesTable = "conditional_properties";
inline constexpr const char* kQZMMainEventParamsTable = "main_event_params";
inline constexpr const char* kQZMODMValuesTable = "odm_values";
// Made on demand as an empty copy of "events", never part of the schema.
inline constexpr const char* kQZMEventsSnapshotTable = "events_snapshot";

// Row caps; "raw_events" follows the maxEventsStored setting instead.
inline constexpr std::int64_t kQZMAppMetadataLimit = 1;
inline constexpr std::int64_t kQZMRawEventsMetadataLimit = 100000;
inline constexpr std::int64_t kQZMEventsLimit = 2000;
inline constexpr std::int64_t kQZMUserAttributesLimit = 1000;
inline constexpr std::int64_t kQZMConditionalPropertiesLimit = 1000;
inline constexpr std::int64_t kQZMODMValuesLimit = 10;
inline constexpr std::int64_t kQZMPurchaseTransactionsLimit = 1000;
inline constexpr std::int64_t kQZMSubscriptionsLimit = 1000;

struct QZMTableDescription {
  std::string name;
  // Created with the table, in order.
  QZMSqliteStore::ColumnInfo elementaryColumns;
  // Added by ALTER TABLE to a table that lacks them.
  QZMSqliteStore::ColumnInfo addOnColumns;
  // Declared types that changed since a table's first version.
  QZMSqliteStore::ModifyColumnInfo modifiedColumns;
};

// The fourteen tables.
const std::vector<QZMTableDescription>& QZMMeasurementDatabaseSchema();
