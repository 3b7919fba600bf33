#include "platform/utilities/DRKLogger.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/foundation/Log.h"

namespace {

std::atomic<int> gLevel{DRKLoggerLevelNotice};

const char* levelName(int level) {
  switch (level) {
    case DRKLoggerLevelError: return "error";
    case DRKLoggerLevelWarning: return "warning";
    case DRKLoggerLevelNotice: return "notice";
    case DRKLoggerLevelInfo: return "info";
    default: return "debug";
  }
}

}  // namespace

void DRKSetLoggerLevel(int level) { gLevel = std::clamp(level, int{DRKLoggerLevelError}, int{DRKLoggerLevelDebug}); }

bool DRKIsLoggableLevel(int level) { return level <= gLevel.load(); }

void DRKOSLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                   std::string_view code, std::string_view message) {
  if (!force && !DRKIsLoggableLevel(level)) return;
  std::string line = levelName(level);
  line += ' ';
  line += subsystem;
  line += ' ';
  line += category;
  line += '[';
  line += code;
  line += "] ";
  line += message;
  foundation::logLine(line);
}

void DRKOSLogError(std::string_view s, std::string_view c, bool force, std::string_view code, std::string_view m) {
  DRKOSLogBasic(DRKLoggerLevelError, s, c, force, code, m);
}
void DRKOSLogWarning(std::string_view s, std::string_view c, bool force, std::string_view code, std::string_view m) {
  DRKOSLogBasic(DRKLoggerLevelWarning, s, c, force, code, m);
}
void DRKOSLogNotice(std::string_view s, std::string_view c, bool force, std::string_view code, std::string_view m) {
  DRKOSLogBasic(DRKLoggerLevelNotice, s, c, force, code, m);
}
void DRKOSLogInfo(std::string_view s, std::string_view c, bool force, std::string_view code, std::string_view m) {
  DRKOSLogBasic(DRKLoggerLevelInfo, s, c, force, code, m);
}
void DRKOSLogDebug(std::string_view s, std::string_view c, bool force, std::string_view code, std::string_view m) {
  DRKOSLogBasic(DRKLoggerLevelDebug, s, c, force, code, m);
}
void DRKOSLogError(std::string_view s, std::string_view c, std::string_view code, std::string_view m) {
  DRKOSLogError(s, c, false, code, m);
}
void DRKOSLogWarning(std::string_view s, std::string_view c, std::string_view code, std::string_view m) {
  DRKOSLogWarning(s, c, false, code, m);
}
