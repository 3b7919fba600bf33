// The engine's diagnostics: printf-style lines on standard output, flushed.
// Tests replace the sink to read what the engine printed.
#pragma once

#include <functional>
#include <string_view>

namespace engine {

void print(const char* format, ...) __attribute__((format(printf, 1, 2)));

using PrintSink = std::function<void(std::string_view)>;
// Installs a sink for every later line; an empty sink restores standard output.
void setPrintSink(PrintSink sink);

}  // namespace engine
