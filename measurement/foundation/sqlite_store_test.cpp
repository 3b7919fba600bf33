#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>

#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/foundation/Files.h"

namespace {

using foundation::Data;
using foundation::Object;
using Record = QZMSqliteStore::Record;

class SqliteStore : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    path = home->dataHome() + "/databases/store.sql";
  }

  std::shared_ptr<QZMSqliteStore> open() {
    auto store = QZMSqliteStore::initWithDatabasePath(path);
    EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().text());
    return store.ok() ? *store : nullptr;
  }

  // Runs statements that the store's one-statement rule would refuse.
  static void exec(QZMSqliteStore& store, const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(store.sqliteHandle(), sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << message;
  }

  static std::vector<Record> rows(QZMSqliteStore& store, const std::string& query) {
    auto read = store.recordsForQuery(query, {});
    EXPECT_TRUE(read.ok()) << (read.ok() ? "" : read.error().text());
    return read.ok() ? *read : std::vector<Record>{};
  }

  static int liveStatements(QZMSqliteStore& store) {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(store.sqliteHandle(), nullptr); s;
         s = sqlite3_next_stmt(store.sqliteHandle(), s))
      ++count;
    return count;
  }

  static void expectError(const foundation::Status& status, std::int64_t code, const std::string& description) {
    ASSERT_FALSE(status.ok()) << description;
    EXPECT_EQ(status.error().domain, kQZMErrorDomain);
    EXPECT_EQ(status.error().code, code) << status.error().description;
    EXPECT_EQ(status.error().description, description);
  }
  template <class T>
  static void expectError(const foundation::Result<T>& result, std::int64_t code, const std::string& description) {
    ASSERT_FALSE(result.ok()) << description;
    expectError(foundation::Status(result.error()), code, description);
  }

  // Whether this file system lets the test set the immutable flag.
  bool canMakeImmutable(const std::string& file) {
    if (!QZMSetFileImmutable(file, true).ok()) return false;
    auto set = QZMIsFileImmutable(file);
    return set.ok() && *set;
  }

  std::string path;
};

TEST_F(SqliteStore, OpensInANewFolderKeepsDataAcrossReopeningAndStaysOutOfBackups) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->databasePath(), path);
    exec(*store, "CREATE TABLE t (v TEXT)");
    ASSERT_TRUE(store->upsertRecord({{"v", "kept"}}, "t").ok());
  }
  EXPECT_TRUE(foundation::isExcludedFromBackup(path));
  // The user's data is readable by the user alone.
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto store = open();
  ASSERT_TRUE(store);
  auto read = rows(*store, "SELECT v FROM t");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].at("v"), Object("kept"));

  expectError(QZMSqliteStore::initWithDatabasePath(""), 1, "Received empty database path on init");
}

TEST_F(SqliteStore, FileThatIsNoDatabaseIsMovedAsideAndASecondOneKeepsTheFirst) {
  ASSERT_TRUE(foundation::createDirectory(foundation::deletingLastPathComponent(path)).ok());
  const std::string first(4096, 'x'), second(4096, 'y');
  ASSERT_TRUE(foundation::writeFileAtomically(path, first).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path + "-journal", std::string("stale")).ok());
  {
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_TRUE(rows(*store, "SELECT name FROM sqlite_master").empty());
    exec(*store, "CREATE TABLE t (v INTEGER)");
  }
  // A journal left beside it is not played back into the new file.
  EXPECT_FALSE(foundation::fileExists(path + "-journal"));

  ASSERT_TRUE(foundation::writeFileAtomically(path, second).ok());
  ASSERT_TRUE(open());
  EXPECT_EQ(*foundation::readFile(path + ".corrupt"), Data(first.begin(), first.end()));
  EXPECT_EQ(*foundation::readFile(path + ".corrupt.2"), Data(second.begin(), second.end()));
  EXPECT_EQ(linesWithCode(34025).size(), 2u);
}

// A real file damaged in one page, as a failing disk or a stray write leaves it.
class DamagedDatabase : public SqliteStore {
 protected:
  static constexpr int kRows = 400;

