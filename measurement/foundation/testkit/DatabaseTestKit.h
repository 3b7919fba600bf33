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
