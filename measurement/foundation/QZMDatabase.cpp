#include "measurement/foundation/QZMDatabase.h"

#include <utility>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

using foundation::Error;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

// The app metadata row is addressed by row id 1, passed as text.
// Never destroyed: the worker may still use it while the program ends.
const Object& kAppMetadataRowID = *new Object("1");

}  // namespace

QZMDatabase::QZMDatabase(std::string databasePath) : databasePath_(std::move(databasePath)) {}

Result<std::shared_ptr<QZMDatabase>> QZMDatabase::initWithDatabaseName(
    std::string_view name, std::shared_ptr<QZMPersistedConfig> persistedConfig) {
  if (name.empty()) return qzm_errorWithCode(1, "Received empty database name in init");
  auto database = std::make_shared<QZMDatabase>(QZMApplicationSupportFilePath(name));
  if (Status opened = database->initializeDatabaseResourcesWithContext("Init", database->databasePath_); !opened)
    return opened.error();
  database->persistedConfig_ = std::move(persistedConfig);
  return database;
}

Status QZMDatabase::initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath) {
  sqliteStore_.reset();
  auto store = QZMSqliteStore::initWithDatabasePath(databasePath);
  if (!store) return store.error();
  sqliteStore_ = std::move(*store);

  if (Status ensured = ensureAllTables(); !ensured) {
    monitor()->logWithLevel(
        1, 12002, absl::StrCat("Failed to create or validate required database tables (", QZMAbslView(context), ")"));
    sqliteStore_->closeDatabase();
    sqliteStore_.reset();
    // A failure that may pass (another program holds the file, the disk is
    // full) says nothing against the file: its data stays for the next open.
    if (QZMSqliteStore::isPassingFailure(ensured.error())) return ensured;
    // A schema that cannot be made goes with its file, moved aside so that
    // its rows are not lost; the next open starts from an empty file.
    if (auto moved = QZMSqliteStore::moveDatabaseFilesAside(databasePath); !moved) {
      monitor()->logWithLevel(4, 12003,
                              absl::StrCat("Failed to delete old database file after failed validation. Error (",
                                           QZMAbslView(context), ")"),
                              moved.error());
    }
    return ensured;
  }
  if (Status initialized = initializeAppMetadata(); !initialized) {
    monitor()->logWithLevel(1, 12004,
                            absl::StrCat("Failed to initialize App Metadata table (", QZMAbslView(context), ")"));
    return initialized;
  }
  return {};
}

Status QZMDatabase::ensureAllTables() {
  auto held = store();
  if (!held) return held.error();
  QZMSqliteStore& sqlite = **held;
  const auto& schema = QZMMeasurementDatabaseSchema();
  if (schema.empty()) return {};
  // One transaction makes and checks every table, so a fresh file costs one
  // commit. A table whose columns changed is made new in its changed form,
  // as a rebuild would leave it; an older one is rebuilt after the
  // transaction, in one of its own.
  const QZMTableDescription* current = &schema.front();
  std::optional<Error> failed;
  auto fail = [&](const Status& status) {
    if (!status) failed = status.error();
    return status.ok();
  };
  auto changed = [](const QZMTableDescription& table, const QZMSqliteStore::ColumnInfo& info) {
    QZMSqliteStore::ColumnInfo out;
    for (const auto& entry : info) {
      if (entry.first == QZMSqliteStore::kPrimaryKeyColumnName) continue;
      auto change = table.modifiedColumns.find(entry.first);
      out.emplace_back(entry.first, change == table.modifiedColumns.end() ? entry.second : change->second);
    }
    return out;
  };
  auto ensure = [&](const QZMTableDescription& table) {
    current = &table;
    if (!table.modifiedColumns.empty()) {
      auto exists = sqlite.tableExists(table.name);
      if (!exists) return fail(exists.error());
      if (!*exists) {
        return fail(sqlite.ensureTableWithName(table.name, changed(table, table.elementaryColumns),
                                               changed(table, table.addOnColumns)));
      }
    }
    return fail(sqlite.ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns));
  };
  Status created = sqlite.performTransactionWithError([&] {
    for (const auto& table : schema) {
      if (!ensure(table)) return false;
    }
    return true;
  });
  if (created) {
    for (const auto& table : schema) {
      if (table.modifiedColumns.empty()) continue;
      current = &table;
      if (!fail(sqlite.ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns,
                                           table.modifiedColumns))) {
        break;
      }
    }
  }
  if (!failed && !created) failed = created.error();
  if (failed) {
    monitor()->logWithLevel(1, 12047, "Failed to ensure table. Table, error", current->name, *failed);
    return *failed;
  }
  return {};
}

Status QZMDatabase::initializeAppMetadata() {
  std::optional<Error> failure;
  Status transaction = performTransaction([&] {
    // The row itself is all that matters here; its fields are read elsewhere.
    auto rows = dataTypesFromTableWithName<Record>(kQZMAppMetadataTable, "rowid", kAppMetadataRowID,
                                                   [](const Record& row) -> Result<Record> { return row; });
    if (!rows) {
      monitor()->logWithLevel(1, 12005, "Failed to query app metadata");
      failure = rows.error();
      return false;
    }
    if (!rows->empty()) return true;
    Record record = {{"rowid", kAppMetadataRowID},
                     {"last_bundle_index", 0},
                     {"last_delivery_index", 0},
                     {"last_bundle_start_timestamp", 0.0},
                     {"last_bundle_end_timestamp", 0.0}};
    if (Status written = upsertDataType(record, kQZMAppMetadataTable, "rowid", kAppMetadataRowID, kQZMAppMetadataLimit);
        !written) {
      monitor()->logWithLevel(1, 12006, "Unable to update the app metadata. Error", written.error());
      failure = written.error();
      return false;
    }
    return true;
  });
  if (transaction) return {};
  return failure ? *failure : transaction.error();
}

