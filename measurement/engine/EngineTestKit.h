// Test support for the engine's upload roads: a started engine (through the
// test host) with helpers that store raw events and their metadata the way
// event writing does, change the configuration in force, and read back what
// bundling put into the upload queue.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "testing/MeasurementHost.h"

namespace testkit {

using Bundle = QZMPBMeasurementBundle;
using BundlePtr = std::shared_ptr<Bundle>;

// Midnight of a day, so that hours in tests start at whole multiples.
inline constexpr double kDayStart = 1'700'006'400;

// What a test needs of one stored metadata message.
struct Metadata {
  std::string appID = "com.example.tolv";
  std::string consentSignals;
  std::string resettableDeviceID;
  std::string vendorDeviceID;
  std::string osVersion;
};

inline std::vector<std::string> eventNames(const Bundle& bundle) {
  std::vector<std::string> names;
  for (const auto& event : NANOGetArray<QZMPBEvent>(&bundle, Bundle::kEvents).value_or(
           std::vector<std::shared_ptr<QZMPBEvent>>())) {
    names.push_back(NANOGetString(event.get(), QZMPBEvent::kName).value_or(""));
  }
  return names;
}

// The integer parameter of an event, or nullopt.
inline std::optional<std::int64_t> intParameter(const QZMPBEvent& event, std::string_view name) {
  for (const auto& parameter :
       NANOGetArray<QZMPBEventParam>(&event, QZMPBEvent::kParams).value_or(std::vector<std::shared_ptr<QZMPBEventParam>>())) {
    if (NANOGetString(parameter.get(), QZMPBEventParam::kName) == name) {
      return NANOGetInt64(parameter.get(), QZMPBEventParam::kIntValue);
    }
  }
  return std::nullopt;
}

// One event rule of a configuration.
struct EventRule {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<std::int32_t> samplingRate;
};

// A measurement configuration of the test app.
inline std::shared_ptr<QZMPBMeasurementConfig> configuration(
    const std::vector<std::pair<std::string, std::string>>& settings, const std::vector<EventRule>& rules = {},
    std::int64_t version = 1, const std::string& appID = kTestAppID) {
  std::shared_ptr<QZMPBMeasurementConfig> config = QZMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetInt64(config.get(), QZMPBMeasurementConfig::kVersion, version);
  NANOSetString(config.get(), QZMPBMeasurementConfig::kAppId, appID);
  NANOObjectArray settingObjects;
  for (const auto& [name, value] : settings) {
    std::shared_ptr<QZMPBSetting> setting = QZMPBSetting::initWithMessageInfo(nullptr);
    NANOSetString(setting.get(), QZMPBSetting::kName, name);
    NANOSetString(setting.get(), QZMPBSetting::kValue, value);
    settingObjects.emplace_back(std::static_pointer_cast<NANOMessageBase>(setting));
  }
  NANOSetArray(config.get(), QZMPBMeasurementConfig::kSettings, &settingObjects);
  NANOObjectArray ruleObjects;
  for (const EventRule& rule : rules) {
    std::shared_ptr<QZMPBEventConfig> made = QZMPBEventConfig::initWithMessageInfo(nullptr);
    NANOSetString(made.get(), QZMPBEventConfig::kName, rule.name);
    if (rule.blocklisted) NANOSetBool(made.get(), QZMPBEventConfig::kBlocklisted, *rule.blocklisted);
    if (rule.samplingRate) NANOSetInt32(made.get(), QZMPBEventConfig::kSamplingRate, *rule.samplingRate);
    ruleObjects.emplace_back(std::static_pointer_cast<NANOMessageBase>(made));
  }
  NANOSetArray(config.get(), QZMPBMeasurementConfig::kEventConfig, &ruleObjects);
  return config;
}

class EngineTest : public MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    clock->setNow(kDayStart + 600);
  }

  // Starts the engine (after the server, when the test has one).
  // A relaunch: an earlier run reported the first open, so the start
  // stores no events of its own.
  void start() {
    {
      auto earlier = QZMDatabase::initWithDatabaseName(kQZMDatabaseFileName, QZMPersistedConfig::sharedInstance());
      ASSERT_TRUE(earlier.ok());
      std::int64_t firstOpen = static_cast<std::int64_t>(clock->now() - 86400) * 1000;
      ASSERT_TRUE((*earlier)->updateUserAttribute({"auto", "_fot", foundation::Object(firstOpen), clock->now()}).ok());
    }
    ASSERT_TRUE(configure().ok());
    ASSERT_TRUE(engine() && engine()->database()) << "engine not started";
  }

  std::shared_ptr<QZMDatabase> database() { return engine()->database(); }
  std::shared_ptr<QZMPersistedConfig> persistedConfig() { return engine()->persistedConfig(); }
  std::shared_ptr<QZMRemoteConfig> config() { return engine()->remoteConfigInstance(); }

  // Puts settings in force, as a configuration would.
  void setSettings(std::vector<QZMMeasurementSettings::Text> texts) {
    config()->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
  }

  // Stores and applies a configuration, as a fetch does.
  void applyConfiguration(const QZMPBMeasurementConfig& configuration) {
    onWorkerQueue([&] { ASSERT_TRUE(config()->updateMeasurementConfig(configuration)); });
  }

  // Stores the metadata once; answers its fingerprint.
  std::int64_t storeMetadata(const Metadata& metadata = {}) {
    auto bundle = Bundle::initWithMessageInfo(nullptr);
    NANOSetString(bundle.get(), Bundle::kAppId, metadata.appID);
    NANOSetString(bundle.get(), Bundle::kPlatform, std::string("ios"));
    if (!metadata.consentSignals.empty()) NANOSetString(bundle.get(), Bundle::kConsentSignals, metadata.consentSignals);
    if (!metadata.resettableDeviceID.empty()) {
      NANOSetString(bundle.get(), Bundle::kResettableDeviceId, metadata.resettableDeviceID);
    }
    if (!metadata.osVersion.empty()) NANOSetString(bundle.get(), Bundle::kOsVersion, metadata.osVersion);
    if (!metadata.vendorDeviceID.empty()) {
      NANOSetString(bundle.get(), Bundle::kIdentifierForVendor, metadata.vendorDeviceID);
    }
    std::int64_t fingerprint = 0;
    onWorkerQueue([&] {
      EXPECT_TRUE(database()->insertIfNotExistsRawEventMetadata(*bundle).ok());
      fingerprint = qzm_64LSBMD5(*bundle->protoBuffer());
    });
    return fingerprint;
  }

  void storeEvent(std::int64_t fingerprint, const std::string& name, double timestamp,
                  const QZMDictionary& parameters = {}, bool realtime = false) {
    std::unique_ptr<QZMEvent> event = QZMEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
    ASSERT_TRUE(event) << name;
    if (realtime) event->setRealtime(true);
    onWorkerQueue([&] { EXPECT_TRUE(QZMInsertRawEvent(*database(), event.get(), fingerprint, realtime).ok()); });
  }

  // Bundles until nothing is consumed (at most limit calls); the number of
  // calls that consumed raw events.
  int bundleAll(int limit = 50) {
    int consumed = 0;
    onWorkerQueue([&] {
      while (consumed < limit && engine()->bundleRawEvents()) ++consumed;
    });
    return consumed;
  }

  std::vector<QZMQueuedBundle> queuedBundles() {
    std::vector<QZMQueuedBundle> bundles;
    onWorkerQueue([&] {
      auto queued = database()->queryBundlesWithCountLimit(10000, 100'000'000);
      ASSERT_TRUE(queued.ok());
      bundles = *queued;
    });
    return bundles;
  }

  std::vector<std::vector<std::string>> queuedEventNames() {
    std::vector<std::vector<std::string>> names;
    for (const QZMQueuedBundle& queued : queuedBundles()) names.push_back(eventNames(*queued.bundle));
    return names;
  }

  std::int64_t rawEventCount() {
    std::int64_t count = -1;
    onWorkerQueue([&] {
      auto rows = database()->sqliteStore()->numberForQuery("SELECT COUNT(*) FROM raw_events", {});
      ASSERT_TRUE(rows.ok() && *rows);
      count = (*rows)->int64Value();
    });
    return count;
  }

  // Waits, bounded in real time, until no request of the engine's is in
  // flight and the worker queue has run what the last answer started.
  void waitForNetwork() {
    auto measurement = engine();
    ASSERT_TRUE(measurement) << "no engine";
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < giveUp) {
      bool pending = measurement->isNetworkRequestPending();
      if (!pending) {
        onWorkerQueue([] {});
        if (!measurement->isNetworkRequestPending()) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FAIL() << "a request of the engine never ended";
  }
};

}  // namespace testkit
