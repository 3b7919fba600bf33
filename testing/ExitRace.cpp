#include "testing/ExitRace.h"

#include <atomic>
#include <cstdlib>
#include <thread>

namespace testkit {
namespace {

// Trivially destructible, so still there when the exit is held.
std::atomic<long> gRounds{0};

// Bounds of every wait: far beyond what a sound run needs.
constexpr long kMaxRounds = 1'000'000'000;
constexpr long kMaxSpins = 100'000'000;
constexpr long kRoundsBeforeExit = 100;
constexpr long kRoundsWhileHeld = 1000;

void waitForRounds(long target) {
  for (long spin = 0; spin < kMaxSpins && gRounds.load() < target; ++spin) std::this_thread::yield();
}

void holdExit() { waitForRounds(gRounds.load() + kRoundsWhileHeld); }

std::atomic<bool> gRacing{false};

// Made before, so destroyed after, every static object of default priority:
// the step also meets the namespace-scope objects made before the race.
struct FinalHold {
  ~FinalHold() {
    if (gRacing.load()) holdExit();
  }
};
__attribute__((init_priority(101))) FinalHold gFinalHold;

}  // namespace

// Functions given to atexit before a static object is made run after it is
// destroyed.
ExitRace::ExitRace() { std::atexit(holdExit); }

void ExitRace::exitWhileRunning(std::function<void()> step) {
  gRacing = true;
  std::thread([step = std::move(step)] {
    for (long round = 0; round < kMaxRounds; ++round) {
      step();
      gRounds.fetch_add(1);
    }
  }).detach();
  waitForRounds(kRoundsBeforeExit);
  std::exit(0);
}

}  // namespace testkit
