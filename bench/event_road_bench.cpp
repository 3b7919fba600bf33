// The road of an event, from the public API through the facade's queues and
// the engine's worker queue to one durable transaction per event, beside the
// floor: a plain SQLite program writing the same rows (metadata, raw event,
// aggregates row, daily counters) into a file of the same schema, one
// transaction per event, with prepared statements. Both keep SQLite's default
// journal and synchronous settings, as the engine does.
//
// Each data folder (one on disk, one in RAM) is measured by a process of its
// own, started fresh: rounds of the two sides alternate, taking turns at going
// first, and their medians are printed with the median of the per-round
// ratios; beside them the CPU per event, the caller's time inside
// logEventWithName (idle SDK, one busy caller, eight busy callers, against a
// plain queue's hand-off), the threads started per thousand events once warm,
// the memory a queued event holds, and the time from a fresh process start to
// its first stored event in an empty data home. Both folders are measured
// again on a loaded machine: a process of busy loops, one per core, runs
// through both sides' rounds. Last, an event stored when the store holds
// maxEventsStored events is set against one stored just below that.
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <spawn.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/ProcessInfo.h"

extern char** environ;

namespace {

std::atomic<long> gThreadsStarted{0};

}  // namespace

// Every thread the process starts passes here, the SDK's and the C++
// library's alike.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  gThreadsStarted.fetch_add(1, std::memory_order_relaxed);
  return real(thread, attributes, start, argument);
}

namespace {

using Clock = std::chrono::steady_clock;

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::atoi(text) : fallback;
}

const int kRounds = envInt("TOLV_ROAD_ROUNDS", 3);
const int kEventsPerRound = envInt("TOLV_ROAD_EVENTS", 5000);
// A loaded disk stores a few dozen events a second.
const int kLoadedDiskEventsPerRound = envInt("TOLV_ROAD_LOADED_DISK_EVENTS", 600);
// An event at the limit costs far more than one below it until it is mended.
const int kLimitEvents = envInt("TOLV_ROAD_LIMIT_EVENTS", 200);
const int kCallers = 8;
const int kIdleSamples = envInt("TOLV_ROAD_IDLE_SAMPLES", 200);
const int kBacklogEvents = 20000;
constexpr int kWarmUp = 50;

std::string gSuffix;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s_%s %.3f %s\n", name.c_str(), gSuffix.c_str(), value, unit);
  std::fflush(stdout);
}

double cpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  timespec now{};
  clock_gettime(clock, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  std::size_t index = static_cast<std::size_t>(fraction * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

double microseconds(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

// Counts the stored "bench" events; the listeners hear of each after its write.
struct StoredCounter {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;

  void waitFor(int expected) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return count >= expected; });
  }
  int stored() {
    std::lock_guard lock(mutex);
    return count;
  }
};

void configureAnalytics() {
  if (!ZNHApp::configure(ZNHOptions("1:1234:ios:abcd")).ok()) {
    std::fprintf(stderr, "analytics not configured\n");
    std::exit(1);
  }
}

std::shared_ptr<StoredCounter> countStoredEvents() {
  auto counter = std::make_shared<StoredCounter>();
  ZNHAnalytics::addLogEventListener([counter](const QZMEvent& event) {
    if (event.name() != "bench") return;
    std::lock_guard lock(counter->mutex);
    ++counter->count;
    counter->changed.notify_all();
  });
  return counter;
}

// The engine, started once; each call times one round of events.
class EngineRoad {
 public:
  struct Round {
    double eventsPerSecond = 0;
    double cpuPerEvent = 0;
    std::vector<double> callMicros;
  };

  EngineRoad() : counter_(countStoredEvents()) {
    for (int i = 0; i < kWarmUp; ++i) (void)log();
    counter_->waitFor(logged_);
  }

