// Counters: per event name in "events" (with the snapshot the engine sets
// aside while analytics storage is denied), and per day and per installation
// in the single "app_metadata" row, which they share with the stored
// configuration.
#include <sqlite3.h>

#include <limits>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/foundation/Clock.h"

using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

using Record = QZMDatabase::Record;

// Never destroyed: the worker may still use it while the program ends.
const Object& kAppMetadataRowID = *new Object("1");
// The first-open event, whose count must survive a restore.
constexpr const char* kFirstOpenEventName = "_f";

// A number column; nullopt when missing, NULL or not a number.
std::optional<Object> numberAt(const Record& row, std::string_view column) {
  auto found = row.find(column);
  if (found == row.end() || !(found->second.isInteger() || found->second.isFloating())) return std::nullopt;
  return found->second;
}

std::int64_t int64At(const Record& row, std::string_view column, std::int64_t fallback) {
  auto number = numberAt(row, column);
  return number ? number->int64Value() : fallback;
}

double doubleAt(const Record& row, std::string_view column, double fallback) {
  auto number = numberAt(row, column);
  return number ? number->doubleValue() : fallback;
}

// Counts kept beyond the 32-bit range read as the nearest end of it.
std::int32_t int32From(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

std::int32_t int32At(const Record& row, std::string_view column, std::int32_t fallback) {
  return int32From(int64At(row, column, fallback));
}

Result<QZMAppMetadata> appMetadataFromRow(const Record& row) {
  std::int64_t bundleIndex = int64At(row, "last_bundle_index", 0);
  if (bundleIndex > std::numeric_limits<std::int32_t>::max())
    return qzm_errorWithCode(3, "Stored last bundle index is out of range");
  auto metadata = QZMAppMetadata::initWithLastBundleIndex(
      static_cast<std::int32_t>(bundleIndex), int32At(row, "last_delivery_index", 0),
      doubleAt(row, "last_bundle_start_timestamp", 0.0), doubleAt(row, "last_bundle_end_timestamp", 0.0));
  if (!metadata) return qzm_errorWithCode(3, "Received negative last bundle index for app metadata");
  return *metadata;
}

Result<QZMStoredEventAggregates> aggregatesFromRow(const Record& row) {
  auto name = row.find("name");
  if (name == row.end() || !name->second.string())
    return qzm_errorWithCode(3, "Received empty name for getting event aggregates");
  QZMStoredEventAggregates aggregates;
  aggregates.name = *name->second.string();
  aggregates.lifetimeCount = int32At(row, "lifetime_count", 0);
  aggregates.currentBundleCount = int32At(row, "current_bundle_count", 0);
  aggregates.currentSessionCount = int32At(row, "current_session_count", 0);
  aggregates.lastFireTimestamp = doubleAt(row, "last_fire_timestamp", 0.0);
  aggregates.lastBundledTimestamp = doubleAt(row, "last_bundled_timestamp", 0.0);
  if (auto id = numberAt(row, "last_sampled_complex_event_id")) aggregates.lastSampledComplexEventID = id->int64Value();
  aggregates.lastSamplingRate = int32At(row, "last_sampling_rate", 1);
  aggregates.lastExemptFromSampling = int64At(row, "last_exempt_from_sampling", 0) != 0;
  aggregates.lastBundledDay = int32At(row, "last_bundled_day", 0);
  return aggregates;
}

Result<Record> aggregatesRecord(const QZMStoredEventAggregates& aggregates) {
  if (aggregates.name.empty())
    return qzm_errorWithCode(
        1, "Received event aggregates object with empty name for getting dictionary representation");
  Record record = {{"name", aggregates.name},
                   {"lifetime_count", aggregates.lifetimeCount},
                   {"current_bundle_count", aggregates.currentBundleCount},
                   {"last_fire_timestamp", aggregates.lastFireTimestamp},
                   {"last_bundled_timestamp", aggregates.lastBundledTimestamp},
                   {"last_sampling_rate", aggregates.lastSamplingRate},
                   {"last_exempt_from_sampling", aggregates.lastExemptFromSampling},
                   {"last_bundled_day", aggregates.lastBundledDay},
                   {"current_session_count", aggregates.currentSessionCount}};
  if (aggregates.lastSampledComplexEventID)
    record["last_sampled_complex_event_id"] = *aggregates.lastSampledComplexEventID;
  return record;
}

}  // namespace

Result<QZMPersistedConfig*> QZMDatabase::config() const {
  if (!persistedConfig_) return qzm_errorWithCode(2, "Database has no persisted configuration");
  return persistedConfig_.get();
}

Result<std::int32_t> QZMDatabase::currentDayNumber() {
  auto persisted = config();
  if (!persisted) return persisted.error();
  return QZMDayNumber(foundation::now(), (*persisted)->midnightOffset());
}

