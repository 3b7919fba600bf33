#include "app/support/AppLog.h"

#include <cstdarg>
#include <string>

#include "platform/foundation/Log.h"

namespace app {

void log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = foundation::formatV(format, args);
  va_end(args);
  foundation::logLine(text);
}

}  // namespace app
