// A host program is killed (SIGKILL) at random moments while it logs events,
// or while it rewrites its configuration, and started again. After every
// kill the database passes its integrity check, every event the program saw
// stored is there exactly once, each run's events are an unbroken prefix of
// what it logged, the counters agree with the rows, and the next run goes on
// writing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/engine/testing/SqliteFile.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TemporaryHome.h"

#ifndef TOLV_CRASH_CHILD
#error "TOLV_CRASH_CHILD names the child program"
#endif

namespace {

// What one run of the child said before it ended.
struct RunOutput {
  std::vector<std::int64_t> acked;
  std::vector<std::int64_t> configRounds;
  bool started = false;
  bool done = false;
  int status = 0;
};

// Runs the child and kills it once it has reported `killAfter` lines of the
// kind; 0 lets it run to its end.
RunOutput runChild(const testkit::TemporaryHome& home, const char* mode, std::int64_t run, std::int64_t count,
                   const char* killKind, int killAfter) {
  RunOutput output;
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "pipe";
    return output;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    // The child's log lines are not the test's.
    if (FILE* quiet = std::freopen("/dev/null", "w", stderr); !quiet) std::_Exit(126);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    home.exportToEnvironment();
    std::string runText = std::to_string(run), countText = std::to_string(count);
    ::execl(TOLV_CRASH_CHILD, TOLV_CRASH_CHILD, mode, runText.c_str(), countText.c_str(), nullptr);
    std::_Exit(127);
  }
  ::close(pipeEnds[1]);
  FILE* lines = ::fdopen(pipeEnds[0], "r");
  char buffer[256];
  int seen = 0;
  bool killed = false;
  while (std::fgets(buffer, sizeof buffer, lines)) {
    std::string line(buffer);
    long long a = 0, b = 0;
    if (line == "started\n") {
      output.started = true;
    } else if (line == "done\n") {
      output.done = true;
    } else if (std::sscanf(buffer, "ack %lld %lld", &a, &b) == 2) {
      output.acked.push_back(b);
      seen += std::string(killKind) == "ack";
    } else if (std::sscanf(buffer, "cfg %lld", &a) == 1) {
      output.configRounds.push_back(a);
      seen += std::string(killKind) == "cfg";
    }
    if (killAfter > 0 && !killed && seen >= killAfter) {
      ::kill(child, SIGKILL);
      killed = true;
    }
  }
  std::fclose(lines);
  ::waitpid(child, &output.status, 0);
  return output;
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    seed = std::random_device()();
    random.seed(seed);
  }

  std::string databasePath() const { return QZMApplicationSupportFilePath("dralix-kestro-meter.sql"); }

  // Checks the file and answers each run's stored sequence numbers in order.
  std::map<std::int64_t, std::vector<std::int64_t>> checkDatabase() {
    std::map<std::int64_t, std::vector<std::int64_t>> byRun;
    testkit::SqliteFile db(databasePath());
    EXPECT_NE(db.handle, nullptr);
    if (!db.handle) return byRun;
    auto integrity = db.rows("PRAGMA integrity_check");
    EXPECT_EQ(integrity, (std::vector<std::vector<std::string>>{{"ok"}}));
    std::set<std::string> metadata;
    for (auto& row : db.rows("SELECT metadata_fingerprint FROM raw_events_metadata")) metadata.insert(row[0]);
    for (auto& row : db.rows("SELECT name, data, metadata_fingerprint FROM raw_events ORDER BY rowid")) {
      EXPECT_TRUE(metadata.contains(row[2])) << "an event without its metadata";
      if (row[0] != "tick") continue;
      auto event = QZMPBEvent::initWithBuffer(
          std::span(reinterpret_cast<const std::uint8_t*>(row[1].data()), row[1].size()));
      EXPECT_NE(event, nullptr);
      if (!event) continue;
      std::int64_t run = testkit::intParameter(*event, "run").value_or(-1);
      byRun[run].push_back(testkit::intParameter(*event, "seq").value_or(-1));
    }
    // Counters and rows are written together, so the day's count is the rows'.
    auto counts = db.rows("SELECT day, daily_events_count FROM app_metadata");
    EXPECT_EQ(counts.size(), 1u);
    // (No day yet before the first event; another day has other counts.)
    if (counts.size() == 1 && !counts[0][0].empty() && std::stoll(counts[0][0]) == today()) {
      auto all = db.rows("SELECT COUNT(*) FROM raw_events");
      EXPECT_EQ(counts[0][1], all.at(0).at(0));
    }
    return byRun;
  }

  // The settings file as the child left it, read without a settings object
  // that would write it back.
  foundation::Result<foundation::Dictionary> settingsFile() {
    return foundation::readPropertyListDictionary(QZMApplicationSupportPlistPath(kQZMPersistedConfigSuiteName));
  }

  std::int32_t today() {
    auto settings = settingsFile();
    double offset = 0;
    if (settings.ok()) {
      if (auto stored = settings->find("/dralix/measurement/midnight_offset"); stored != settings->end()) {
        offset = stored->second.doubleValue();
      }
    }
    return QZMDayNumber(static_cast<double>(std::time(nullptr)), offset);
  }

  // Every acknowledged event is stored once, and each run's events are
  // 0, 1, ... without gaps.
  void checkEvents(const std::map<std::int64_t, std::vector<std::int64_t>>& byRun,
                   const std::map<std::int64_t, std::vector<std::int64_t>>& acked) {
    for (const auto& [run, sequences] : byRun) {
      for (std::size_t i = 0; i < sequences.size(); ++i) {
        EXPECT_EQ(sequences[i], static_cast<std::int64_t>(i)) << "run " << run;
      }
    }
    for (const auto& [run, sequences] : acked) {
      auto found = byRun.find(run);
      std::size_t stored = found == byRun.end() ? 0 : found->second.size();
      for (std::int64_t sequence : sequences) {
        EXPECT_LT(static_cast<std::size_t>(sequence), stored) << "run " << run << " lost an event it stored";
      }
    }
  }

  unsigned seed = 0;
  std::mt19937 random;
};