Status QZMDatabase::reset() {
  bool deleted =
      sqliteStore_ ? sqliteStore_->closeAndDeleteDatabase() : QZMSqliteStore(databasePath_).closeAndDeleteDatabase();
  sqliteStore_.reset();
  if (!deleted) return qzm_errorWithCode(2, "Failed to delete database data");
  return initializeDatabaseResourcesWithContext("Reset", databasePath_);
}

Status QZMDatabase::performTransaction(const std::function<bool()>& block) {
  auto held = store();
  if (!held) return held.error();
  inTransaction_ = true;
  Status transaction;
  try {
    transaction = (*held)->performTransactionWithError(block);
  } catch (...) {
    inTransaction_ = false;
    afterCommit_.clear();
    throw;
  }
  inTransaction_ = false;
  std::vector<std::function<void()>> committed = std::exchange(afterCommit_, {});
  if (!transaction) {
    monitor()->logWithLevel(1, 12056, absl::StrCat("Transaction failed. ", transaction.error().description));
    return transaction;
  }
  for (auto& after : committed) after();
  return transaction;
}

void QZMDatabase::performAfterCommit(std::function<void()> block) {
  if (!block) return;
  if (inTransaction_) {
    afterCommit_.push_back(std::move(block));
  } else {
    block();
  }
}

// ---- Generic record operations ----

QZMDatabase::SharedLook::SharedLook(std::shared_ptr<QZMDatabase> database) : database_(std::move(database)) {
  if (!database_ || !database_->sqliteStore_) return;
  storeSerialNumber_ = database_->sqliteStore_->serialNumber();
  database_->sqliteStore_->openSharedLook();
}

QZMDatabase::SharedLook::~SharedLook() {
  if (!database_ || !database_->sqliteStore_ || database_->sqliteStore_->serialNumber() != storeSerialNumber_) return;
  database_->sqliteStore_->closeSharedLook();
}

Result<QZMSqliteStore*> QZMDatabase::store() const {
  if (!sqliteStore_) return qzm_errorWithCode(2, "Database not open");
  return sqliteStore_.get();
}

Status QZMDatabase::visitRowsFromTableWithName(std::string_view table, std::int64_t tableLimit,
                                               const QZMSqliteStore::RecordVisitor& visitor) {
  auto held = store();
  if (!held) return held.error();
  return (*held)->visitRecordsForQuery(
      absl::StrCat("SELECT rowid, * FROM ", QZMAbslView(table), " ORDER BY rowid LIMIT ", tableLimit), {}, visitor);
}

Status QZMDatabase::visitRowsFromTableWithName(std::string_view table, std::string_view columnName,
                                               const Object& columnValue,
                                               const QZMSqliteStore::RecordVisitor& visitor) {
  auto held = store();
  if (!held) return held.error();
  return (*held)->visitRecordsForQuery(
      absl::StrCat("SELECT rowid, * FROM ", QZMAbslView(table), " WHERE ", QZMAbslView(columnName), " = ?"),
      {columnValue}, visitor);
}

Status QZMDatabase::insertDataType(const Record& record, std::string_view inTableWithName) {
  if (inTableWithName.empty()) return qzm_errorWithCode(1, "Received empty table name for inserting");
  if (record.empty()) return qzm_errorWithCode(2, "Failed to insert empty record");
  auto held = store();
  if (!held) return held.error();
  return (*held)->upsertRecord(record, inTableWithName);
}

Status QZMDatabase::upsertDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                   const Object& columnValue, std::int64_t tableLimit) {
  if (record.empty()) return qzm_errorWithCode(1, "Received empty data type to upsert");
  if (inTableWithName.empty()) return qzm_errorWithCode(1, "Received empty table name for checking upsert");
  // Without a key every row would count as this record's, and the cap would
  // never hold.
  if (columnName.empty() || columnValue.isNull()) return qzm_errorWithCode(1, "Received empty key for checking upsert");
  auto held = store();
  if (!held) return held.error();
  auto existing = (*held)->rowCountForTableWithName(inTableWithName, columnName, columnValue);
  if (!existing) return existing.error();
  if (*existing == 0) {
    auto total = (*held)->rowCountForTableWithName(inTableWithName);
    if (!total) return total.error();
    if (*total >= tableLimit) return qzm_errorWithCode(2, "Failed to insert data type. Table is full");
  }
  return (*held)->upsertRecord(record, inTableWithName);
}

Status QZMDatabase::updateDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                   const Object& columnValue) {
  if (record.empty()) return qzm_errorWithCode(1, "Received empty data type to update");
  if (inTableWithName.empty()) return qzm_errorWithCode(1, "Received empty table name for updating");
  auto held = store();
  if (!held) return held.error();
  auto missing = [] { return qzm_errorWithCode(2, "Failed to update record. Item doesn't exist"); };
  if (columnName.empty() || columnValue.isNull()) return missing();
  // An update that matched no row wrote nothing: the row is looked for by
  // the update itself, as every event updates the daily counts.
  if (Status updated = (*held)->updateRecord(record, inTableWithName, columnName, columnValue); !updated) {
    return updated;
  }
  if ((*held)->rowsChangedByLastStatement() == 0) return missing();
  return {};
}
