// A program may end while a detached worker thread (a queue's runner, the
// timer thread) still runs a block. Whatever such a block reaches must still
// be there while the program's static objects are destroyed.
//
// Use inside a threadsafe-style death test, whose child starts fresh:
//   EXPECT_EXIT({
//     testkit::ExitRace race;   // first, before anything under test is used
//     ...set up...
//     race.exitWhileRunning([] { ...what a worker block does... });
//   }, ::testing::ExitedWithCode(0), "");
// The child ends with std::exit(0) while a thread runs the step over and
// over; the exit is held, once every static object made after the race was
// made has been destroyed, and again once every other static object of the
// program has, until the thread has run the step some more times. A step
// that reaches a destroyed object then fails under the sanitizers (or
// crashes), and the child does not exit with 0.
#pragma once

#include <functional>

namespace testkit {

class ExitRace {
 public:
  ExitRace();
  [[noreturn]] void exitWhileRunning(std::function<void()> step);
};

}  // namespace testkit
