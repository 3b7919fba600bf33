#include "measurement/foundation/QZMLogging.h"

#include <cinttypes>
#include <cstdio>

#include "measurement/foundation/QZMUtilities.h"

std::string QZMMessageCodeString(std::int64_t messageCode) {
  char text[32];
  std::snprintf(text, sizeof text, "I-ACS%06" PRId64, messageCode);
  return text;
}

int QZMASLLogger::DRKLoggerLevelFromLogLevel(std::int64_t logLevel) {
  if (logLevel >= 0 && logLevel <= 2) return QZMUtilities::kLevelError;
  if (logLevel >= 3 && logLevel <= 5) return QZMUtilities::kLevelWarning;
  if (logLevel == 6) return QZMUtilities::kLevelNotice;
  if (logLevel == 7 || logLevel == 8) return QZMUtilities::kLevelDebug;
  return QZMUtilities::kLevelWarning;
}

void QZMASLLogger::logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                              std::int64_t logLevel) {
  QZMUtilities::shared()->osLogBasic(DRKLoggerLevelFromLogLevel(logLevel), kQZMLogSubsystem, logTag, logLevel == 7,
                                     QZMMessageCodeString(messageCode), message);
}

void QZMLogStoreWarning(std::int64_t messageCode, std::string_view text) {
  QZMUtilities::shared()->osLogWarning(kQZMLogSubsystem, kQZMDefaultLogTag, QZMMessageCodeString(messageCode), text);
}

void QZMLogStoreError(std::int64_t messageCode, std::string_view text) {
  QZMUtilities::shared()->osLogError(kQZMLogSubsystem, kQZMDefaultLogTag, QZMMessageCodeString(messageCode), text);
}
