// Events per second through the whole road, from the public API through the
// facade's queues and the engine's worker queue to one durable transaction
// per event, beside the floor: a plain SQLite program writing the same rows
// (metadata, raw event, aggregates row, daily counters) into a file of the
// same schema, one transaction per event, with prepared statements. Both
// keep SQLite's default journal and synchronous settings, as the engine does.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

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

constexpr int kEvents = 400;
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

double engineEventsPerSecond() {
  if (!ZNHApp::configure(ZNHOptions("1:1234:ios:abcd")).ok()) {
    std::fprintf(stderr, "analytics not configured\n");
    std::exit(1);
  }
  auto counter = std::make_shared<StoredCounter>();
  ZNHAnalytics::addLogEventListener([counter](const QZMEvent& event) {
    if (event.name() != "bench") return;
    std::lock_guard lock(counter->mutex);
    ++counter->count;
    counter->changed.notify_all();
  });
  auto log = [](int i) { ZNHAnalytics::logEventWithName("bench", {{"index", i}, {"level", "castle"}}); };
  for (int i = 0; i < kWarmUp; ++i) log(i);
  counter->waitFor(kWarmUp);

  auto start = Clock::now();
  for (int i = 0; i < kEvents; ++i) log(kWarmUp + i);
  counter->waitFor(kWarmUp + kEvents);
  return kEvents / std::chrono::duration<double>(Clock::now() - start).count();
}

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

double referenceEventsPerSecond(const std::string& path, const EngineFile& engineFile) {
  sqlite3* db = nullptr;
  ok(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db);
  for (const std::string& sql : engineFile.schema) ok(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db);
  ok(sqlite3_exec(db, "INSERT INTO app_metadata (last_bundle_index, last_bundle_end_timestamp) VALUES (0, 0)",
                  nullptr, nullptr, nullptr),
     db);

  // The events as the engine encodes them, made before the clock starts.
  std::vector<std::vector<std::uint8_t>> events;
  for (int i = 0; i < kEvents; ++i) {
    auto event = QZMEvent::initWithOrigin("app", true, "bench", 1.7e9 + i, 0,
                                          QZMDictionary{{"index", i}, {"level", "castle"}});
    auto bytes = event->protoEvent()->protoBuffer();
    events.emplace_back(bytes->begin(), bytes->end());
  }

  sqlite3_stmt* begin = prepare(db, "BEGIN EXCLUSIVE");
  sqlite3_stmt* commit = prepare(db, "COMMIT");
  sqlite3_stmt* counters = prepare(
      db, "UPDATE app_metadata SET day = ?, daily_events_count = COALESCE(daily_events_count, 0) + 1, "
          "daily_public_events_count = COALESCE(daily_public_events_count, 0) + 1");
  sqlite3_stmt* aggregates = prepare(
      db, "INSERT OR IGNORE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
          "VALUES ('bench', 0, 0, 0)");
  sqlite3_stmt* metadata =
      prepare(db, "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)");
  sqlite3_stmt* rawEvent = prepare(
      db, "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, ?, 0)");

  auto start = Clock::now();
  for (int i = 0; i < kEvents; ++i) {
    step(db, begin);
    sqlite3_bind_int(counters, 1, 20000);
    step(db, counters);
    step(db, aggregates);
    sqlite3_bind_int64(metadata, 1, engineFile.fingerprint);
    sqlite3_bind_blob(metadata, 2, engineFile.metadata.data(), static_cast<int>(engineFile.metadata.size()),
                      SQLITE_STATIC);
    step(db, metadata);
    sqlite3_bind_text(rawEvent, 1, "bench", -1, SQLITE_STATIC);
    sqlite3_bind_double(rawEvent, 2, 1.7e9 + i);
    sqlite3_bind_int64(rawEvent, 3, engineFile.fingerprint);
    sqlite3_bind_blob(rawEvent, 4, events[i].data(), static_cast<int>(events[i].size()), SQLITE_STATIC);
    step(db, rawEvent);
    step(db, commit);
  }
  double rate = kEvents / std::chrono::duration<double>(Clock::now() - start).count();
  for (sqlite3_stmt* statement : {begin, commit, counters, aggregates, metadata, rawEvent}) {
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return rate;
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

  double engine = engineEventsPerSecond();
  EngineFile engineFile = readEngineFile(QZMApplicationSupportFilePath("dralix-kestro-meter.sql"));
  double reference = referenceEventsPerSecond(root + "/reference.sql", engineFile);

  report("event_road_engine", engine, "events/s");
  report("event_road_sqlite_reference", reference, "events/s");
  report("event_road_reference_over_engine", reference / engine, "x");
  std::fflush(stdout);
  (void)foundation::removeItem(root);
  // The SDK's queues keep running; nothing of theirs needs to end cleanly here.
  std::_Exit(0);
}
