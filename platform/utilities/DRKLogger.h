// The utilities framework's console logging: levels as syslog numbers, a
// threshold, and a force flag that shows a line whatever the threshold. Lines
// go to the platform console (foundation's log sink), so tests capture them.
#pragma once

#include <string_view>

enum DRKLoggerLevel : int {
  DRKLoggerLevelError = 3,
  DRKLoggerLevelWarning = 4,
  DRKLoggerLevelNotice = 5,
  DRKLoggerLevelInfo = 6,
  DRKLoggerLevelDebug = 7,
};

// Shows lines up to and including the level (notice unless set); levels out
// of 3...7 are clamped.
void DRKSetLoggerLevel(int level);
bool DRKIsLoggableLevel(int level);

// One line: "<level> <subsystem> <category>[<code>] <message>".
void DRKOSLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                   std::string_view code, std::string_view message);
void DRKOSLogError(std::string_view subsystem, std::string_view category, bool force, std::string_view code,
                   std::string_view message);
void DRKOSLogWarning(std::string_view subsystem, std::string_view category, bool force, std::string_view code,
                     std::string_view message);
void DRKOSLogNotice(std::string_view subsystem, std::string_view category, bool force, std::string_view code,
                    std::string_view message);
void DRKOSLogInfo(std::string_view subsystem, std::string_view category, bool force, std::string_view code,
                  std::string_view message);
void DRKOSLogDebug(std::string_view subsystem, std::string_view category, bool force, std::string_view code,
                   std::string_view message);
// The forms without a force flag.
void DRKOSLogError(std::string_view subsystem, std::string_view category, std::string_view code,
                   std::string_view message);
void DRKOSLogWarning(std::string_view subsystem, std::string_view category, std::string_view code,
                     std::string_view message);
