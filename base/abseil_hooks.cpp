#include "base/abseil_hooks.h"

#include <cstdlib>

#include "base/log.h"

namespace base::internal {

void InternalLogHook(absl::LogSeverity severity, const char* file, int line, const std::string& message) {
  int level = static_cast<int>(severity);
  if (level < 0) level = static_cast<int>(absl::LogSeverity::kInfo);
  if (level > static_cast<int>(absl::LogSeverity::kFatal)) level = static_cast<int>(absl::LogSeverity::kError);
  LogMessage(static_cast<absl::LogSeverity>(level), file, line, message);
}

bool RawLogPrefixHook(absl::LogSeverity severity, const char* file, int line, char** buffer, int* buffer_size) {
  if (!IsLogSeverityEnabled(severity)) return false;
  if (*buffer_size <= 0) return true;
  const std::size_t written =
      FormatLogPrefix(severity, file, line, *buffer, static_cast<std::size_t>(*buffer_size));
  *buffer += written;
  *buffer_size -= static_cast<int>(written);
  return true;
}

void RawLogAbortHook(const char*, int, const char*, const char*, const char*) {
  FlushLog();
  std::abort();
}

}  // namespace base::internal
