// The engine's configuration over a real database in a temporary home, made
// once per fuzzing process, for targets that feed it fetched configurations.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <sqlite3.h>

#include "fuzz/FuzzCheck.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigEnvironment.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/proto/NANODiagnostics.h"
#include "platform/foundation/Log.h"
#include "testing/TemporaryHome.h"

namespace fuzzkit {

// The engine's app ID, so that inputs reach the parse instead of stopping at
// the app check.
inline constexpr const char* kAppID = "1:1234:ios:abcd";

class Quiet final : public QZMLogging {
 public:
  void logMessage(const std::string&, const std::string&, std::int64_t, std::int64_t) override {}
};

// What the monitor was told is recorded on its own queue: finished within
// each input, so the leak check after it sees no work in flight.
inline void settleMonitor() { (void)QZMMeasurementBase::monitor()->monitorQueue()->sync([] {}); }

struct ConfigHarness {
  testkit::TemporaryHome home;
  std::shared_ptr<QZMDatabase> database;
  std::shared_ptr<QZMRemoteConfig> config;
};

// Never destroyed: the fuzzer leaves by exit() with the database in use.
inline ConfigHarness& configHarness() {
  static ConfigHarness* made = [] {
    NANOSetOutputSink([](std::string_view) {});
    foundation::setLogSink([](std::string_view) {});
    QZMMeasurementBase::setMonitor(QZMMonitor::initWithLogLevel(0, std::make_shared<Quiet>(), 111400));
    // The monitor records what it was told on its own queue; that work ends
    // before the leak check at exit looks.
    std::atexit(settleMonitor);
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
