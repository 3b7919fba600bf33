#include "base/check.h"

#include <cstdlib>
#include <string>

#include "base/log.h"

namespace base::internal {

void CheckFailed(const char* file, int line, std::string_view condition, std::string_view message) {
  std::string text = "Check ";
  text.append(condition);
  text.append(" failed: ");
  text.append(message);
  LogMessage(absl::LogSeverity::kFatal, file, line, text);
  std::abort();  // not reached: a fatal message stops the process
}

}  // namespace base::internal