// ---- App metadata and daily counts ----

Result<std::optional<QZMAppMetadata>> QZMDatabase::queryAppMetadata() {
  auto rows = dataTypesFromTableWithName<QZMAppMetadata>(kQZMAppMetadataTable, "rowid", kAppMetadataRowID,
                                                         appMetadataFromRow);
  if (!rows) return rows.error();
  if (rows->empty()) return std::optional<QZMAppMetadata>();
  return std::optional<QZMAppMetadata>(rows->front());
}

Status QZMDatabase::updateAppMetadata(const QZMAppMetadata& appMetadata) {
  Record record = {{"rowid", kAppMetadataRowID},
                   {"last_bundle_index", appMetadata.lastBundleIndex()},
                   {"last_delivery_index", appMetadata.lastDeliveryIndex()},
                   {"last_bundle_start_timestamp", appMetadata.lastBundleStartTimestamp()},
                   {"last_bundle_end_timestamp", appMetadata.lastBundleEndTimestamp()}};
  return updateDataType(record, kQZMAppMetadataTable, "rowid", kAppMetadataRowID);
}

Result<std::optional<QZMDailyCounts>> QZMDatabase::dailyCounts() {
  auto today = currentDayNumber();
  if (!today) return today.error();
  auto held = store();
  if (!held) return held.error();
  // The counters alone, by position: every event reads them, and the row
  // also holds the stored configuration.
  std::optional<QZMDailyCounts> counts;
  Status read = (*held)->visitRowsForQuery(
      "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, daily_error_events_count, "
      "daily_real_time_conversion_events_count, daily_real_time_dcu_events_count FROM app_metadata WHERE rowid = ?",
      {kAppMetadataRowID}, [&](const QZMSqliteStore::Row& row) {
        auto column = [&](int index, std::int32_t fallback) {
          std::optional<Object> value = row.value(index);
          return int32From(value && (value->isInteger() || value->isFloating()) ? value->int64Value() : fallback);
        };
        counts = QZMDailyCounts(column(0, *today), column(1, 0), column(2, 0), column(3, 0), column(4, 0),
                                column(5, 0), column(6, 0));
        return false;
      });
  if (!read) return read.error();
  return counts;
}

Status QZMDatabase::updateDailyCounts(const QZMDailyCounts& dailyCounts) {
  Record record = {{"day", dailyCounts.day()},
                   {"daily_conversions_count", dailyCounts.conversionsCount()},
                   {"daily_events_count", dailyCounts.allEventsCount()},
                   {"daily_public_events_count", dailyCounts.publicEventsCount()},
                   {"daily_error_events_count", dailyCounts.errorEventsCount()},
                   {"daily_real_time_conversion_events_count", dailyCounts.realtimeCount()},
                   {"daily_real_time_dcu_events_count", dailyCounts.dcuRealtimeCount()}};
  return updateDataType(record, kQZMAppMetadataTable, "rowid", kAppMetadataRowID);
}

// ---- Event aggregates ----

Result<std::vector<QZMStoredEventAggregates>> QZMDatabase::allEventAggregates() {
  return allDataTypesFromTableWithName<QZMStoredEventAggregates>(kQZMEventsTable, kQZMEventsLimit, aggregatesFromRow);
}

Result<std::optional<QZMStoredEventAggregates>> QZMDatabase::eventAggregatesWithName(std::string_view name) {
  auto held = store();
  if (!held) return held.error();
  const ReadStamp stamp = readStamp(**held, kQZMEventsTable);
  if (auto kept = keptEventAggregates_.find(name); kept != keptEventAggregates_.end() && kept->second.first == stamp) {
    return kept->second.second;
  }
  auto aggregates = eventAggregatesWithName(name, kQZMEventsTable);
  // Names come from the app: only a bounded number are kept.
  if (keptEventAggregates_.size() >= static_cast<std::size_t>(kQZMEventsLimit)) keptEventAggregates_.clear();
  if (aggregates) keptEventAggregates_.insert_or_assign(std::string(name), std::make_pair(stamp, *aggregates));
  return aggregates;
}

Result<std::optional<QZMStoredEventAggregates>> QZMDatabase::eventAggregatesSnapshotWithName(std::string_view name) {
  auto held = store();
  if (!held) return held.error();
  auto exists = (*held)->tableExists(kQZMEventsSnapshotTable);
  if (!exists) return exists.error();
  if (!*exists) return std::optional<QZMStoredEventAggregates>();
  return eventAggregatesWithName(name, kQZMEventsSnapshotTable);
}

