// A fixture for the measurement database's table operations: each test gets
// its own home with a fresh database file, the persisted settings beside it
// and settings it can change, on the fixture's fake clock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace testkit {

// A connection of the test's own to a database file, as a second instance of
// a host or a shell on the data home would hold.
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &handle_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << path;
  }
  ~OtherConnection() { sqlite3_close(handle_); }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;

  // Runs and commits the statements.
  void execute(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
  }

 private:
  sqlite3* handle_ = nullptr;
};

class DatabaseTest : public FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    config = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
    auto opened = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, config);
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    database = *opened;
    database->setSettingsSource([this] { return settings; });
  }

  void TearDown() override {
    database.reset();
    config.reset();
    FoundationTest::TearDown();
  }

  // Rows of a query on the database's own store.
  std::vector<QZMDatabase::Record> rows(const std::string& query) {
    auto read = database->sqliteStore()->recordsForQuery(query, {});
    EXPECT_TRUE(read.ok()) << read.error().text();
    return read.ok() ? *read : std::vector<QZMDatabase::Record>{};
  }
  // Runs statements the database itself would never write.
  void execute(const std::string& sql) {
    char* message = nullptr;
    int result = sqlite3_exec(database->sqliteStore()->sqliteHandle(), sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(result, SQLITE_OK) << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
  }

  std::shared_ptr<QZMPersistedConfig> config;
  std::shared_ptr<QZMDatabase> database;
  QZMDatabaseSettings settings;
};

}  // namespace testkit
