#include <gtest/gtest.h>

#include <stdexcept>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/foundation/Files.h"

namespace {

using foundation::Data;
using foundation::Object;
using foundation::Result;
using Record = QZMDatabase::Record;

class Database : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    path = QZMApplicationSupportFilePath(kQZMDatabaseName);
  }

  std::shared_ptr<QZMDatabase> open() {
    auto database = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr);
    EXPECT_TRUE(database.ok()) << (database.ok() ? "" : database.error().text());
    return database.ok() ? *database : nullptr;
  }

  // A file laid out by raw SQL, as an older release left it.
  void writeOldFile(const std::string& sql) {
    ASSERT_TRUE(foundation::createDirectory(foundation::deletingLastPathComponent(path)).ok());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << message;
    sqlite3_free(message);
    sqlite3_close(db);
  }

  static std::vector<Record> rows(QZMDatabase& database, const std::string& query) {
    return database.sqliteStore()->recordsForQuery(query, {}).value();
  }

  // SQLite's file change counter: it moves with every committed write.
  std::uint32_t changeCounter() {
    auto bytes = foundation::readFile(path).value();
    return std::uint32_t{bytes[24]} << 24 | std::uint32_t{bytes[25]} << 16 | std::uint32_t{bytes[26]} << 8 | bytes[27];
  }

  static Result<Record> asRow(const Record& row) { return row; }

  std::string path;
};

TEST_F(Database, NewFileGetsEveryTableAndOneAppMetadataRowAndReopeningWritesNothing) {
  {
    auto database = open();
    ASSERT_TRUE(database);
    EXPECT_EQ(database->databasePath(), path);
    for (const auto& table : QZMMeasurementDatabaseSchema()) {
      auto info = database->sqliteStore()->columnInfoForTableWithName(table.name).value();
      std::map<std::string, std::string> expected;
      for (const auto& [column, declaration] : table.elementaryColumns) {
        if (column != QZMSqliteStore::kPrimaryKeyColumnName)
          expected[column] = declaration.substr(0, declaration.find(' '));
      }
      for (const auto& [column, declaration] : table.addOnColumns) expected[column] = declaration;
      for (const auto& [column, declaration] : table.modifiedColumns)
        expected[column] = declaration.substr(0, declaration.find(' '));
      EXPECT_EQ(info, expected) << table.name;
    }
    EXPECT_EQ(QZMMeasurementDatabaseSchema().size(), 14u);
    EXPECT_EQ(database->sqliteStore()->columnInfoForTableWithName("raw_events")->at("timestamp"), "REAL");

    auto metadata = rows(*database, "SELECT rowid, * FROM app_metadata");
    ASSERT_EQ(metadata.size(), 1u);
    EXPECT_EQ(metadata[0].at("rowid"), Object(1));
    EXPECT_EQ(metadata[0].at("last_bundle_index"), Object(0));
    EXPECT_EQ(metadata[0].at("last_delivery_index"), Object(0));
    EXPECT_EQ(metadata[0].at("last_bundle_start_timestamp"), Object(0.0));
    EXPECT_EQ(metadata[0].at("last_bundle_end_timestamp"), Object(0.0));
    EXPECT_EQ(metadata[0].at("day"), Object());
  }
  EXPECT_TRUE(foundation::isExcludedFromBackup(path));
  const auto before = changeCounter();
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(changeCounter(), before);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName("app_metadata").value(), 1);
}

