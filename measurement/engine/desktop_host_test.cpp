// A host program run the way a user runs it on a desktop: a process of its
// own whose command line carries the SDK's launch arguments, with no
// life-cycle code, ending by returning from main. What it logged is in the
// database afterwards, it had a session however short it lived, its settings
// reached disk for the next run, and ending from inside the SDK or with the
// worker queue blocked still ends it, saying what it left unwritten.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/engine/testing/SqliteFile.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/PropertyList.h"
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

// The stored raw events: name, the "seq" parameter if any, the app ID of
// the metadata they were stored with, and their session: the "_sid" and
// "_sno" parameters ("_s", or filled in afterwards) or else the session user
// properties of their metadata.
struct StoredEvent {
  std::string name;
  std::optional<std::int64_t> sequence;
  std::string appID;
  std::optional<std::int64_t> sessionID;
  std::optional<std::int64_t> sessionNumber;
};

struct StoredMetadata {
  std::string appID;
  std::map<std::string, std::int64_t> intUserAttributes;
};

std::vector<StoredEvent> storedEvents() {
  testkit::SqliteFile db(QZMApplicationSupportFilePath("dralix-kestro-meter.sql"));
  EXPECT_NE(db.handle, nullptr);
  std::vector<StoredEvent> events;
  if (!db.handle) return events;
  std::map<std::string, StoredMetadata> metadata;
  for (auto& row : db.rows("SELECT metadata_fingerprint, metadata FROM raw_events_metadata")) {
    auto bundle = QZMPBMeasurementBundle::initWithBuffer(
        std::span(reinterpret_cast<const std::uint8_t*>(row[1].data()), row[1].size()));
    if (!bundle) continue;
    StoredMetadata& entry = metadata[row[0]];
    entry.appID = NANOGetString(bundle.get(), QZMPBMeasurementBundle::kAppId).value_or("");
    for (const auto& attribute : NANOGetArray<QZMPBUserAttribute>(bundle.get(), QZMPBMeasurementBundle::kUserAttributes)
                                     .value_or(std::vector<std::shared_ptr<QZMPBUserAttribute>>())) {
      auto name = NANOGetString(attribute.get(), QZMPBUserAttribute::kName);
      if (name && NANOHasField(attribute.get(), QZMPBUserAttribute::kIntValue)) {
        entry.intUserAttributes[*name] = NANOGetInt64(attribute.get(), QZMPBUserAttribute::kIntValue);
      }
    }
  }
  for (auto& row : db.rows("SELECT name, data, metadata_fingerprint FROM raw_events ORDER BY rowid")) {
    auto event = QZMPBEvent::initWithBuffer(std::span(reinterpret_cast<const std::uint8_t*>(row[1].data()), row[1].size()));
    EXPECT_NE(event, nullptr) << row[0];
    const StoredMetadata& context = metadata[row[2]];
    auto fromMetadata = [&](const char* name) -> std::optional<std::int64_t> {
      auto it = context.intUserAttributes.find(name);
      if (it == context.intUserAttributes.end()) return std::nullopt;
      return it->second;
    };
    StoredEvent stored{row[0], std::nullopt, context.appID, fromMetadata("_sid"), fromMetadata("_sno")};
    if (event) {
      stored.sequence = testkit::intParameter(*event, "seq");
      if (auto sessionID = testkit::intParameter(*event, "_sid")) stored.sessionID = sessionID;
      if (auto sessionNumber = testkit::intParameter(*event, "_sno")) stored.sessionNumber = sessionNumber;
    }
    events.push_back(std::move(stored));
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

TEST(DesktopHost, AHostThatReturnsRightAfterLoggingGetsASessionAndItsEngagementUnderItsOwnIdentifier) {
  // It ends long before its start-up could have finished on its own.
  testkit::TemporaryHome home;
  HostRun run = runHost(home, {"session"});
  ASSERT_TRUE(run.exitedWith(0)) << run.output;

  home.relaunch();
  auto events = storedEvents();
  ASSERT_EQ(countNamed(events, "_s"), 1u);
  auto start = std::find_if(events.begin(), events.end(), [](const StoredEvent& event) { return event.name == "_s"; });
  ASSERT_TRUE(start->sessionID && start->sessionNumber);
  EXPECT_EQ(*start->sessionNumber, 1);
  auto ping = std::find_if(events.begin(), events.end(), [](const StoredEvent& event) { return event.name == "ping"; });
  ASSERT_NE(ping, events.end());
  EXPECT_EQ(ping->sessionID, start->sessionID);
  EXPECT_EQ(ping->sessionNumber, start->sessionNumber);
  // The engagement reported when the platform ends the app at the normal exit.
  EXPECT_TRUE(std::any_of(ping, events.end(), [](const StoredEvent& event) { return event.name == "_e"; }));
  for (const StoredEvent& event : events) {
    EXPECT_EQ(event.appID, "com.tolv.host.measurement-desktop-host") << event.name;
  }
}

TEST(DesktopHost, ShortRunsOnOneDataHomeContinueTheSessionOfTheFirst) {
  // Each run's clock stands still, so its settings reach disk only as it
  // exits, however long it lives.
  testkit::TemporaryHome home;
  const int runs = 4;
  for (int i = 0; i < runs; ++i) {
    HostRun run = runHost(home, {"session-still-clock"});
    ASSERT_TRUE(run.exitedWith(0)) << "run " << i << "\n" << run.output;
  }

  home.relaunch();
  auto events = storedEvents();
  // Well within the session timeout: one session, begun by the first run.
  ASSERT_EQ(countNamed(events, "_s"), 1u);
  EXPECT_EQ(countNamed(events, "_f"), 1u);
  auto start = std::find_if(events.begin(), events.end(), [](const StoredEvent& event) { return event.name == "_s"; });
  ASSERT_TRUE(start->sessionID);
  EXPECT_EQ(start->sessionNumber, 1);
  ASSERT_EQ(countNamed(events, "ping"), static_cast<std::size_t>(runs));
  for (const StoredEvent& event : events) {
    if (event.name != "ping") continue;
    EXPECT_EQ(event.sessionID, start->sessionID);
    EXPECT_EQ(event.sessionNumber, 1);
  }

  // What the next run reads: the session's number, and no load time left by
  // the first run's start-up.
  auto settings = foundation::readPropertyListDictionary(QZMApplicationSupportPlistPath("com.dralix.dxv.measurement"));
  ASSERT_TRUE(settings.ok()) << settings.error().description;
  auto number = settings->find("/dralix/measurement/session_number");
  ASSERT_NE(number, settings->end());
  EXPECT_EQ(number->second.int64Value(), 1);
  EXPECT_EQ(settings->count("/dralix/measurement/load_timestamp"), 0u);
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

TEST(DesktopHost, EventsLeftUnwrittenAtTheExitAreCounted) {
  // The worker is held by the host itself, so it is slower than any budget.
  testkit::TemporaryHome home;
  const int count = 40;
  HostRun run = runHost(home, {"unwritten", std::to_string(count)});
  ASSERT_TRUE(run.exitedWith(0)) << run.output;
  std::smatch line;
  ASSERT_TRUE(std::regex_search(run.output, line,
                                std::regex("I-ACS023297.*Data loss\\. Events not written before the process ended\\. "
                                           "Count[^0-9]*([0-9]+)")))
      << run.output;
  // The engagement reported by the exit itself may have reached the engine
  // in time too.
  const int unwritten = std::stoi(line[1].str());
  EXPECT_GE(unwritten, count);
  EXPECT_LE(unwritten, count + 1);

  home.relaunch();
  EXPECT_EQ(countNamed(storedEvents(), "burst"), 0u);
}

}  // namespace
