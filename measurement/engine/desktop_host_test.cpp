// A host program run the way a user runs it on a desktop: a process of its
// own whose command line carries the SDK's launch arguments, with no
// life-cycle code, ending by returning from main. What it logged is in the
// database afterwards, it had a session, and ending from inside the SDK or
// with the worker queue blocked still ends it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/engine/testing/SqliteFile.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "testing/TemporaryHome.h"

#ifndef TOLV_DESKTOP_HOST
#error "TOLV_DESKTOP_HOST names the host program"
#endif

namespace {

struct HostRun {
  int status = -1;
  // Standard output and error together: the SDK's log lines.
  std::string output;
  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

HostRun runHost(const testkit::TemporaryHome& home, const std::vector<std::string>& arguments) {
  HostRun run;
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "pipe";
    return run;
  }
  std::vector<std::string> command = {TOLV_DESKTOP_HOST};
  command.insert(command.end(), arguments.begin(), arguments.end());
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    home.exportToEnvironment();
    std::vector<char*> argv;
    for (auto& argument : command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) run.output.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  ::close(pipeEnds[0]);
  ::waitpid(child, &run.status, 0);
  return run;
}

// The stored raw events: name, the "seq" parameter if any, and the app ID of
// the metadata they were stored with.
struct StoredEvent {
  std::string name;
  std::optional<std::int64_t> sequence;
  std::string appID;
};

std::vector<StoredEvent> storedEvents() {
  testkit::SqliteFile db(QZMApplicationSupportFilePath("dralix-kestro-meter.sql"));
  EXPECT_NE(db.handle, nullptr);
  std::vector<StoredEvent> events;
  if (!db.handle) return events;
  std::map<std::string, std::string> appIDs;
  for (auto& row : db.rows("SELECT metadata_fingerprint, metadata FROM raw_events_metadata")) {
    auto bundle = QZMPBMeasurementBundle::initWithBuffer(
        std::span(reinterpret_cast<const std::uint8_t*>(row[1].data()), row[1].size()));
    if (bundle) appIDs[row[0]] = NANOGetString(bundle.get(), QZMPBMeasurementBundle::kAppId).value_or("");
  }
  for (auto& row : db.rows("SELECT name, data, metadata_fingerprint FROM raw_events ORDER BY rowid")) {
    auto event = QZMPBEvent::initWithBuffer(std::span(reinterpret_cast<const std::uint8_t*>(row[1].data()), row[1].size()));
    EXPECT_NE(event, nullptr) << row[0];
    events.push_back({row[0], event ? testkit::intParameter(*event, "seq") : std::nullopt, appIDs[row[2]]});
  }
  // Nothing went to the upload queue: nothing is uploaded at exit.
  EXPECT_EQ(db.rows("SELECT COUNT(*) FROM queue"), (std::vector<std::vector<std::string>>{{"0"}}));
  return events;
}

std::size_t countNamed(const std::vector<StoredEvent>& events, std::string_view name) {
  return static_cast<std::size_t>(
      std::count_if(events.begin(), events.end(), [&](const StoredEvent& event) { return event.name == name; }));
}

TEST(DesktopHost, LaunchArgumentsOnTheCommandLineSwitchDebugLogging) {
  struct Case {
    std::vector<std::string> launchArguments;
    const char* hint;
  } cases[] = {
      {{}, "To enable debug logging set the following application argument: -ZNHAnalyticsDebugEnabled"},
      {{"-ZNHAnalyticsDebugEnabled"},
       "To disable debug logging set the following application argument: -noZNHAnalyticsDebugEnabled"},
      // Switching off wins.
      {{"-ZNHAnalyticsDebugEnabled", "-noZNHAnalyticsDebugEnabled"},
       "To enable debug logging set the following application argument: -ZNHAnalyticsDebugEnabled"},
  };
  for (const Case& c : cases) {
    testkit::TemporaryHome home;
    std::vector<std::string> arguments = {"burst", "0"};
    arguments.insert(arguments.end(), c.launchArguments.begin(), c.launchArguments.end());
    HostRun run = runHost(home, arguments);
    SCOPED_TRACE(testing::PrintToString(c.launchArguments));
    EXPECT_TRUE(run.exitedWith(0)) << run.output;
    EXPECT_NE(run.output.find(c.hint), std::string::npos) << run.output;
  }
}

TEST(DesktopHost, ReturningFromMainDuringABurstWritesEveryAcceptedEvent) {
  testkit::TemporaryHome home;
  const std::int64_t count = 150;
  HostRun run = runHost(home, {"burst", std::to_string(count)});
  ASSERT_TRUE(run.exitedWith(0)) << run.output;
  EXPECT_EQ(run.output.find("Data loss"), std::string::npos) << run.output;

  home.relaunch();
  std::vector<std::int64_t> sequences;
  for (const StoredEvent& event : storedEvents()) {
    if (event.name == "burst") sequences.push_back(event.sequence.value_or(-1));
  }
  ASSERT_EQ(sequences.size(), static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) EXPECT_EQ(sequences[static_cast<std::size_t>(i)], i);
}

TEST(DesktopHost, AHostWithoutLifeCycleCodeGetsASessionAndItsEngagementUnderItsOwnIdentifier) {
  testkit::TemporaryHome home;
  HostRun run = runHost(home, {"session"});
  ASSERT_TRUE(run.exitedWith(0)) << run.output;

  home.relaunch();
  auto events = storedEvents();
  EXPECT_EQ(countNamed(events, "_s"), 1u);
  auto ping = std::find_if(events.begin(), events.end(), [](const StoredEvent& event) { return event.name == "ping"; });
  ASSERT_NE(ping, events.end());
  // The engagement reported when the platform ends the app at the normal exit.
  EXPECT_TRUE(std::any_of(ping, events.end(), [](const StoredEvent& event) { return event.name == "_e"; }));
  for (const StoredEvent& event : events) {
    EXPECT_EQ(event.appID, "com.tolv.host.measurement-desktop-host") << event.name;
  }
}

TEST(DesktopHost, EndingTheProcessFromInsideTheSDKDoesNotWaitForItself) {
  // The listener runs on the facade's queue, the interceptor on the worker
  // queue; the exit handling must wait for neither, however long it may.
  for (const char* mode : {"exit-in-listener", "exit-in-interceptor"}) {
    testkit::TemporaryHome home;
    HostRun run = runHost(home, {mode});
    EXPECT_TRUE(run.exitedWith(0)) << mode << "\n" << run.output;
  }
}

TEST(DesktopHost, ABlockedWorkerHoldsTheExitOnlyForItsBound) {
  testkit::TemporaryHome home;
  HostRun run = runHost(home, {"stuck"});
  EXPECT_TRUE(run.exitedWith(0)) << run.output;
}

}  // namespace
