// Events per second through the whole road, from the public API through the
// facade's queues and the engine's worker queue to one durable transaction
// per event, beside the floor: a plain SQLite program writing the same rows
// (metadata, raw event, aggregates row, daily counters) into a file of the
// same schema, one transaction per event, with prepared statements. Both
// keep SQLite's default journal and synchronous settings, as the engine does.
// Rounds of each alternate and their medians are printed.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 5;
constexpr int kEventsPerRound = 100;
constexpr int kWarmUp = 20;

void report(const char* name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name, value, unit);
  std::fflush(stdout);
}

// Counts the stored "bench" events; the listeners hear of each after its write.
struct StoredCounter {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;

  void waitFor(int expected) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return count >= expected; });
  }
};

// The engine, started once; each call times one round of events.
class EngineRoad {
 public:
  EngineRoad() : counter_(std::make_shared<StoredCounter>()) {
    if (!ZNHApp::configure(ZNHOptions("1:1234:ios:abcd")).ok()) {
      std::fprintf(stderr, "analytics not configured\n");
      std::exit(1);
    }
    ZNHAnalytics::addLogEventListener([counter = counter_](const QZMEvent& event) {
      if (event.name() != "bench") return;
      std::lock_guard lock(counter->mutex);
      ++counter->count;
      counter->changed.notify_all();
    });
    for (int i = 0; i < kWarmUp; ++i) log();
    counter_->waitFor(logged_);
  }

  double eventsPerSecond(int events) {
    auto start = Clock::now();
    for (int i = 0; i < events; ++i) log();
    counter_->waitFor(logged_);
    return events / std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  void log() { ZNHAnalytics::logEventWithName("bench", {{"index", logged_++}, {"level", "castle"}}); }

  std::shared_ptr<StoredCounter> counter_;
  int logged_ = 0;
};

bool ok(int result, sqlite3* db) {
  if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return true;
  std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
  std::exit(1);
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  ok(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), db);
  return statement;
}

void step(sqlite3* db, sqlite3_stmt* statement) {
  ok(sqlite3_step(statement), db);
  sqlite3_reset(statement);
}

// The engine's schema and one of its metadata rows, taken from its file.
struct EngineFile {
  std::vector<std::string> schema;
  std::vector<std::uint8_t> metadata;
  std::int64_t fingerprint = 0;
};

EngineFile readEngineFile(const std::string& path) {
  EngineFile file;
  sqlite3* db = nullptr;
  ok(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db);
  sqlite3_stmt* tables = prepare(db, "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL");
  while (sqlite3_step(tables) == SQLITE_ROW) {
    file.schema.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(tables, 0)));
  }
  sqlite3_finalize(tables);
  sqlite3_stmt* metadata = prepare(db, "SELECT metadata_fingerprint, metadata FROM raw_events_metadata LIMIT 1");
  if (sqlite3_step(metadata) == SQLITE_ROW) {
    file.fingerprint = sqlite3_column_int64(metadata, 0);
    auto bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(metadata, 1));
    file.metadata.assign(bytes, bytes + sqlite3_column_bytes(metadata, 1));
  }
  sqlite3_finalize(metadata);
  sqlite3_close(db);
  return file;
}

