#include "measurement/foundation/QZMSqliteStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <set>

#include "absl/cleanup/cleanup.h"
#include "absl/strings/ascii.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Files.h"

using foundation::Error;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

// Read-write, create, serialized: SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
// | SQLITE_OPEN_FULLMUTEX.
constexpr int kOpenFlags = 0x10006;

Error argumentError(std::string description) { return qzm_errorWithCode(1, std::move(description)); }
Error closedError(std::string description) { return qzm_errorWithCode(2, std::move(description)); }

void log(std::int64_t level, std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message);
}
void log(std::int64_t level, std::int64_t code, std::string_view message, const QZMLogContext& context) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message, context);
}

bool isPrimaryKeyEntry(const std::pair<std::string, std::string>& entry) {
  return entry.first == QZMSqliteStore::kPrimaryKeyColumnName;
}

std::string quotedIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

bool isBlank(const char* text) {
  for (; text && *text; ++text)
    if (!std::isspace(static_cast<unsigned char>(*text))) return false;
  return true;
}

// Whether a failure of open or validation means the file itself is damaged,
// as opposed to unreachable or busy, which deleting it would not mend.
bool isDamage(int sqliteCode) {
  int primary = sqliteCode & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Holds the connection's own mutex (serialized mode) for a statement step and
// the reads of its row: the column calls inside then only re-enter it.
class HeldConnection {
 public:
  explicit HeldConnection(sqlite3* handle) : mutex_(sqlite3_db_mutex(handle)) { sqlite3_mutex_enter(mutex_); }
  ~HeldConnection() { sqlite3_mutex_leave(mutex_); }
  HeldConnection(const HeldConnection&) = delete;
  HeldConnection& operator=(const HeldConnection&) = delete;

 private:
  sqlite3_mutex* mutex_;
};

std::uint64_t nextSerialNumber() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// ---- Life cycle ----

QZMSqliteStore::QZMSqliteStore(std::string databasePath)
    : databasePath_(std::move(databasePath)), serialNumber_(nextSerialNumber()) {}

QZMSqliteStore::~QZMSqliteStore() { closeDatabase(); }

Result<std::shared_ptr<QZMSqliteStore>> QZMSqliteStore::initWithDatabasePath(const std::string& path) {
  if (path.empty()) return argumentError("Received empty database path on init");
  auto store = std::make_shared<QZMSqliteStore>(path);
  Status opened = store->openAndValidateDatabase();
  if (opened) return store;
  // Only a damaged file is replaced; one that cannot be reached now (busy,
  // locked, no permission) keeps its data and the open fails.
  if (!store->lastDamage_) return opened.error();
  if (store->repairDamagedDatabase()) {
    if (Status reopened = store->openAndValidateDatabase(); reopened) return store;
  }
  if (!store->closeAndMoveAsideDatabase()) return opened.error();
  if (Status second = store->openAndValidateDatabase(); !second) return second.error();
  return store;
}

Status QZMSqliteStore::openAndValidateDatabase() {
  lastDamage_ = false;
  if (foundation::fileExists(databasePath_)) {
    auto immutable = QZMIsFileImmutable(databasePath_);
    if (!immutable) return immutable.error();
    if (*immutable) {
      if (Status cleared = QZMSetFileImmutable(databasePath_, false); !cleared) return cleared;
    }
  } else if (Status made = foundation::createDirectory(foundation::deletingLastPathComponent(databasePath_)); !made) {
    return made;
  }

  int result = sqlite3_open_v2(databasePath_.c_str(), &handle_, kOpenFlags, nullptr);
  tableChanges_.attach(handle_);
  if (result != SQLITE_OK) {
    Error error = databaseError("initialize sqlite handle");
    lastDamage_ = isDamage(result);
    closeDatabase();
    return error;
  }
  if (Status excluded = QZMExcludeFileFromBackup(databasePath_); !excluded) {
    log(4, 34017, "Failed to exclude database file from backup", excluded.error());
  }
  // The SDK's data is the user's alone; SQLite gives its journals the mode
  // of the file.
  struct stat st{};
  if (::stat(databasePath_.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
    (void)::chmod(databasePath_.c_str(), foundation::kPrivateFileMode);
  if (Status valid = validateDatabase(); !valid) {
    closeDatabase();
    return valid;
  }
  return {};
}

Status QZMSqliteStore::validateDatabase() {
  if (!handle_) return closedError("Validate database failed. Database not open.");
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(handle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  absl::Cleanup finalize = [&] { sqlite3_finalize(statement); };
  if (result == SQLITE_OK) result = sqlite3_step(statement);
  bool ok = result == SQLITE_ROW && sqlite3_column_count(statement) == 1 &&
            sqlite3_column_type(statement, 0) == SQLITE_TEXT &&
            std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) == "ok";
  if (ok) return {};
  // A check that ran and reported problems, or could not read the file as a
  // database, found damage.
  lastDamage_ = result == SQLITE_ROW || isDamage(sqlite3_errcode(handle_));
  return databaseError("validate database");
}

void QZMSqliteStore::closeDatabase() {
  if (!handle_) return;
  for (auto& [sql, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
  lastUpsert_.statement = nullptr;
  tableChanges_.detach();
  int result = sqlite3_close(handle_);
  if (result != SQLITE_OK) log(1, 34018, "Failed to close database. Got error code", result);
  handle_ = nullptr;
}

bool QZMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  if (Status removed = deleteDatabaseFilesAtPath(databasePath_); !removed) {
    log(1, 34019, "Failed to delete database. Error", removed.error());
    return false;
  }
  return true;
}

Status QZMSqliteStore::deleteDatabaseFilesAtPath(const std::string& path) {
  if (foundation::fileExists(path)) {
    (void)QZMSetFileImmutable(path, false);
    if (Status removed = foundation::removeItem(path); !removed) return removed;
  }
  // A journal left by an interrupted transaction would be played back into
  // the next file made at this path.
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    std::string companion = path + suffix;
    if (foundation::fileExists(companion)) (void)foundation::removeItem(companion);
  }
  return {};
}

// ---- Errors ----

Error QZMSqliteStore::databaseError(std::string_view operation) const {
  std::string name = operation.empty() ? "Unknown operation" : std::string(operation);
  if (!handle_)
    return qzm_errorWithCode(3, absl::StrCat("Database operation \"", name, "\" failed. Database not open."));
  int code = sqlite3_errcode(handle_);
  bool writable = ::access(databasePath_.c_str(), W_OK) == 0;
  return qzm_errorWithCode(3,
                           absl::StrCat("Database operation \"", name, "\" failed with sqlite code ", code,
                                        " and error message \"", sqlite3_errmsg(handle_), "\""),
                           absl::StrCat(name, ",", code, ",", writable ? "A" : "NA"));
}

Error QZMSqliteStore::transactionError(std::string_view description) const {
  Error error = databaseError(description);
  error.description = std::string(description);
  return error;
}

std::optional<std::string> QZMSqliteStore::lastErrorMessage() const {
  if (!handle_) {
    log(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(handle_));
}

// ---- Lower layer ----

Result<sqlite3_stmt*> QZMSqliteStore::prepareSQL(std::string_view sql) {
  if (sql.empty()) return argumentError("Received empty SQL string to prepare");
  if (!handle_) return closedError("Prepare SQL failed. Database not open.");
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int result = SQLITE_ERROR;
  if (sqlite3_libversion_number() >= 3020000) {
    result = sqlite3_prepare_v3(handle_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                &statement, &tail);
  }
  if (result != SQLITE_OK) {
    sqlite3_finalize(statement);
    statement = nullptr;
    result = sqlite3_prepare_v2(handle_, sql.data(), static_cast<int>(sql.size()), &statement, &tail);
  }
  if (result != SQLITE_OK) {
    Error error = databaseError("prepare statement");
    sqlite3_finalize(statement);
    return error;
  }
  // Text after the first statement would silently not run.
  std::string rest(tail ? tail : "", tail ? sql.data() + sql.size() - tail : 0);
  if (!isBlank(rest.c_str())) {
    sqlite3_finalize(statement);
    return argumentError("Query contained more than one SQL statement.");
  }
  return statement;
}

Status QZMSqliteStore::executeSQL(std::string_view sql) {
  if (sql.empty()) return argumentError("Received empty SQL string to execute");
  if (!handle_) return closedError("Execute SQL failed. Database not open.");
  auto statement = prepareSQL(sql);
  if (!statement) return statement.error();
  return executeSQLStatement(*statement);
}

Status QZMSqliteStore::executeSQLStatement(sqlite3_stmt* statement) {
  // Schema changes and savepoints move rows where no count sees them.
  tableChanges_.noteAnyChange();
  return executeStatement(statement, "execute statement");
}

Status QZMSqliteStore::executeStatement(sqlite3_stmt* statement, std::string_view operation) {
  absl::Cleanup finalize = [statement] { sqlite3_finalize(statement); };
  if (!statement) return argumentError("Execute SQL statement failed. Statement is NULL.");
  if (!handle_) return closedError("Execute SQL statement failed. Database not open.");
  if (sqlite3_step(statement) != SQLITE_DONE) return databaseError(operation);
  return {};
}

Result<sqlite3_stmt*> QZMSqliteStore::statementForQuery(std::string_view query) { return statementForQuery(query, {}); }

Result<sqlite3_stmt*> QZMSqliteStore::statementForQuery(std::string_view query, const Values& parameterValues) {
  if (!handle_) return closedError("Statement for query failed. Database not open.");
  const bool hasPlaceholders = query.find('?') != std::string_view::npos;
  if (hasPlaceholders && parameterValues.empty()) return argumentError("Received empty parameters");
  auto statement = reusableStatement(query, hasPlaceholders);
  if (!statement) return statement.error();
  if (!parameterValues.empty()) {
    if (Status bound = bindValues(parameterValues, *statement); !bound) {
      cleanUpStatement(*statement, query);
      return bound.error();
    }
  }
  return *statement;
}

Result<sqlite3_stmt*> QZMSqliteStore::reusableStatement(std::string_view sql, bool hasPlaceholders) {
  auto cached = statementCache_.find(sql);
  // A cached statement still in use (a read inside another read of the same
  // query) is left alone; this use gets a statement of its own.
  if (cached != statementCache_.end() && !sqlite3_stmt_busy(cached->second)) return cached->second;
  auto prepared = prepareSQL(sql);
  if (!prepared) return prepared.error();
  if (!*prepared) return argumentError("Received empty SQL string to prepare");
  // Statements with a literal condition are used once.
  bool cacheable = hasPlaceholders || !absl::StrContains(absl::AsciiStrToUpper(QZMAbslView(sql)), "WHERE");
  if (cacheable && cached == statementCache_.end()) statementCache_.emplace(std::string(sql), *prepared);
  return *prepared;
}

Status QZMSqliteStore::writeWithStatement(std::string_view sql, std::string_view operation,
                                          const std::function<Status(sqlite3_stmt*)>& bind) {
  // Writes come in runs of the same few texts (a row per event), so their
  // statements are kept like the reads' are.
  sqlite3_stmt* statement = nullptr;
  bool kept = true;
  auto cached = statementCache_.find(sql);
  if (cached != statementCache_.end() && !sqlite3_stmt_busy(cached->second)) {
    statement = cached->second;
  } else {
    auto prepared = prepareSQL(sql);
    if (!prepared) return prepared.error();
    statement = *prepared;
    kept = cached == statementCache_.end();
    if (kept) statementCache_.emplace(std::string(sql), statement);
  }
  absl::Cleanup cleanUp = [&] {
    if (kept) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    } else {
      sqlite3_finalize(statement);
    }
  };
  if (Status bound = bind(statement); !bound) return bound;
  if (sqlite3_step(statement) != SQLITE_DONE) return databaseError(operation);
  return {};
}

void QZMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, std::string_view forQuery) {
  if (!statement) return;
  auto cached = statementCache_.find(forQuery);
  if (cached == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (cached->second != statement) {
    log(5, 34016, "Statement is not the same one in the cache");
    // Not the cache's to keep, so nobody else will finalize it.
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

Status QZMSqliteStore::bindValues(const Values& values, sqlite3_stmt* toStatement) {
  if (!toStatement) return argumentError("Failed to bind to NULL statement");
  sqlite3_clear_bindings(toStatement);
  // Missing values would silently bind as NULL.
  const int placeholders = sqlite3_bind_parameter_count(toStatement);
  if (static_cast<int>(values.size()) != placeholders)
    return argumentError(absl::StrCat("Received ", values.size(), " values for ", placeholders, " placeholders"));
  std::optional<Error> failure;
  for (std::size_t i = 0; i < values.size(); ++i) {
    Status bound = bindValue(values[i], toStatement, static_cast<int>(i) + 1);
    if (!bound && !failure) failure = bound.error();
  }
  if (failure) return *failure;
  return {};
}

Status QZMSqliteStore::bindValue(const Object& value, sqlite3_stmt* toStatement, int index, bool copyText) {
  int result = SQLITE_OK;
  switch (value.kind()) {
    case Object::Kind::data:
      // Bound without a copy: the values outlive the statement's use. An
      // empty buffer has no pointer, which SQLite would read as NULL.
      result = value.data()->empty() ? sqlite3_bind_zeroblob(toStatement, index, 0)
                                     : sqlite3_bind_blob64(toStatement, index, value.data()->data(),
                                                           value.data()->size(), SQLITE_STATIC);
      break;
    case Object::Kind::floating: result = sqlite3_bind_double(toStatement, index, value.doubleValue()); break;
    case Object::Kind::boolean:
    case Object::Kind::integer: result = sqlite3_bind_int64(toStatement, index, value.int64Value()); break;
    case Object::Kind::string:
      result = sqlite3_bind_text64(toStatement, index, value.string()->data(), value.string()->size(),
                                   copyText ? SQLITE_TRANSIENT : SQLITE_STATIC, SQLITE_UTF8);
      break;
    case Object::Kind::null: result = sqlite3_bind_null(toStatement, index); break;
    default: {
      Error error = databaseError("bind values");
      error.description = "Database operation \"bind values\" failed: value of unexpected type";
      return error;
    }
  }
  if (result != SQLITE_OK) return databaseError("bind values");
  return {};
}

std::optional<Object> QZMSqliteStore::valueAtColumn(int column, sqlite3_stmt* forStatement) {
  Object value;
  if (!readColumn(column, forStatement, value)) return std::nullopt;
  return value;
}

std::string_view QZMSqliteStore::Row::text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

std::span<const std::uint8_t> QZMSqliteStore::Row::blob(int column) const {
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
  if (!bytes) return {};
  return {bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

bool QZMSqliteStore::readColumn(int column, sqlite3_stmt* statement, Object& into) {
  // One call into the connection per column; the value's own accessors take
  // no mutex, which is safe as a store is used from one queue at a time.
  sqlite3_value* value = sqlite3_column_value(statement, column);
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: into = Object(static_cast<std::int64_t>(sqlite3_value_int64(value))); return true;
    case SQLITE_FLOAT: into = Object(sqlite3_value_double(value)); return true;
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_value_text(value);
      if (!text) return false;
      into = Object(std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_value_bytes(value))));
      return true;
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_value_blob(value));
      if (!bytes) return false;
      into = Object(foundation::Data(bytes, bytes + sqlite3_value_bytes(value)));
      return true;
    }
    default: into = Object(); return true;
  }
}

// Every event opens and ends a transaction: their statements are kept.
Status QZMSqliteStore::beginTransaction() {
  if (!handle_) return closedError("Begin transaction failed. Database not open.");
  Status begun = runQuery("BEGIN EXCLUSIVE TRANSACTION", {}, "begin transaction");
  // What other connections committed before is seen now; nothing more can
  // come until the transaction ends.
  if (begun) tableChanges_.noteTransactionBegan();
  return begun;
}
Status QZMSqliteStore::endTransaction() {
  if (!handle_) return closedError("End transaction failed. Database not open.");
  tableChanges_.noteTransactionEnded();
  return runQuery("END TRANSACTION", {}, "end transaction");
}
Status QZMSqliteStore::rollbackTransaction() {
  if (!handle_) return closedError("Rollback failed. Database not open.");
  tableChanges_.noteTransactionEnded();
  return runQuery("ROLLBACK", {}, "rollback");
}

Status QZMSqliteStore::runQuery(std::string_view query, const Values& values, std::string_view operation) {
  auto statement = statementForQuery(query, values);
  if (!statement) return statement.error();
  absl::Cleanup cleanUp = [&] { cleanUpStatement(*statement, query); };
  if (sqlite3_step(*statement) != SQLITE_DONE) return databaseError(operation);
  return {};
}

Status QZMSqliteStore::executeWithBinding(const std::string& sql, const Values& values, std::string_view operation) {
  return writeWithStatement(sql, operation, [&](sqlite3_stmt* statement) { return bindValues(values, statement); });
}

// ---- Schema ----

Status QZMSqliteStore::ensureTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                           const ColumnInfo& addOnColumnInfo,
                                           const ModifyColumnInfo& modifyColumnInfo) {
  if (Status ensured = ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo); !ensured) return ensured;
  if (modifyColumnInfo.empty()) return {};
  // The rebuilt table takes the new declarations; its table-level key is
  // left out, as no table with modified columns declares one.
  auto modified = [&](const ColumnInfo& info) {
    ColumnInfo out;
    for (const auto& entry : info) {
      if (isPrimaryKeyEntry(entry)) continue;
      auto change = modifyColumnInfo.find(entry.first);
      out.emplace_back(entry.first, change == modifyColumnInfo.end() ? entry.second : change->second);
    }
    return out;
  };
  return ensureSchemaOfTableWithName(table, modified(elementaryColumnInfo), modified(addOnColumnInfo));
}

