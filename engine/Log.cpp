#include "engine/Log.h"

#include <cstdarg>

#include "platform/foundation/Log.h"

namespace engine {

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = foundation::formatV(format, args);
  va_end(args);
  foundation::printText(text);
}

void setPrintSink(PrintSink sink) { foundation::setPrintSink(std::move(sink)); }

}  // namespace engine
