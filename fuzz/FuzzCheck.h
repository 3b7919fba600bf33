// What a fuzz harness asserts about an input it was given. A broken
// property stops the program at once, so that libFuzzer keeps the input as a
// finding and the corpus test of the normal build fails.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, property)                                                                   \
  do {                                                                                                    \
    if (!(condition)) {                                                                                   \
      std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, property, #condition); \
      std::abort();                                                                                       \
    }                                                                                                     \
  } while (0)