Status QZMSqliteStore::ensureTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                           const ColumnInfo& addOnColumnInfo) {
  if (table.empty()) return argumentError("Received empty table name for ensure table");
  if (elementaryColumnInfo.empty()) return argumentError("Received empty elementary column info for ensure table");
  std::vector<std::string> definitions;
  std::vector<std::string> required;
  for (const auto& entry : elementaryColumnInfo) {
    definitions.push_back(absl::StrCat(entry.first, " ", entry.second));
    if (!isPrimaryKeyEntry(entry)) required.push_back(entry.first);
  }
  std::string create =
      absl::StrCat("CREATE TABLE IF NOT EXISTS ", QZMAbslView(table), " ( ", absl::StrJoin(definitions, ", "), ");");
  AddOnColumns addOns;
  for (const auto& [column, declaration] : addOnColumnInfo) {
    if (column.empty()) continue;
    if (declaration.empty()) return closedError("Failed to create alter statement for table");
    addOns.emplace_back(column, absl::StrCat("ALTER TABLE ", QZMAbslView(table), " ADD COLUMN ", QZMAbslView(column),
                                             " ", declaration));
  }
  return ensureTableWithName(table, create, required, addOns);
}

Status QZMSqliteStore::ensureTableWithName(std::string_view table, std::string_view createSQL,
                                           const std::vector<std::string>& requiredColumnNames,
                                           const AddOnColumns& addOnColumns) {
  if (table.empty()) return argumentError("Received empty table name for ensure table");
  if (requiredColumnNames.empty()) return argumentError("Received no table columns for ensure table");
  if (createSQL.empty()) return argumentError("Received empty create statement for ensure table");
  if (!handle_) return closedError("Ensure table failed. Database not open.");
  auto exists = tableExists(table);
  if (!exists) return exists.error();
  if (!*exists) {
    if (Status created = executeSQL(createSQL); !created) return created;
  }
  return validateTableWithName(table, requiredColumnNames, addOnColumns);
}

