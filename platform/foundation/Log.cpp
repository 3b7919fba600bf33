#include "platform/foundation/Log.h"

#include <cstdio>
#include <mutex>

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
std::mutex& printMutex() {
  static auto* m = new std::mutex;
  return *m;
}
LogSink& printSink() {
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

void printText(std::string_view text) {
  std::lock_guard lock(printMutex());
  if (printSink()) {
    printSink()(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

LogSink setPrintSink(LogSink s) {
  std::lock_guard lock(printMutex());
  LogSink previous = std::move(printSink());
  printSink() = std::move(s);
  return previous;
}

std::string formatV(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatV(format, args);
  va_end(args);
  return text;
}

}  // namespace foundation
