#include "measurement/foundation/testkit/FoundationTestKit.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "measurement/foundation/QZMPersistedConfig.h"

namespace testkit {

// ---- FakeUtilities ----

void FakeUtilities::osLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                               std::string_view messageCode, std::string_view message) {
  if (!force && !isLoggableLevel(level)) return;
  std::lock_guard lock(mutex_);
  lines_.push_back({level, std::string(subsystem), std::string(category), force, std::string(messageCode),
                    std::string(message)});
}

void FakeUtilities::setLoggerLevel(int level) {
  std::lock_guard lock(mutex_);
  loggerLevel_ = level;
}

bool FakeUtilities::isLoggableLevel(int level) const {
  std::lock_guard lock(mutex_);
  return level <= loggerLevel_;
}

int FakeUtilities::loggerLevel() const {
  std::lock_guard lock(mutex_);
  return loggerLevel_;
}

std::vector<FakeUtilities::Line> FakeUtilities::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> FakeUtilities::launchArguments() const {
  std::lock_guard lock(mutex_);
  return arguments_;
}

void FakeUtilities::setLaunchArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(mutex_);
  arguments_ = std::move(arguments);
}

bool FakeUtilities::classExists(std::string_view className) const {
  std::lock_guard lock(mutex_);
  return std::find(classes_.begin(), classes_.end(), className) != classes_.end();
}

void FakeUtilities::addClass(std::string className) {
  std::lock_guard lock(mutex_);
  classes_.push_back(std::move(className));
}

foundation::Result<std::uint64_t> FakeUtilities::secureRandomUInt64() {
  std::lock_guard lock(mutex_);
  if (!secureRandom_) return foundation::posixError(EIO, "no random bytes");
  return *secureRandom_;
}

void FakeUtilities::setSecureRandom(std::optional<std::uint64_t> value) {
  std::lock_guard lock(mutex_);
  secureRandom_ = value;
}

std::uint32_t FakeUtilities::uniformRandom(std::uint32_t upperBound) {
  std::lock_guard lock(mutex_);
  if (upperBound == 0) return 0;
  if (!scripted_.empty()) {
    std::uint32_t value = scripted_.front();
    scripted_.pop_front();
    return value % upperBound;
  }
  return std::uniform_int_distribution<std::uint32_t>(0, upperBound - 1)(generator_);
}

void FakeUtilities::scriptUniformRandom(std::deque<std::uint32_t> values) {
  std::lock_guard lock(mutex_);
  scripted_ = std::move(values);
}

void FakeUtilities::seed(std::uint32_t seed) {
  std::lock_guard lock(mutex_);
  generator_.seed(seed);
}

// ---- CapturingLogger ----

void CapturingLogger::logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                                 std::int64_t logLevel) {
  std::lock_guard lock(mutex_);
  lines_.push_back({message, logTag, messageCode, logLevel});
}

std::vector<CapturingLogger::Line> CapturingLogger::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void CapturingLogger::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

// ---- settle ----

void settle(const std::shared_ptr<dispatch::Queue>& queue) {
  // A zero-delay marker is handed to the queue in the same pass of the timer
  // thread as every other due block, and after them.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ran = done->get_future();
  queue->asyncAfter(foundation::Deadline::afterSeconds(0), [done] { done->set_value(); });
  // Only a guard against a hang: a loaded machine may take seconds.
  ASSERT_EQ(ran.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "queue " << queue->label();
}

// ---- FoundationTest ----

void FoundationTest::SetUp() {
  home = std::make_unique<TemporaryHome>();
  clock = std::make_shared<foundation::FakeClock>();
  foundation::setClock(clock);
  utilities = std::make_shared<FakeUtilities>();
  QZMUtilities::setShared(utilities);
  logger = std::make_shared<CapturingLogger>();
  relaunchMonitor();
}

std::shared_ptr<QZMMonitor> FoundationTest::relaunchMonitor() {
  if (monitor) settle(monitor->monitorQueue());
  monitor = QZMMonitor::initWithLogLevel(6, logger, 111400);
  monitor->setObserver([this](std::int64_t level, std::int64_t code, std::string_view message,
                              const std::vector<QZMLogContext>& contexts) {
    MonitorLine line{level, code, std::string(message), {}};
    for (const auto& context : contexts) {
      line.contexts.push_back(QZMMonitor::descriptionOfContextObject(context));
    }
    std::lock_guard lock(linesMutex_);
    lines_.push_back(std::move(line));
  });
  QZMMeasurementBase::setMonitor(monitor);
  settle(monitor->monitorQueue());
  return monitor;
}

void FoundationTest::TearDown() {
  if (monitor) settle(monitor->monitorQueue());
  QZMPersistedConfig::setSharedInstance(nullptr);
  QZMMeasurementBase::setSharedInstance(nullptr);
  QZMMeasurementBase::setMonitor(nullptr);
  monitor.reset();
  QZMUtilities::setShared(nullptr);
  foundation::setClock(nullptr);
  home.reset();
}

std::vector<MonitorLine> FoundationTest::monitorLines() const {
  std::lock_guard lock(linesMutex_);
  return lines_;
}

std::vector<MonitorLine> FoundationTest::linesWithCode(std::int64_t messageCode) const {
  std::vector<MonitorLine> found;
  for (auto& line : monitorLines())
    if (line.messageCode == messageCode) found.push_back(line);
  return found;
}

void FoundationTest::clearMonitorLines() {
  std::lock_guard lock(linesMutex_);
  lines_.clear();
}

std::vector<CapturingLogger::Line> FoundationTest::sinkLines() {
  settle(monitor->monitorQueue());
  return logger->lines();
}

}  // namespace testkit
