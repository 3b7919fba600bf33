// How other components of the family reach analytics: the core app framework
// resolves the interop protocol to a connector, which this library registers
// at process start.
#pragma once

#include <vector>

#include "platform/core/ZNHApp.h"

inline constexpr const char* kZNHAnalyticsInteropProtocol = "ZNHAnalyticsInterop";
inline constexpr const char* kZNHAnalyticsLibraryName = "zarn-analytics";
inline constexpr const char* kZNHAnalyticsLibraryVersion = "11.14.0";

class ZNHAnalyticsConnector {
 public:
  // At process start: registers the library and its version with the core.
  static void load();
  // One component for the interop protocol; each request makes a new
  // connector.
  static std::vector<ZNHComponent> componentsToRegister();
};
