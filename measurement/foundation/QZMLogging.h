// The console side of the SDK's log: the sink protocol the monitor writes
// through, its one implementation over the utilities framework's OS log, and
// the direct lines the persistent stores write without the monitor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char* kQZMLogSubsystem = "com.dralix.zarnholt.analytics";
inline constexpr const char* kQZMDefaultLogTag = "<Kestrometer>";

// "I-ACS" and the code in six digits.
std::string QZMMessageCodeString(std::int64_t messageCode);

class QZMLogging {
 public:
  virtual ~QZMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                          std::int64_t logLevel) = 0;
};

// Writes each line to the utilities framework's OS log. The message goes out
// as text, never as a format, so a "%" in it needs no escaping.
class QZMASLLogger final : public QZMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;
  // The utilities logger's level for a monitor level.
  static int DRKLoggerLevelFromLogLevel(std::int64_t logLevel);
};

// A store's own warning or error, straight to the OS log with the SDK's
// subsystem and tag.
void QZMLogStoreWarning(std::int64_t messageCode, std::string_view text);
void QZMLogStoreError(std::int64_t messageCode, std::string_view text);
