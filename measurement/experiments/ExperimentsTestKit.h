// Test support for the experiments: a fixture with its own home, fake clock
// and monitor (from the foundation's kit), a task manager over a real
// database file and a real network client, and builders of flags, snapshots
// and server answers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "measurement/experiments/QZMEExperimentRequestBuilder.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/experiments/QZMETaskManager.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/QZMPBFlagHelpers.h"
#include "platform/utilities/Endpoints.h"

namespace experimentskit {

inline QZMEFlag flag(const std::string& name, const foundation::Object& value) {
  QZMEFlag made = QZMPBFlagCreate(foundation::Object(name), value);
  EXPECT_TRUE(made) << name;
  return made;
}

// experiments: ID -> flags (name, value).
using ExperimentList = std::vector<std::pair<std::int32_t, std::vector<std::pair<std::string, foundation::Object>>>>;

inline QZMESnapshot snapshot(const std::string& SDKName, const ExperimentList& experiments) {
  std::vector<QZMEExperiment> made;
  for (const auto& [id, flags] : experiments) {
    std::vector<QZMEFlag> list;
    for (const auto& [name, value] : flags) list.push_back(flag(name, value));
    made.push_back(*QZMEExperiment::initWithExperimentID(id, list));
  }
  return *QZMESnapshot::initWithSDKName(SDKName, made);
}

inline std::optional<foundation::Object> flagValue(const std::optional<QZMESnapshot>& snapshot,
                                                   const std::string& name) {
  if (!snapshot) return std::nullopt;
  return QZMPBFlagGetValue(snapshot->flagByName(name).get());
}

inline std::vector<std::int32_t> ids(const std::optional<QZMESnapshot>& snapshot) {
  std::vector<std::int32_t> all;
  if (snapshot) {
    for (const auto& experiment : snapshot->experiments()) all.push_back(experiment.experimentID());
  }
  return all;
}

// One SDK's part of a server answer.
struct SDKAnswer {
  std::string name;
  std::uint32_t status = 0;
  std::optional<QZMESnapshot> snapshot;
};

// The bytes of a server answer (not compressed).
inline foundation::Data responseBytes(const std::vector<QZMESnapshot>& snapshots,
                                      const std::vector<SDKAnswer>& answers = {}) {
  auto response = QZMPBExperimentResponse::initWithBuffer({});
  NANOObjectArray list;
  for (const auto& item : snapshots) list.emplace_back(std::shared_ptr<NANOMessageBase>(item.proto()));
  EXPECT_TRUE(NANOSetArray(response.get(), QZMPBExperimentResponse::kSnapshots, &list));
  NANOObjectArray sdks;
  for (const auto& answer : answers) {
    std::shared_ptr<QZMPBSdkResponse> sdk = QZMPBSdkResponse::initWithBuffer({});
    if (!answer.name.empty()) NANOSetString(sdk.get(), QZMPBSdkResponse::kSdkName, answer.name);
    NANOSetInt32(sdk.get(), QZMPBSdkResponse::kStatus, static_cast<std::int32_t>(answer.status));
    if (answer.snapshot) NANOSetMessage(sdk.get(), QZMPBSdkResponse::kSnapshot, answer.snapshot->proto().get());
    sdks.emplace_back(sdk);
  }
  EXPECT_TRUE(NANOSetArray(response.get(), QZMPBExperimentResponse::kSdkResponses, &sdks));
  return response->protoBuffer().value_or(foundation::Data());
}

// Polls, bounded in real time, for something another thread makes true.
inline bool eventually(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ExperimentsTest : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    QZMEExperimentRequestBuilder::setSharedInstance(nullptr);
    QZMESDKProperty::setIdentityDiversionKeyProvider(nullptr);
    // A fetch that a test sets off without meaning to ends at once, refused.
    utilities::Endpoints::setOverride(utilities::kEndpointExperiments, "https://127.0.0.1:1");
    databasePath = QZMApplicationSupportFilePath(kQZMEDatabaseFileName);
    suite = QZMUserDefaults::initWithSuiteName(std::string(kQZMExperimentSuiteName));
    makeTaskManager();
  }

