// A home of the test's own: a fresh temporary folder holding the data home,
// the keychain folder and the main bundle's folder. Memory that follows the
// home (user-defaults domains, the main bundle) is reset on entry and exit.
#pragma once

#include <string>

#include "platform/foundation/Object.h"

namespace testkit {

class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& root() const { return root_; }
  std::string dataHome() const { return root_ + "/home"; }
  std::string keychainDirectory() const { return root_ + "/keychain"; }
  std::string bundleDirectory() const { return root_ + "/bundle"; }

  // Writes the main bundle's Info.plist and makes the bundle be read again.
  void setInfoPlist(const foundation::Dictionary& info);
  // Simulates a relaunch: forgets what the process holds in memory about the
  // home, so the next use reads the files again.
  void relaunch();
  // Points a program started from this process (after fork, before exec) at
  // this home, and at no endpoints file of the caller's.
  void exportToEnvironment() const;

 private:
  std::string root_;
};

}  // namespace testkit
