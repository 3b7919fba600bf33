// The SDK's one logger. Every component writes a line made of a level (0 to
// 8), a message code (printed "I-ACS%06ld"), a message and optional context
// objects. The monitor decides whether the line reaches the console (through
// its QZMLogging sink) and whether it is sampled into the health record that
// the engine attaches to an upload; it also owns the debug and verbose
// switches, read from launch arguments and from flags kept in the shared
// user-defaults suite.
//
// Levels: 0 error, 1 error (sampled), 2 error (sampled, never shown), 3
// warning, 4 warning (sampled), 5 warning (sampled, never shown), 6 notice,
// 7 debug, 8 verbose (dropped unless verbose logging is on). Any other value
// counts as silent and sampled.
//
// Any thread may log. Text and keys are built on the caller's thread; the
// sink, the health record and the monitor suite are touched only on the
// monitor's serial queue, so console lines keep their order. Lines wait for
// that queue in a bounded list: a flood of lines costs bounded memory (the
// console lines beyond it are dropped and counted, the sampled ones still
// count), and the record is written to the suite at most once per
// kQZMMonitorSaveDelay.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/QZMLogContext.h"
#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMonitoringSampledData.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/dispatch/Queue.h"

// Keys of the monitor's flags and record.
inline constexpr const char* kQZMDebugModeKey = "/dralix/measurement/debug_mode";
inline constexpr const char* kQZMVerboseLoggingKey = "/dralix/measurement/verbose_logging";
inline constexpr const char* kQZMHealthMonitorKey = "/dralix/measurement/health_monitor";
inline constexpr const char* kQZMMonitorMigrationStateKey = "/dralix/measurement/monitor_migration_state";
// Seconds between a change of the health record and its write to the suite.
inline constexpr double kQZMMonitorSaveDelay = 1;
// Console lines, and sampled lines, that may wait for the monitor queue.
inline constexpr std::size_t kQZMMonitorMaxPendingLines = 1000;

class QZMMonitor : public std::enable_shared_from_this<QZMMonitor> {
 public:
  // Level 6 and a QZMASLLogger.
  static std::shared_ptr<QZMMonitor> initWithLibraryVersion(std::int64_t libraryVersion);
  static std::shared_ptr<QZMMonitor> initWithLogLevel(std::int64_t logLevel, std::shared_ptr<QZMLogging> logger,
                                                      std::int64_t libraryVersion);

  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context1, const QZMLogContext& context2);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context1, const QZMLogContext& context2, const QZMLogContext& context3);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const std::vector<QZMLogContext>& contexts);

  // Whether a line of the level would reach anything (an observer, the
  // console, the health record): a caller whose contexts cost something to
  // build, such as an event's parameters, asks first.
  bool wantsLineWithLevel(std::int64_t level) const;

  // The health record's upload text when one is due (see
  // QZMMonitoringSampledData); the emptied record is saved at once.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Forgets the record and the stored debug flag.
  void clearMonitoringData();

  std::int64_t logLevel() const { return logLevel_; }
  void setLogLevel(std::int64_t logLevel) { logLevel_ = logLevel; }
  void setDebugModeEnabled(bool enabled);
  void setKRPXDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_; }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_; }
  // Console lines carry encoded contexts instead of their descriptions.
  bool encodeContexts() const { return encodeContexts_; }
  void setEncodeContexts(bool encode) { encodeContexts_ = encode; }
  std::string logTag() const;
  void setLogTag(std::string logTag);
  std::int64_t libraryVersion() const { return libraryVersion_; }

  // Sees every line as it is logged, on the caller's thread, before any
  // filtering; for tests that check what was logged at silent levels too.
  using Observer = std::function<void(std::int64_t level, std::int64_t messageCode, std::string_view message,
                                      const std::vector<QZMLogContext>& contexts)>;
  void setObserver(Observer observer);
  const std::shared_ptr<dispatch::Queue>& monitorQueue() const { return monitorQueue_; }

  // nullopt for level 8 and any level outside 0 to 7.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t logLevel);
  static bool isSilentLevel(std::int64_t logLevel);
  static bool isMonitorableLevel(std::int64_t logLevel);
  // The contexts' shapes joined by ", " (or "," without spaces).
  static std::string encodedStringWithContextArray(const std::vector<QZMLogContext>& contexts, bool insertSpaces);
  static std::string stringWithLogMessage(std::string_view message, std::int64_t logLevel,
                                          const std::vector<QZMLogContext>& contexts, bool encodeContexts);
  // A value's shape without its content: "" for nil, "-" for text, a number
  // below 100 in magnitude as it is and a larger one as its decade
  // ("1000...9999"), an error's domain, an exception's last SDK symbol, "?"
  // for anything else.
  static std::string encodedStringWithContextObject(const QZMLogContext& context);
  // How a console line shows the context: "(nil)", a value's description, an
  // error's text, an exception as "symbol: reason".
  static std::string descriptionOfContextObject(const QZMLogContext& context);
  static std::optional<std::string> lastQZMSymbolFromException(const QZMException* exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t logLevel,
                                                  std::int64_t libraryVersion);

  struct Token {};
  QZMMonitor(Token, std::int64_t logLevel, std::shared_ptr<QZMLogging> logger, std::int64_t libraryVersion);

 private:
  void start();
  bool isLoggableLevel(std::int64_t logLevel) const;
  void logToConsole(std::string text, std::int64_t messageCode, std::int64_t logLevel);
  void insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                               std::int64_t logLevel);
  // Has the waiting lines drained on the monitor queue, once per batch.
  void scheduleDrainLocked();
  // Writes the waiting lines out and samples them; monitor queue only.
  void drainPendingLinesOnMonitorQueue();
  // Arms the one delayed write of the record; monitor queue only.
  void scheduleSaveOnMonitorQueue();
  void setUtilitiesLoggerLevel(int level);
  // Debug mode's levels, announcement and flag, shared by both switches.
  void switchDebugMode(bool enabled, std::int64_t messageCode, std::string_view message);
  // Runs on the monitor queue and waits; inline when already there.
  void syncOnMonitorQueue(const std::function<void()>& block);

  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void migrateMonitorDataOnMonitorQueue();
  void synchronizeToDiskOnMonitorQueue();

  std::atomic<std::int64_t> logLevel_;
  const std::shared_ptr<QZMLogging> logger_;
  QZMMonitoringSampledData monitoringSampledData_;  // monitor queue only
  bool saveScheduled_ = false;                      // monitor queue only

  struct ConsoleLine {
    std::string text;
    std::int64_t messageCode;
    std::int64_t logLevel;
  };
  struct SampledLine {
    std::string key;
    std::string encodedContext;
  };
  // Lines waiting for the monitor queue.
  struct PendingLines {
    std::vector<ConsoleLine> console;
    std::size_t droppedConsoleLines = 0;
    std::vector<SampledLine> samples;
    // Sampled lines beyond the list: how many, and one of them chosen
    // uniformly.
    std::int64_t overflowCount = 0;
    SampledLine overflowSample;
    bool drainScheduled = false;
  };
  std::mutex pendingMutex_;
  PendingLines pending_;
  const std::shared_ptr<dispatch::Queue> monitorQueue_;
  const std::int64_t libraryVersion_;
  const std::shared_ptr<QZMUserDefaults> monitorUserDefaults_;
  bool deferToZNHLogger_ = false;  // set once in start()
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  std::mutex observerMutex_;
  Observer observer_;
  std::atomic<bool> hasObserver_{false};
  mutable std::mutex logTagMutex_;
  std::string logTag_ = kQZMDefaultLogTag;
};
