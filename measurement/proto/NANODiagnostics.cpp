#include "measurement/proto/NANODiagnostics.h"

#include <cstdarg>
#include <string>

#include "platform/foundation/Log.h"

void NANOPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = foundation::formatV(format, args);
  va_end(args);
  foundation::printText(text);
}

void NANOSetOutputSink(NANOOutputSink sink) { foundation::setPrintSink(std::move(sink)); }

void NANOLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = foundation::formatV(format, args);
  va_end(args);
  foundation::logLine(text);
}
