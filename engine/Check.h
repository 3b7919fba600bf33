// Contract checks: a violation is a programming error, so it stops the
// program naming the condition that failed.
#pragma once

#define ENGINE_CHECK(condition)                                   \
  do {                                                            \
    if (!(condition)) ::engine::checkFailed(#condition, __FILE__, __LINE__); \
  } while (0)

namespace engine {
[[noreturn]] void checkFailed(const char* condition, const char* file, int line);
}  // namespace engine
