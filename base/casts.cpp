#include "base/casts.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <absl/strings/str_format.h>

#include "base/log.h"

namespace base {

void BadDownCastCrash(const char* expected_type, const std::type_info& actual_type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(actual_type.name(), nullptr, nullptr, &status), &std::free);
  const char* actual = status == 0 && demangled ? demangled.get() : actual_type.name();
  LogMessage(absl::LogSeverity::kFatal, "casts", 14,
             absl::StrFormat("%s: down_cast failed (actual type = %s)", expected_type, actual));
  std::abort();
}

}  // namespace base
