// What the engine takes from the process: clocks and the random generator.
// Injectable so that tests run deterministically.
#pragma once

#include <cstdint>
#include <functional>

namespace engine {

struct Services {
  // Steady clock in whole milliseconds.
  std::function<std::uint64_t()> steadyMillis;
  // Calendar time in seconds; seeds the random generator at every reset.
  std::function<std::int64_t()> calendarSeconds;
  // The standard library generator: srand / rand.
  std::function<void(unsigned)> seedRandom;
  std::function<int()> nextRandom;

  static Services system();
};

}  // namespace engine
