#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMMonitor.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>

#include "measurement/foundation/QZMUtilities.h"

namespace {

constexpr const char* kMonitorQueueLabel = "QZMMonitorQueue";

std::string decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

// A number's decade: 4711 is "1000...9999", -4711 is "-9999...-1000".
std::string encodedNumber(std::int64_t value) {
  if (value > -100 && value < 100) return std::to_string(value);
  unsigned __int128 magnitude = value < 0 ? static_cast<unsigned __int128>(-(value + 1)) + 1
                                          : static_cast<unsigned __int128>(value);
  unsigned __int128 low = 1;
  while (low * 10 <= magnitude) low *= 10;
  unsigned __int128 high = low * 10 - 1;
  if (value > 0) return absl::StrCat(decimal(low), "...", decimal(high));
  return absl::StrCat("-", decimal(high), "...-", decimal(low));
}

bool containsQZM(const std::string& text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("qzm") != std::string::npos;
}

}  // namespace

std::string QZMMonitor::descriptionOfContextObject(const QZMLogContext& context) {
  if (context.isNil()) return "(nil)";
  if (const foundation::Object* object = context.object()) return object->description();
  if (const foundation::Error* error = context.error()) return error->text();
  if (const QZMException* exception = context.exception()) {
    auto symbol = QZMMonitor::lastQZMSymbolFromException(exception);
    return symbol ? *symbol + ": " + exception->reason() : exception->reason();
  }
  return *context.otherDescription();
}

namespace {

bool hasArgument(const std::vector<std::string>& arguments, std::string_view argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

}  // namespace

QZMMonitor::QZMMonitor(Token, std::int64_t logLevel, std::shared_ptr<QZMLogging> logger, std::int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      monitorQueue_(dispatch::Queue::create(kMonitorQueueLabel)),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(QZMUserDefaults::initWithSuiteName(kQZMMonitorSuiteName)) {}

std::shared_ptr<QZMMonitor> QZMMonitor::initWithLibraryVersion(std::int64_t libraryVersion) {
  return initWithLogLevel(6, std::make_shared<QZMASLLogger>(), libraryVersion);
}

std::shared_ptr<QZMMonitor> QZMMonitor::initWithLogLevel(std::int64_t logLevel, std::shared_ptr<QZMLogging> logger,
                                                         std::int64_t libraryVersion) {
  auto monitor = std::make_shared<QZMMonitor>(Token{}, logLevel, std::move(logger), libraryVersion);
  monitor->start();
  return monitor;
}

void QZMMonitor::start() {
  std::weak_ptr<QZMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak] {
    if (auto self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    }
  });

  auto utilities = QZMUtilities::shared();
  const std::vector<std::string> arguments = utilities->launchArguments();
  auto shared = QZMUserDefaults::sharedUserDefaults();

  deferToZNHLogger_ = (hasArgument(arguments, "-ZNHDebugDisabled") || hasArgument(arguments, "-ZNHDebugEnabled")) &&
                      utilities->classExists("ZNHConfiguration");

  // A disabling argument wins over the stored flag and over an enabling one.
  if (hasArgument(arguments, "-noQZMAnalyticsDebugEnabled") || hasArgument(arguments, "-noZNHAnalyticsDebugEnabled") ||
      hasArgument(arguments, "-ZNHDebugDisabled")) {
    setDebugModeEnabled(false);
  } else if (shared->boolForKey(kQZMDebugModeKey) || hasArgument(arguments, "-QZMAnalyticsDebugEnabled") ||
             hasArgument(arguments, "-ZNHAnalyticsDebugEnabled") || hasArgument(arguments, "-ZNHDebugEnabled")) {
    setDebugModeEnabled(true);
  }

  if (hasArgument(arguments, "-QZMAnalyticsVerboseLoggingDisabled") ||
      hasArgument(arguments, "-ZNHAnalyticsVerboseLoggingDisabled")) {
    setVerboseLoggingEnabled(false);
  } else if (shared->boolForKey(kQZMVerboseLoggingKey) || hasArgument(arguments, "-QZMAnalyticsVerboseLoggingEnabled") ||
             hasArgument(arguments, "-ZNHAnalyticsVerboseLoggingEnabled")) {
    setVerboseLoggingEnabled(true);
  }
}

// ---- levels ----

