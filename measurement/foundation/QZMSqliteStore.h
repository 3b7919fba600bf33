// The one access layer between the SDK and an SQLite database file. It opens
// the file (creating its folder), checks its integrity and mends a damaged
// file or keeps it aside, creates and migrates tables from column
// descriptions, and reads and writes records (column name -> value) with a
// cache of prepared statements and exclusive transactions. Readers that know
// their columns read rows by position instead, and writers that do may hand
// over the values alone.
//
// Speed: a statement with placeholders (every record write) or without a
// WHERE is prepared once and kept; a run of writes of the same shape keeps
// its statement at hand without looking the text up again; record values
// are bound without a copy; reads build one row at a time, reusing its
// entries when the reader left them in place, and hold the connection once
// per row rather than once per column.
//
// Values: data is bound as a BLOB (without a copy), a floating number as
// REAL, any other number as INTEGER, text as TEXT, null as NULL; anything
// else is refused. Reads give back integers, doubles, text, data and null;
// a zero-length TEXT or BLOB reads as nothing and is left out of its row.
//
// Errors are SDK errors: code 1 a bad argument, 2 a closed database or an
// unusable table, 3 an SQLite failure (with the operation, SQLite's code and
// message, and a monitor context "operation,code,A|NA").
//
// Not thread-safe: cached statements carry state between uses, so each owner
// keeps its store on one serial queue.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/foundation/QZMSqliteTableChanges.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMSqliteStore {
 public:
  // A row or a record to write: column name -> value.
  using Record = foundation::Dictionary;
  // Bound to the "?" placeholders in order.
  using Values = foundation::Array;
  // Ordered (column name, type declaration) pairs. In an elementary list the
  // pseudo-name "PRIMARY KEY" with a declaration such as "(a, b)" declares
  // the table key; it is written after the columns and is no column.
  using ColumnInfo = std::vector<std::pair<std::string, std::string>>;
  // Column name -> new type declaration.
  using ModifyColumnInfo = std::map<std::string, std::string>;
  // Ordered (column name, ALTER TABLE statement that adds it) pairs.
  using AddOnColumns = std::vector<std::pair<std::string, std::string>>;
  // Gets the number of rows kept so far and the next row; false ends the
  // read without keeping that row.
  using RecordFilter = std::function<bool(std::size_t keptCount, const Record& row)>;
  // Takes each row of a read in turn; false ends the read.
  using RecordVisitor = std::function<bool(Record&& row)>;

  // One row of a read, its columns by their position in the query's result,
  // read straight from the statement. Valid only inside the visitor it is
  // handed to, and so are the texts and bytes it gives.
  class Row {
   public:
    int columnCount() const { return sqlite3_column_count(statement_); }
    // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
    int type(int column) const { return sqlite3_column_type(statement_, column); }
    // SQLite's conversions apply to a column of another type.
    std::int64_t int64Value(int column) const { return sqlite3_column_int64(statement_, column); }
    double doubleValue(int column) const { return sqlite3_column_double(statement_, column); }
    // Empty for NULL as for a zero-length value.
    std::string_view text(int column) const;
    std::span<const std::uint8_t> blob(int column) const;
    // The value as a name-keyed row holds it; nullopt for a zero-length TEXT
    // or BLOB.
    std::optional<foundation::Object> value(int column) const { return valueAtColumn(column, statement_); }

   private:
    friend class QZMSqliteStore;
    explicit Row(sqlite3_stmt* statement) : statement_(statement) {}
    sqlite3_stmt* statement_;
  };
  // Takes each row of a positional read in turn; false ends the read.
  using RowVisitor = std::function<bool(const Row& row)>;
  // Returns whether the transaction commits.
  using TransactionBlock = std::function<bool()>;

  static constexpr const char* kPrimaryKeyColumnName = "PRIMARY KEY";

  // Opens or creates the file. A file that fails its integrity check is
  // mended: its indexes rebuilt when that makes it sound, else its readable
  // rows copied into a fresh file that takes its place. What cannot be
  // mended is moved aside (moveDatabaseFilesAside) and replaced by an empty
  // file, once.
  static foundation::Result<std::shared_ptr<QZMSqliteStore>> initWithDatabasePath(const std::string& path);
  ~QZMSqliteStore();
  QZMSqliteStore(const QZMSqliteStore&) = delete;
  QZMSqliteStore& operator=(const QZMSqliteStore&) = delete;

  // Finalizes the cached statements and closes the connection; a closed
  // store refuses every operation and is never reopened.
  void closeDatabase();
  // Closes, then removes the file and any journal left beside it; a missing
  // file counts as removed.
  bool closeAndDeleteDatabase();
  // Removes a closed database's file and journals; a missing file counts as
  // removed.
  static foundation::Status deleteDatabaseFilesAtPath(const std::string& path);
  // Renames a closed database's file to <path>.corrupt (.corrupt.2 and so on
  // when taken: an earlier copy is never written over), its journals with
  // it, and gives the new name.
  static foundation::Result<std::string> moveDatabaseFilesAside(const std::string& path);
  sqlite3* sqliteHandle() const { return handle_; }
  const std::string& databasePath() const { return databasePath_; }

  // ---- Schema ----

  // Ensures the table, then rebuilds it when a modified column's declared
  // type differs from the file's.
  foundation::Status ensureTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo, const ModifyColumnInfo& modifyColumnInfo);
  // Creates the table when missing, adds missing add-on columns and
  // validates it.
  foundation::Status ensureTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo);
  foundation::Status ensureTableWithName(std::string_view table, std::string_view createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const AddOnColumns& addOnColumns);
  // Valid when every required column is there (missing add-on columns are
  // added) and every other column is nullable.
  foundation::Status validateTableWithName(std::string_view table, const std::vector<std::string>& requiredColumnNames,
                                           const AddOnColumns& addOnColumns);
  // Rebuilds the table through "<table>_old" when its declared types differ
  // from the description, keeping every row and its row id.
  foundation::Status ensureSchemaOfTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                                 const ColumnInfo& addOnColumnInfo);
  foundation::Result<bool> tableExists(std::string_view table);
  // Column names in table order; empty for a missing table.
  foundation::Result<std::vector<std::string>> columnsForTableWithName(std::string_view table);
  // Column name -> declared type.
  foundation::Result<std::map<std::string, std::string>> columnInfoForTableWithName(std::string_view table);
  foundation::Status dropTableWithName(std::string_view table);
  foundation::Status renameTable(std::string_view oldName, std::string_view toName);
  // Copies every row, column by column name (the destination's columns that
  // the source has) with its row id.
  foundation::Status copyContentsFromTable(std::string_view source, std::string_view toTable);
  foundation::Status createEmptyTable(std::string_view newName, std::string_view fromTable);

  // ---- Records ----

  // INSERT OR REPLACE of the record's columns.
  foundation::Status upsertRecord(const Record& record, std::string_view inTableWithName);
  // upsertRecord of the record {columns[i]: values[i]}, without the record:
  // the columns in the order the values come, each named once.
  foundation::Status upsertValues(std::string_view inTableWithName, std::span<const std::string_view> columns,
                                  std::span<const foundation::Object> values);
  // Sets the record's columns in the rows where column = value; no matching
  // row is still success. A null value counts as no value.
  foundation::Status updateRecord(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                  const foundation::Object& columnValue);
  foundation::Status updateAllRecordsInTableWithName(std::string_view table, std::string_view columnName,
                                                     const foundation::Object& columnValue);
  // Adds the value to an INTEGER column in the rows matching the condition.
  foundation::Status increaseColumn(std::string_view column, std::int64_t byValue, std::string_view inTable,
                                    std::string_view condition, const Values& parameterValues);
  foundation::Status deleteRecordFromTableWithName(std::string_view table, std::string_view columnName,
                                                   const foundation::Object& columnValue);
  // The number of rows deleted.
  foundation::Result<std::int64_t> deleteRecordsFromTableWithName(std::string_view table, std::string_view condition,
                                                                  const Values& parameterValues);
  foundation::Status deleteAllRecordsFromTableWithName(std::string_view table);
  // Rows of a SELECT query in order; a step error fails the whole query.
  foundation::Result<std::vector<Record>> recordsForQuery(std::string_view query, const Values& parameterValues,
                                                          const RecordFilter& withFilter);
  foundation::Result<std::vector<Record>> recordsForQuery(std::string_view query, const Values& parameterValues);
  // The rows of a SELECT query in order, each handed to the visitor as it is
  // read; a step error fails the read (after the rows before it were seen).
  foundation::Status visitRecordsForQuery(std::string_view query, const Values& parameterValues,
                                          const RecordVisitor& visitor);
  // As visitRecordsForQuery, each row by column position. The connection is
  // held while the visitor runs: it must not wait for another thread that
  // uses this store.
  foundation::Status visitRowsForQuery(std::string_view query, const Values& parameterValues,
                                       const RowVisitor& visitor);
  // The first column of the first row: a number, or nullopt for NULL.
  foundation::Result<std::optional<foundation::Object>> numberForQuery(std::string_view query,
                                                                       const Values& parameterValues);
  foundation::Result<std::int64_t> rowCountForTableWithName(std::string_view table);
  // Counts the rows where column = value.
  foundation::Result<std::int64_t> rowCountForTableWithName(std::string_view table, std::string_view columnName,
                                                            const foundation::Object& columnValue);
  // Runs the block in one BEGIN EXCLUSIVE transaction: true commits, false
  // rolls back; a block that throws is rolled back and the exception goes on
  // to the caller. Transactions do not nest.
  foundation::Status performTransactionWithError(const TransactionBlock& block);

  // A count that moves whenever rows of the table may have changed: at each
  // row written or deleted through this store, at whatever escapes a
  // row-by-row count (a rolled-back transaction, a table emptied at once,
  // raw SQL, a reopened file), and at each commit by another connection or
  // process on the file. While it stays put the table is as it was, so a
  // reader may keep what it learnt of it. Counting starts at the table's
  // first call.
  std::uint64_t changeCountOfTable(std::string_view table) { return tableChanges_.changeCountOfTable(table); }
  // Between these, counts asked outside a transaction share one look at
  // other connections' commits (see QZMSqliteTableChanges). They nest.
  void openSharedLook() { tableChanges_.openSharedLook(); }
  void closeSharedLook() { tableChanges_.closeSharedLook(); }
  // Tells this store from every other of the process, before or after it.
  std::uint64_t serialNumber() const { return serialNumber_; }

  // Whether the error is an SQLite failure that may pass (the file busy or
  // locked by another connection, the disk full, an I/O error, no access
  // now): the file itself may be sound and must not be given up for it.
  static bool isPassingFailure(const foundation::Error& error);

  // A LIKE pattern that matches the text literally, for use with
  // ESCAPE '!' ("a_b%" becomes "a!_b!%").
  static std::string escapedLikePattern(std::string_view text);

  // ---- Lower layer ----

  // A new statement, never cached; the caller finalizes it (or hands it to
  // executeSQLStatement).
  foundation::Result<sqlite3_stmt*> prepareSQL(std::string_view sql);
  foundation::Status executeSQL(std::string_view sql);
  // Steps once and always finalizes; succeeds when no row comes back.
  foundation::Status executeSQLStatement(sqlite3_stmt* statement);
  // A statement with the values bound, from the cache when the query has
  // placeholders or no WHERE; hand it back with cleanUpStatement.
  foundation::Result<sqlite3_stmt*> statementForQuery(std::string_view query);
  foundation::Result<sqlite3_stmt*> statementForQuery(std::string_view query, const Values& parameterValues);
  // Resets a cached statement for its next use; finalizes any other.
  void cleanUpStatement(sqlite3_stmt* statement, std::string_view forQuery);
  foundation::Status bindValues(const Values& values, sqlite3_stmt* toStatement);
  // The column's value; nullopt for a zero-length TEXT or BLOB.
  static std::optional<foundation::Object> valueAtColumn(int column, sqlite3_stmt* forStatement);
  foundation::Status beginTransaction();
  foundation::Status endTransaction();
  foundation::Status rollbackTransaction();
  // The rows the last INSERT, UPDATE or DELETE changed (0 without a
  // connection).
  std::int64_t rowsChangedByLastStatement() const { return handle_ ? sqlite3_changes64(handle_) : 0; }
  // SQLite's last message; nullopt (logged) without a connection.
  std::optional<std::string> lastErrorMessage() const;

  explicit QZMSqliteStore(std::string databasePath);

 private:
  foundation::Status openAndValidateDatabase();
  // Mends a damaged file in place or replaces it by a sound copy of its
  // readable rows; true when the path now holds a sound file.
  bool repairDamagedDatabase();
  // Closes, then moves the file aside (logged); a missing file counts.
  bool closeAndMoveAsideDatabase();
  foundation::Status validateDatabase();
  // The SDK error for a failed SQLite call.
  foundation::Error databaseError(std::string_view operation) const;
  // A code-3 error with its own words and the SQLite context.
  foundation::Error transactionError(std::string_view description) const;
  // Steps a statement of the cache once, expecting no row.
  foundation::Status runQuery(std::string_view query, const Values& values, std::string_view operation);
  // Steps once and finalizes; a row or an error fails with the operation.
  foundation::Status executeStatement(sqlite3_stmt* statement, std::string_view operation);
  // The public reads' checks; keepAll stands for a filter that keeps every row.
  foundation::Result<std::vector<Record>> recordsForQuery(std::string_view query, const Values& parameterValues,
                                                          const RecordFilter& filter, bool keepAll);
  foundation::Status checkSelectQuery(std::string_view query);
  // Rows of any query that returns rows (PRAGMA included); no filter keeps all.
  foundation::Result<std::vector<Record>> readRecords(std::string_view query, const Values& parameterValues,
                                                      const RecordFilter& filter);
  // Builds each row of any query that returns rows and hands it over.
  foundation::Status stepRecords(std::string_view query, const Values& parameterValues, const RecordVisitor& visitor);
  foundation::Status executeWithBinding(const std::string& sql, const Values& values, std::string_view operation);
  // The cached statement for the text when it is free, else a new one (kept
  // in the cache when cacheable, that is with placeholders or without a
  // WHERE, and none is cached yet).
  foundation::Result<sqlite3_stmt*> reusableStatement(std::string_view sql, bool hasPlaceholders);
  // Binds through the callback and steps a cached statement once, expecting
  // no row.
  foundation::Status writeWithStatement(std::string_view sql, std::string_view operation,
                                        const std::function<foundation::Status(sqlite3_stmt*)>& bind);
  // valueAtColumn into an existing value; false (the value untouched) for
  // a zero-length TEXT or BLOB.
  static bool readColumn(int column, sqlite3_stmt* statement, foundation::Object& into);
  // Text is copied unless the value outlives the statement's use.
  foundation::Status bindValue(const foundation::Object& value, sqlite3_stmt* toStatement, int index,
                               bool copyText = true);

  // Looks texts up without making a string of them.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };

  const std::string databasePath_;
  const std::uint64_t serialNumber_;
  sqlite3* handle_ = nullptr;
  QZMSqliteTableChanges tableChanges_;
  // Whether the last failed open found the file damaged (and so replaceable).
  bool lastDamage_ = false;
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> statementCache_;
  // The text of the last upsert, what it was made for and its cached
  // statement (nullptr until the first write, and after a close).
  struct UpsertText {
    std::string table;
    std::vector<std::string> columns;
    std::string sql;
    sqlite3_stmt* statement = nullptr;
  };
  UpsertText lastUpsert_;
  // Binds through the callback and steps the last upsert's statement once.
  foundation::Status writeUpsert(const std::function<foundation::Status(sqlite3_stmt*)>& bind);
  // Makes the last upsert's text the one for the table and columns.
  void prepareUpsertText(std::string_view table, std::span<const std::string_view> columns);
};