  static std::string name(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "name-%04d", i);
    return text;
  }
  static Data payload(int i) { return Data(120, static_cast<std::uint8_t>(i)); }

  void makeFixture() {
    ASSERT_TRUE(foundation::createDirectory(foundation::deletingLastPathComponent(path)).ok());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql =
        "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT NOT NULL, payload BLOB);"
        "CREATE INDEX t_name ON t (name); BEGIN;";
    for (int i = 1; i <= kRows; ++i)
      sql += "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + name(i) + "', zeroblob(0));";
    sql += "COMMIT;";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    // Payloads the test can check: each row's own byte.
    sqlite3_stmt* update = nullptr;
    ASSERT_EQ(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE t SET payload = ? WHERE id = ?", -1, &update, nullptr), SQLITE_OK);
    for (int i = 1; i <= kRows; ++i) {
      Data bytes = payload(i);
      sqlite3_bind_blob(update, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(update, 2, i);
      ASSERT_EQ(sqlite3_step(update), SQLITE_DONE);
      sqlite3_reset(update);
    }
    sqlite3_finalize(update);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
  }

  // The pages of one b-tree kind: 0x0a index leaf, 0x0d table leaf.
  std::vector<std::size_t> pagesOfKind(std::uint8_t kind) {
    Data file = foundation::readFile(path).value();
    const std::size_t pageSize = (file[16] << 8) | file[17];
    std::vector<std::size_t> pages;
    for (std::size_t page = 1; page * pageSize <= file.size(); ++page) {
      std::size_t header = (page - 1) * pageSize + (page == 1 ? 100 : 0);
      if (file[header] == kind) pages.push_back(page);
    }
    return pages;
  }

  void overwritePage(std::size_t page, const std::function<void(std::uint8_t* bytes, std::size_t size)>& change) {
    Data file = foundation::readFile(path).value();
    const std::size_t pageSize = (file[16] << 8) | file[17];
    change(file.data() + (page - 1) * pageSize, pageSize);
    ASSERT_TRUE(foundation::writeFileAtomically(path, file.data(), file.size()).ok());
  }

  // Row id -> row, for every row the store gives back; each must be intact.
  std::map<int, bool> intactRows(QZMSqliteStore& store) {
    std::map<int, bool> found;
    for (const auto& row : rows(store, "SELECT id, name, payload FROM t ORDER BY id")) {
      int id = static_cast<int>(row.at("id").int64Value());
      found[id] = row.at("name") == Object(name(id)) && row.at("payload") == Object(payload(id));
    }
    return found;
  }
};

TEST_F(DamagedDatabase, IsMendedKeepingEveryReadableRowAndTheDamagedFileStaysBeside) {
  enum class Mend { inPlace, copied };
  struct Case {
    const char* what;
    std::uint8_t pageKind;
    // Works on the middle page of that kind.
    std::function<void(std::uint8_t*, std::size_t)> damage;
    Mend mend;
    bool everyRow;
  } cases[] = {
      {"an index entry with the wrong key", 0x0a,
       [](std::uint8_t* bytes, std::size_t size) {
         // Keys of the index only: each row's name becomes another's.
         for (std::size_t i = 0; i + 5 < size; ++i)
           if (std::memcmp(bytes + i, "name-", 5) == 0) bytes[i + 5] = '9';
       },
       Mend::inPlace, true},
      {"an index page of garbage", 0x0a,
       [](std::uint8_t* bytes, std::size_t size) { std::memset(bytes, 0xa5, size); }, Mend::copied, true},
      {"a table page of garbage", 0x0d,
       [](std::uint8_t* bytes, std::size_t size) { std::memset(bytes, 0xa5, size); }, Mend::copied, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    (void)QZMSqliteStore::deleteDatabaseFilesAtPath(path);
    (void)QZMSqliteStore::deleteDatabaseFilesAtPath(path + ".corrupt");
    clearMonitorLines();
    makeFixture();
    auto pages = pagesOfKind(c.pageKind);
    ASSERT_GE(pages.size(), 2u);
    overwritePage(pages[pages.size() / 2], c.damage);
    Data damaged = foundation::readFile(path).value();

    auto store = open();
    ASSERT_TRUE(store);
    auto check = rows(*store, "SELECT * FROM pragma_integrity_check");
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(check[0].at("integrity_check"), Object("ok"));
    auto found = intactRows(*store);
    for (const auto& [id, intact] : found) EXPECT_TRUE(intact) << "row " << id;
    if (c.everyRow) {
      EXPECT_EQ(found.size(), static_cast<std::size_t>(kRows));
    } else {
      // The rows on both sides of the lost page are kept.
      EXPECT_LT(found.size(), static_cast<std::size_t>(kRows));
      EXPECT_GT(found.size(), static_cast<std::size_t>(kRows) / 2);
      EXPECT_TRUE(found.count(1) && found.count(kRows));
    }
    // The index works again and the store goes on writing.
    EXPECT_EQ(rows(*store, "SELECT id FROM t INDEXED BY t_name WHERE name = 'name-0001'").size(), 1u);
    EXPECT_TRUE(store->upsertRecord({{"id", kRows + 1}, {"name", name(kRows + 1)}}, "t").ok());

    if (c.mend == Mend::inPlace) {
      EXPECT_FALSE(foundation::fileExists(path + ".corrupt"));
      EXPECT_EQ(linesWithCode(34023).size(), 1u);
    } else {
      EXPECT_EQ(foundation::readFile(path + ".corrupt").value(), damaged);
      EXPECT_EQ(linesWithCode(34024).size(), 1u);
      EXPECT_FALSE(foundation::fileExists(path + ".salvage"));
    }
  }
}

TEST_F(SqliteStore, DamagedFileThatCannotBeDeletedFailsTheOpenAndStaysAsItWas) {
  std::string folder = foundation::deletingLastPathComponent(path);
  ASSERT_TRUE(foundation::createDirectory(folder).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string(4096, 'x')).ok());
  if (!canMakeImmutable(folder)) GTEST_SKIP() << "no immutable flag here";
  auto store = QZMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(QZMSetFileImmutable(folder, false).ok());
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.error().code, 3);
  EXPECT_EQ(linesWithCode(34019).size(), 1u);
  EXPECT_EQ(foundation::readFile(path)->size(), 4096u);
}

TEST_F(SqliteStore, FileThatCannotBeOpenedIsNotTakenForDamageAndKeepsItsData) {
  // A folder where the file should be: no database, but nothing damaged.
  ASSERT_TRUE(foundation::createDirectory(path).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path + "/inside", std::string("data")).ok());
  auto store = QZMSqliteStore::initWithDatabasePath(path);
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.error().code, 3);
  EXPECT_TRUE(foundation::fileExists(path + "/inside"));
}

TEST_F(SqliteStore, ImmutableFileIsMadeMutableBeforeOpening) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    exec(*store, "CREATE TABLE t (v TEXT)");
  }
  if (!canMakeImmutable(path)) GTEST_SKIP() << "no immutable flag here";
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(*QZMIsFileImmutable(path));
  EXPECT_TRUE(store->upsertRecord({{"v", "written"}}, "t").ok());
}

TEST_F(SqliteStore, ValuesComeBackWithTheirStorageClass) {
  auto store = open();
  exec(*store, "CREATE TABLE t (b BLOB, e BLOB, r REAL, i INTEGER, f INTEGER, s TEXT, n TEXT)");
  Record record = {{"b", Data{0, 1, 2}}, {"e", Data{}},  {"r", 1.5},     {"i", std::int64_t{-1} << 40},
                   {"f", true},          {"s", "héllo"}, {"n", Object()}};
  ASSERT_TRUE(store->upsertRecord(record, "t").ok());
  auto read = rows(*store, "SELECT * FROM t");
  ASSERT_EQ(read.size(), 1u);
  // The zero-length blob reads as nothing and is left out, with a line.
  Record expected = {{"b", Data{0, 1, 2}}, {"r", 1.5},     {"i", std::int64_t{-1} << 40}, {"f", 1},
                     {"s", "héllo"},       {"n", Object()}};
  EXPECT_EQ(read[0], expected);
  ASSERT_EQ(linesWithCode(34004).size(), 1u);
  EXPECT_EQ(linesWithCode(34004)[0].contexts, std::vector<std::string>{"e"});
  EXPECT_EQ(store->rowCountForTableWithName("t", "e", Data{}).value(), 1);
}