std::optional<std::string> QZMMonitor::logLevelDescriptionFromLogLevel(std::int64_t logLevel) {
  switch (logLevel) {
    case 0:
    case 1:
    case 2: return "ERROR";
    case 3:
    case 4:
    case 5: return "WARNING";
    case 6: return "NOTICE";
    case 7: return "DEBUG";
    default: return std::nullopt;
  }
}

bool QZMMonitor::isSilentLevel(std::int64_t logLevel) {
  return logLevel == 2 || logLevel == 5 || static_cast<std::uint64_t>(logLevel) > 8;
}

bool QZMMonitor::isMonitorableLevel(std::int64_t logLevel) {
  return logLevel == 1 || logLevel == 2 || logLevel == 4 || logLevel == 5 || static_cast<std::uint64_t>(logLevel) > 8;
}

bool QZMMonitor::isLoggableLevel(std::int64_t logLevel) const {
  return QZMUtilities::shared()->isLoggableLevel(QZMASLLogger::DRKLoggerLevelFromLogLevel(logLevel)) &&
         !isSilentLevel(logLevel);
}

// ---- text ----

std::string QZMMonitor::encodedStringWithContextObject(const QZMLogContext& context) {
  if (const foundation::Object* object = context.object()) {
    if (object->isNull()) return "";
    if (object->isString()) return "-";
    if (object->isNumber()) return encodedNumber(object->int64Value());
    return "?";
  }
  if (const foundation::Error* error = context.error()) return error->domain.empty() ? "-" : error->domain;
  if (const QZMException* exception = context.exception()) return lastQZMSymbolFromException(exception).value_or("-");
  return "?";
}

std::string QZMMonitor::encodedStringWithContextArray(const std::vector<QZMLogContext>& contexts, bool insertSpaces) {
  std::string text;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += insertSpaces ? ", " : ",";
    text += encodedStringWithContextObject(contexts[i]);
  }
  return text;
}

std::string QZMMonitor::stringWithLogMessage(std::string_view message, std::int64_t, const std::vector<QZMLogContext>& contexts,
                                             bool encodeContexts) {
  std::string text = message.empty() ? std::string("(Message was empty)") : std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += descriptionOfContextObject(contexts[i]);
  }
  return text;
}

std::optional<std::string> QZMMonitor::lastQZMSymbolFromException(const QZMException* exception) {
  if (!exception) return std::nullopt;
  const auto& frames = exception->callStackSymbols();
  if (frames.size() < 2) return exception->name();
  for (std::size_t i = 2; i < frames.size(); ++i) {
    std::istringstream words(frames[i]);
    std::vector<std::string> parts;
    for (std::string part; words >> part;) parts.push_back(part);
    if (parts.size() < 5) continue;
    std::string symbol = parts[4] == "+" ? parts[3] : parts[3] + " " + parts[4];
    if (containsQZM(symbol)) return symbol;
  }
  return exception->name();
}

std::string QZMMonitor::monitoringDataKeyWithMessage(std::string_view message, std::int64_t logLevel,
                                                     std::int64_t libraryVersion) {
  char letter = '?';
  if (logLevel >= 0 && logLevel <= 2) letter = 'E';
  else if (logLevel >= 3 && logLevel <= 5) letter = 'W';
  return absl::StrCat("1", absl::string_view(&letter, 1), "_", libraryVersion, ":",
                      absl::string_view(message.data(), message.size()));
}

// ---- logging ----

void QZMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message) {
  logWithLevel(level, messageCode, message, std::vector<QZMLogContext>{});
}

void QZMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const QZMLogContext& context) {
  logWithLevel(level, messageCode, message, std::vector<QZMLogContext>{context});
}

void QZMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const QZMLogContext& context1, const QZMLogContext& context2) {
  logWithLevel(level, messageCode, message, std::vector<QZMLogContext>{context1, context2});
}

void QZMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const QZMLogContext& context1, const QZMLogContext& context2,
                              const QZMLogContext& context3) {
  logWithLevel(level, messageCode, message, std::vector<QZMLogContext>{context1, context2, context3});
}

void QZMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const std::vector<QZMLogContext>& contexts) {
  {
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_(level, messageCode, message, contexts);
  }
  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level >= 8 && !verboseLoggingEnabled_) return;
  if (loggable) logToConsole(stringWithLogMessage(message, level, contexts, encodeContexts_), messageCode, level);
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::string monitorContexts;
    for (const auto& context : contexts) {
      const foundation::Error* error = context.error();
      if (!error) continue;
      std::string attached = QZMMonitorContextOfError(*error);
      if (attached.empty()) continue;
      if (!monitorContexts.empty()) monitorContexts += ",";
      monitorContexts += attached;
    }
    if (!monitorContexts.empty()) encoded += "," + monitorContexts;
    insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
  }
}

void QZMMonitor::logToConsole(std::string text, std::int64_t messageCode, std::int64_t logLevel) {
  std::lock_guard lock(pendingMutex_);
  if (pending_.console.size() >= kQZMMonitorMaxPendingLines) {
    ++pending_.droppedConsoleLines;
    return;
  }
  pending_.console.push_back({std::move(text), messageCode, logLevel});
  scheduleDrainLocked();
}

void QZMMonitor::insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                                         std::int64_t logLevel) {
  std::string key = monitoringDataKeyWithMessage(message, logLevel, libraryVersion_);
  std::lock_guard lock(pendingMutex_);
  if (pending_.samples.size() < kQZMMonitorMaxPendingLines) {
    pending_.samples.push_back({std::move(key), std::move(encodedContext)});
  } else {
    // A reservoir of one over the lines that did not fit.
    ++pending_.overflowCount;
    if (QZMUtilities::shared()->uniformRandom(static_cast<std::uint32_t>(
            std::min<std::int64_t>(pending_.overflowCount, std::numeric_limits<std::uint32_t>::max()))) == 0) {
      pending_.overflowSample = {std::move(key), std::move(encodedContext)};
    }
  }
  scheduleDrainLocked();
}

void QZMMonitor::scheduleDrainLocked() {
  if (pending_.drainScheduled) return;
  pending_.drainScheduled = true;
  std::weak_ptr<QZMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak] {
    if (auto self = weak.lock()) self->drainPendingLinesOnMonitorQueue();
  });
}

void QZMMonitor::drainPendingLinesOnMonitorQueue() {
  PendingLines lines;
  {
    std::lock_guard lock(pendingMutex_);
    std::swap(lines, pending_);
  }
  if (logger_) {
    std::string tag = logTag();
    for (const ConsoleLine& line : lines.console) logger_->logMessage(line.text, tag, line.messageCode, line.logLevel);
    if (lines.droppedConsoleLines > 0) {
      logger_->logMessage(absl::StrCat("Too many log lines at once. Lines dropped: ", lines.droppedConsoleLines), tag,
                          24008, 3);
    }
  }
  if (lines.samples.empty() && lines.overflowCount == 0) return;
  for (const SampledLine& line : lines.samples) {
    monitoringSampledData_.insertOrUpdateSampledDataWithKey(line.key, line.encodedContext);
  }
  monitoringSampledData_.mergeSampledDataWithKey(lines.overflowSample.key, lines.overflowSample.encodedContext,
                                                 lines.overflowCount);
  scheduleSaveOnMonitorQueue();
}