// The plain SQLite program: the engine's schema in a file of its own, the
// statements prepared once, one transaction per event.
class ReferenceRoad {
 public:
  ReferenceRoad(const std::string& path, EngineFile engineFile) : engineFile_(std::move(engineFile)) {
    ok(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db_);
    for (const std::string& sql : engineFile_.schema) ok(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), db_);
    ok(sqlite3_exec(db_, "INSERT INTO app_metadata (last_bundle_index, last_bundle_end_timestamp) VALUES (0, 0)",
                    nullptr, nullptr, nullptr),
       db_);
    begin_ = prepare(db_, "BEGIN EXCLUSIVE");
    commit_ = prepare(db_, "COMMIT");
    counters_ = prepare(
        db_, "UPDATE app_metadata SET day = ?, daily_events_count = COALESCE(daily_events_count, 0) + 1, "
             "daily_public_events_count = COALESCE(daily_public_events_count, 0) + 1");
    aggregates_ = prepare(
        db_, "INSERT OR IGNORE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
             "VALUES ('bench', 0, 0, 0)");
    metadata_ =
        prepare(db_, "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)");
    rawEvent_ = prepare(
        db_, "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, ?, 0)");
  }

  ~ReferenceRoad() {
    for (sqlite3_stmt* statement : {begin_, commit_, counters_, aggregates_, metadata_, rawEvent_}) {
      sqlite3_finalize(statement);
    }
    sqlite3_close(db_);
  }

  double eventsPerSecond(int count) {
    // The events as the engine encodes them, made before the clock starts.
    std::vector<std::vector<std::uint8_t>> events;
    for (int i = 0; i < count; ++i) {
      auto event = QZMEvent::initWithOrigin("app", true, "bench", 1.7e9 + written_ + i, 0,
                                            QZMDictionary{{"index", written_ + i}, {"level", "castle"}});
      auto bytes = event->protoEvent()->protoBuffer();
      events.emplace_back(bytes->begin(), bytes->end());
    }
    auto start = Clock::now();
    for (const auto& event : events) {
      step(db_, begin_);
      sqlite3_bind_int(counters_, 1, 20000);
      step(db_, counters_);
      step(db_, aggregates_);
      sqlite3_bind_int64(metadata_, 1, engineFile_.fingerprint);
      sqlite3_bind_blob(metadata_, 2, engineFile_.metadata.data(), static_cast<int>(engineFile_.metadata.size()),
                        SQLITE_STATIC);
      step(db_, metadata_);
      sqlite3_bind_text(rawEvent_, 1, "bench", -1, SQLITE_STATIC);
      sqlite3_bind_double(rawEvent_, 2, 1.7e9 + written_++);
      sqlite3_bind_int64(rawEvent_, 3, engineFile_.fingerprint);
      sqlite3_bind_blob(rawEvent_, 4, event.data(), static_cast<int>(event.size()), SQLITE_STATIC);
      step(db_, rawEvent_);
      step(db_, commit_);
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  const EngineFile engineFile_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* counters_ = nullptr;
  sqlite3_stmt* aggregates_ = nullptr;
  sqlite3_stmt* metadata_ = nullptr;
  sqlite3_stmt* rawEvent_ = nullptr;
  int written_ = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main() {
  // A home of the benchmark's own, on the disk the temporary folder is on.
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolv-bench-XXXXXX";
  if (!::mkdtemp(root.data())) return 1;
  ::setenv("TOLV_HOME", (root + "/home").c_str(), 1);
  ::setenv("TOLV_KEYCHAIN_HOME", (root + "/keychain").c_str(), 1);
  ::setenv("TOLV_RESOURCES", (root + "/bundle").c_str(), 1);
  ::unsetenv("TOLV_ENDPOINTS_FILE");
  // A machine with no language set (the C locale) has the SDK warn at every
  // event; a user's device has one.
  if (foundation::Device::preferredLanguages().empty()) foundation::Device::setPreferredLanguages({{"en-US"}});

  // Rounds of the two alternate, so that both see the same load of a shared
  // disk; the medians are compared.
  EngineRoad engineRoad;
  ReferenceRoad referenceRoad(root + "/reference.sql",
                              readEngineFile(QZMApplicationSupportFilePath("dralix-kestro-meter.sql")));
  std::vector<double> engineRates, referenceRates;
  for (int round = 0; round < kRounds; ++round) {
    engineRates.push_back(engineRoad.eventsPerSecond(kEventsPerRound));
    referenceRates.push_back(referenceRoad.eventsPerSecond(kEventsPerRound));
  }
  double engine = median(engineRates);
  double reference = median(referenceRates);

  report("event_road_engine", engine, "events/s");
  report("event_road_sqlite_reference", reference, "events/s");
  report("event_road_reference_over_engine", reference / engine, "x");
  std::fflush(stdout);
  (void)foundation::removeItem(root);
  // The SDK's queues keep running; nothing of theirs needs to end cleanly here.
  std::_Exit(0);
}
