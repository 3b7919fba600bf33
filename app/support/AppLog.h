// The application's diagnostic lines ("Music paused", "Track changed to: 3").
// They go to standard error unless a sink is installed; tests install one.
#pragma once

#include <functional>
#include <string_view>

namespace app {

void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

using LogSink = std::function<void(std::string_view line)>;
// Installs a sink for every later line; an empty sink restores standard error.
void setLogSink(LogSink sink);

// "ON" / "OFF", the way switches are written in log lines.
inline const char* onOff(bool value) { return value ? "ON" : "OFF"; }

}  // namespace app
