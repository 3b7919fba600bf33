// Counts heap allocations made through the global allocation functions, for
// tests and benchmarks that check a steady frame allocates nothing. Linking
// the counter replaces the global operator new and delete of the program
// (every plain form goes through malloc and free, so libraries loaded beside
// the program pair them up whichever form they use).
#pragma once

namespace engine {

// Counting is off until switched on; the count only ever grows.
void countAllocations(bool on);
long allocationCount();

}  // namespace engine
