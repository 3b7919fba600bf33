#include "platform/foundation/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace foundation {
namespace {

// Never destroyed: workers may still log while the program ends.
std::mutex& sinkMutex() {
  static auto* m = new std::mutex;
  return *m;
}
LogSink& sink() {
  static auto* s = new LogSink;
  return *s;
}

}  // namespace

void logLine(std::string_view line) {
  std::lock_guard lock(sinkMutex());
  if (sink()) {
    sink()(line);
    return;
  }
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

LogSink setLogSink(LogSink s) {
  std::lock_guard lock(sinkMutex());
  LogSink previous = std::move(sink());
  sink() = std::move(s);
  return previous;
}

}  // namespace foundation
