// The platform's console: one line per call, to standard error unless a sink
// is installed (tests install one to read what was logged); and standard
// output, for programs whose diagnostics are printf texts carrying their own
// line breaks.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <string_view>

namespace foundation {

void logLine(std::string_view line);

using LogSink = std::function<void(std::string_view)>;
// Installs a sink for every later line; an empty sink restores standard error.
// Answers the sink it replaced.
LogSink setLogSink(LogSink sink);

// The text as it is, to standard output (flushed) unless a sink is installed.
void printText(std::string_view text);
// Installs a sink for every later text; an empty sink restores standard output.
// Answers the sink it replaced.
LogSink setPrintSink(LogSink sink);

// printf formatting into a string.
std::string formatV(const char* format, va_list args);
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace foundation
