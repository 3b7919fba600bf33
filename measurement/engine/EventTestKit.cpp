#include "measurement/engine/EventTestKit.h"

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMKeychainWrapper.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventParameters.h"

namespace eventkit {

using testkit::settle;

TestEngine::TestEngine(std::shared_ptr<QZMPersistedConfig> config, std::shared_ptr<QZMScheduler> scheduler,
                       SafelistedEvents safelistedEvents)
    : QZMMeasurement(kQZMDatabaseFileName, std::move(config), nullptr, scheduler,
                     QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName),
                     kEngineTestAppID, true, false, std::move(safelistedEvents), nullptr) {}

std::shared_ptr<TestEngine> TestEngine::make(SafelistedEvents safelistedEvents) {
  auto scheduler = QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel);
  auto engine = std::make_shared<TestEngine>(QZMPersistedConfig::sharedInstance(), scheduler,
                                             std::move(safelistedEvents));
  engine->finishInitialization();
  return engine;
}

void TestEngine::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  std::lock_guard lock(mutex_);
  sessionStarts_.emplace_back(timestamp, appInBackground);
}

std::vector<std::pair<double, bool>> TestEngine::sessionStarts() const {
  std::lock_guard lock(mutex_);
  return sessionStarts_;
}

void EngineTest::SetUp() {
  testkit::FoundationTest::SetUp();
  home->setInfoPlist({{"CFBundleIdentifier", foundation::Object(kEngineTestBundleID)}});
  QZMConsentSettingsUtil::clearAllSettings();
  QZMAnalytics::resetForTests();
  // The engine's start time: events of the test come after it.
  QZMAnalytics::setLoadTimestamp(clock->now());
  // Not started: no experiments fetch leaves a test.
  QZMEManager::setSharedInstance(QZMEManager::init());
  QZMSetInternalEventLogger([this](const std::string&, const std::string& name, const QZMDictionary& parameters) {
    if (name != "_err") return;
    auto code = parameters.find("_err");
    if (code == parameters.end()) return;
    std::lock_guard lock(errorsMutex_);
    errorCodes_.push_back(code->second.plainObject().int64Value());
  });
}

void EngineTest::TearDown() {
  if (engine) drain();
  QZMSetInternalEventLogger(nullptr);
  engine.reset();
  QZMMeasurementBase::setSharedInstance(nullptr);
  QZMIdentity::setSharedInstance(nullptr);
  QZMEManager::setSharedInstance(nullptr);
  QZMConsentSettingsUtil::clearAllSettings();
  testkit::FoundationTest::TearDown();
}

void EngineTest::startEngine(QZMMeasurement::SafelistedEvents safelistedEvents) {
  engine = TestEngine::make(std::move(safelistedEvents));
  QZMMeasurementBase::setSharedInstance(engine);
  drain();
  ASSERT_TRUE(engine->isEnabled());
  ASSERT_NE(engine->database(), nullptr);
  // What the start reported of the launch (first open and its events) is
  // not what these tests look at.
  onWorkerQueue([&] {
    ASSERT_TRUE(engine->database()->reset().ok());
    engine->setPreviousFirstOpenCount(std::nullopt);
  });
  engine->persistedConfig()->setFirstOpenTimestampMilliseconds(0);
  engine->persistedConfig()->setUnmatchedFirstOpenWithoutIDFA(false);
  clearMonitorLines();
}

void EngineTest::drain() {
  for (int i = 0; i < 4; ++i) settle(engine->scheduler()->workerQueue());
}

void EngineTest::onWorkerQueue(const std::function<void()>& block) {
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("EngineTest", block);
}

void EngineTest::setSettings(const std::vector<std::pair<std::string, std::string>>& settings) {
  std::vector<QZMMeasurementSettings::Text> texts;
  for (const auto& [name, value] : settings) texts.push_back({name, value});
  engine->remoteConfigInstance()->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
}

void EngineTest::logEvent(const std::string& name, const QZMDictionary& parameters, const std::string& origin) {
  engine->logEventWithOrigin(origin, !name.starts_with('_'), name, parameters, clock->now(), true, false, false,
                             nullptr, {});
  drain();
}

void EngineTest::handleEvent(const std::string& name, const QZMDictionary& parameters, const std::string& origin) {
  auto event = QZMEvent::initWithOrigin(origin, false, name, clock->now(), 0, parameters);
  ASSERT_NE(event, nullptr) << name;
  std::shared_ptr<QZMEvent> held(std::move(event));
  onWorkerQueue([&] { engine->handleEventOnWorkerQueue(held->copy()); });
  drain();
}

std::vector<QZMRawEventData> EngineTest::rawEvents() {
  std::vector<QZMRawEventData> events;
  onWorkerQueue([&] {
    auto read = engine->database()->allRawEventsWithError<QZMRawEventData>(QZMRawEventDataFromDictionary);
    ASSERT_TRUE(read.ok());
    events = std::move(*read);
  });
  return events;
}

std::vector<std::string> EngineTest::rawEventNames() {
  std::vector<std::string> names;
  for (const QZMRawEventData& raw : rawEvents()) names.push_back(raw.rawEvent()->name());
  return names;
}

QZMDailyCounts EngineTest::dailyCounts() {
  QZMDailyCounts counts;
  onWorkerQueue([&] {
    auto read = engine->database()->dailyCounts();
    ASSERT_TRUE(read.ok());
    counts = read->value_or(QZMDailyCounts());
  });
  return counts;
}

std::int64_t EngineTest::rowCount(const std::string& table) {
  std::int64_t count = -1;
  onWorkerQueue([&] {
    auto read = engine->database()->sqliteStore()->rowCountForTableWithName(table);
    ASSERT_TRUE(read.ok());
    count = *read;
  });
  return count;
}

std::vector<std::int64_t> EngineTest::errorEventCodes() const {
  std::lock_guard lock(errorsMutex_);
  return errorCodes_;
}

std::optional<QZMValue> parameterOf(const QZMEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end()) return std::nullopt;
  return it->second;
}

}  // namespace eventkit