TEST_F(SqliteStore, UnsupportedValuesAreRefusedAndWriteNothing) {
  auto store = open();
  exec(*store, "CREATE TABLE t (k TEXT, v)");
  ASSERT_TRUE(store->upsertRecord({{"k", "a"}, {"v", 1}}, "t").ok());

  expectError(store->upsertRecord({{"k", "b"}, {"v", foundation::Date{1.0}}}, "t"), 1,
              "Record has value of unexpected type");
  EXPECT_EQ(linesWithCode(34020).size(), 1u);
  expectError(store->updateRecord({{"v", foundation::Array{}}}, "t", "k", "a"), 1,
              "Failed to bind parameter of unexpected type to update statement");
  EXPECT_EQ(linesWithCode(34021).size(), 1u);
  expectError(store->recordsForQuery("SELECT * FROM t WHERE k = ?", {foundation::Dictionary{}}), 3,
              "Database operation \"bind values\" failed: value of unexpected type");

  auto read = rows(*store, "SELECT * FROM t");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].at("v"), Object(1));
}

TEST_F(SqliteStore, QueriesAreCheckedBeforeAnythingIsPrepared) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  exec(*store, "INSERT INTO t VALUES (1)");
  struct Case {
    std::string query;
    foundation::Array values;
    std::int64_t code;  // 0: accepted
    std::string description;
  } cases[] = {
      {"select v from t", {}, 0, ""},
      {"SELECT v FROM t", {}, 0, ""},
      {"SeLeCt v FROM t WHERE v = ?", {1}, 0, ""},
      {"  select v from t", {}, 1, "Received invalid select query"},
      {"UPDATE t SET v = 2", {}, 1, "Received invalid select query"},
      {"", {}, 1, "Received empty query for records for query"},
      {"SELECT v FROM t; SELECT 1", {}, 1, "Query contained more than one SQL statement."},
      {"SELECT v FROM t WHERE v = ?", {}, 1, "Received empty parameters"},
      {"SELECT v FROM t WHERE v = ? AND v = ?", {1}, 1, "Received 1 values for 2 placeholders"},
  };
  for (const auto& c : cases) {
    auto read = store->recordsForQuery(c.query, c.values);
    if (c.code == 0) {
      ASSERT_TRUE(read.ok()) << c.query << ": " << read.error().text();
      EXPECT_EQ(read->size(), 1u) << c.query;
    } else {
      expectError(read, c.code, c.description);
    }
  }
}

TEST_F(SqliteStore, AStepErrorInTheMiddleFailsTheWholeQuery) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  exec(*store, "INSERT INTO t VALUES (1), (-9223372036854775808)");
  // abs() of the smallest integer overflows on the second row.
  auto read = store->recordsForQuery("SELECT abs(v) AS a FROM t ORDER BY rowid", {});
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code, 3);
  EXPECT_EQ(read.error().monitorContext, Object("query records,1,A"));
  // The cached statement is usable again afterwards.
  exec(*store, "DELETE FROM t WHERE v < 0");
  EXPECT_EQ(rows(*store, "SELECT abs(v) AS a FROM t ORDER BY rowid").size(), 1u);
}

TEST_F(SqliteStore, FilterDecidesWhichRowsAreKept) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  exec(*store, "INSERT INTO t VALUES (1), (2), (3), (4)");
  auto firstTwo = store->recordsForQuery("SELECT v FROM t ORDER BY v", {},
                                         [](std::size_t kept, const Record&) { return kept < 2; });
  ASSERT_TRUE(firstTwo.ok());
  EXPECT_EQ(firstTwo->size(), 2u);
  EXPECT_TRUE(linesWithCode(34005).empty());

  auto none =
      store->recordsForQuery("SELECT v FROM t ORDER BY v", {}, [](std::size_t, const Record&) { return false; });
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(linesWithCode(34005).size(), 1u);
  expectError(store->recordsForQuery("SELECT v FROM t", {}, nullptr), 1, "Received empty filter for selecting records");
}

TEST_F(SqliteStore, NumericQueriesTellNullFromMissingAndFromText) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER, s TEXT)");
  auto emptyMax = store->numberForQuery("SELECT MAX(v) FROM t", {});
  ASSERT_TRUE(emptyMax.ok());
  EXPECT_FALSE(emptyMax->has_value());

  exec(*store, "INSERT INTO t VALUES (7, 'seven')");
  EXPECT_EQ(**store->numberForQuery("SELECT MAX(v) FROM t", {}), Object(7));
  EXPECT_EQ(**store->numberForQuery("SELECT AVG(v) / 2 FROM t", {}), Object(3.5));
  expectError(store->numberForQuery("SELECT s FROM t", {}), 1, "Found result that was not numeric");
  auto noRow = store->numberForQuery("SELECT v FROM t WHERE v = ?", {8});
  ASSERT_FALSE(noRow.ok());
  EXPECT_EQ(noRow.error().code, 3);
  EXPECT_EQ(noRow.error().monitorContext, Object("query numeric result,101,A"));
  EXPECT_EQ(store->rowCountForTableWithName("t").value(), 1);
  EXPECT_EQ(store->rowCountForTableWithName("t", "v", 8).value(), 0);
}

