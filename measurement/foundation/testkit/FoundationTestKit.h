// Test support for the measurement SDK: utilities that record the OS log and
// serve chosen launch arguments and random numbers, a monitor sink that keeps
// its lines, a stand-in for the engine, and a fixture that gives each test
// its own home, a fake clock and a monitor whose every line it records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUtilities.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "testing/TemporaryHome.h"

// Lets test failures show objects and errors by their text.
namespace foundation {
inline void PrintTo(const Object& object, std::ostream* os) { *os << object.description(); }
inline void PrintTo(const Error& error, std::ostream* os) { *os << error.text(); }
}  // namespace foundation

namespace testkit {

class FakeUtilities : public QZMUtilities {
 public:
  struct Line {
    int level;
    std::string subsystem;
    std::string category;
    bool force;
    std::string messageCode;
    std::string message;
  };

  // Records every line the logger would show.
  void osLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                  std::string_view messageCode, std::string_view message) override;
  void setLoggerLevel(int level) override;
  bool isLoggableLevel(int level) const override;
  int loggerLevel() const;
  std::vector<Line> lines() const;

  std::vector<std::string> launchArguments() const override;
  void setLaunchArguments(std::vector<std::string> arguments);
  bool classExists(std::string_view className) const override;
  void addClass(std::string className);

  foundation::Result<std::uint64_t> secureRandomUInt64() override;
  // The next secure random results: a value, or an error when nullopt.
  void setSecureRandom(std::optional<std::uint64_t> value);

  // Scripted numbers first (each reduced below the bound), then a generator
  // seeded with 1 unless reseeded.
  std::uint32_t uniformRandom(std::uint32_t upperBound) override;
  void scriptUniformRandom(std::deque<std::uint32_t> values);
  void seed(std::uint32_t seed);

 private:
  mutable std::mutex mutex_;
  int loggerLevel_ = kLevelNotice;
  std::vector<Line> lines_;
  std::vector<std::string> arguments_;
  std::vector<std::string> classes_;
  std::optional<std::uint64_t> secureRandom_ = 0x0123456789abcdefULL;
  std::deque<std::uint32_t> scripted_;
  std::mt19937 generator_{1};
};

// A monitor sink that keeps what reaches it.
class CapturingLogger : public QZMLogging {
 public:
  struct Line {
    std::string message;
    std::string logTag;
    std::int64_t messageCode;
    std::int64_t logLevel;
  };
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;
  std::vector<Line> lines() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

// The engine as the foundation sees it.
class MeasurementDouble : public QZMMeasurementBase {
 public:
  bool isEnabled() const override { return enabled; }
  std::shared_ptr<QZMScheduler> scheduler() const override { return workerScheduler; }
  std::shared_ptr<QZMPersistedConfig> persistedConfig() const override { return config; }

  bool enabled = true;
  std::shared_ptr<QZMScheduler> workerScheduler = QZMScheduler::initWithWorkerQueueLabel("com.dralix.znha.worker");
  std::shared_ptr<QZMPersistedConfig> config;
};

// One line as the monitor was given it; contexts by their console text.
struct MonitorLine {
  std::int64_t level;
  std::int64_t messageCode;
  std::string message;
  std::vector<std::string> contexts;
};

// Waits, bounded in real time, until the queue has run every block that is
// due now on the current clock, delayed ones included.
void settle(const std::shared_ptr<dispatch::Queue>& queue);

class FoundationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lines the monitor was given, in order.
  std::vector<MonitorLine> monitorLines() const;
  // Those with the code.
  std::vector<MonitorLine> linesWithCode(std::int64_t messageCode) const;
  void clearMonitorLines();
  // Lines that reached the monitor's sink, once its queue has run them.
  std::vector<CapturingLogger::Line> sinkLines();
  // Makes a monitor as at launch, with the fixture's sink and recorder, and
  // installs it as the process-wide one.
  std::shared_ptr<QZMMonitor> relaunchMonitor();

  std::unique_ptr<TemporaryHome> home;
  std::shared_ptr<foundation::FakeClock> clock;
  std::shared_ptr<FakeUtilities> utilities;
  std::shared_ptr<CapturingLogger> logger;
  std::shared_ptr<QZMMonitor> monitor;

 private:
  mutable std::mutex linesMutex_;
  std::vector<MonitorLine> lines_;
};

}  // namespace testkit
