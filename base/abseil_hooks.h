// The functions the base runtime installs into abseil's logging at start:
// abseil's internal messages go through the base log, and its raw messages
// get the base log's prefix and threshold.
#pragma once

#include <string>

#include <absl/base/log_severity.h>

namespace base::internal {

// Severities below INFO count as INFO, above FATAL as ERROR.
void InternalLogHook(absl::LogSeverity severity, const char* file, int line, const std::string& message);
// Writes the prefix and answers true, or answers false for a suppressed
// severity.
bool RawLogPrefixHook(absl::LogSeverity severity, const char* file, int line, char** buffer, int* buffer_size);
[[noreturn]] void RawLogAbortHook(const char* file, int line, const char* buffer_start, const char* prefix_end,
                                  const char* buffer_end);

}  // namespace base::internal
