// The base runtime's invariant check: a broken precondition logs
// "Check <condition> failed: <message>" at FATAL severity and stops the
// process. The message expression is evaluated only on failure.
//
//   BASE_CHECK(size < capacity);
//   BASE_CHECK(n >= 0, absl::StrCat("n must be nonnegative, provided value was ", n, "."));
#pragma once

#include <string>
#include <string_view>

#define BASE_CHECK(condition, ...)                                                                   \
  do {                                                                                               \
    if (!(condition)) [[unlikely]] {                                                                 \
      ::base::internal::CheckFailed(__FILE__, __LINE__, #condition,                                 \
                                    ::base::internal::CheckMessage(__VA_ARGS__));                    \
    }                                                                                                \
  } while (false)

namespace base::internal {

inline std::string CheckMessage() { return std::string(); }
inline std::string CheckMessage(std::string_view message) { return std::string(message); }

[[noreturn]] void CheckFailed(const char* file, int line, std::string_view condition, std::string_view message);

}  // namespace base::internal
