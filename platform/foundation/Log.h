// The platform's console: one line per call, to standard error unless a sink
// is installed (tests install one to read what was logged).
#pragma once

#include <functional>
#include <string_view>

namespace foundation {

void logLine(std::string_view line);

using LogSink = std::function<void(std::string_view)>;
// Installs a sink for every later line; an empty sink restores standard error.
// Answers the sink it replaced.
LogSink setLogSink(LogSink sink);

}  // namespace foundation