TEST_F(SqliteStore, RecordOperationsChangeOnlyWhatTheyAddress) {
  auto store = open();
  exec(*store, "CREATE TABLE t (k TEXT PRIMARY KEY, n INTEGER, c integer, r REAL)");
  for (const char* k : {"a", "b", "c"})
    ASSERT_TRUE(store->upsertRecord({{"k", k}, {"n", 1}, {"c", 10}, {"r", 0.5}}, "t").ok());
  ASSERT_TRUE(store->upsertRecord({{"k", "a"}, {"n", 2}, {"c", 10}}, "t").ok());  // replaces the whole row

  ASSERT_TRUE(store->updateRecord({{"n", 5}}, "t", "k", "b").ok());
  ASSERT_TRUE(store->updateRecord({{"n", 5}}, "t", "k", "missing").ok());
  ASSERT_TRUE(store->increaseColumn("c", 3, "t", "k IN (?, ?)", {"a", "c"}).ok());
  expectError(store->increaseColumn("r", 1, "t", "k = 'a'", {}), 1, "Column type is not integer.");
  expectError(store->increaseColumn("x", 1, "t", "k = 'a'", {}), 1, "Invalid column or table name");
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "k = ?", {"none"}).value(), 0);

  auto read = rows(*store, "SELECT k, n, c, r FROM t ORDER BY k");
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[0], (Record{{"k", "a"}, {"n", 2}, {"c", 13}, {"r", Object()}}));
  EXPECT_EQ(read[1], (Record{{"k", "b"}, {"n", 5}, {"c", 10}, {"r", 0.5}}));
  EXPECT_EQ(read[2], (Record{{"k", "c"}, {"n", 1}, {"c", 13}, {"r", 0.5}}));

  ASSERT_TRUE(store->updateAllRecordsInTableWithName("t", "n", 0).ok());
  EXPECT_EQ(store->rowCountForTableWithName("t", "n", 0).value(), 3);
  ASSERT_TRUE(store->deleteRecordFromTableWithName("t", "k", "b").ok());
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "c = ?", {13}).value(), 2);
  EXPECT_EQ(store->rowCountForTableWithName("t").value(), 0);
  ASSERT_TRUE(store->upsertRecord({{"k", "z"}}, "t").ok());
  ASSERT_TRUE(store->deleteAllRecordsFromTableWithName("t").ok());
  EXPECT_EQ(store->rowCountForTableWithName("t").value(), 0);

  expectError(store->updateRecord({{"n", 1}}, "t", "k", Object()), 1, "Nil column value for update");
  expectError(store->deleteRecordFromTableWithName("t", "k", Object()), 1, "Received nil value for delete record");
  expectError(store->upsertRecord({}, "t"), 1, "Received empty record for upsert");
}

TEST_F(SqliteStore, LikePatternsMatchNamesLiterally) {
  auto store = open();
  exec(*store, "CREATE TABLE t (name TEXT)");
  exec(*store, "INSERT INTO t VALUES ('a_b%c'), ('axb%c'), ('a_bzc'), ('a!_b%cd')");
  auto matches = [&](const std::string& prefix) {
    auto count = store->numberForQuery("SELECT count(1) FROM t WHERE name LIKE ? || '%' ESCAPE '!'",
                                       {QZMSqliteStore::escapedLikePattern(prefix)});
    return count.ok() && count->has_value() ? (*count)->int64Value() : -1;
  };
  EXPECT_EQ(matches("a_b%"), 1);
  EXPECT_EQ(matches("a!_"), 1);
  EXPECT_EQ(matches("a"), 4);
  EXPECT_EQ(QZMSqliteStore::escapedLikePattern("_ltv_"), "!_ltv!_");
}

TEST_F(SqliteStore, StatementCacheKeepsPlaceholderAndUnconditionalQueriesOnly) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  exec(*store, "INSERT INTO t VALUES (1), (2)");
  const int base = liveStatements(*store);

  const std::string withPlaceholder = "SELECT v FROM t WHERE v >= ?";
  auto first = store->statementForQuery(withPlaceholder, {1});
  ASSERT_TRUE(first.ok());
  sqlite3_stmt* cached = *first;
  store->cleanUpStatement(cached, withPlaceholder);
  auto again = store->statementForQuery(withPlaceholder, {2});
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, cached);
  store->cleanUpStatement(*again, withPlaceholder);
  EXPECT_EQ(liveStatements(*store), base + 1);

  EXPECT_EQ(rows(*store, "SELECT v FROM t WHERE v = 1").size(), 1u);  // literal condition: used once
  EXPECT_EQ(liveStatements(*store), base + 1);
  EXPECT_EQ(rows(*store, "SELECT v FROM t").size(), 2u);  // no condition: kept
  EXPECT_EQ(liveStatements(*store), base + 2);

  // A read of the same query inside a read gets a statement of its own.
  std::vector<std::size_t> inner;
  auto outer = store->recordsForQuery(withPlaceholder, {1}, [&](std::size_t, const Record&) {
    inner.push_back(store->recordsForQuery(withPlaceholder, {2}).value().size());
    return true;
  });
  ASSERT_TRUE(outer.ok());
  EXPECT_EQ(outer->size(), 2u);
  EXPECT_EQ(inner, (std::vector<std::size_t>{1, 1}));
  EXPECT_EQ(liveStatements(*store), base + 2);
}

TEST_F(SqliteStore, ChangeCountOfATableMovesWithEveryWayItsRowsChangeAndStaysForReads) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  exec(*store, "CREATE TABLE other (v INTEGER)");
  testkit::OtherConnection other(path);
  std::uint64_t counted = 0;
  struct Case {
    const char* what;
    std::function<void()> act;
    bool moves;
  } cases[] = {
      {"a read", [&] { rows(*store, "SELECT v FROM t"); }, false},
      {"a row of another table", [&] { ASSERT_TRUE(store->upsertRecord({{"v", 1}}, "other").ok()); }, false},
      {"a row written", [&] { ASSERT_TRUE(store->upsertRecord({{"v", 1}}, "t").ok()); }, true},
      {"a row updated", [&] { ASSERT_TRUE(store->updateRecord({{"v", 2}}, "t", "v", 1).ok()); }, true},
      {"a row deleted", [&] { ASSERT_TRUE(store->deleteRecordsFromTableWithName("t", "v = ?", {2}).ok()); }, true},
      {"rows written by SQL of its own", [&] { exec(*store, "INSERT INTO t VALUES (5), (6)"); }, true},
      // SQLite empties the table without visiting its rows.
      {"the table emptied at once", [&] { exec(*store, "DELETE FROM t"); }, true},
      {"a transaction rolled back",
       [&] {
         (void)store->performTransactionWithError([&] { return store->upsertRecord({{"v", 3}}, "other").ok() && false; });
       },
       true},
      {"a transaction of another table committed",
       [&] {
         ASSERT_TRUE(
             store->performTransactionWithError([&] { return store->upsertRecord({{"v", 4}}, "other").ok(); }).ok());
       },
       false},
      {"the schema changed", [&] { ASSERT_TRUE(store->executeSQL("CREATE TABLE u (v INTEGER)").ok()); }, true},
      // Another instance of a host, or a shell, on the same file.
      {"a read by another connection", [&] { other.execute("SELECT count(1) FROM t"); }, false},
      {"a row written by another connection", [&] { other.execute("INSERT INTO t VALUES (7)"); }, true},
      {"a row of another table written by another connection",
       [&] { other.execute("INSERT INTO other VALUES (7)"); }, true},
      {"another connection's transaction rolled back",
       [&] { other.execute("BEGIN; DELETE FROM t; ROLLBACK"); }, false},
      {"rows deleted by another connection", [&] { other.execute("DELETE FROM t WHERE v = 7"); }, true},
      {"another connection committed before a transaction of this store began",
       [&] {
         other.execute("INSERT INTO t VALUES (8)");
         std::uint64_t inside = 0;
         ASSERT_TRUE(store->performTransactionWithError([&] {
           inside = store->changeCountOfTable("t");
           return true;
         }).ok());
         EXPECT_NE(inside, counted);
         EXPECT_EQ(store->changeCountOfTable("t"), inside);
       },
       true},
      {"the file emptied by another process",
       [&] { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }, true},
  };
  counted = store->changeCountOfTable("t");
  for (const auto& c : cases) {
    c.act();
    const std::uint64_t now = store->changeCountOfTable("t");
    EXPECT_EQ(now != counted, c.moves) << c.what;
    counted = now;
  }
  auto second = open();
  EXPECT_NE(second->serialNumber(), store->serialNumber());
}