Status QZMSqliteStore::validateTableWithName(std::string_view table,
                                             const std::vector<std::string>& requiredColumnNames,
                                             const AddOnColumns& addOnColumns) {
  if (table.empty()) return argumentError("Received empty table name for validate table");
  if (requiredColumnNames.empty()) return argumentError("Received no table columns for validate table");
  if (!handle_) return closedError("Validate table failed. Database not open.");
  auto present = columnsForTableWithName(table);
  if (!present) return present.error();
  if (present->empty()) return closedError("Table does not exist for validate table");

  std::set<std::string, std::less<>> extra(present->begin(), present->end());
  for (const auto& name : requiredColumnNames) {
    if (!extra.erase(name)) return closedError("Table is missing required columns");
  }
  for (const auto& [column, alter] : addOnColumns) {
    if (extra.erase(column)) continue;
    if (Status added = executeSQL(alter); !added) return added;
  }
  if (extra.empty()) return {};

  // Columns outside the description are accepted when nullable: rows
  // written without them stay valid.
  auto rows = readRecords(absl::StrCat("PRAGMA table_info(", QZMAbslView(table), ")"), {}, nullptr);
  if (!rows) return rows.error();
  for (const auto& row : *rows) {
    const Object* name = row.count("name") ? &row.at("name") : nullptr;
    const Object* notNull = row.count("notnull") ? &row.at("notnull") : nullptr;
    if (name && name->isString() && extra.count(*name->string()) && notNull && notNull->int64Value() != 0) {
      return closedError("Table contains unknown non-optional columns");
    }
  }
  return {};
}