  void TearDown() override {
    if (manager) flush();
    manager.reset();
    if (taskManager) testkit::settle(taskManager->workerQueue());
    taskManager.reset();
    QZMEManager::setSharedInstance(nullptr);
    QZMEExperimentRequestBuilder::setSharedInstance(nullptr);
    QZMESDKProperty::setIdentityDiversionKeyProvider(nullptr);
    utilities::Endpoints::reset();
    FoundationTest::TearDown();
  }

  // A task manager as a launch makes it (not started), dropping any earlier.
  void makeTaskManager() {
    if (taskManager) testkit::settle(taskManager->workerQueue());
    auto queue = dispatch::Queue::create(kQZMEWorkerQueueLabel);
    auto network = std::make_shared<DRKNetwork>();
    network->setTimeoutInterval(kQZMEFetchTimeout);
    taskManager = QZMETaskManager::initWithQueue(queue, QZMAlarm::initWithDispatchQueue(queue, kQZMEAlarmName), network,
                                                 suite, databasePath, clock->now());
  }

  // A manager over the task manager, started as the shared one is.
  void startManager() {
    manager = QZMEManager::initWithTaskManager(taskManager);
    taskManager->startTaskManager();
    flush();
  }

  // Runs what the manager and the task manager handed each other so far.
  void flush() {
    for (int round = 0; round < 4; ++round) {
      if (manager) manager->dispatchSyncOnSerialQueue([] {});
      taskManager->dispatchSyncOnWorkerQueue([] {});
    }
  }

  // Runs the block on the worker queue's own thread (a sync call would run it
  // on the test's main thread, which the worker's methods refuse) and waits.
  void onWorker(const std::function<void()>& block) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    taskManager->dispatchAsyncOnWorkerQueue([&block, done] {
      block();
      done->set_value();
    });
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }

  // When the alarm will fetch, seconds since 1970; 0 when it is idle.
  double alarmTime() const {
    auto armed = taskManager->alarm()->scheduledTimestamp();
    return armed ? armed->secondsSince1970 : 0;
  }

  std::shared_ptr<QZMESDKProperty> property(const std::string& name,
                                            std::optional<std::string> diversionKey = "abcde") {
    auto made = QZMESDKProperty::initWithName(name);
    made->setDiversionKey(std::move(diversionKey));
    made->setVersion(111400);
    made->setAppID("1:1234:ios:abcd");
    return made;
  }

  std::string databasePath;
  std::shared_ptr<QZMUserDefaults> suite;
  std::shared_ptr<QZMETaskManager> taskManager;
  std::shared_ptr<QZMEManager> manager;
};

// A client's delegate that records what it is told, on a queue of its own.
class RecordingObserver : public QZMEExperimentObserverDelegate {
 public:
  bool implementsClientDidReceiveNewSnapshot() const override { return notices; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<QZMEClient>& client) override {
    std::lock_guard lock(mutex);
    newSnapshots.push_back(client->SDKName());
    noticeQueues.push_back(dispatch::currentQueueLabel());
  }
  bool implementsClientDidReceiveFetchError() const override { return true; }
  void clientDidReceiveFetchError(const std::shared_ptr<QZMEClient>& client, const foundation::Error& error) override {
    // Reading back from inside a callback must not wait for the manager.
    std::optional<foundation::Object> value = client->valueForFlag("any");
    std::lock_guard lock(mutex);
    fetchErrors.push_back({client->SDKName(), error});
    valuesReadInCallback.push_back(value);
  }
  bool implementsShouldFetchExperimentsForClient() const override { return answersShouldFetch.has_value(); }
  bool shouldFetchExperimentsForClient(const std::shared_ptr<QZMEClient>&) override { return *answersShouldFetch; }
  std::shared_ptr<dispatch::Queue> queue() const override { return noticeQueue; }

  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return newSnapshots;
  }

  bool notices = true;
  std::optional<bool> answersShouldFetch;
  std::shared_ptr<dispatch::Queue> noticeQueue = dispatch::Queue::create("com.tolv.test.observer");
  std::mutex mutex;
  std::vector<std::string> newSnapshots;
  std::vector<std::string> noticeQueues;
  std::vector<std::pair<std::string, foundation::Error>> fetchErrors;
  std::vector<std::optional<foundation::Object>> valuesReadInCallback;
};

}  // namespace experimentskit