// A caller taking a series of decisions looks at other connections' commits
// once: the counts of a shared look are those of its last look, and a
// transaction begun in it, or the first count after it, looks again.
TEST_F(SqliteStore, CountsInASharedLookShareItsLastLookAtOtherConnections) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  testkit::OtherConnection other(path);
  const std::uint64_t before = store->changeCountOfTable("t");

  store->openSharedLook();
  EXPECT_EQ(store->changeCountOfTable("t"), before);
  other.execute("INSERT INTO t VALUES (1)");
  EXPECT_EQ(store->changeCountOfTable("t"), before) << "as of the look";
  std::uint64_t inTransaction = 0;
  ASSERT_TRUE(store->performTransactionWithError([&] {
    inTransaction = store->changeCountOfTable("t");
    return true;
  }).ok());
  EXPECT_NE(inTransaction, before) << "a transaction looks again";
  EXPECT_EQ(store->changeCountOfTable("t"), inTransaction);

  other.execute("INSERT INTO t VALUES (2)");
  store->openSharedLook();
  store->closeSharedLook();
  EXPECT_EQ(store->changeCountOfTable("t"), inTransaction) << "the outer look is still open";
  store->closeSharedLook();
  EXPECT_NE(store->changeCountOfTable("t"), inTransaction) << "closed, the next count looks again";
}

TEST_F(SqliteStore, WritesReuseOneStatementPerTextAndFollowChangingColumns) {
  auto store = open();
  exec(*store, "CREATE TABLE t (k TEXT PRIMARY KEY, a INTEGER, b BLOB)");
  const int base = liveStatements(*store);
  for (int i = 0; i < 50; ++i) {
    std::string text = "key" + std::to_string(i);
    ASSERT_TRUE(store->upsertRecord({{"k", text}, {"a", i}, {"b", Data(3, static_cast<std::uint8_t>(i))}}, "t").ok());
  }
  EXPECT_EQ(liveStatements(*store), base + 1);

  // Records with other columns, one after another, each write their own.
  ASSERT_TRUE(store->upsertRecord({{"k", "key1"}, {"a", 100}}, "t").ok());
  ASSERT_TRUE(store->upsertRecord({{"k", "key2"}, {"b", Data{9}}}, "t").ok());
  ASSERT_TRUE(store->upsertRecord({{"k", "key3"}, {"a", 300}}, "t").ok());
  ASSERT_TRUE(store->updateRecord({{"a", 7}}, "t", "k", "key4").ok());
  ASSERT_TRUE(store->updateRecord({{"a", 8}}, "t", "k", "key5").ok());
  ASSERT_TRUE(store->deleteRecordFromTableWithName("t", "k", "key6").ok());
  EXPECT_EQ(liveStatements(*store), base + 5);
  // A column added later is seen by the statements made after it.
  exec(*store, "ALTER TABLE t ADD COLUMN c TEXT");
  ASSERT_TRUE(store->upsertRecord({{"k", "key7"}, {"a", 70}, {"c", "added"}}, "t").ok());

  auto read = rows(*store, "SELECT k, a, b, c FROM t WHERE k IN ('key0', 'key1', 'key2', 'key3', 'key4', 'key5', "
                           "'key6', 'key7') ORDER BY k");
  std::vector<Record> expected = {
      {{"k", "key0"}, {"a", 0}, {"b", Data(3, 0)}, {"c", Object()}},
      {{"k", "key1"}, {"a", 100}, {"b", Object()}, {"c", Object()}},
      {{"k", "key2"}, {"a", Object()}, {"b", Data{9}}, {"c", Object()}},
      {{"k", "key3"}, {"a", 300}, {"b", Object()}, {"c", Object()}},
      {{"k", "key4"}, {"a", 7}, {"b", Data(3, 4)}, {"c", Object()}},
      {{"k", "key5"}, {"a", 8}, {"b", Data(3, 5)}, {"c", Object()}},
      {{"k", "key7"}, {"a", 70}, {"b", Object()}, {"c", "added"}},
  };
  EXPECT_EQ(read, expected);
}

