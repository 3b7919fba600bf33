// Stored raw events and their metadata, damaged in every way a row can be:
// bytes that do not decode, columns of the wrong type, times of any value,
// fingerprints that name no metadata. One bundling pass must consume every
// row, bundling what it can and dropping the rest, so that no row is left to
// hold back the events stored after it.
//
// The input is read as a small program of choices (see Reader below): the
// metadata rows first, then up to seven raw-event rows.
#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/QuietMonitor.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"
#include "testing/TemporaryHome.h"

namespace {

constexpr const char* kAppID = "1:1234:ios:abcd";

// An engine without a network: nothing uploads or fetches behind the
// harness's back, and the upload alarm is never armed.
class Engine final : public QZMMeasurement {
 public:
  explicit Engine(std::shared_ptr<QZMScheduler> scheduler)
      : QZMMeasurement(kQZMDatabaseFileName, QZMPersistedConfig::sharedInstance(), nullptr, scheduler,
                       QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName), kAppID,
                       true, false, std::nullopt, nullptr) {}
  static std::shared_ptr<Engine> make() {
    auto engine = std::make_shared<Engine>(QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel));
    engine->finishInitialization();
    return engine;
  }
};

struct Harness {
  testkit::TemporaryHome home;
  std::shared_ptr<Engine> engine;
};

void onWorkerQueue(Engine& engine, const std::function<void()>& block) {
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("fuzz", block);
}

// Never destroyed: the fuzzer leaves by exit() with the engine running.
Harness& harness() {
  static Harness* made = [] {
    fuzzkit::silence();
    auto* h = new Harness;
    h->home.setInfoPlist({{"CFBundleIdentifier", foundation::Object("com.example.fuzz")}});
    QZMEManager::setSharedInstance(QZMEManager::init());
    h->engine = Engine::make();
    QZMMeasurementBase::setSharedInstance(h->engine);
    // The start runs on the worker queue; this waits for it.
    onWorkerQueue(*h->engine, [] {});
    FUZZ_CHECK(h->engine->database(), "the engine starts");
    sqlite3_exec(h->engine->database()->sqliteStore()->sqliteHandle(),
                 "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY", nullptr, nullptr, nullptr);
    return h;
  }();
  return *made;
}

// Choices drawn from the input; past its end every choice is 0.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string bytes(std::size_t count) {
    std::string out;
    while (count-- > 0 && at_ < size_) out.push_back(static_cast<char>(data_[at_++]));
    return out;
  }
  std::int64_t int64() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | byte();
    std::int64_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  double real() {
    std::int64_t bits = int64();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A column value of any of SQLite's kinds.
using Column = std::variant<std::int64_t, double, std::string, std::vector<std::uint8_t>>;

std::vector<std::uint8_t> blob(const std::optional<foundation::Data>& data) {
  return data ? std::vector<std::uint8_t>(data->begin(), data->end()) : std::vector<std::uint8_t>();
}

// Sound bytes, damaged at one place, or bytes of the input's own.
std::vector<std::uint8_t> damaged(Reader& in, std::vector<std::uint8_t> sound) {
  switch (in.byte() % 3) {
    case 0: return sound;
    case 1:
      if (!sound.empty()) {
        std::size_t at = in.byte() % sound.size();
        sound[at] ^= static_cast<std::uint8_t>(in.byte() | 1);
      }
      return sound;
    default: {
      std::string own = in.bytes(in.byte() % 24);
      return std::vector<std::uint8_t>(own.begin(), own.end());
    }
  }
}

void bind(sqlite3_stmt* statement, int index, const Column& value) {
  if (auto* integer = std::get_if<std::int64_t>(&value)) {
    sqlite3_bind_int64(statement, index, *integer);
  } else if (auto* real = std::get_if<double>(&value)) {
    sqlite3_bind_double(statement, index, *real);
  } else if (auto* text = std::get_if<std::string>(&value)) {
    sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
  } else {
    const auto& bytes = std::get<std::vector<std::uint8_t>>(value);
    sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
}

// A row the schema refuses (a NULL where none may be) is simply not there.
void insert(sqlite3* handle, const char* sql, const std::vector<Column>& values) {
  sqlite3_stmt* statement = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK, "the insert is prepared");
  for (std::size_t i = 0; i < values.size(); ++i) bind(statement, static_cast<int>(i + 1), values[i]);
  (void)sqlite3_step(statement);
  sqlite3_finalize(statement);
}

std::int64_t count(sqlite3* handle, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK, "the count is prepared");
  FUZZ_CHECK(sqlite3_step(statement) == SQLITE_ROW, "the count answers");
  std::int64_t n = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return n;
}

