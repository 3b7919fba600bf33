// Test support for the facade: an engine that records what the facade hands
// it, a screen-view reporter with a screen of the test's choosing, and a host
// fixture that installs both before the app is configured.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Queue.h"
#include "testing/MeasurementHost.h"

namespace testkit {

struct HandedEvent {
  std::string origin;
  bool isPublic = false;
  std::string name;
  QZMDictionary parameters;
  double timestamp = 0;
  bool enabled = false;
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  QZMLogEventInterceptor interceptor;
  QZMDictionary screenParameters;
};

struct HandedAttribute {
  bool set;  // else removed
  std::string origin;
  std::string name;
  QZMValue value;
};

class RecordingEngine : public QZMMeasurement {
 public:
  static std::shared_ptr<RecordingEngine> make(bool enabled = true) {
    auto scheduler = QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel);
    auto engine = std::shared_ptr<RecordingEngine>(new RecordingEngine(scheduler, enabled));
    engine->finishInitialization();
    return engine;
  }

  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const QZMDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                          bool ignoreInterceptor, QZMLogEventInterceptor interceptor,
                          const QZMDictionary& addedScreenParameters) override {
    {
      std::lock_guard lock(mutex_);
      events_.push_back({origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
                         ignoreInterceptor, std::move(interceptor), addedScreenParameters});
    }
    // As the engine does once an event is written.
    if (notifiesListeners) {
      QZMAnalytics::notifyEventListeners(QZMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, parameters));
    }
  }
  void setDefaultEventParameters(const std::optional<QZMDictionary>& parameters) override {
    std::lock_guard lock(mutex_);
    defaultParameters_.push_back(parameters);
  }
  void setUserAttribute(const QZMUserAttribute& attribute) override { recordAttribute(true, attribute); }
  void removeUserAttribute(const QZMUserAttribute& attribute) override { recordAttribute(false, attribute); }
  std::optional<std::int64_t> shouldDisableAdPersonalization() override { return npa; }
  void userPropertiesIncludingInternal(bool includeInternal,
                                       std::function<void(const foundation::Dictionary&)> callback) override {
    if (userPropertiesAnswer) {
      callback(*userPropertiesAnswer);
      return;
    }
    callback({{"plan", "pro"}, {"internal", includeInternal}});
  }
  void setSessionTimeoutInterval(double seconds) override {
    std::lock_guard lock(mutex_);
    sessionTimeouts_.push_back(seconds);
  }
  void sessionIDWithCompletion(QZMSessionIDCompletion completion) override { completion(1234, std::nullopt); }
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) override {
    std::lock_guard lock(mutex_);
    resets_.push_back(appInstanceID);
    return resetSucceeds;
  }
  void handleNonFirstOpenEventURL(const std::string& url, double timestamp) override {
    std::lock_guard lock(mutex_);
    openedURLs_.emplace_back(url, timestamp);
  }
  void setUserData(const foundation::Dictionary& userData) override {
    std::lock_guard lock(mutex_);
    userData_.push_back(userData);
  }

  std::vector<HandedEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  void clearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  std::vector<std::string> eventNames() const {
    std::vector<std::string> names;
    for (const auto& event : events()) names.push_back(event.name);
    return names;
  }
  std::vector<HandedAttribute> attributes() const {
    std::lock_guard lock(mutex_);
    return attributes_;
  }
  std::vector<std::optional<QZMDictionary>> defaultParameters() const {
    std::lock_guard lock(mutex_);
    return defaultParameters_;
  }
  std::vector<double> sessionTimeouts() const {
    std::lock_guard lock(mutex_);
    return sessionTimeouts_;
  }
  std::vector<std::optional<std::string>> resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
  }
  std::vector<std::pair<std::string, double>> openedURLs() const {
    std::lock_guard lock(mutex_);
    return openedURLs_;
  }
  std::vector<foundation::Dictionary> userData() const {
    std::lock_guard lock(mutex_);
    return userData_;
  }

  std::optional<std::int64_t> npa;
  bool resetSucceeds = true;
  // Whether the event listeners hear of each event handed over.
  std::atomic<bool> notifiesListeners{false};
  // Replaces the fixed answer to user-property queries.
  std::optional<foundation::Dictionary> userPropertiesAnswer;

 private:
  RecordingEngine(std::shared_ptr<QZMScheduler> scheduler, bool enabled)
      : QZMMeasurement(kQZMDatabaseFileName, QZMPersistedConfig::sharedInstance(), nullptr, scheduler,
                       QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName),
                       kTestAppID, enabled, false, std::nullopt, nullptr) {}

  void recordAttribute(bool set, const QZMUserAttribute& attribute) {
    std::lock_guard lock(mutex_);
    attributes_.push_back({set, attribute.origin(), attribute.name(), attribute.value()});
  }

  mutable std::mutex mutex_;
  std::vector<HandedEvent> events_;
  std::vector<HandedAttribute> attributes_;
  std::vector<std::optional<QZMDictionary>> defaultParameters_;
  std::vector<double> sessionTimeouts_;
  std::vector<std::optional<std::string>> resets_;
  std::vector<std::pair<std::string, double>> openedURLs_;
  std::vector<foundation::Dictionary> userData_;
};

// A screen the test chooses, and the screen views the app logs itself.
class ScreenOfTheTest : public QZMScreenViewReporter {
 public:
  void trackScreenWithParameters(const QZMDictionary& parameters, double timestamp) override {
    std::lock_guard lock(mutex_);
    tracked_.emplace_back(parameters, timestamp);
  }
  QZMDictionary screenParameters() override {
    std::lock_guard lock(mutex_);
    return screen_;
  }
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& /*screenClass*/) override {
    std::lock_guard lock(mutex_);
    screen_["_sn"] = screenName.value_or("");
  }
  void setScreen(QZMDictionary screen) {
    std::lock_guard lock(mutex_);
    screen_ = std::move(screen);
  }
  std::vector<std::pair<QZMDictionary, double>> tracked() const {
    std::lock_guard lock(mutex_);
    return tracked_;
  }

 private:
  mutable std::mutex mutex_;
  QZMDictionary screen_;
  std::vector<std::pair<QZMDictionary, double>> tracked_;
};

// A host whose engine records; configureWithRecordingEngine() starts it.
class FacadeTest : public MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    screen = std::make_shared<ScreenOfTheTest>();
    QZMScreenViewReporter::setSharedInstance(screen);
  }

  // Installs the recording engine, then configures the app.
  void configureWithRecordingEngine(bool enabled = true) {
    recorder = RecordingEngine::make(enabled);
    QZMMeasurementBase::setSharedInstance(recorder);
    ASSERT_TRUE(configure().ok());
  }

  // The error events the facade logged, as (code, name) pairs.
  std::vector<std::pair<std::int64_t, std::string>> errorEvents() const {
    std::vector<std::pair<std::int64_t, std::string>> errors;
    for (const auto& event : recorder->events()) {
      if (event.name != "_err") continue;
      auto code = event.parameters.find("_err");
      auto name = event.parameters.find("_ev");
      errors.emplace_back(code == event.parameters.end() ? -1 : code->second.plainObject().int64Value(),
                          name == event.parameters.end() ? "" : name->second.plainObject().description());
    }
    return errors;
  }

  std::shared_ptr<RecordingEngine> recorder;
  std::shared_ptr<ScreenOfTheTest> screen;
};

}  // namespace testkit
