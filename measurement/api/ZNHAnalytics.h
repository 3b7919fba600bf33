// The public analytics API: what a host program calls. The core app
// framework starts analytics through startWithConfiguration when the host
// configures the app (ZNHApp::configure).
#pragma once

#include <memory>
#include <string>

#include "platform/core/ZNHApp.h"

class ZNHAnalytics {
 public:
  // At process start: offers the start entry point to the core framework
  // and announces the class.
  static void load();
  // Builds the start options from the core options and starts the facade
  // with the "zq" origin; returns at once.
  static void startWithConfiguration(std::shared_ptr<ZNHAnalyticsConfiguration> configuration,
                                     const ZNHOptions& options);
  // The core framework's version text.
  static std::string topLevelVersion();
};
