#include "app/support/AppLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Log.h"

namespace app {

void log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = nullptr;
  int length = ::vasprintf(&text, format, args);
  va_end(args);
  if (length < 0) return;  // out of memory: the line is lost, nothing else
  foundation::logLine(std::string_view(text, static_cast<std::size_t>(length)));
  std::free(text);
}

}  // namespace app