TEST_F(CrashSafety, KilledWhileLoggingEvents) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  testkit::TemporaryHome home;
  std::map<std::int64_t, std::vector<std::int64_t>> acked;
  const std::int64_t kills = 5;
  for (std::int64_t run = 0; run < kills; ++run) {
    int after = std::uniform_int_distribution<int>(1, 40)(random);
    RunOutput output = runChild(home, "events", run, 1000000, "ack", after);
    ASSERT_TRUE(output.started) << "run " << run;
    ASSERT_TRUE(WIFSIGNALED(output.status)) << "run " << run << " ended by itself";
    EXPECT_GE(output.acked.size(), static_cast<std::size_t>(after));
    acked[run] = output.acked;
    home.relaunch();
    checkEvents(checkDatabase(), acked);
  }
  // The next run goes on writing and ends by itself.
  RunOutput last = runChild(home, "events", kills, 30, "ack", 0);
  ASSERT_TRUE(last.done);
  ASSERT_TRUE(WIFEXITED(last.status) && WEXITSTATUS(last.status) == 0);
  acked[kills] = last.acked;
  home.relaunch();
  auto byRun = checkDatabase();
  checkEvents(byRun, acked);
  EXPECT_EQ(byRun[kills].size(), 30u);
}

TEST_F(CrashSafety, KilledWhileWritingTheConfiguration) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  testkit::TemporaryHome home;
  std::map<std::int64_t, std::vector<std::int64_t>> acked;
  const std::int64_t kills = 4;
  for (std::int64_t run = 0; run < kills; ++run) {
    int after = std::uniform_int_distribution<int>(1, 12)(random);
    RunOutput output = runChild(home, "config", run, 1000000, "cfg", after);
    ASSERT_TRUE(output.started) << "run " << run;
    ASSERT_TRUE(WIFSIGNALED(output.status)) << "run " << run << " ended by itself";
    ASSERT_FALSE(output.configRounds.empty());
    acked[run] = output.acked;
    home.relaunch();
    checkEvents(checkDatabase(), acked);

    // The settings file reads whole and holds a round at least as late as the
    // last one written before the kill.
    auto file = settingsFile();
    ASSERT_TRUE(file.ok()) << file.error().text();
    auto defaults = file->find("/dralix/measurement/default_event_parameters");
    ASSERT_NE(defaults, file->end());
    ASSERT_TRUE(defaults->second.dictionary());
    EXPECT_GE(defaults->second.dictionary()->at("round").int64Value(), output.configRounds.back());

    testkit::SqliteFile db(databasePath());
    auto stored = db.rows("SELECT remote_config_data FROM app_metadata");
    ASSERT_EQ(stored.size(), 1u);
    auto config = QZMPBMeasurementConfig::initWithBuffer(
        std::span(reinterpret_cast<const std::uint8_t*>(stored[0][0].data()), stored[0][0].size()));
    ASSERT_NE(config, nullptr);
    EXPECT_GE(NANOGetInt64(config.get(), QZMPBMeasurementConfig::kVersion), output.configRounds.back());
    EXPECT_EQ(NANOGetString(config.get(), QZMPBMeasurementConfig::kAppId), "1:1234:ios:abcd");
  }
  RunOutput last = runChild(home, "events", kills, 10, "ack", 0);
  ASSERT_TRUE(last.done);
  acked[kills] = last.acked;
  home.relaunch();
  auto byRun = checkDatabase();
  checkEvents(byRun, acked);
  EXPECT_EQ(byRun[kills].size(), 10u);
}

}  // namespace
