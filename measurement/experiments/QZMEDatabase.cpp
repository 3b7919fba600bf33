#include "measurement/experiments/QZMEDatabase.h"

#include <string>

#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Clock.h"

namespace {

using foundation::Error;
using foundation::Object;
using foundation::Result;
using foundation::Status;

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";
constexpr std::int64_t kTableReadLimit = 100000;

// Never destroyed: the worker may still open the database while the program ends.
const QZMSqliteStore::ColumnInfo& snapshotColumns() {
  static const auto* columns = new QZMSqliteStore::ColumnInfo{
      {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
      {kSnapshotColumn, "BLOB NOT NULL"},
      {kTimestampColumn, "REAL NOT NULL"},
      {kManuallyActivatedColumn, "INTEGER"},
  };
  return *columns;
}

Error experimentError(std::int64_t code, std::string description) {
  return Error(kQZMEErrorDomain, code, std::move(description));
}

std::string rowSDKName(const QZMSqliteStore::Record& row) {
  auto found = row.find(kSDKNameColumn);
  return found != row.end() && found->second.isString() ? *found->second.string() : std::string();
}

}  // namespace

std::optional<QZMESnapshot> QZMESnapshotFromRow(const QZMSqliteStore::Record& row) {
  auto bytes = row.find(kSnapshotColumn);
  if (bytes == row.end() || !bytes->second.isData()) return std::nullopt;
  std::unique_ptr<QZMPBSnapshot> message = QZMPBSnapshot::initWithBuffer(*bytes->second.data());
  if (!message) return std::nullopt;
  std::optional<QZMESnapshot> snapshot = QZMESnapshot::initWithProtobuf(*message);
  if (!snapshot) return std::nullopt;
  if (auto time = row.find(kTimestampColumn); time != row.end() && time->second.isNumber()) {
    snapshot->setTimestamp(time->second.doubleValue());
  }
  if (auto flag = row.find(kManuallyActivatedColumn); flag != row.end() && flag->second.isNumber()) {
    snapshot->setManuallyActivated(flag->second.boolValue());
  }
  return snapshot;
}

std::shared_ptr<QZMEDatabase> QZMEDatabase::initWithPath(const std::optional<std::string>& path) {
  if (!path || path->empty()) {
    QZMEMonitor::shared()->logWithLevel(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::shared_ptr<QZMEDatabase> database(new QZMEDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", *path)) return nullptr;
  return database;
}

QZMEDatabase::~QZMEDatabase() {
  if (sqliteStore_) sqliteStore_->closeDatabase();
}

bool QZMEDatabase::initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath) {
  auto monitor = QZMEMonitor::shared();
  databasePath_ = databasePath;
  sqliteStore_.reset();
  auto opened = QZMSqliteStore::initWithDatabasePath(databasePath);
  if (!opened) {
    monitor->logWithLevel(1, 810001, "Failed to open database (" + std::string(context) + ")", opened.error());
    return false;
  }
  sqliteStore_ = std::move(*opened);
  if (!ensureAllTables()) {
    monitor->logWithLevel(1, 810002,
                          "Failed to create or validate required database tables (" + std::string(context) + ")");
    sqliteStore_->closeDatabase();
    // Moved aside, not deleted: its rows are kept beside the empty file that
    // the next start makes.
    if (auto moved = QZMSqliteStore::moveDatabaseFilesAside(databasePath); !moved) {
      monitor->logWithLevel(
          4, 810003,
          "Failed to delete old database file after failed validation. Error (" + moved.error().description + ")");
    }
    sqliteStore_.reset();
    return false;
  }
  return true;
}

Status QZMEDatabase::ensureAllTables() {
  auto store = this->store();
  if (!store) return store.error();
  for (const char* table : {kQZMEPendingSnapshotTable, kQZMEActivatedSnapshotTable, kQZMELaunchedSnapshotTable}) {
    Status ensured = (*store)->ensureTableWithName(table, snapshotColumns(), {}, QZMSqliteStore::ModifyColumnInfo{});
    if (!ensured) {
      QZMEMonitor::shared()->logWithLevel(1, 810004, "Failed to ensure table. Table, error", table, ensured.error());
      return ensured;
    }
  }
  return {};
}

void QZMEDatabase::closeAndDelete() {
  bool deleted = sqliteStore_ ? sqliteStore_->closeAndDeleteDatabase()
                              : !databasePath_.empty() && QZMSqliteStore::deleteDatabaseFilesAtPath(databasePath_).ok();
  if (!deleted) QZMEMonitor::shared()->logWithLevel(4, 810005, "Failed to delete database data");
  sqliteStore_.reset();
}

void QZMEDatabase::reset() {
  std::string path = databasePath_;
  closeAndDelete();
  if (!initializeDatabaseResourcesWithContext("Reset", path)) {
    QZMEMonitor::shared()->logWithLevel(1, 810006, "Cannot re-initialize the database");
  }
}

Result<QZMSqliteStore*> QZMEDatabase::store() {
  if (!sqliteStore_) return qzm_errorWithCode(2, "The experiments database is not open");
  return sqliteStore_.get();
}

Status QZMEDatabase::performTransaction(const std::function<bool()>& block) {
  auto store = this->store();
  if (!store) return store.error();
  Status done = (*store)->performTransactionWithError(block);
  if (!done) QZMEMonitor::shared()->logWithLevel(1, 810007, "Transaction failed. " + done.error().description);
  return done;
}

Result<std::vector<QZMSqliteStore::Record>> QZMEDatabase::allDataTypesFromTableWithName(std::string_view table,
                                                                                        std::int64_t tableLimit) {
  auto store = this->store();
  if (!store) return store.error();
  return (*store)->recordsForQuery(
      "SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {});
}

Result<std::vector<QZMESnapshot>> QZMEDatabase::fetchAllSnapshotsFromTable(std::string_view table) {
  auto rows = allDataTypesFromTableWithName(table, kTableReadLimit);
  if (!rows) return rows.error();
  std::vector<QZMESnapshot> snapshots;
  snapshots.reserve(rows->size());
  for (const auto& row : *rows) {
    if (std::optional<QZMESnapshot> snapshot = QZMESnapshotFromRow(row)) {
      snapshots.push_back(std::move(*snapshot));
    } else {
      QZMEMonitor::shared()->logWithLevel(1, 810008, "Skipped a stored snapshot that cannot be read. Table, SDK name",
                                          std::string(table), rowSDKName(row));
    }
  }
  return snapshots;
}

Result<std::vector<QZMESnapshot>> QZMEDatabase::fetchAllActivatedSnapshots() {
  return fetchAllSnapshotsFromTable(kQZMEActivatedSnapshotTable);
}

Result<std::vector<QZMESnapshot>> QZMEDatabase::fetchAllPendingSnapshots() {
  return fetchAllSnapshotsFromTable(kQZMEPendingSnapshotTable);
}

Result<std::vector<QZMESnapshot>> QZMEDatabase::fetchAllLaunchedSnapshots() {
  return fetchAllSnapshotsFromTable(kQZMELaunchedSnapshotTable);
}

Status QZMEDatabase::upsertSnapshot(const QZMPBSnapshot& snapshot, std::string_view intoTableName, double timestamp,
                                    std::optional<bool> manuallyActivated) {
  auto store = this->store();
  if (!store) return store.error();
  std::optional<std::string> name = NANOGetString(&snapshot, QZMPBSnapshot::kSdkName);
  if (!name || name->empty()) return qzm_errorWithCode(1, "Received a snapshot without SDK name");
  std::optional<foundation::Data> bytes = snapshot.protoBuffer();
  if (!bytes) return qzm_errorWithCode(1, "Cannot encode the snapshot");
  QZMSqliteStore::Record record{
      {kSDKNameColumn, Object(*name)},
      {kTimestampColumn, Object(timestamp)},
      {kSnapshotColumn, Object(std::move(*bytes))},
  };
  if (manuallyActivated) record[kManuallyActivatedColumn] = Object(std::int64_t{*manuallyActivated ? 1 : 0});
  return (*store)->upsertRecord(record, intoTableName);
}

Status QZMEDatabase::upsertPendingExperimentSnapshots(const std::vector<QZMESnapshot>& snapshots) {
  for (const QZMESnapshot& snapshot : snapshots) {
    std::unique_ptr<QZMPBSnapshot> message = snapshot.proto();
    if (!message) return qzm_errorWithCode(1, "Cannot encode the snapshot of " + snapshot.SDKName());
    Status stored =
        upsertSnapshot(*message, kQZMEPendingSnapshotTable, snapshot.timestamp(), snapshot.manuallyActivated());
    if (!stored) return stored;
  }
  return {};
}

Status QZMEDatabase::activateSnapshot(const QZMESnapshot* snapshot, double timestamp) {
  if (!snapshot) return experimentError(1, "Received nil pending snapshot");
  auto store = this->store();
  if (!store) return store.error();

  std::vector<QZMEExperiment> launched;
  std::vector<QZMEExperiment> others;
  for (const auto& [id, experiment] : snapshot->experimentsByExperimentID()) {
    (id == 0 ? launched : others).push_back(experiment);
  }
  auto upsertPart = [&](const std::vector<QZMEExperiment>& experiments, const char* table) -> Status {
    std::optional<QZMESnapshot> part = QZMESnapshot::initWithSDKName(snapshot->SDKName(), experiments);
    std::unique_ptr<QZMPBSnapshot> message = part ? part->proto() : nullptr;
    if (!message) return qzm_errorWithCode(1, "Cannot encode the snapshot of " + snapshot->SDKName());
    return upsertSnapshot(*message, table, timestamp, false);
  };
  if (!launched.empty()) {
    if (Status stored = upsertPart(launched, kQZMELaunchedSnapshotTable); !stored) return stored;
  }
  // An activation without experiments ends the SDK's experiments, on disk as
  // in memory; a row left behind would bring them back at the next start.
  Status activated = others.empty() ? deleteExperimentsOfSDKName(snapshot->SDKName(), kQZMEActivatedSnapshotTable)
                                    : upsertPart(others, kQZMEActivatedSnapshotTable);
  if (!activated) return activated;

  auto deleted = (*store)->deleteRecordsFromTableWithName(
      kQZMEPendingSnapshotTable, std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?",
      {Object(snapshot->SDKName()), Object(timestamp)});
  if (!deleted) return deleted.error();
  return {};
}

Status QZMEDatabase::deleteStaleActivatedSnapshots() {
  auto store = this->store();
  if (!store) return store.error();
  auto deleted =
      (*store)->deleteRecordsFromTableWithName(kQZMEActivatedSnapshotTable, std::string(kTimestampColumn) + " <= ?",
                                               {Object(foundation::now() - kQZMEActivatedSnapshotLifetime)});
  if (!deleted) return deleted.error();
  return {};
}

Status QZMEDatabase::activatePendingSnapshotsAutomatically() {
  auto store = this->store();
  if (!store) return store.error();
  auto rows = (*store)->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid", {Object(true)});
  if (!rows) return rows.error();
  for (const auto& row : *rows) {
    std::optional<QZMESnapshot> snapshot = QZMESnapshotFromRow(row);
    if (!snapshot) {
      // One damaged row must not keep every other SDK from starting.
      QZMEMonitor::shared()->logWithLevel(1, 810008, "Skipped a stored snapshot that cannot be read. Table, SDK name",
                                          kQZMEPendingSnapshotTable, rowSDKName(row));
      continue;
    }
    if (Status activated = activateSnapshot(&*snapshot, snapshot->timestamp()); !activated) return activated;
    if (Status deleted = deletePendingExperimentsOfSDKName(snapshot->SDKName()); !deleted) return deleted;
  }
  return {};
}

Status QZMEDatabase::deleteActivatedExperimentsOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) return experimentError(1, "Received empty SDK Name");
  return deleteExperimentsOfSDKName(SDKName, kQZMEActivatedSnapshotTable);
}

Status QZMEDatabase::deletePendingExperimentsOfSDKName(std::string_view SDKName) {
  return deleteExperimentsOfSDKName(SDKName, kQZMEPendingSnapshotTable);
}

Status QZMEDatabase::deleteLaunchedExperimentSDKName(std::string_view SDKName) {
  return deleteExperimentsOfSDKName(SDKName, kQZMELaunchedSnapshotTable);
}

Status QZMEDatabase::deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view fromTableName) {
  auto store = this->store();
  if (!store) return store.error();
  return (*store)->deleteRecordFromTableWithName(fromTableName, kSDKNameColumn, Object(SDKName));
}
