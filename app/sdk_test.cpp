// The measurement SDK linked into the toy, as a host links it: its
// process-start hooks run, and since the toy never configures the core app
// the engine never starts and nothing is written into the data home.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

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

// The window, its first frames (the view controller has appeared, which the
// SDK's screen reporting sees) and a quit: the toy's own preferences are the
// only file written.
TEST(LinkedSDK, TheWindowedProgramWritesOnlyTheToysPreferences) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tolv_sdk_window_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "home");

  std::vector<std::string> environment = {"TOLV_HOME=" + (root / "home").string(),
                                          "TOLV_KEYCHAIN_HOME=" + (root / "keychain").string()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!entry.starts_with("TOLV_")) environment.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(TOLV_PROGRAM), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, TOLV_PROGRAM, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ASSERT_EQ(spawned, 0) << std::strerror(spawned);

  // Frames are being drawn once the frame counter speaks; then quit as a
  // user would, and read on to the end.
  std::string output;
  bool drawing = false, quitting = false;
  pollfd wait{out[0], POLLIN, 0};
  for (int turns = 0; turns < 100000 && ::poll(&wait, 1, 120000) > 0; ++turns) {
    char buffer[4096];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
    drawing = drawing || output.find("FPS :: ") != std::string::npos;
    if (drawing && !quitting) {
      quitting = true;
      ::kill(pid, SIGINT);
    }
  }
  ::close(out[0]);
  if (!quitting) ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(drawing) << output;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) written.insert(fs::relative(entry.path(), root).string());
  }
  EXPECT_EQ(written, std::set<std::string>{"home/Library/Preferences/com.tolv.fluid.plist"});
  fs::remove_all(root);
}

}  // namespace
