// The application's diagnostic lines ("Music paused", "Track changed to: 3"),
// formatted printf-style and written to the platform's console.
#pragma once

namespace app {

void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "ON" / "OFF", the way switches are written in log lines.
inline const char* onOff(bool value) { return value ? "ON" : "OFF"; }

}  // namespace app