TEST_F(Database, OlderFileIsMigratedKeepingItsRows) {
  writeOldFile(
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint INTEGER NOT "
      "NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data) VALUES "
      "(5, '_s', 1700000000, -42, x'0a01'), (8, 'buy', 1700000001, 7, x'0b');"
      "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, is_realtime INTEGER);"
      "INSERT INTO queue VALUES (x'1f8b', 1700000002.5, 0);"
      "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES (1, 41, 1699999999.0);");
  auto database = open();
  ASSERT_TRUE(database);

  EXPECT_EQ(database->sqliteStore()->columnInfoForTableWithName("raw_events")->at("timestamp"), "REAL");
  auto raw = rows(*database, "SELECT rowid, * FROM raw_events ORDER BY rowid");
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0], (Record{{"rowid", 5},
                            {"name", "_s"},
                            {"timestamp", 1700000000.0},
                            {"metadata_fingerprint", -42},
                            {"data", Data{0x0a, 0x01}},
                            {"is_realtime", Object()}}));
  EXPECT_EQ(raw[1].at("rowid"), Object(8));

  auto queue = rows(*database, "SELECT * FROM queue");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].at("retry_count"), Object());
  EXPECT_EQ(queue[0].at("bundle_end_timestamp"), Object(1700000002.5));

  // The existing metadata row is kept, not rewritten.
  auto metadata = rows(*database, "SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].at("last_bundle_index"), Object(41));
  EXPECT_EQ(metadata[0].at("last_delivery_index"), Object());
}

TEST_F(Database, DamagedFileIsReplacedByAnEmptyOne) {
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string(8192, '\x5a')).ok());
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName("app_metadata").value(), 1);
}

TEST_F(Database, FileWhoseSchemaCannotBeMadeIsClosedAndMovedAsideAndTheNextOpenStartsEmpty) {
  writeOldFile(
      "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
      "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, owner TEXT NOT NULL);"
      "INSERT INTO events VALUES ('kept', 1, 1, 2.5, 'me');");
  auto failed = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().description, "Table contains unknown non-optional columns");
  ASSERT_EQ(linesWithCode(12047).size(), 1u);
  EXPECT_EQ(linesWithCode(12047)[0].contexts[0], "events");
  ASSERT_EQ(linesWithCode(12002).size(), 1u);
  EXPECT_EQ(linesWithCode(12002)[0].message, "Failed to create or validate required database tables (Init)");
  EXPECT_FALSE(foundation::fileExists(path));
  // Its rows are kept beside it, as a file SQLite still reads.
  ASSERT_TRUE(foundation::fileExists(path + ".corrupt"));
  {
    auto kept = QZMSqliteStore::initWithDatabasePath(path + ".corrupt");
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ((*kept)->rowCountForTableWithName("events").value(), 1);
  }

  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(database->sqliteStore()->columnsForTableWithName("events")->size(), 10u);
}

TEST_F(Database, SchemaIsLaidOutInOneTransactionThatAFailingTableRollsBack) {
  {
    auto database = open();
    ASSERT_TRUE(database);
  }
  // The tables and the app metadata row: two commits, however many tables.
  EXPECT_LE(changeCounter(), 2u);

  ASSERT_TRUE(foundation::removeItem(path).ok());
  writeOldFile(
      "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
      "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, owner TEXT NOT NULL);");
  ASSERT_FALSE(QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr).ok());
  // The tables made before the failing one went with the rollback.
  auto kept = QZMSqliteStore::initWithDatabasePath(path + ".corrupt");
  ASSERT_TRUE(kept.ok());
  auto tables = (*kept)->recordsForQuery("SELECT name FROM sqlite_master WHERE type = 'table'", {});
  ASSERT_TRUE(tables.ok());
  ASSERT_EQ(tables->size(), 1u);
  EXPECT_EQ(tables->front().at("name"), Object("events"));
}

TEST_F(Database, FileThatCannotBeMigratedForNowKeepsItsDataForTheNextOpen) {
  writeOldFile(
      "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, is_realtime INTEGER);"
      "INSERT INTO queue VALUES (x'1f8b', 1700000002.5, 0);");
  // Another program writes to the file: no migration can write now.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto failed = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, 3);
  EXPECT_EQ(linesWithCode(12002).size(), 1u);
  EXPECT_TRUE(foundation::fileExists(path));
  EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  auto database = open();
  ASSERT_TRUE(database);
  auto queue = rows(*database, "SELECT * FROM queue");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].at("bundle_end_timestamp"), Object(1700000002.5));
}

