// A host program for the crash-safety test, which kills it at random
// moments. It logs "tick" events through the public API, each with its run
// and sequence number, and prints "ack <run> <seq>" once the engine has
// stored one (its listeners hear of an event after the write). In config mode
// it also rewrites the persisted settings and the stored measurement
// configuration in a loop, printing "cfg <round>" after each round.
//
//   crash_child events|config <run> <events to log, then exit>
//
// Roots come from $TOLV_HOME, $TOLV_KEYCHAIN_HOME and $TOLV_RESOURCES.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPersistentDictionary.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr const char* kAppID = "1:1234:ios:abcd";
// Events logged ahead of the last one stored; keeps the queue short, so a
// kill lands while writes are going on rather than behind a long backlog.
constexpr std::int64_t kMaxInFlight = 16;

std::mutex gMutex;
std::condition_variable gStored;
std::int64_t gStoredCount = 0;

void say(const std::string& line) {
  std::lock_guard lock(gMutex);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::shared_ptr<QZMMeasurement> startedEngine() {
  for (int i = 0; i < 1000; ++i) {
    auto engine = QZMMeasurement::sharedInstance();
    if (engine && engine->database()) return engine;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

void rewriteConfiguration(const std::shared_ptr<QZMMeasurement>& engine) {
  for (std::int64_t round = 0;; ++round) {
    bool written = false;
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("crash_child", [&] {
      engine->handleSetDefaultEventParametersOnWorkerQueue(
          QZMDictionary{{"round", round}, {"pad", std::string(400, 'p')}}, false);
      // The file now, on the queue that writes it, rather than within the
      // second the store allows itself.
      auto store = engine->persistedConfig()->userDefaults();
      (void)store->serialQueue()->sync([&] { store->persistToDisk(); });
      auto config = QZMPBMeasurementConfig::initWithMessageInfo(nullptr);
      NANOSetInt64(config.get(), QZMPBMeasurementConfig::kVersion, round);
      NANOSetString(config.get(), QZMPBMeasurementConfig::kAppId, kAppID);
      NANOSetString(config.get(), QZMPBMeasurementConfig::kStringField7, std::string(4096, 'c'));
      written = engine->database()->updateRemoteConfig(*config).ok();
    });
    if (!written) {
      say("config write failed");
      std::_Exit(3);
    }
    say("cfg " + std::to_string(round));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s events|config <run> <count>\n", argv[0]);
    return 2;
  }
  const bool configMode = std::strcmp(argv[1], "config") == 0;
  const std::int64_t run = std::atoll(argv[2]);
  const std::int64_t count = std::atoll(argv[3]);

  // As after a server's back-off: no upload for hours, so however slowly this
  // runs, bundling never moves rows out of the table the test counts.
  QZMPersistedConfig::sharedInstance()->setLastBackoffTimestamp(foundation::now());
  if (!ZNHApp::configure(ZNHOptions(kAppID)).ok()) return 1;
  ZNHAnalytics::addLogEventListener([run](const QZMEvent& event) {
    if (event.name() != "tick") return;
    auto eventRun = event.parameters().find("run");
    auto sequence = event.parameters().find("seq");
    if (eventRun == event.parameters().end() || sequence == event.parameters().end()) return;
    if (eventRun->second.int64Value() != run) return;
    say("ack " + std::to_string(run) + " " + std::to_string(sequence->second.int64Value()));
    std::lock_guard lock(gMutex);
    ++gStoredCount;
    gStored.notify_all();
  });
  auto engine = startedEngine();
  if (!engine) return 1;
  say("started");
  if (configMode) std::thread([engine] { rewriteConfiguration(engine); }).detach();

  for (std::int64_t sequence = 0; sequence < count; ++sequence) {
    {
      std::unique_lock lock(gMutex);
      gStored.wait(lock, [&] { return sequence - gStoredCount < kMaxInFlight; });
    }
    ZNHAnalytics::logEventWithName("tick", {{"run", run}, {"seq", sequence}});
  }
  std::unique_lock lock(gMutex);
  if (!gStored.wait_for(lock, std::chrono::seconds(60), [&] { return gStoredCount == count; })) return 4;
  std::fputs("done\n", stdout);
  std::fflush(stdout);
  return 0;
}