std::vector<std::uint8_t> soundMetadata(int index) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetString(bundle.get(), QZMPBMeasurementBundle::kAppId, std::string("com.example.fuzz"));
  NANOSetString(bundle.get(), QZMPBMeasurementBundle::kPlatform, std::string("ios"));
  NANOSetString(bundle.get(), QZMPBMeasurementBundle::kOsVersion, "1" + std::to_string(index));
  return blob(bundle->protoBuffer());
}

const char* const kNames[] = {"level_up", "_internal", "purchase", "_s", "_e", "ad_impression", "_f"};

std::vector<std::uint8_t> soundEvent(Reader& in, const std::string& name, double timestamp) {
  QZMDictionary parameters;
  if (in.byte() % 2) parameters.emplace("_et", in.int64());
  if (in.byte() % 2) parameters.emplace("label", in.bytes(in.byte() % 8));
  auto event = QZMEvent::initWithOrigin("app", false, name.empty() ? "x" : name, timestamp, 0, parameters);
  if (!event) return {};
  auto message = event->protoEvent();
  if (!message) return {};
  NANOClearField(message.get(), QZMPBEvent::kName);
  return blob(message->protoBuffer());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = harness();
  Reader in(data, size);
  onWorkerQueue(*h.engine, [&] {
    auto database = h.engine->database();
    sqlite3* handle = database->sqliteStore()->sqliteHandle();
    FUZZ_CHECK(sqlite3_exec(handle, "DELETE FROM raw_events; DELETE FROM raw_events_metadata; DELETE FROM queue",
                            nullptr, nullptr, nullptr) == SQLITE_OK,
               "the tables empty");
    const double now = foundation::now();

    std::vector<std::int64_t> fingerprints;
    int metadataCount = 1 + in.byte() % 3;
    for (int i = 0; i < metadataCount; ++i) {
      std::vector<std::uint8_t> sound = soundMetadata(i);
      std::int64_t fingerprint = qzm_64LSBMD5(foundation::Data(sound.begin(), sound.end()));
      fingerprints.push_back(fingerprint);
      insert(handle, "INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)",
             {fingerprint, damaged(in, sound)});
    }

    int rowCount = in.byte() % 8;
    for (int i = 0; i < rowCount; ++i) {
      Column fingerprint;
      switch (std::uint8_t kind = in.byte() % 6) {
        case 3: fingerprint = in.bytes(in.byte() % 8); break;
        case 4: fingerprint = in.real(); break;
        case 5: fingerprint = in.int64(); break;
        default: fingerprint = fingerprints[kind % fingerprints.size()];
      }
      double time = now - in.byte() * 60.0;
      Column timestamp;
      switch (in.byte() % 4) {
        case 1: timestamp = time = in.real(); break;
        case 2: timestamp = in.bytes(in.byte() % 8); break;
        case 3: timestamp = in.int64(); break;
        default: timestamp = time;
      }
      std::string eventName = kNames[in.byte() % std::size(kNames)];
      Column name = eventName;
      switch (in.byte() % 3) {
        case 1: name = eventName = in.bytes(in.byte() % 12); break;
        case 2: name = in.int64(); break;
        default: break;
      }
      Column eventData = damaged(in, soundEvent(in, eventName, time));
      insert(handle,
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, ?, ?)",
             {name, timestamp, fingerprint, eventData, static_cast<std::int64_t>(in.byte() % 2)});
    }

    // Each call that answers YES consumed at least one row, so this bounds
    // the pass; one call more than rows may answer that nothing is left.
    std::int64_t rows = count(handle, "SELECT COUNT(*) FROM raw_events");
    for (std::int64_t calls = 0; calls <= rows && h.engine->bundleRawEvents(); ++calls) {
    }
    FUZZ_CHECK(count(handle, "SELECT COUNT(*) FROM raw_events") == 0, "one bundling pass leaves no raw event behind");
    FUZZ_CHECK(count(handle, "SELECT COUNT(*) FROM queue WHERE bundle_end_timestamp <= 0") == 0,
               "every bundle has a time");
  });
  fuzzkit::settleMonitor();
  return 0;
}
