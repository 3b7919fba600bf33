// The base runtime's log: one line per message, "<severity letter><MMDD
// HH:MM:SS.micros> <thread> <file>:<line>] <text>" in UTC, written to the
// platform's console. A FATAL message is captured (see FatalMessage) and
// stops the process.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <absl/base/log_severity.h>

namespace base {

// Messages below this severity are dropped; FATAL is never dropped.
void SetMinLogSeverity(absl::LogSeverity severity);
absl::LogSeverity MinLogSeverity();
bool IsLogSeverityEnabled(absl::LogSeverity severity);

// Writes the message; never returns for kFatal.
void LogMessage(absl::LogSeverity severity, const char* file, int line, std::string_view text);

// Writes the line prefix into `buffer` (NUL-terminated when it fits) and
// answers its length, at most size - 1. Allocates nothing and takes no lock,
// so the raw-log hook can use it.
std::size_t FormatLogPrefix(absl::LogSeverity severity, const char* file, int line, char* buffer,
                            std::size_t size);

// Flushes whatever the console buffers.
void FlushLog();

// Called with the prefixed text of every fatal message. The first caller
// claims the capture buffer; later ones only mark that a fatal message was
// seen.
void OnFatalLogMessage(std::string_view prefixed_text);
// The first fatal message, at most 511 bytes plus a closing newline, once
// recorded.
std::optional<std::string_view> FatalMessage();
bool FatalMessageSeen();

namespace internal {
void ResetFatalMessageForTesting();
}  // namespace internal

}  // namespace base
