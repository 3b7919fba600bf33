// A main queue for tests: a clock that moves only when told, and blocks that
// run only when the test drains the queue. Posting from other threads is safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/support/MainQueue.h"

namespace app {

class ManualMainQueue : public MainQueue {
 public:
  void async(Block block) override;
  void after(double seconds, Block block) override;
  double now() const override;

  // Runs every block that is due, including blocks they post; returns how many ran.
  int drain();
  // Moves the clock forward by `seconds`, running what falls due on the way, in time order.
  int advance(double seconds);
  // Waits (bounded by `timeoutSeconds` of real time) until a block is due, then drains.
  // For blocks posted by another thread, such as an audio callback.
  int waitAndDrain(double timeoutSeconds);
  std::size_t pending() const;

 private:
  struct Entry {
    double due;
    std::uint64_t order;
    Block block;
  };
  bool popDue(Block& block);

  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::vector<Entry> entries_;
  std::uint64_t nextOrder_ = 0;
  double now_ = 0;
};

}  // namespace app
