// The SDK's measurement database: one SQLite file in the measurement folder
// holding everything kept between launches until it is uploaded or expires.
// This is the class itself: opening with the full schema, the generic record
// operations every table operation is built on, transactions and reset. All
// SQL goes through the database's QZMSqliteStore.
//
// Worker queue only: nothing here locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/QZMDatabaseSchema.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMPersistedConfig;

class QZMDatabase {
 public:
  using Record = QZMSqliteStore::Record;
  // Converts one row (column name -> value, "rowid" included) to a value.
  // The row is the block's to take from; a block taking a const reference
  // works as well.
  template <class T>
  using CreateDataTypeBlock = std::function<foundation::Result<T>(Record&& row)>;

  // Opens <application support>/Dralix/Measurement/<name>, creating or
  // migrating every table and the app metadata row.
  static foundation::Result<std::shared_ptr<QZMDatabase>> initWithDatabaseName(
      std::string_view name, std::shared_ptr<QZMPersistedConfig> persistedConfig);

  // Opens a new store for the path and makes it the held one; a file whose
  // schema cannot be made is closed and deleted, and no store is kept. A
  // failure that may pass (the file busy, the disk full) keeps the file.
  foundation::Status initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath);
  foundation::Status ensureAllTables();
  // Makes sure the single app metadata row exists.
  foundation::Status initializeAppMetadata();
  // Deletes the file and opens an empty one with the full schema.
  foundation::Status reset();
  // Runs the block in one exclusive transaction: true commits, false rolls
  // back (logged). A block that throws is rolled back and the exception
  // goes on. Transactions do not nest.
  foundation::Status performTransaction(const std::function<bool()>& block);

  // ---- Generic record operations ----

  // Rows in row id order, at most tableLimit of them (-1: all); rows that do
  // not convert are left out.
  template <class T>
  foundation::Result<std::vector<T>> allDataTypesFromTableWithName(std::string_view table, std::int64_t tableLimit,
                                                                   const CreateDataTypeBlock<T>& createDataTypeBlock);
  // Rows where column = value; rows that do not convert are left out, and
  // when rows came back but none converted, that is an error.
  template <class T>
  foundation::Result<std::vector<T>> dataTypesFromTableWithName(std::string_view table, std::string_view columnName,
                                                                const foundation::Object& columnValue,
                                                                const CreateDataTypeBlock<T>& createDataTypeBlock);
  foundation::Status insertDataType(const Record& record, std::string_view inTableWithName);
  // Writes the record when a row with that key exists or the table holds
  // fewer rows than the limit; a new key in a full table is refused.
  foundation::Status upsertDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                    const foundation::Object& columnValue, std::int64_t tableLimit);
  // Changes the record's columns in the row where column = value, which
  // must exist.
  foundation::Status updateDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                    const foundation::Object& columnValue);

  // nullptr while no store could be opened.
  const std::shared_ptr<QZMSqliteStore>& sqliteStore() const { return sqliteStore_; }
  const std::shared_ptr<QZMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::string& databasePath() const { return databasePath_; }

  explicit QZMDatabase(std::string databasePath);

 private:
  // The held store, or the error of a database without one.
  foundation::Result<QZMSqliteStore*> store() const;
  // The rows are handed over one at a time as they are read, so that a
  // conversion works on a row still in the cache and no list of rows is kept.
  foundation::Status visitRowsFromTableWithName(std::string_view table, std::int64_t tableLimit,
                                                const QZMSqliteStore::RecordVisitor& visitor);
  foundation::Status visitRowsFromTableWithName(std::string_view table, std::string_view columnName,
                                                const foundation::Object& columnValue,
                                                const QZMSqliteStore::RecordVisitor& visitor);

  std::shared_ptr<QZMSqliteStore> sqliteStore_;
  std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  const std::string databasePath_;
};

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::allDataTypesFromTableWithName(
    std::string_view table, std::int64_t tableLimit, const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!createDataTypeBlock) return qzm_errorWithCode(1, "Received nil block to get all data types");
  std::vector<T> values;
  foundation::Status read = visitRowsFromTableWithName(table, tableLimit, [&](Record&& row) {
    auto value = createDataTypeBlock(std::move(row));
    if (value) values.push_back(std::move(*value));
    return true;
  });
  if (!read) return read.error();
  return values;
}

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::dataTypesFromTableWithName(
    std::string_view table, std::string_view columnName, const foundation::Object& columnValue,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (table.empty()) return qzm_errorWithCode(1, "Received empty table name to create data type from table");
  if (columnName.empty()) return qzm_errorWithCode(1, "Received empty column name to create data type from table");
  if (columnValue.isNull()) return qzm_errorWithCode(1, "Received nil column value to create data type from table");
  if (!createDataTypeBlock) return qzm_errorWithCode(2, "Received nil block to create data type from table");
  std::vector<T> values;
  bool sawRow = false;
  foundation::Status read = visitRowsFromTableWithName(table, columnName, columnValue, [&](Record&& row) {
    sawRow = true;
    auto value = createDataTypeBlock(std::move(row));
    if (value) values.push_back(std::move(*value));
    return true;
  });
  if (!read) return read.error();
  if (sawRow && values.empty()) return qzm_errorWithCode(2, "Failed to initialize data types from dictionaries");
  return values;
}