void QZMMonitor::scheduleSaveOnMonitorQueue() {
  if (saveScheduled_) return;
  saveScheduled_ = true;
  std::weak_ptr<QZMMonitor> weak = weak_from_this();
  monitorQueue_->asyncAfter(kQZMMonitorSaveDelay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->saveScheduled_ = false;
    self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
}

void QZMMonitor::setObserver(Observer observer) {
  std::lock_guard lock(observerMutex_);
  observer_ = std::move(observer);
  hasObserver_ = static_cast<bool>(observer_);
}

bool QZMMonitor::wantsLineWithLevel(std::int64_t level) const {
  if (hasObserver_) return true;
  // As logWithLevel decides.
  if (level >= 8 && !verboseLoggingEnabled_) return false;
  return isMonitorableLevel(level) || isLoggableLevel(level);
}

std::string QZMMonitor::logTag() const {
  std::lock_guard lock(logTagMutex_);
  return logTag_;
}

void QZMMonitor::setLogTag(std::string logTag) {
  std::lock_guard lock(logTagMutex_);
  logTag_ = std::move(logTag);
}

// ---- switches ----

void QZMMonitor::setUtilitiesLoggerLevel(int level) {
  // The core framework's own debug switch governs the logger's level then.
  if (!deferToZNHLogger_) QZMUtilities::shared()->setLoggerLevel(level);
}

void QZMMonitor::switchDebugMode(bool enabled, std::int64_t messageCode, std::string_view message) {
  logLevel_ = enabled ? 7 : 6;
  setUtilitiesLoggerLevel(enabled ? QZMUtilities::kLevelDebug : QZMUtilities::kLevelNotice);
  logWithLevel(7, messageCode, message);
  debugModeEnabled_ = enabled;
}

void QZMMonitor::setDebugModeEnabled(bool enabled) {
  auto shared = QZMUserDefaults::sharedUserDefaults();
  if (enabled) {
    shared->setBool(true, kQZMDebugModeKey);
  } else {
    shared->removeObjectForKey(kQZMDebugModeKey);
  }
  switchDebugMode(enabled, enabled ? 24000 : 24001, enabled ? "Debug mode is on" : "Debug mode is off");
}

void QZMMonitor::setKRPXDebugModeEnabled(bool enabled) {
  switchDebugMode(enabled, enabled ? 24006 : 24007, enabled ? "KRPX debug mode is on" : "KRPX debug mode is off");
}

void QZMMonitor::setVerboseLoggingEnabled(bool enabled) {
  auto shared = QZMUserDefaults::sharedUserDefaults();
  if (enabled) {
    logLevel_ = 8;
    setUtilitiesLoggerLevel(QZMUtilities::kLevelDebug);
    shared->setBool(true, kQZMVerboseLoggingKey);
    // Verbose lines pass only once the switch is on.
    verboseLoggingEnabled_ = true;
    logWithLevel(8, 24003, "Verbose logging is on");
  } else {
    std::int64_t level = debugModeEnabled_ ? 7 : 6;
    logLevel_ = level;
    setUtilitiesLoggerLevel(QZMASLLogger::DRKLoggerLevelFromLogLevel(level));
    shared->removeObjectForKey(kQZMVerboseLoggingKey);
    logWithLevel(8, 24004, "Verbose logging is off");
    verboseLoggingEnabled_ = false;
  }
}

// ---- the health record ----

void QZMMonitor::syncOnMonitorQueue(const std::function<void()>& block) {
  if (monitorQueue_->isCurrent()) {
    block();
    return;
  }
  (void)monitorQueue_->sync(block);
}

std::optional<std::string> QZMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                               double lastSampledTimestamp) {
  std::optional<std::string> text;
  syncOnMonitorQueue([&] {
    drainPendingLinesOnMonitorQueue();
    text = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (text) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return text;
}

void QZMMonitor::clearMonitoringData() {
  syncOnMonitorQueue([&] {
    drainPendingLinesOnMonitorQueue();
    auto shared = QZMUserDefaults::sharedUserDefaults();
    shared->removeObjectForKey(kQZMDebugModeKey);
    shared->removeObjectForKey(kQZMHealthMonitorKey);
    monitorUserDefaults_->removeObjectForKey(kQZMHealthMonitorKey);
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

void QZMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = QZMMonitoringSampledData(monitorUserDefaults_->arrayForKey(kQZMHealthMonitorKey));
}

void QZMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  auto data = monitoringSampledData_.sampledData();
  monitorUserDefaults_->setObject(data ? foundation::Object(std::move(*data)) : foundation::Object(),
                                  kQZMHealthMonitorKey);
  synchronizeToDiskOnMonitorQueue();
}

void QZMMonitor::synchronizeToDiskOnMonitorQueue() { monitorUserDefaults_->synchronize(); }

void QZMMonitor::migrateMonitorDataOnMonitorQueue() {
  auto shared = QZMUserDefaults::sharedUserDefaults();
  std::int64_t state = monitorUserDefaults_->integerForKey(kQZMMonitorMigrationStateKey);
  if (state == 0) {
    auto old = shared->arrayForKey(kQZMHealthMonitorKey);
    if (old && !monitorUserDefaults_->objectForKey(kQZMHealthMonitorKey)) {
      monitorUserDefaults_->setObject(foundation::Object(std::move(*old)), kQZMHealthMonitorKey);
    }
    monitorUserDefaults_->setInteger(1, kQZMMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
    state = 1;
  }
  if (state == 1) {
    shared->removeObjectForKey(kQZMHealthMonitorKey);
    shared->synchronize();
    monitorUserDefaults_->setInteger(2, kQZMMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
  }
}