TEST_F(Database, CappedUpsertRefusesNewKeysInAFullTableAndRewritesExistingOnes) {
  auto database = open();
  auto event = [](const std::string& name, int count) {
    return Record{{"name", name}, {"lifetime_count", count}, {"current_bundle_count", 0}, {"last_fire_timestamp", 1.0}};
  };
  ASSERT_TRUE(database
                  ->performTransaction([&] {
                    for (int i = 0; i < 2000; ++i) {
                      std::string name = "e" + std::to_string(i);
                      if (!database->upsertDataType(event(name, 1), kQZMEventsTable, "name", name, kQZMEventsLimit))
                        return false;
                    }
                    return true;
                  })
                  .ok());
  auto full = database->upsertDataType(event("e2000", 1), kQZMEventsTable, "name", "e2000", kQZMEventsLimit);
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().code, 2);
  EXPECT_EQ(full.error().description, "Failed to insert data type. Table is full");
  ASSERT_TRUE(database->upsertDataType(event("e7", 9), kQZMEventsTable, "name", "e7", kQZMEventsLimit).ok());

  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kQZMEventsTable).value(), 2000);
  auto e7 = database->dataTypesFromTableWithName<Record>(kQZMEventsTable, "name", "e7", asRow).value();
  ASSERT_EQ(e7.size(), 1u);
  EXPECT_EQ(e7[0].at("lifetime_count"), Object(9));
}

TEST_F(Database, UpdateChangesOnlyAnExistingRowsGivenColumns) {
  auto database = open();
  ASSERT_TRUE(database
                  ->insertDataType({{"name", "p"}, {"origin", "app"}, {"set_timestamp", 1.0}, {"value", Data{1}}},
                                   kQZMUserAttributesTable)
                  .ok());
  ASSERT_TRUE(database->updateDataType({{"origin", "auto"}}, kQZMUserAttributesTable, "name", "p").ok());
  auto missing = database->updateDataType({{"origin", "auto"}}, kQZMUserAttributesTable, "name", "q");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "Failed to update record. Item doesn't exist");

  auto all = database->allDataTypesFromTableWithName<Record>(kQZMUserAttributesTable, -1, asRow).value();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0],
            (Record{{"rowid", 1}, {"name", "p"}, {"origin", "auto"}, {"set_timestamp", 1.0}, {"value", Data{1}}}));
}

TEST_F(Database, GenericReadsConvertRowsInOrderAndSkipOnesThatDoNotConvert) {
  auto database = open();
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(database->insertDataType({{"fingerprint", std::to_string(i)}}, kQZMPurchaseTransactionsTable).ok());
  }
  QZMDatabase::CreateDataTypeBlock<int> evenOnly = [](const Record& row) -> Result<int> {
    int value = std::stoi(*row.at("fingerprint").string());
    if (value % 2) return qzm_errorWithCode(3, "odd");
    return value;
  };
  EXPECT_EQ(database->allDataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, 4, evenOnly).value(),
            (std::vector<int>{2, 4}));
  EXPECT_EQ(database->allDataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, -1, evenOnly).value(),
            (std::vector<int>{2, 4}));
  EXPECT_TRUE(database->dataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, "fingerprint", "9", evenOnly)
                  .value()
                  .empty());
  auto noneConverted =
      database->dataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, "fingerprint", "3", evenOnly);
  ASSERT_FALSE(noneConverted.ok());
  EXPECT_EQ(noneConverted.error().description, "Failed to initialize data types from dictionaries");

  struct Case {
    Result<std::vector<int>> result;
    std::int64_t code;
    std::string description;
  } cases[] = {
      {database->allDataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, -1, nullptr), 1,
       "Received nil block to get all data types"},
      {database->dataTypesFromTableWithName<int>("", "fingerprint", "1", evenOnly), 1,
       "Received empty table name to create data type from table"},
      {database->dataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, "", "1", evenOnly), 1,
       "Received empty column name to create data type from table"},
      {database->dataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, "fingerprint", Object(), evenOnly), 1,
       "Received nil column value to create data type from table"},
      {database->dataTypesFromTableWithName<int>(kQZMPurchaseTransactionsTable, "fingerprint", "1", nullptr), 2,
       "Received nil block to create data type from table"},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.result.ok()) << c.description;
    EXPECT_EQ(c.result.error().code, c.code);
    EXPECT_EQ(c.result.error().description, c.description);
  }
}

