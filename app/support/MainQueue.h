// The main queue as the application's logic sees it: blocks posted from any
// thread run later, in order, on the main thread. The event loop's queue
// implements it; tests use ManualMainQueue.
#pragma once

#include <functional>

namespace app {

class MainQueue {
 public:
  using Block = std::function<void()>;
  virtual ~MainQueue() = default;
  // Runs the block on a later turn of the main queue, also when called from it.
  virtual void async(Block block) = 0;
  // Runs the block on the main queue once `seconds` have passed.
  virtual void after(double seconds, Block block) = 0;
  // Seconds on the queue's clock, for animations.
  virtual double now() const = 0;
};

}  // namespace app
