// A started engine inside a test, over the test's own home: a real database,
// remote configuration and identity, the hooks of roads not under test
// recorded, and the internal error events the SDK logs captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/model/QZMValue.h"
#include "measurement/model/audience/QZMRawEventData.h"

namespace eventkit {

inline constexpr const char* kEngineTestAppID = "1:1234:ios:abcd";
inline constexpr const char* kEngineTestBundleID = "com.example.tolv";

class TestEngine : public QZMMeasurement {
 public:
  // Made with collection on; nothing started until the worker queue runs.
  static std::shared_ptr<TestEngine> make(SafelistedEvents safelistedEvents);

  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) override;

  // Session starts asked for: time and whether in the background.
  std::vector<std::pair<double, bool>> sessionStarts() const;

  TestEngine(std::shared_ptr<QZMPersistedConfig> config, std::shared_ptr<QZMScheduler> scheduler,
             SafelistedEvents safelistedEvents);

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<double, bool>> sessionStarts_;
};

class EngineTest : public testkit::FoundationTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes, installs and starts the shared engine.
  void startEngine(QZMMeasurement::SafelistedEvents safelistedEvents = std::nullopt);
  // Runs what the worker queue holds, and what that queues in turn.
  void drain();
  // Runs the block on the worker queue and waits for it.
  void onWorkerQueue(const std::function<void()>& block);
  // Puts these measurement settings in force.
  void setSettings(const std::vector<std::pair<std::string, std::string>>& settings);

  // A public event of the app, as the facade hands it over, then drained.
  void logEvent(const std::string& name, const QZMDictionary& parameters = {}, const std::string& origin = "app");
  // An event the SDK makes itself, written straight from handling.
  void handleEvent(const std::string& name, const QZMDictionary& parameters = {}, const std::string& origin = "auto");

  std::vector<QZMRawEventData> rawEvents();
  std::vector<std::string> rawEventNames();
  QZMDailyCounts dailyCounts();
  std::int64_t rowCount(const std::string& table);
  // "_err" codes of the internal error events logged so far.
  std::vector<std::int64_t> errorEventCodes() const;

  std::shared_ptr<TestEngine> engine;

 private:
  mutable std::mutex errorsMutex_;
  std::vector<std::int64_t> errorCodes_;
};

// The parameter's value, nullopt when absent.
std::optional<QZMValue> parameterOf(const QZMEvent& event, const std::string& name);

}  // namespace eventkit
