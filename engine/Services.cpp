#include "engine/Services.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace engine {

Services Services::system() {
  Services s;
  s.steadyMillis = [] {
    auto ns = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(ns).count() / 1000000);
  };
  s.calendarSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
  s.seedRandom = [](unsigned seed) { std::srand(seed); };
  s.nextRandom = [] { return std::rand(); };
  return s;
}

}  // namespace engine
