#include "engine/Check.h"

#include <cstdio>
#include <cstdlib>

namespace engine {

void checkFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: Check failed: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}

}  // namespace engine
