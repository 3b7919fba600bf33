// The engine's configuration over a real database in a temporary home, made
// once per fuzzing process, for targets that feed it fetched configurations.
#pragma once

#include <memory>

#include <sqlite3.h>

#include "fuzz/FuzzCheck.h"
#include "fuzz/QuietMonitor.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigEnvironment.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "testing/TemporaryHome.h"

namespace fuzzkit {

// The engine's app ID, so that inputs reach the parse instead of stopping at
// the app check.
inline constexpr const char* kAppID = "1:1234:ios:abcd";

struct ConfigHarness {
  testkit::TemporaryHome home;
  std::shared_ptr<QZMDatabase> database;
  std::shared_ptr<QZMRemoteConfig> config;
};

// Never destroyed: the fuzzer leaves by exit() with the database in use.
inline ConfigHarness& configHarness() {
  static ConfigHarness* made = [] {
    silence();
    auto* h = new ConfigHarness;
    QZMRemoteConfigInstallEnvironment();
    auto persisted = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
    auto database = QZMDatabase::initWithDatabaseName("fuzz.sql", persisted);
    FUZZ_CHECK(database.ok(), "the database opens");
    h->database = *database;
    // Durability is not what is tested; a sync per input would be most of the run.
    sqlite3_exec(h->database->sqliteStore()->sqliteHandle(), "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY",
                 nullptr, nullptr, nullptr);
    auto config = QZMRemoteConfig::initWithAppID(kAppID, h->database, persisted, nullptr);
    FUZZ_CHECK(config.ok(), "the configuration is made");
    h->config = *config;
    return h;
  }();
  return *made;
}

}  // namespace fuzzkit
