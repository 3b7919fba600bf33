// The measurement SDK linked into the toy, as a host links it: its
// process-start hooks run, and since the toy never configures the core app
// the engine never starts and nothing is written into the data home.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalyticsConnector.h"
#include "measurement/engine/QZMMeasurement.h"
#include "platform/core/ZNHApp.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

TEST(LinkedSDK, ItsProcessStartHooksRanAndTheLaunchStartsNothing) {
  auto libraries = ZNHApp::registeredLibraries();
  ASSERT_EQ(libraries.count(kZNHAnalyticsLibraryName), 1u);
  EXPECT_EQ(libraries.at(kZNHAnalyticsLibraryName), kZNHAnalyticsLibraryVersion);
  EXPECT_GT(QZMAnalytics::loadTimestamp(), 0);

  foundation::NotificationCenter::defaultCenter().postNotificationName(kQZMApplicationDidFinishLaunchingNotification);
  EXPECT_FALSE(ZNHApp::isDefaultAppConfigured());
  EXPECT_FALSE(QZMMeasurementBase::wasSharedInstanceCreationAttempted());
}

TEST(LinkedSDK, TheHeadlessProgramWritesNothingIntoItsDataHome) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tolv_sdk_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "home");
  std::string command = "TOLV_HOME='" + (root / "home").string() + "' TOLV_KEYCHAIN_HOME='" +
                        (root / "keychain").string() + "' '" + TOLV_PROGRAM +
                        "' --headless --size 32x32 --frames 3 > /dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(fs::is_empty(root / "home"));
  EXPECT_FALSE(fs::exists(root / "keychain"));
  fs::remove_all(root);
}

}  // namespace
