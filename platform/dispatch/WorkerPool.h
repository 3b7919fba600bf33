// The threads serial queues take turns on, one thread per queue at a time.
// A queue that wakes gets an idle thread, or a new one, so a thread blocked
// in a block (a sync, a semaphore) never keeps another queue from running;
// only at the bound do queues wait for a thread to come free. A queue kept
// waiting because no thread could be made is retried whenever work arrives
// on any queue of the pool or a thread comes free.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace dispatch {

class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
 public:
  // Starts a thread running `body`; false when no thread could be made.
  using ThreadStarter = std::function<bool(std::function<void()> body)>;
  struct Options {
    int maxThreads = kMaxPoolThreads;
    // Empty: a detached std::thread.
    ThreadStarter startThread;
  };

  // A pool of its own, for queues made with Queue::create(label, pool).
  static std::shared_ptr<WorkerPool> make(Options options);
  // The pool of every queue made with Queue::create(label).
  static const std::shared_ptr<WorkerPool>& shared();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads alive, busy or idle.
  int threadCount() const;

 private:
  friend class Queue;
  struct Worker {
    std::condition_variable wake;
    std::shared_ptr<Queue> assigned;
  };
  explicit WorkerPool(Options options);

  // Gives the woken queue a thread, or puts it in line for one.
  void submit(std::shared_ptr<Queue> queue);
  // Whether queues wait because a thread could not be made.
  bool starved() const { return starved_.load(std::memory_order_relaxed); }
  // Starts threads for the queues in line, while under the bound.
  void grow();
  bool needsThreadLocked() const;
  void work(std::shared_ptr<Worker> self);

  const int maxThreads_;
  const ThreadStarter startThread_;
  mutable std::mutex mutex_;
  // Parked threads, the most recently busy last.
  std::vector<std::shared_ptr<Worker>> idle_;
  // Queues awaiting a thread.
  std::deque<std::shared_ptr<Queue>> waiting_;
  int threads_ = 0;
  // Threads made that have not yet looked for a queue.
  int starting_ = 0;
  bool boundLogged_ = false;
  std::atomic<bool> starved_{false};
};

}  // namespace dispatch
