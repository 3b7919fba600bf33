#include "measurement/proto/NANODiagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/foundation/Log.h"

namespace {

struct Output {
  std::mutex mutex;
  NANOOutputSink sink;
};

// Never destroyed: a worker may still decode while the program ends.
Output& output() {
  static auto* o = new Output;
  return *o;
}

std::string formatted(const char* format, va_list args) {
  char small[256];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (n >= static_cast<int>(sizeof small)) {
    text.resize(static_cast<std::size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  } else if (n > 0) {
    text.assign(small, static_cast<std::size_t>(n));
  }
  va_end(again);
  return text;
}

}  // namespace

void NANOPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);

  Output& o = output();
  std::lock_guard lock(o.mutex);
  if (o.sink) {
    o.sink(text);
  } else {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  }
}

void NANOSetOutputSink(NANOOutputSink sink) {
  Output& o = output();
  std::lock_guard lock(o.mutex);
  o.sink = std::move(sink);
}

void NANOLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  foundation::logLine(text);
}