TEST_F(SqliteStore, VisitorsGetEveryRowWholeWhateverTheyDidToThePreviousOne) {
  auto store = open();
  exec(*store, "CREATE TABLE t (n INTEGER, s TEXT, b BLOB)");
  exec(*store, "INSERT INTO t VALUES (1, 'one', x'01'), (2, 'two', x''), (3, 'three', x'03'), (4, 'four', x'04'), "
               "(5, 'five', x'05')");
  std::vector<Record> seen;
  auto visited = store->visitRecordsForQuery("SELECT n, s, b FROM t ORDER BY n", {}, [&](Record&& row) {
    seen.push_back(row);
    // Each kind of thing a visitor may do to the row it was handed.
    switch (seen.size()) {
      case 1: row.find("s")->second = Object(); break;
      case 3:
        row.erase("n");
        row.emplace("z", 1);
        break;
      case 4: seen.back() = std::move(row); break;
    }
    return seen.size() < 5;
  });
  ASSERT_TRUE(visited.ok()) << visited.error().text();
  std::vector<Record> expected = {
      {{"n", 1}, {"s", "one"}, {"b", Data{1}}},  {{"n", 2}, {"s", "two"}},  // the empty blob is left out
      {{"n", 3}, {"s", "three"}, {"b", Data{3}}}, {{"n", 4}, {"s", "four"}, {"b", Data{4}}},
      {{"n", 5}, {"s", "five"}, {"b", Data{5}}},
  };
  EXPECT_EQ(seen, expected);

  // Stopping early ends the read; a step error fails it.
  int calls = 0;
  ASSERT_TRUE(store->visitRecordsForQuery("SELECT n FROM t", {}, [&](Record&&) { return ++calls < 2; }).ok());
  EXPECT_EQ(calls, 2);
  exec(*store, "CREATE TABLE edge (v INTEGER)");
  exec(*store, "INSERT INTO edge VALUES (1), (-9223372036854775808)");
  calls = 0;
  auto failed = store->visitRecordsForQuery("SELECT abs(v) FROM edge ORDER BY rowid", {}, [&](Record&&) {
    ++calls;
    return true;
  });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().monitorContext, Object("query records,1,A"));
  EXPECT_EQ(calls, 1);
}

TEST_F(SqliteStore, RowsReadByPositionGiveEachColumnAsStored) {
  auto store = open();
  exec(*store, "CREATE TABLE t (n INTEGER, r REAL, s TEXT, b BLOB, z)");
  exec(*store, "INSERT INTO t VALUES (1, 1.5, 'one', x'0102', NULL), (2, -0.25, '', x'', 7), "
               "(-9223372036854775808, 0, 'h\xc3\xa9', x'00', 'x')");
  const char* query = "SELECT n, r, s, b, z FROM t ORDER BY rowid";
  struct Seen {
    std::int64_t n;
    double r;
    std::string s;
    Data b;
    std::optional<Object> emptyBlob;
    int zType;
    bool operator==(const Seen&) const = default;
  };
  auto readAll = [&](std::vector<Seen>& seen) {
    return store->visitRowsForQuery(query, {}, [&](const QZMSqliteStore::Row& row) {
      EXPECT_EQ(row.columnCount(), 5);
      auto blob = row.blob(3);
      seen.push_back({row.int64Value(0), row.doubleValue(1), std::string(row.text(2)), Data(blob.begin(), blob.end()),
                      row.value(3), row.type(4)});
      return true;
    });
  };
  std::vector<Seen> seen;
  ASSERT_TRUE(readAll(seen).ok());
  std::vector<Seen> expected = {
      {1, 1.5, "one", Data{1, 2}, Data{1, 2}, SQLITE_NULL},
      {2, -0.25, "", Data{}, std::nullopt, SQLITE_INTEGER},  // a zero-length value reads as nothing
      {std::numeric_limits<std::int64_t>::min(), 0, "h\xc3\xa9", Data{0}, Data{0}, SQLITE_TEXT},
  };
  EXPECT_EQ(seen, expected);

  // A read of the same query inside a visitor gets a statement of its own.
  std::vector<std::vector<Seen>> nested;
  ASSERT_TRUE(store->visitRowsForQuery(query, {}, [&](const QZMSqliteStore::Row&) {
    nested.emplace_back();
    EXPECT_TRUE(readAll(nested.back()).ok());
    return true;
  }).ok());
  EXPECT_EQ(nested, std::vector<std::vector<Seen>>(3, expected));

  // Stopping early ends the read; a step error fails it after the rows before.
  int calls = 0;
  ASSERT_TRUE(store->visitRowsForQuery(query, {}, [&](const QZMSqliteStore::Row&) { return ++calls < 2; }).ok());
  EXPECT_EQ(calls, 2);
  calls = 0;
  auto failed = store->visitRowsForQuery("SELECT abs(n) FROM t ORDER BY rowid", {}, [&](const QZMSqliteStore::Row&) {
    ++calls;
    return true;
  });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().monitorContext, Object("query records,1,A"));
  EXPECT_EQ(calls, 2);

  auto never = [](const QZMSqliteStore::Row&) { return true; };
  expectError(store->visitRowsForQuery("DELETE FROM t", {}, never), 1, "Received invalid select query");
  expectError(store->visitRowsForQuery("SELECT n FROM t WHERE n = ?", {}, never), 1, "Received empty parameters");
  store->closeDatabase();
  expectError(store->visitRowsForQuery(query, {}, never), 2, "Query records failed. Database not open.");
}