Status QZMSqliteStore::ensureSchemaOfTableWithName(std::string_view table, const ColumnInfo& elementaryColumnInfo,
                                                   const ColumnInfo& addOnColumnInfo) {
  if (table.empty()) return argumentError("Received empty table name for ensure table schema");
  if (elementaryColumnInfo.empty()) return argumentError("Received empty column info for ensure table schema");
  auto present = columnInfoForTableWithName(table);
  if (!present) return present.error();
  if (present->empty()) return closedError("Table does not exist for ensure table schema");

  std::map<std::string, std::string> expected;
  for (const auto& entry : elementaryColumnInfo) {
    if (isPrimaryKeyEntry(entry) || entry.first.empty() || entry.second.empty()) continue;
    expected[entry.first] = entry.second.substr(0, entry.second.find(' '));
  }
  for (const auto& [column, declaration] : addOnColumnInfo) {
    if (!column.empty() && !declaration.empty()) expected[column] = declaration;
  }
  if (*present == expected) return {};

  const std::string old = absl::StrCat(QZMAbslView(table), "_old");
  std::optional<Error> stepError;
  auto step = [&](Status status) {
    if (!status) stepError = status.error();
    return status.ok();
  };
  Status rebuilt = performTransactionWithError([&] {
    return step(renameTable(table, old)) && step(ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo)) &&
           step(copyContentsFromTable(old, table)) && step(dropTableWithName(old));
  });
  if (rebuilt) return {};
  return rebuilt.error();
}