  // Events from `callers` threads at once, each call timed.
  Round run(int events, int callers) {
    Round round;
    std::vector<std::vector<double>> calls(callers);
    const int base = logged_;
    const double cpu = cpuSeconds();
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) {
      threads.emplace_back([&, t] {
        calls[t].reserve(events / callers + 1);
        for (int i = t; i < events; i += callers) calls[t].push_back(log(base + i));
      });
    }
    for (auto& thread : threads) thread.join();
    logged_ = base + events;
    counter_->waitFor(logged_);
    round.eventsPerSecond = events / std::chrono::duration<double>(Clock::now() - start).count();
    round.cpuPerEvent = (cpuSeconds() - cpu) / events;
    for (auto& list : calls) round.callMicros.insert(round.callMicros.end(), list.begin(), list.end());
    return round;
  }

  // Each call made once the one before it is stored.
  std::vector<double> idleCalls(int samples) {
    std::vector<double> micros;
    for (int i = 0; i < samples; ++i) {
      micros.push_back(log());
      counter_->waitFor(logged_);
    }
    return micros;
  }

  // Heap bytes held per accepted event that waits, just after a burst.
  double bytesPerQueuedEvent(int events) {
    const auto before = mallinfo2();
    for (int i = 0; i < events; ++i) (void)log();
    const auto after = mallinfo2();
    const int waiting = logged_ - counter_->stored();
    counter_->waitFor(logged_);
    const double grown = static_cast<double>(after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd);
    return waiting > 0 ? grown / waiting : 0;
  }

 private:
  double log() { return log(logged_++); }
  double log(int index) {
    auto start = Clock::now();
    ZNHAnalytics::logEventWithName("bench", {{"index", index}, {"level", "castle"}});
    return microseconds(Clock::now() - start);
  }

  std::shared_ptr<StoredCounter> counter_;
  int logged_ = 0;
};