Result<std::optional<QZMStoredEventAggregates>> QZMDatabase::eventAggregatesWithName(std::string_view name,
                                                                                     std::string_view inTable) {
  auto rows = dataTypesFromTableWithName<QZMStoredEventAggregates>(inTable, "name", Object(name), aggregatesFromRow);
  if (!rows) return rows.error();
  if (rows->empty()) return std::optional<QZMStoredEventAggregates>();
  return std::optional<QZMStoredEventAggregates>(rows->front());
}

Status QZMDatabase::updateEventAggregates(const QZMStoredEventAggregates& aggregates) {
  auto record = aggregatesRecord(aggregates);
  if (!record) return record.error();
  return upsertDataType(*record, kQZMEventsTable, "name", aggregates.name, kQZMEventsLimit);
}

Result<std::int64_t> QZMDatabase::publicEventCount() {
  auto held = store();
  if (!held) return held.error();
  auto count = (*held)->numberForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {});
  if (!count) return count.error();
  return *count ? (*count)->int64Value() : 0;
}

Status QZMDatabase::clearCurrentSessionCounts() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->updateAllRecordsInTableWithName(kQZMEventsTable, "current_session_count", 0);
}

Status QZMDatabase::deleteAllEventAggregates() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteAllRecordsFromTableWithName(kQZMEventsTable);
}

Status QZMDatabase::deleteAllEventAggregatesInSnapshot() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteAllRecordsFromTableWithName(kQZMEventsSnapshotTable);
}

Status QZMDatabase::createEventsSnapshotTable() {
  auto held = store();
  if (!held) return held.error();
  QZMSqliteStore& store = **held;
  // A snapshot left from before is replaced; its failure shows in the create.
  if (auto exists = store.tableExists(kQZMEventsSnapshotTable); exists && *exists)
    (void)store.dropTableWithName(kQZMEventsSnapshotTable);
  if (Status created = store.createEmptyTable(kQZMEventsSnapshotTable, kQZMEventsTable); !created) {
    QZMMeasurementBase::monitor()->logWithLevel(4, 12058, "Failed to ensure event snapshot table");
    return created;
  }
  return store.copyContentsFromTable(kQZMEventsTable, kQZMEventsSnapshotTable);
}

Status QZMDatabase::restoreFromEventsSnapshotTable() {
  auto held = store();
  if (!held) return held.error();
  QZMSqliteStore& store = **held;
  auto exists = store.tableExists(kQZMEventsSnapshotTable);
  if (!exists) return exists.error();
  if (!*exists) return {};
  auto snapshotRows = store.rowCountForTableWithName(kQZMEventsSnapshotTable);
  if (!snapshotRows) return snapshotRows.error();
  if (*snapshotRows == 0) return {};

  // Every step stops the restore at its first failure, and the transaction
  // then gives back the counters as they were.
  std::optional<foundation::Error> failure;
  auto step = [&](Status status) {
    if (!status) failure = status.error();
    return status.ok();
  };
  auto restore = [&] {
    auto liveFirstOpen = eventAggregatesWithName(kFirstOpenEventName);
    if (!step(liveFirstOpen ? Status() : Status(liveFirstOpen.error()))) return false;
    auto snapshotFirstOpen = eventAggregatesWithName(kFirstOpenEventName, kQZMEventsSnapshotTable);
    if (!step(snapshotFirstOpen ? Status() : Status(snapshotFirstOpen.error()))) return false;
    if (!step(store.deleteAllRecordsFromTableWithName(kQZMEventsTable))) return false;
    if (!step(store.copyContentsFromTable(kQZMEventsSnapshotTable, kQZMEventsTable))) return false;
    // A first open counted while storage was denied survives.
    bool snapshotLacksFirstOpen = !*snapshotFirstOpen || (*snapshotFirstOpen)->lifetimeCount == 0;
    if (snapshotLacksFirstOpen && *liveFirstOpen && !step(updateEventAggregates(**liveFirstOpen))) return false;
    return step(store.deleteAllRecordsFromTableWithName(kQZMEventsSnapshotTable));
  };
  // Within a caller's transaction (bundling restores while it makes a
  // bundle) a savepoint keeps the steps together: the caller may go on and
  // commit after a failed restore, which must not take the live counters
  // with it.
  if (sqlite3_get_autocommit(store.sqliteHandle()) == 0) {
    if (Status opened = store.executeSQL("SAVEPOINT events_snapshot_restore"); !opened) return opened;
    if (restore()) return store.executeSQL("RELEASE events_snapshot_restore");
    if (Status undone = store.executeSQL("ROLLBACK TO events_snapshot_restore"); !undone) return undone;
    if (Status released = store.executeSQL("RELEASE events_snapshot_restore"); !released) return released;
    return *failure;
  }
  Status transaction = performTransaction(restore);
  if (transaction) return {};
  return failure ? *failure : transaction.error();
}