Result<bool> QZMSqliteStore::tableExists(std::string_view table) {
  if (table.empty()) return argumentError("Received empty table name for table exists");
  if (!handle_) return closedError("Table exists failed. Database not open.");
  auto statement = prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
  if (!statement) return statement.error();
  absl::Cleanup finalize = [&] { sqlite3_finalize(*statement); };
  if (Status bound = bindValues({Object(table)}, *statement); !bound) return bound.error();
  int result = sqlite3_step(*statement);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  return databaseError("table exists");
}

Result<std::vector<std::string>> QZMSqliteStore::columnsForTableWithName(std::string_view table) {
  if (table.empty()) return argumentError("Received empty table name for get columns");
  if (!handle_) return closedError("Get table columns failed. Database not open.");
  auto rows = readRecords(absl::StrCat("PRAGMA table_info(", QZMAbslView(table), ")"), {}, nullptr);
  if (!rows) return rows.error();
  std::vector<std::string> names;
  for (const auto& row : *rows) {
    auto name = row.find("name");
    if (name != row.end() && name->second.isString() && !name->second.string()->empty())
      names.push_back(*name->second.string());
  }
  return names;
}

Result<std::map<std::string, std::string>> QZMSqliteStore::columnInfoForTableWithName(std::string_view table) {
  if (table.empty()) return argumentError("Received empty table name for column info");
  if (!handle_) return closedError("Get table column info failed. Database not open.");
  auto rows = readRecords(absl::StrCat("PRAGMA table_info(", QZMAbslView(table), ")"), {}, nullptr);
  if (!rows) return rows.error();
  std::map<std::string, std::string> info;
  for (const auto& row : *rows) {
    auto name = row.find("name");
    auto type = row.find("type");
    if (name == row.end() || type == row.end() || !name->second.isString() || !type->second.isString()) continue;
    if (name->second.string()->empty() || type->second.string()->empty()) continue;
    info[*name->second.string()] = *type->second.string();
  }
  return info;
}

Status QZMSqliteStore::dropTableWithName(std::string_view table) {
  if (table.empty()) return argumentError("Received empty table name for drop table");
  return executeSQL(absl::StrCat("DROP TABLE ", QZMAbslView(table)));
}

Status QZMSqliteStore::renameTable(std::string_view oldName, std::string_view toName) {
  if (oldName.empty()) return argumentError("Received empty old name for rename table");
  if (toName.empty()) return argumentError("Received empty new name for rename table");
  if (oldName == toName) return argumentError("Received duplicate name for rename table");
  return executeSQL(absl::StrCat("ALTER TABLE ", QZMAbslView(oldName), " RENAME TO ", QZMAbslView(toName)));
}

Status QZMSqliteStore::copyContentsFromTable(std::string_view source, std::string_view toTable) {
  if (source.empty()) return argumentError("Received empty source name for copy table");
  if (toTable.empty()) return argumentError("Received empty destination name for copy table");
  if (source == toTable) return argumentError("Received duplicate name for copy table");
  auto from = columnsForTableWithName(source);
  if (!from) return from.error();
  auto to = columnsForTableWithName(toTable);
  if (!to) return to.error();
  // By name, never by position: the two tables may list their columns in
  // different orders, and the source may hold columns the destination lacks.
  std::vector<std::string> columns = {"rowid"};
  for (const auto& column : *to) {
    if (std::find(from->begin(), from->end(), column) != from->end()) columns.push_back(quotedIdentifier(column));
  }
  if (columns.size() == 1) return closedError("Tables share no columns for copy table");
  std::string list = absl::StrJoin(columns, ", ");
  return executeSQL(
      absl::StrCat("INSERT INTO ", QZMAbslView(toTable), " (", list, ") SELECT ", list, " FROM ", QZMAbslView(source)));
}

Status QZMSqliteStore::createEmptyTable(std::string_view newName, std::string_view fromTable) {
  if (fromTable.empty()) return argumentError("Received empty source name for create empty copy");
  if (newName.empty()) return argumentError("Received empty destination name for create empty copy");
  if (newName == fromTable) return argumentError("Received duplicate name for create empty copy");
  return executeSQL(absl::StrCat("CREATE TABLE IF NOT EXISTS ", QZMAbslView(newName), " AS SELECT * FROM ",
                                 QZMAbslView(fromTable), " WHERE false"));
}

// ---- Records ----

namespace {

bool isBindable(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::data:
    case Object::Kind::boolean:
    case Object::Kind::integer:
    case Object::Kind::floating:
    case Object::Kind::string:
    case Object::Kind::null: return true;
    default: return false;
  }
}

}  // namespace

