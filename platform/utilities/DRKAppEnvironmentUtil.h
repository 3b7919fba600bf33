// Facts about the running app's environment for the SDK's reports and checks.
#pragma once

#include <string>

class DRKAppEnvironmentUtil {
 public:
  // The hardware model name; may be empty.
  static std::string deviceModel();
  // The OS version text (settable through foundation::Device for tests).
  static std::string systemVersion();
  // A desktop build never runs in a simulator, an extension or a store sandbox.
  static bool isSimulator() { return false; }
  static bool isAppExtension() { return false; }
  static bool isFromAppStore() { return false; }
};
