#include "app/support/ManualMainQueue.h"

#include <algorithm>
#include <chrono>

namespace app {

void ManualMainQueue::async(Block block) { after(0, std::move(block)); }

void ManualMainQueue::after(double seconds, Block block) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back({now_ + std::max(0.0, seconds), nextOrder_++, std::move(block)});
  }
  posted_.notify_all();
}

double ManualMainQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

bool ManualMainQueue::popDue(Block& block) {
  std::lock_guard lock(mutex_);
  auto due = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->due > now_) continue;
    if (due == entries_.end() || it->due < due->due || (it->due == due->due && it->order < due->order)) due = it;
  }
  if (due == entries_.end()) return false;
  block = std::move(due->block);
  entries_.erase(due);
  return true;
}

int ManualMainQueue::drain() {
  int ran = 0;
  Block block;
  // Bounded: a block that re-posts itself for ever must not hang a test.
  while (ran < 100000 && popDue(block)) {
    block();
    ++ran;
  }
  return ran;
}

int ManualMainQueue::advance(double seconds) {
  double target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + seconds;
  }
  int ran = drain();
  while (true) {
    {
      std::lock_guard lock(mutex_);
      double next = target;
      for (const Entry& e : entries_) next = std::min(next, std::max(e.due, now_));
      now_ = next;
      if (next >= target) {
        now_ = target;
        break;
      }
    }
    ran += drain();
  }
  return ran + drain();
}

int ManualMainQueue::waitAndDrain(double timeoutSeconds) {
  {
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
      return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.due <= now_; });
    });
  }
  return drain();
}

std::size_t ManualMainQueue::pending() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace app