Status QZMSqliteStore::upsertRecord(const Record& record, std::string_view inTableWithName) {
  if (record.empty()) return argumentError("Received empty record for upsert");
  if (inTableWithName.empty()) return argumentError("Received empty table name for upsert");
  if (!handle_) return closedError("Upsert record failed. Database not open.");
  // Rows of one table come in runs with the same columns: their text is
  // made once.
  const UpsertText& text = lastUpsert_;
  bool sameText = text.table == inTableWithName && text.columns.size() == record.size();
  auto known = text.columns.begin();
  for (const auto& [column, value] : record) {
    if (!isBindable(value)) {
      log(4, 34020, "Record has value of unexpected type");
      return argumentError("Record has value of unexpected type");
    }
    if (sameText) sameText = *known++ == column;
  }
  if (!sameText) {
    std::vector<std::string_view> columns;
    columns.reserve(record.size());
    for (const auto& entry : record) columns.push_back(entry.first);
    prepareUpsertText(inTableWithName, columns);
  }
  // The values are bound straight from the record, which outlives the step:
  // no copy of a row's text or data.
  return writeUpsert([&](sqlite3_stmt* statement) -> Status {
    int index = 0;
    for (const auto& entry : record)
      if (Status bound = bindValue(entry.second, statement, ++index, false); !bound) return bound;
    return {};
  });
}

Status QZMSqliteStore::upsertValues(std::string_view inTableWithName, std::span<const std::string_view> columns,
                                    std::span<const Object> values) {
  if (columns.empty()) return argumentError("Received empty record for upsert");
  if (columns.size() != values.size())
    return argumentError(absl::StrCat("Received ", values.size(), " values for ", columns.size(), " columns"));
  if (inTableWithName.empty()) return argumentError("Received empty table name for upsert");
  if (!handle_) return closedError("Upsert record failed. Database not open.");
  for (const Object& value : values) {
    if (!isBindable(value)) {
      log(4, 34020, "Record has value of unexpected type");
      return argumentError("Record has value of unexpected type");
    }
  }
  const UpsertText& text = lastUpsert_;
  if (text.table != inTableWithName || !std::equal(columns.begin(), columns.end(), text.columns.begin(),
                                                   text.columns.end())) {
    prepareUpsertText(inTableWithName, columns);
  }
  return writeUpsert([&](sqlite3_stmt* statement) -> Status {
    int index = 0;
    for (const Object& value : values)
      if (Status bound = bindValue(value, statement, ++index, false); !bound) return bound;
    return {};
  });
}

void QZMSqliteStore::prepareUpsertText(std::string_view table, std::span<const std::string_view> columns) {
  UpsertText& text = lastUpsert_;
  text.table = std::string(table);
  text.columns.assign(columns.begin(), columns.end());
  text.sql = absl::StrCat("INSERT OR REPLACE INTO ", QZMAbslView(table), " (");
  for (std::size_t i = 0; i < columns.size(); ++i)
    absl::StrAppend(&text.sql, i == 0 ? "" : ", ", QZMAbslView(columns[i]));
  text.sql += ") VALUES (";
  for (std::size_t i = 0; i < columns.size(); ++i) text.sql += i == 0 ? "?" : ", ?";
  text.sql += ");";
  text.statement = nullptr;
}

Status QZMSqliteStore::writeUpsert(const std::function<Status(sqlite3_stmt*)>& bind) {
  sqlite3_stmt* kept = lastUpsert_.statement;
  if (kept == nullptr || sqlite3_stmt_busy(kept)) {
    Status written = writeWithStatement(lastUpsert_.sql, "execute statement", bind);
    // The next row of the run finds its statement without hashing the text.
    auto cached = statementCache_.find(lastUpsert_.sql);
    if (cached != statementCache_.end()) lastUpsert_.statement = cached->second;
    return written;
  }
  absl::Cleanup cleanUp = [kept] {
    sqlite3_reset(kept);
    sqlite3_clear_bindings(kept);
  };
  if (Status bound = bind(kept); !bound) return bound;
  if (sqlite3_step(kept) != SQLITE_DONE) return databaseError("execute statement");
  return {};
}

Status QZMSqliteStore::updateRecord(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                    const Object& columnValue) {
  if (record.empty()) return argumentError("Empty record for update");
  if (inTableWithName.empty()) return argumentError("Empty table name for update");
  if (columnName.empty()) return argumentError("Empty column name for update");
  if (columnValue.isNull()) return argumentError("Nil column value for update");
  if (!handle_) return closedError("Update record failed. Database not open.");
  std::vector<std::string> assignments;
  for (const auto& [column, value] : record) {
    if (!isBindable(value)) {
      log(4, 34021, "Record has value of unexpected type (update)");
      return argumentError("Failed to bind parameter of unexpected type to update statement");
    }
    assignments.push_back(absl::StrCat(QZMAbslView(column), "=?"));
  }
  std::string sql = absl::StrCat("UPDATE ", QZMAbslView(inTableWithName), " SET ", absl::StrJoin(assignments, ","),
                                 " WHERE ", QZMAbslView(columnName), "=?");
  return writeWithStatement(sql, "execute statement", [&](sqlite3_stmt* statement) -> Status {
    int index = 0;
    for (const auto& entry : record)
      if (Status bound = bindValue(entry.second, statement, ++index, false); !bound) return bound;
    return bindValue(columnValue, statement, ++index, false);
  });
}

Status QZMSqliteStore::updateAllRecordsInTableWithName(std::string_view table, std::string_view columnName,
                                                       const Object& columnValue) {
  if (table.empty()) return argumentError("Empty table name for update");
  if (columnName.empty()) return argumentError("Empty column name for update");
  if (columnValue.isNull()) return argumentError("Nil column value for update");
  if (!handle_) return closedError("Update record failed. Database not open.");
  return runQuery(absl::StrCat("UPDATE ", QZMAbslView(table), " SET ", QZMAbslView(columnName), "=?"), {columnValue},
                  "update all records value");
}