TEST_F(SqliteStore, ValuesWrittenByPositionLandAsTheirRecordWould) {
  auto store = open();
  exec(*store, "CREATE TABLE a (k TEXT PRIMARY KEY, v)");
  exec(*store, "CREATE TABLE b (k TEXT PRIMARY KEY, v)");
  const std::string_view kv[] = {"k", "v"};
  const std::string_view vk[] = {"v", "k"};
  const int base = liveStatements(*store);
  // Runs of one shape keep their statement; a change of table, of column
  // order or a record of the same shape in between must not write to the
  // wrong place.
  for (int i = 0; i < 3; ++i) {
    const Object first[] = {"a" + std::to_string(i), i};
    ASSERT_TRUE(store->upsertValues("a", kv, first).ok());
    const Object second[] = {"b" + std::to_string(i), Data(2, static_cast<std::uint8_t>(i))};
    ASSERT_TRUE(store->upsertValues("b", kv, second).ok());
    const Object swapped[] = {i * 0.5, "a" + std::to_string(i + 10)};
    ASSERT_TRUE(store->upsertValues("a", vk, swapped).ok());
    ASSERT_TRUE(store->upsertRecord({{"k", "a" + std::to_string(i + 20)}, {"v", "r"}}, "a").ok());
  }
  EXPECT_EQ(liveStatements(*store), base + 3);
  const Object replaced[] = {"a1", Object()};
  ASSERT_TRUE(store->upsertValues("a", kv, replaced).ok());

  EXPECT_EQ(rows(*store, "SELECT k, v FROM a ORDER BY k"),
            (std::vector<Record>{{{"k", "a0"}, {"v", 0}},
                                 {{"k", "a1"}, {"v", Object()}},
                                 {{"k", "a10"}, {"v", 0.0}},
                                 {{"k", "a11"}, {"v", 0.5}},
                                 {{"k", "a12"}, {"v", 1.0}},
                                 {{"k", "a2"}, {"v", 2}},
                                 {{"k", "a20"}, {"v", "r"}},
                                 {{"k", "a21"}, {"v", "r"}},
                                 {{"k", "a22"}, {"v", "r"}}}));
  EXPECT_EQ(rows(*store, "SELECT k, v FROM b ORDER BY k"),
            (std::vector<Record>{{{"k", "b0"}, {"v", Data(2, 0)}},
                                 {{"k", "b1"}, {"v", Data(2, 1)}},
                                 {{"k", "b2"}, {"v", Data(2, 2)}}}));

  const Object one[] = {"x"};
  const Object dated[] = {"x", foundation::Date{1.0}};
  expectError(store->upsertValues("a", kv, one), 1, "Received 1 values for 2 columns");
  expectError(store->upsertValues("a", {}, {}), 1, "Received empty record for upsert");
  expectError(store->upsertValues("a", kv, dated), 1, "Record has value of unexpected type");
  EXPECT_EQ(linesWithCode(34020).size(), 1u);
  EXPECT_EQ(rows(*store, "SELECT k FROM a").size(), 9u);
  store->closeDatabase();
  expectError(store->upsertValues("a", kv, replaced), 2, "Upsert record failed. Database not open.");
}

TEST_F(SqliteStore, ClosedStoreRefusesEveryOperation) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  store->closeDatabase();
  store->closeDatabase();
  EXPECT_EQ(store->sqliteHandle(), nullptr);
  expectError(store->upsertRecord({{"v", 1}}, "t"), 2, "Upsert record failed. Database not open.");
  expectError(store->recordsForQuery("SELECT v FROM t", {}), 2, "Query records failed. Database not open.");
  expectError(store->numberForQuery("SELECT 1", {}), 2, "Query numeric result failed. Database not open.");
  expectError(store->tableExists("t"), 2, "Table exists failed. Database not open.");
  expectError(store->performTransactionWithError([] { return true; }), 2, "Database not open");
  expectError(store->ensureTableWithName("t", {{"v", "INTEGER"}}, {}), 2, "Ensure table failed. Database not open.");
  expectError(store->executeSQL("SELECT 1"), 2, "Execute SQL failed. Database not open.");
  EXPECT_FALSE(store->lastErrorMessage().has_value());
  EXPECT_EQ(linesWithCode(34022).size(), 1u);
}

TEST_F(SqliteStore, FailuresCarryTheOperationAndSQLiteContext) {
  auto store = open();
  auto failed = store->recordsForQuery("SELECT v FROM missing_table", {});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, 3);
  EXPECT_EQ(failed.error().description,
            "Database operation \"prepare statement\" failed with sqlite code 1 and error message \"no such table: "
            "missing_table\"");
  EXPECT_EQ(failed.error().monitorContext, Object("prepare statement,1,A"));
  EXPECT_EQ(store->lastErrorMessage(), "no such table: missing_table");
}

// ---- Schema ----

class SqliteSchema : public SqliteStore {
 protected:
  const QZMSqliteStore::ColumnInfo elementary = {
      {"audience_id", "INTEGER NOT NULL"}, {"name", "TEXT NOT NULL"}, {"PRIMARY KEY", "(audience_id, name)"}};
  const QZMSqliteStore::ColumnInfo addOns = {{"scoped", "INTEGER"}, {"note", "TEXT"}};
};

TEST_F(SqliteSchema, TableIsCreatedFromItsDescriptionOnce) {
  auto store = open();
  ASSERT_TRUE(store->ensureTableWithName("f", elementary, addOns).ok());
  EXPECT_EQ(store->columnsForTableWithName("f").value(),
            (std::vector<std::string>{"audience_id", "name", "scoped", "note"}));
  auto sql = rows(*store, "SELECT sql FROM sqlite_master WHERE name = 'f'");
  EXPECT_EQ(sql[0].at("sql"),
            Object("CREATE TABLE f ( audience_id INTEGER NOT NULL, name TEXT NOT NULL, scoped INTEGER, note TEXT, "
                   "PRIMARY KEY (audience_id, name))"));
  ASSERT_TRUE(store->ensureTableWithName("f", elementary, addOns).ok());
  EXPECT_EQ(store->columnsForTableWithName("f")->size(), 4u);
  EXPECT_TRUE(*store->tableExists("f"));
  EXPECT_FALSE(*store->tableExists("g"));
}

TEST_F(SqliteSchema, ExistingTablesAreValidatedAgainstTheDescription) {
  struct Case {
    std::string create;
    std::int64_t code;  // 0: valid
    std::string description;
    std::vector<std::string> columnsAfter;
  } cases[] = {
      {"CREATE TABLE f (audience_id INTEGER NOT NULL, name TEXT NOT NULL, extra BLOB)",
       0,
       "",
       {"audience_id", "name", "extra", "scoped", "note"}},
      {"CREATE TABLE f (audience_id INTEGER NOT NULL, name TEXT NOT NULL, extra BLOB NOT NULL DEFAULT x'00')",
       2,
       "Table contains unknown non-optional columns",
       {}},
      {"CREATE TABLE f (audience_id INTEGER NOT NULL, note TEXT)", 2, "Table is missing required columns", {}},
      {"CREATE TABLE f (name TEXT, audience_id INTEGER, note TEXT, scoped INTEGER)",
       0,
       "",
       {"name", "audience_id", "note", "scoped"}},
  };
  for (const auto& c : cases) {
    auto store = open();
    exec(*store, "DROP TABLE IF EXISTS f");
    exec(*store, c.create);
    auto ensured = store->ensureTableWithName("f", elementary, addOns);
    if (c.code == 0) {
      ASSERT_TRUE(ensured.ok()) << c.create << ": " << ensured.error().text();
      EXPECT_EQ(store->columnsForTableWithName("f").value(), c.columnsAfter) << c.create;
    } else {
      expectError(ensured, c.code, c.description);
    }
  }
}