TEST_F(Database, TransactionsCommitTogetherOrLeaveNoTrace) {
  auto database = open();
  auto insert = [&](const char* fingerprint) {
    return database->insertDataType({{"fingerprint", fingerprint}}, kQZMPurchaseTransactionsTable).ok();
  };
  ASSERT_TRUE(database->performTransaction([&] { return insert("a") && insert("b"); }).ok());
  auto refused = database->performTransaction([&] { return insert("c") && false; });
  ASSERT_FALSE(refused.ok());
  ASSERT_EQ(linesWithCode(12056).size(), 1u);
  EXPECT_EQ(linesWithCode(12056)[0].message, "Transaction failed. Transaction failed");
  EXPECT_THROW(database->performTransaction([&]() -> bool {
    insert("d");
    throw std::runtime_error("while writing");
  }),
               std::runtime_error);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kQZMPurchaseTransactionsTable).value(), 2);
}

TEST_F(Database, WorkAfterACommitRunsOnlyOnceItCommits) {
  auto database = open();
  std::vector<std::string> ran;
  database->performAfterCommit([&] { ran.push_back("outside"); });
  EXPECT_EQ(ran, std::vector<std::string>{"outside"}) << "at once outside a transaction";

  ASSERT_TRUE(database->performTransaction([&] {
    database->performAfterCommit([&] { ran.push_back("first"); });
    database->performAfterCommit([&] { ran.push_back("second"); });
    EXPECT_EQ(ran.size(), 1u) << "not before the commit";
    return true;
  }).ok());
  EXPECT_EQ(ran, (std::vector<std::string>{"outside", "first", "second"}));

  ran.clear();
  EXPECT_FALSE(database->performTransaction([&] {
    database->performAfterCommit([&] { ran.push_back("rolled back"); });
    return false;
  }).ok());
  EXPECT_THROW(database->performTransaction([&]() -> bool {
    database->performAfterCommit([&] { ran.push_back("thrown"); });
    throw std::runtime_error("while writing");
  }),
               std::runtime_error);
  ASSERT_TRUE(database->performTransaction([] { return true; }).ok());
  EXPECT_TRUE(ran.empty()) << "work of a rolled-back transaction never runs";
}

TEST_F(Database, ResetLeavesAnEmptySchemaWithAFreshAppMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database->insertDataType({{"fingerprint", "a"}}, kQZMPurchaseTransactionsTable).ok());
  ASSERT_TRUE(database->updateDataType({{"last_bundle_index", 12}}, kQZMAppMetadataTable, "rowid", "1").ok());
  auto oldStore = database->sqliteStore();

  ASSERT_TRUE(database->reset().ok());
  EXPECT_NE(database->sqliteStore(), oldStore);
  EXPECT_EQ(oldStore->sqliteHandle(), nullptr);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kQZMPurchaseTransactionsTable).value(), 0);
  auto metadata = rows(*database, "SELECT last_bundle_index FROM app_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].at("last_bundle_index"), Object(0));
}

TEST_F(Database, EmptyNameIsRefused) {
  auto database = QZMDatabase::initWithDatabaseName("", nullptr);
  ASSERT_FALSE(database.ok());
  EXPECT_EQ(database.error().code, 1);
  EXPECT_EQ(database.error().description, "Received empty database name in init");
}

}  // namespace