// The plain program's hand-off: the call's values copied into a queue that
// a writer thread takes them from.
class ReferenceQueue {
 public:
  ReferenceQueue() : writer_([this] { drain(); }) {}
  ~ReferenceQueue() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_one();
    writer_.join();
  }

  std::vector<double> idleCalls(int samples) {
    std::vector<double> micros;
    for (int i = 0; i < samples; ++i) {
      auto start = Clock::now();
      {
        std::lock_guard lock(mutex_);
        items_.push_back({"bench", {{"index", i}, {"level", "castle"}}, 1.7e9 + i});
      }
      changed_.notify_one();
      micros.push_back(microseconds(Clock::now() - start));
      std::unique_lock lock(mutex_);
      taken_.wait(lock, [&] { return items_.empty(); });
    }
    return micros;
  }

  // Values from `callers` threads at once, each hand-off timed.
  std::vector<double> burstCalls(int items, int callers) {
    std::vector<std::vector<double>> calls(callers);
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) {
      threads.emplace_back([&, t] {
        for (int i = t; i < items; i += callers) {
          auto start = Clock::now();
          {
            std::lock_guard lock(mutex_);
            items_.push_back({"bench", {{"index", i}, {"level", "castle"}}, 1.7e9 + i});
          }
          changed_.notify_one();
          calls[t].push_back(microseconds(Clock::now() - start));
        }
      });
    }
    for (auto& thread : threads) thread.join();
    std::vector<double> micros;
    for (auto& list : calls) micros.insert(micros.end(), list.begin(), list.end());
    return micros;
  }

 private:
  struct Item {
    std::string name;
    foundation::Dictionary parameters;
    double timestamp;
  };
  void drain() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return done_ || !items_.empty(); });
      if (done_) return;
      items_.clear();
      taken_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_, taken_;
  std::deque<Item> items_;
  bool done_ = false;
  std::thread writer_;
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

  // `cpuPerEvent` is set to the CPU this thread (the program's only one)
  // took: each event encoded as the engine encodes it, then written.
  double eventsPerSecond(int count, double* cpuPerEvent) {
    const double cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      auto encoded = QZMEvent::initWithOrigin("app", true, "bench", 1.7e9 + written_, 0,
                                              QZMDictionary{{"index", written_}, {"level", "castle"}});
      auto event = encoded->protoEvent()->protoBuffer();
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
      sqlite3_bind_blob(rawEvent_, 4, event->data(), static_cast<int>(event->size()), SQLITE_STATIC);
      step(db_, rawEvent_);
      step(db_, commit_);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpuPerEvent = (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu) / count;
    return count / seconds;
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


// A data home of its own in `folder`, before the SDK reads its roots.
std::string makeHome(const std::string& folder) {
  std::string root = folder + "/tolv-road-XXXXXX";
  if (!::mkdtemp(root.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  ::setenv("TOLV_HOME", (root + "/home").c_str(), 1);
  ::setenv("TOLV_KEYCHAIN_HOME", (root + "/keychain").c_str(), 1);
  ::setenv("TOLV_RESOURCES", (root + "/bundle").c_str(), 1);
  ::unsetenv("TOLV_ENDPOINTS_FILE");
  // A machine with no language set (the C locale) has the SDK warn at every
  // event; a user's device has one.
  if (foundation::Device::preferredLanguages().empty()) foundation::Device::setPreferredLanguages({{"en-US"}});
  return root;
}

[[noreturn]] void finish(const std::string& root) {
  (void)foundation::removeItem(root);
  // The SDK's queues keep running; nothing of theirs needs to end cleanly here.
  std::fflush(stdout);
  std::_Exit(0);
}

// From the parent's clock reading just before this process was started to
// the first event stored in an empty data home.
void firstEvent(const std::string& folder, long long spawnedNanos) {
  std::string root = makeHome(folder);
  configureAnalytics();
  auto counter = countStoredEvents();
  ZNHAnalytics::logEventWithName("bench", {{"index", 0}, {"level", "castle"}});
  counter->waitFor(1);
  const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  report("event_road_first_event_after_process_start", (now - spawnedNanos) / 1e6, "ms");
  finish(root);
}

void road(const std::string& folder, int eventsPerRound) {
  std::string root = makeHome(folder);
  configureAnalytics();
  EngineRoad engine;
  ReferenceRoad reference(root + "/reference.sql", readEngineFile(QZMApplicationSupportFilePath("dralix-kestro-meter.sql")));

  std::vector<double> engineRates, engine8Rates, referenceRates, engineCpu, engine8Cpu, referenceCpu;
  std::vector<double> ratios1, ratios8;
  std::vector<double> calls1, calls8;
  long threads = 0;
  long engineEvents = 0;
  auto runEngine = [&] {
    const long started = gThreadsStarted.load();
    EngineRoad::Round one = engine.run(eventsPerRound, 1);
    EngineRoad::Round eight = engine.run(eventsPerRound, kCallers);
    // Less the callers the round itself started.
    threads += gThreadsStarted.load() - started - (kCallers + 1);
    engineEvents += 2L * eventsPerRound;
    engineRates.push_back(one.eventsPerSecond);
    engineCpu.push_back(one.cpuPerEvent);
    engine8Rates.push_back(eight.eventsPerSecond);
    engine8Cpu.push_back(eight.cpuPerEvent);
    calls1.insert(calls1.end(), one.callMicros.begin(), one.callMicros.end());
    calls8.insert(calls8.end(), eight.callMicros.begin(), eight.callMicros.end());
  };
  auto runReference = [&] {
    double cpu = 0;
    referenceRates.push_back(reference.eventsPerSecond(eventsPerRound, &cpu));
    referenceCpu.push_back(cpu);
  };
  for (int round = 0; round < kRounds; ++round) {
    if (round % 2 == 0) {
      runEngine();
      runReference();
    } else {
      runReference();
      runEngine();
    }
    ratios1.push_back(referenceRates.back() / engineRates.back());
    ratios8.push_back(referenceRates.back() / engine8Rates.back());
  }
  report("event_road_engine_1_caller", median(engineRates), "events/s");
  report("event_road_engine_8_callers", median(engine8Rates), "events/s");
  report("event_road_sqlite_reference", median(referenceRates), "events/s");
  report("event_road_reference_over_engine_1_caller", median(ratios1), "x");
  report("event_road_reference_over_engine_8_callers", median(ratios8), "x");
  report("event_road_engine_cpu_per_event", median(engineCpu) * 1e6, "us");
  report("event_road_engine_8_callers_cpu_per_event", median(engine8Cpu) * 1e6, "us");
  report("event_road_sqlite_reference_cpu_per_event", median(referenceCpu) * 1e6, "us");
  report("event_road_engine_cpu_over_reference", median(engineCpu) / median(referenceCpu), "x");
  report("event_road_threads_started_per_1000_events", threads * 1000.0 / engineEvents, "threads");

  std::vector<double> idle = engine.idleCalls(kIdleSamples);
  std::vector<double> enqueue, enqueue8;
  {
    ReferenceQueue queue;
    enqueue = queue.idleCalls(kIdleSamples);
    enqueue8 = queue.burstCalls(static_cast<int>(calls8.size()), kCallers);
  }
  report("event_road_call_idle_p50", percentile(idle, 0.5), "us");
  report("event_road_call_idle_p99", percentile(idle, 0.99), "us");
  report("event_road_reference_enqueue_p50", percentile(enqueue, 0.5), "us");
  report("event_road_reference_enqueue_p99", percentile(enqueue, 0.99), "us");
  report("event_road_call_idle_p99_over_reference_enqueue_p99", percentile(idle, 0.99) / percentile(enqueue, 0.99),
         "x");
  report("event_road_call_1_caller_p50", percentile(calls1, 0.5), "us");
  report("event_road_call_1_caller_p99", percentile(calls1, 0.99), "us");
  report("event_road_call_8_callers_p50", percentile(calls8, 0.5), "us");
  report("event_road_call_8_callers_p99", percentile(calls8, 0.99), "us");
  report("event_road_call_8_callers_max", percentile(calls8, 1.0), "us");
  report("event_road_reference_enqueue_8_callers_p99", percentile(enqueue8, 0.99), "us");
  report("event_road_reference_enqueue_8_callers_max", percentile(enqueue8, 1.0), "us");
  report("event_road_queued_event_bytes", engine.bytesPerQueuedEvent(kBacklogEvents), "bytes");
  finish(root);
}

// Keeps every core busy until the parent ends it (or ends itself).
[[noreturn]] void spin(int threads) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (int i = 0; i < threads; ++i) {
    std::thread([] {
      volatile unsigned long turns = 0;
      for (;;) turns = turns + 1;
    }).detach();
  }
  for (;;) ::pause();
}

// The data home of a store-limit round: the engine makes its file and
// stores one event, then that row is copied until the store holds
// `below` events fewer than maxEventsStored.
[[noreturn]] void seedStore(const std::string& root, int below) {
  ::setenv("TOLV_HOME", (root + "/home").c_str(), 1);
  ::setenv("TOLV_KEYCHAIN_HOME", (root + "/keychain").c_str(), 1);
  ::setenv("TOLV_RESOURCES", (root + "/bundle").c_str(), 1);
  if (foundation::Device::preferredLanguages().empty()) foundation::Device::setPreferredLanguages({{"en-US"}});
  configureAnalytics();
  auto counter = countStoredEvents();
  ZNHAnalytics::logEventWithName("bench", {{"index", 0}, {"level", "castle"}});
  counter->waitFor(1);
  const int rows = QZMMeasurement::remoteConfig()->maxEventsStored() - below;
  sqlite3* db = nullptr;
  const std::string path = QZMApplicationSupportFilePath("dralix-kestro-meter.sql");
  ok(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), db);
  sqlite3_busy_timeout(db, 10000);
  const std::string copies =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows - 1) +
      ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
      "SELECT r.name, r.timestamp, r.metadata_fingerprint, r.data, r.is_realtime FROM n, "
      "(SELECT * FROM raw_events WHERE name = 'bench' LIMIT 1) AS r";
  ok(sqlite3_exec(db, copies.c_str(), nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
  std::fflush(stdout);
  std::_Exit(0);
}

// Events stored one caller at a time in a seeded home; the rate goes to
// `resultFile`.
[[noreturn]] void storeRound(const std::string& root, const std::string& resultFile) {
  ::setenv("TOLV_HOME", (root + "/home").c_str(), 1);
  ::setenv("TOLV_KEYCHAIN_HOME", (root + "/keychain").c_str(), 1);
  ::setenv("TOLV_RESOURCES", (root + "/bundle").c_str(), 1);
  if (foundation::Device::preferredLanguages().empty()) foundation::Device::setPreferredLanguages({{"en-US"}});
  configureAnalytics();
  EngineRoad engine;
  EngineRoad::Round round = engine.run(kLimitEvents, 1);
  std::ofstream(resultFile) << round.eventsPerSecond << "\n";
  std::fflush(stdout);
  std::_Exit(0);
}

// Starts this program again with `arguments`.
pid_t startChild(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  std::string self = "/proc/self/exe";
  argv.push_back(self.data());
  std::vector<std::string> copies = arguments;
  for (auto& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  return child;
}

// Runs this program again with `arguments` and waits for it.
void runChild(const std::vector<std::string>& arguments) {
  pid_t child = startChild(arguments);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "benchmark child %s failed\n", arguments.front().c_str());
    std::exit(1);
  }
}

long long nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A store-limit round in a fresh home holding `below` events fewer than the
// limit; answers the events stored per second.
double limitRound(const std::string& folder, int below) {
  std::string root = folder + "/tolv-limit-XXXXXX";
  if (!::mkdtemp(root.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  runChild({"--seed-store", root, std::to_string(below)});
  const std::string resultFile = root + "/rate";
  runChild({"--store-round", root, resultFile});
  double rate = 0;
  std::ifstream(resultFile) >> rate;
  (void)foundation::removeItem(root);
  return rate;
}

// Events at the limit (each one makes room by deleting the oldest) against
// events stored just below it, in alternating fresh processes.
void limit(const std::string& folder, const std::string& label) {
  gSuffix = label;
  // Below by more than the warm-up and the timed events together.
  const int below = kLimitEvents + 1000;
  std::vector<double> atLimit, underLimit, ratios;
  for (int round = 0; round < kRounds; ++round) {
    if (round % 2 == 0) {
      atLimit.push_back(limitRound(folder, 0));
      underLimit.push_back(limitRound(folder, below));
    } else {
      underLimit.push_back(limitRound(folder, below));
      atLimit.push_back(limitRound(folder, 0));
    }
    ratios.push_back(underLimit.back() / atLimit.back());
  }
  report("event_road_store_at_limit", median(atLimit), "events/s");
  report("event_road_store_below_limit", median(underLimit), "events/s");
  report("event_road_event_at_limit_over_below", median(ratios), "x");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 4 && arguments[0] == "--first-event") {
    gSuffix = arguments[2];
    firstEvent(arguments[1], std::stoll(arguments[3]));
  }
  if (arguments.size() == 4 && arguments[0] == "--road") {
    gSuffix = arguments[2];
    road(arguments[1], std::stoi(arguments[3]));
  }
  if (arguments.size() == 2 && arguments[0] == "--spin") spin(std::stoi(arguments[1]));
  if (arguments.size() == 3 && arguments[0] == "--seed-store") seedStore(arguments[1], std::stoi(arguments[2]));
  if (arguments.size() == 3 && arguments[0] == "--store-round") storeRound(arguments[1], arguments[2]);
  // The temporary folder is on disk; /dev/shm is RAM, where syncs cost nothing.
  const char* tmp = std::getenv("TMPDIR");
  const std::string disk = tmp && *tmp ? tmp : "/tmp";
  const std::vector<std::pair<std::string, std::string>> folders = {{"/dev/shm", "ram"}, {disk, "disk"}};
  for (const auto& [folder, label] : folders) {
    runChild({"--first-event", folder, label, std::to_string(nowNanos())});
  }
  for (const auto& [folder, label] : folders) runChild({"--road", folder, label, std::to_string(kEventsPerRound)});
  {
    // Busy loops on every core, through both sides' rounds.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    pid_t spinner = startChild({"--spin", std::to_string(cores)});
    runChild({"--road", "/dev/shm", "ram_loaded", std::to_string(kEventsPerRound)});
    runChild({"--road", disk, "disk_loaded", std::to_string(kLoadedDiskEventsPerRound)});
    ::kill(spinner, SIGKILL);
    waitpid(spinner, nullptr, 0);
  }
  limit("/dev/shm", "ram");
  return 0;
}
