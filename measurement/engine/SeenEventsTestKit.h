// Test support for the engine's roads: a host whose engine's handled events
// are seen through the facade's listeners, as an app would see them.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "testing/MeasurementHost.h"

namespace testkit {

struct SeenEvent {
  std::string name;
  foundation::Dictionary parameters;  // without the origin every event carries
  double timestamp = 0;
};

class SeenEventsHost : public MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    token_ = QZMAnalytics::addLogEventListener([this](const QZMEvent& event) {
      foundation::Dictionary parameters;
      for (const auto& [name, value] : event.parameters()) {
        if (name != "_o") parameters[name] = QZMStoredObjectFromValue(value);
      }
      std::lock_guard lock(mutex_);
      seen_.push_back({event.name(), std::move(parameters), event.timestamp()});
    });
  }
  void TearDown() override {
    QZMAnalytics::removeLogEventListener(token_);
    MeasurementHost::TearDown();
  }
  // Handled events reach the listeners through the facade's queue.
  void settle() {
    settleEngine();
    settleEngine();
  }
  std::vector<SeenEvent> eventsNamed(std::string_view name) const {
    std::lock_guard lock(mutex_);
    std::vector<SeenEvent> named;
    for (const auto& event : seen_) {
      if (event.name == name) named.push_back(event);
    }
    return named;
  }
  std::vector<std::string> eventNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& event : seen_) names.push_back(event.name);
    return names;
  }
  void forgetSeenEvents() {
    std::lock_guard lock(mutex_);
    seen_.clear();
  }

 private:
  std::optional<QZMLogEventListenerToken> token_;
  mutable std::mutex mutex_;
  std::vector<SeenEvent> seen_;
};

}  // namespace testkit