Status QZMSqliteStore::increaseColumn(std::string_view column, std::int64_t byValue, std::string_view inTable,
                                      std::string_view condition, const Values& parameterValues) {
  if (inTable.empty()) return argumentError("Empty table name for increase column");
  if (column.empty()) return argumentError("Empty column name for increase column");
  if (condition.empty()) return argumentError("Empty condition for increase column");
  if (!handle_) return closedError("Increase column failed. Database not open.");
  auto info = columnInfoForTableWithName(inTable);
  if (!info) return info.error();
  auto type = info->find(std::string(column));
  if (type == info->end()) return argumentError("Invalid column or table name");
  if (absl::AsciiStrToUpper(type->second) != "INTEGER") return argumentError("Column type is not integer.");
  return runQuery(absl::StrCat("UPDATE ", QZMAbslView(inTable), " SET ", QZMAbslView(column), " = ",
                               QZMAbslView(column), " + ", byValue, " WHERE ", QZMAbslView(condition)),
                  parameterValues, "increase records value");
}

Status QZMSqliteStore::deleteRecordFromTableWithName(std::string_view table, std::string_view columnName,
                                                     const Object& columnValue) {
  if (table.empty()) return argumentError("Received empty table name for delete record");
  if (columnName.empty()) return argumentError("Received empty column for delete record");
  if (columnValue.isNull()) return argumentError("Received nil value for delete record");
  if (!handle_) return closedError("Delete record failed. Database not open.");
  return executeWithBinding(absl::StrCat("DELETE FROM ", QZMAbslView(table), " WHERE ", QZMAbslView(columnName), "=?"),
                            {columnValue}, "delete record");
}

Result<std::int64_t> QZMSqliteStore::deleteRecordsFromTableWithName(std::string_view table, std::string_view condition,
                                                                    const Values& parameterValues) {
  if (table.empty()) return argumentError("Received empty table name for delete record");
  if (condition.empty()) return argumentError("Received empty condition for delete record");
  if (!handle_) return closedError("Delete records with condition failed. Database not open.");
  if (Status deleted = runQuery(absl::StrCat("DELETE FROM ", QZMAbslView(table), " WHERE ", QZMAbslView(condition)),
                                parameterValues, "delete records with condition");
      !deleted) {
    return deleted.error();
  }
  return static_cast<std::int64_t>(sqlite3_changes64(handle_));
}

Status QZMSqliteStore::deleteAllRecordsFromTableWithName(std::string_view table) {
  if (table.empty()) return argumentError("Received empty table name for delete all records");
  if (!handle_) return closedError("Delete all records failed. Database not open.");
  return runQuery(absl::StrCat("DELETE FROM ", QZMAbslView(table)), {}, "delete all records");
}

Result<std::vector<QZMSqliteStore::Record>> QZMSqliteStore::recordsForQuery(std::string_view query,
                                                                            const Values& parameterValues) {
  return recordsForQuery(query, parameterValues, RecordFilter(), true);
}

Result<std::vector<QZMSqliteStore::Record>> QZMSqliteStore::recordsForQuery(std::string_view query,
                                                                            const Values& parameterValues,
                                                                            const RecordFilter& withFilter) {
  return recordsForQuery(query, parameterValues, withFilter, false);
}

Result<std::vector<QZMSqliteStore::Record>> QZMSqliteStore::recordsForQuery(std::string_view query,
                                                                            const Values& parameterValues,
                                                                            const RecordFilter& filter,
                                                                            bool keepAll) {
  if (query.empty()) return argumentError("Received empty query for records for query");
  if (!filter && !keepAll) return argumentError("Received empty filter for selecting records");
  if (Status checked = checkSelectQuery(query); !checked) return checked.error();
  return readRecords(query, parameterValues, filter);
}

Status QZMSqliteStore::visitRecordsForQuery(std::string_view query, const Values& parameterValues,
                                            const RecordVisitor& visitor) {
  if (query.empty()) return argumentError("Received empty query for records for query");
  if (!visitor) return argumentError("Received empty filter for selecting records");
  if (Status checked = checkSelectQuery(query); !checked) return checked;
  return stepRecords(query, parameterValues, visitor);
}

Status QZMSqliteStore::visitRowsForQuery(std::string_view query, const Values& parameterValues,
                                         const RowVisitor& visitor) {
  if (query.empty()) return argumentError("Received empty query for records for query");
  if (!visitor) return argumentError("Received empty filter for selecting records");
  if (Status checked = checkSelectQuery(query); !checked) return checked;
  auto statement = statementForQuery(query, parameterValues);
  if (!statement) return statement.error();
  absl::Cleanup cleanUp = [&] { cleanUpStatement(*statement, query); };
  const Row row(*statement);
  for (;;) {
    HeldConnection held(handle_);
    int result = sqlite3_step(*statement);
    if (result == SQLITE_DONE) return {};
    if (result != SQLITE_ROW) return databaseError("query records");
    if (!visitor(row)) return {};
  }
}

Status QZMSqliteStore::checkSelectQuery(std::string_view query) {
  if (!absl::StartsWithIgnoreCase(QZMAbslView(query), "select")) return argumentError("Received invalid select query");
  if (!handle_) return closedError("Query records failed. Database not open.");
  return {};
}

Result<std::vector<QZMSqliteStore::Record>> QZMSqliteStore::readRecords(std::string_view query,
                                                                        const Values& parameterValues,
                                                                        const RecordFilter& filter) {
  std::vector<Record> rows;
  bool sawRow = false;
  Status read = stepRecords(query, parameterValues, [&](Record&& row) {
    sawRow = true;
    if (filter && !filter(rows.size(), row)) return false;
    rows.push_back(std::move(row));
    return true;
  });
  // Rows read before a failure are no answer: the caller would take a part
  // for the whole.
  if (!read) return read.error();
  if (sawRow && rows.empty()) log(4, 34005, "Database contains records that were all filtered out");
  return rows;
}

