// What one configuration puts in force, as the files of QZMRemoteConfig
// share it. Immutable once built: a new configuration makes a new state.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "platform/foundation/Object.h"

struct QZMRemoteConfig::State {
  std::shared_ptr<const QZMMeasurementSettings> settings = QZMMeasurementSettings::defaults();
  bool hasConfiguration = false;
  std::optional<std::int64_t> version;
  std::map<std::string, QZMEventRule, std::less<>> eventRules;
  std::vector<std::string> dataControls;
  foundation::Dictionary consentDefaults;
  foundation::Dictionary consentDelegations;
  foundation::Dictionary regionalDefaults;
  std::set<std::string> corePlatformServices;
  bool isDMARegion = true;
  std::optional<std::string> uploadSubdomain;
  std::optional<QZMKRPXSetting> KRPXSetting;
  std::shared_ptr<QZMPEventEditing> eventEditing;

  // The state of an instance without configuration.
  static std::shared_ptr<const State> empty();
};