TEST_F(SqliteSchema, MissingAddOnColumnIsAddedAndRowsStay) {
  auto store = open();
  exec(*store, "CREATE TABLE f (audience_id INTEGER NOT NULL, name TEXT NOT NULL, scoped INTEGER)");
  exec(*store, "INSERT INTO f VALUES (1, 'a', 1), (2, 'b', 0)");
  ASSERT_TRUE(store->ensureTableWithName("f", elementary, addOns).ok());
  auto read = rows(*store, "SELECT * FROM f ORDER BY audience_id");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1], (Record{{"audience_id", 2}, {"name", "b"}, {"scoped", 0}, {"note", Object()}}));
}

TEST_F(SqliteSchema, ModifiedTypeRebuildsTheTableKeepingEveryRowAndItsRowID) {
  auto store = open();
  // An older file: columns in another order, an add-on column added early,
  // an unknown nullable column and a gap in the row ids.
  exec(*store,
       "CREATE TABLE raw (flag INTEGER, name TEXT NOT NULL, timestamp INTEGER NOT NULL, data BLOB NOT NULL, "
       "legacy TEXT)");
  exec(*store,
       "INSERT INTO raw (rowid, flag, name, timestamp, data, legacy) VALUES (3, 1, 'a', 100, x'01', 'l'), "
       "(9, NULL, 'b', 200, x'02', NULL)");
  const QZMSqliteStore::ColumnInfo rawElementary = {
      {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
  const QZMSqliteStore::ColumnInfo rawAddOns = {{"flag", "INTEGER"}};
  const QZMSqliteStore::ModifyColumnInfo modify = {{"timestamp", "REAL NOT NULL"}};

  ASSERT_TRUE(store->ensureTableWithName("raw", rawElementary, rawAddOns, modify).ok());
  EXPECT_EQ(store->columnInfoForTableWithName("raw").value(),
            (std::map<std::string, std::string>{
                {"name", "TEXT"}, {"timestamp", "REAL"}, {"data", "BLOB"}, {"flag", "INTEGER"}}));
  auto read = rows(*store, "SELECT rowid, * FROM raw ORDER BY rowid");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0], (Record{{"rowid", 3}, {"name", "a"}, {"timestamp", 100.0}, {"data", Data{1}}, {"flag", 1}}));
  EXPECT_EQ(read[1],
            (Record{{"rowid", 9}, {"name", "b"}, {"timestamp", 200.0}, {"data", Data{2}}, {"flag", Object()}}));
  EXPECT_FALSE(*store->tableExists("raw_old"));

  // Up to date now: a second ensure leaves the table as it is.
  auto before = rows(*store, "SELECT sql FROM sqlite_master WHERE name = 'raw'");
  ASSERT_TRUE(store->ensureTableWithName("raw", rawElementary, rawAddOns, modify).ok());
  EXPECT_EQ(rows(*store, "SELECT sql FROM sqlite_master WHERE name = 'raw'"), before);
}

TEST_F(SqliteSchema, FailedRebuildLeavesTheTableAsItWas) {
  auto store = open();
  exec(*store, "CREATE TABLE raw (name TEXT NOT NULL, timestamp INTEGER NOT NULL)");
  exec(*store, "INSERT INTO raw VALUES ('a', 1)");
  exec(*store, "CREATE TABLE raw_old (x)");  // the rename cannot take this name
  auto ensured = store->ensureTableWithName("raw", {{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}}, {},
                                            {{"timestamp", "REAL NOT NULL"}});
  expectError(ensured, 3, "Transaction failed");
  EXPECT_EQ(store->columnInfoForTableWithName("raw")->at("timestamp"), "INTEGER");
  EXPECT_EQ(rows(*store, "SELECT * FROM raw").size(), 1u);
}

// ---- Transactions ----

TEST_F(SqliteStore, TransactionsCommitOrLeaveNoTrace) {
  auto store = open();
  exec(*store, "CREATE TABLE t (v INTEGER)");
  auto insert = [&](int v) { return store->upsertRecord({{"v", v}}, "t").ok(); };

  ASSERT_TRUE(store->performTransactionWithError([&] { return insert(1) && insert(2); }).ok());
  expectError(store->performTransactionWithError([&] { return insert(3) && false; }), 3, "Transaction failed");
  EXPECT_THROW(store->performTransactionWithError([&]() -> bool {
    insert(4);
    throw std::runtime_error("inside");
  }),
               std::runtime_error);
  foundation::Status inner;
  ASSERT_TRUE(store
                  ->performTransactionWithError([&] {
                    inner = store->performTransactionWithError([&] { return insert(5); });
                    return insert(6);
                  })
                  .ok());
  expectError(inner, 3, "Failed to begin transaction");
  expectError(store->performTransactionWithError(nullptr), 1, "Received nil transaction block");

  auto read = rows(*store, "SELECT v FROM t ORDER BY v");
  std::vector<std::int64_t> values;
  for (const auto& row : read) values.push_back(row.at("v").int64Value());
  EXPECT_EQ(values, (std::vector<std::int64_t>{1, 2, 6}));
}

TEST_F(SqliteStore, FailedCommitIsRolledBackSoLaterTransactionsWork) {
  auto store = open();
  ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys = ON").ok());
  exec(*store, "CREATE TABLE parent (id INTEGER PRIMARY KEY)");
  exec(*store, "CREATE TABLE child (parent_id INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)");
  // The deferred key is checked at END, which fails.
  auto ended = store->performTransactionWithError([&] {
    return store->upsertRecord({{"parent_id", 7}}, "child").ok();
  });
  expectError(ended, 3, "Failed to end transaction");
  EXPECT_EQ(ended.error().monitorContext, Object("Failed to end transaction,19,A"));
  EXPECT_TRUE(sqlite3_get_autocommit(store->sqliteHandle()));
  EXPECT_EQ(store->rowCountForTableWithName("child").value(), 0);
  EXPECT_TRUE(store->performTransactionWithError([&] { return store->upsertRecord({{"id", 7}}, "parent").ok(); }).ok());
}

}  // namespace