Status QZMSqliteStore::stepRecords(std::string_view query, const Values& parameterValues,
                                   const RecordVisitor& visitor) {
  auto statement = statementForQuery(query, parameterValues);
  if (!statement) return statement.error();
  absl::Cleanup cleanUp = [&] { cleanUpStatement(*statement, query); };

  // The column names, once per read, in key order, so that each row's
  // dictionary is built by appending; of columns of the same name the later
  // one wins.
  struct Column {
    std::string name;
    int index;
  };
  std::vector<Column> columns;
  bool namesMissing = false;
  const int columnCount = sqlite3_column_count(*statement);
  for (int i = 0; i < columnCount; ++i) {
    const char* name = sqlite3_column_name(*statement, i);
    if (name) {
      columns.push_back({name, i});
    } else {
      namesMissing = true;
    }
  }
  std::stable_sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) { return a.name < b.name; });
  for (std::size_t i = 0; i + 1 < columns.size();) {
    if (columns[i].name == columns[i + 1].name) {
      columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  auto sameKeys = [&columns](const Record& row) {
    return row.size() == columns.size() &&
           std::equal(row.begin(), row.end(), columns.begin(),
                      [](const auto& entry, const Column& column) { return entry.first == column.name; });
  };

  // A visitor that takes the values but leaves the row's entries lets the
  // next row reuse them, so most rows cost no allocation beyond their values.
  Record row;
  for (;;) {
    {
      HeldConnection held(handle_);
      int result = sqlite3_step(*statement);
      if (result == SQLITE_DONE) return {};
      if (result != SQLITE_ROW) return databaseError("query records");
      if (namesMissing) log(4, 34003, "Failed to get column name");
      const bool reuse = sameKeys(row);
      if (!reuse) row.clear();
      auto slot = row.begin();
      for (const Column& column : columns) {
        if (!reuse) slot = row.emplace_hint(row.end(), column.name, Object());
        if (readColumn(column.index, *statement, slot->second)) {
          ++slot;
        } else {
          log(4, 34004, "Value is nil for column", column.name);
          slot = row.erase(slot);
        }
      }
    }
    if (!visitor(std::move(row))) return {};
  }
}

Result<std::optional<Object>> QZMSqliteStore::numberForQuery(std::string_view query, const Values& parameterValues) {
  if (query.empty()) return argumentError("Received empty query to get numeric result");
  if (!handle_) return closedError("Query numeric result failed. Database not open.");
  auto statement = statementForQuery(query, parameterValues);
  if (!statement) return statement.error();
  absl::Cleanup cleanUp = [&] { cleanUpStatement(*statement, query); };
  if (sqlite3_step(*statement) != SQLITE_ROW) return databaseError("query numeric result");
  switch (sqlite3_column_type(*statement, 0)) {
    case SQLITE_NULL: return std::optional<Object>();
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: return valueAtColumn(0, *statement);
    default: return argumentError("Found result that was not numeric");
  }
}

Result<std::int64_t> QZMSqliteStore::rowCountForTableWithName(std::string_view table) {
  return rowCountForTableWithName(table, {}, Object());
}

Result<std::int64_t> QZMSqliteStore::rowCountForTableWithName(std::string_view table, std::string_view columnName,
                                                              const Object& columnValue) {
  if (table.empty()) return argumentError("Received empty table name for row count");
  if (!handle_) return closedError("Row count failed. Database not open.");
  std::string query = absl::StrCat("SELECT count(1) FROM ", QZMAbslView(table));
  Values values;
  if (!columnName.empty() && !columnValue.isNull()) {
    absl::StrAppend(&query, " WHERE ", QZMAbslView(columnName), "=?");
    values.push_back(columnValue);
  }
  auto count = numberForQuery(query, values);
  if (!count) return count.error();
  return count->has_value() ? (*count)->int64Value() : 0;
}

Status QZMSqliteStore::performTransactionWithError(const TransactionBlock& block) {
  if (!block) return argumentError("Received nil transaction block");
  if (!handle_) return closedError("Database not open");
  if (!beginTransaction()) return transactionError("Failed to begin transaction");
  bool commit = false;
  try {
    commit = block();
  } catch (...) {
    if (!rollbackTransaction()) log(1, 34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (!commit) {
    Error error = transactionError("Transaction failed");
    if (!rollbackTransaction()) log(1, 34011, "Failed to rollback transaction");
    return error;
  }
  if (!endTransaction()) {
    // Left open, the transaction would make every later BEGIN fail.
    Error error = transactionError("Failed to end transaction");
    if (!rollbackTransaction()) log(1, 34011, "Failed to rollback transaction");
    return error;
  }
  return {};
}

bool QZMSqliteStore::isPassingFailure(const foundation::Error& error) {
  // The SQLite code is the middle part of the monitor context
  // "operation,code,A|NA" that databaseError writes.
  std::string context = QZMMonitorContextOfError(error);
  if (error.code != 3 || context.empty()) return false;
  auto last = context.rfind(',');
  auto before = last == std::string::npos || last == 0 ? std::string::npos : context.rfind(',', last - 1);
  if (before == std::string::npos) return false;
  int code = 0;
  if (!absl::SimpleAtoi(absl::string_view(context).substr(before + 1, last - before - 1), &code)) return false;
  switch (code & 0xff) {
    case SQLITE_PERM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL: return true;
    default: return false;
  }
}

std::string QZMSqliteStore::escapedLikePattern(std::string_view text) {
  std::string pattern;
  for (char c : text) {
    if (c == '!' || c == '_' || c == '%') pattern += '!';
    pattern += c;
  }
  return pattern;
}
