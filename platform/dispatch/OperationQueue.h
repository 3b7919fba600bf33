// An operation queue that runs one operation at a time, in order, and can be
// suspended: operations added while it is suspended wait until it resumes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// Names an added operation, in the order of adding, for waiting on it; 0
// names no operation (an empty block adds none).
using OperationTicket = std::uint64_t;

class OperationQueue {
 public:
  explicit OperationQueue(std::string name);
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return queue_->label(); }
  OperationTicket addOperation(Block operation);
  // For a queue whose operations only hand work on to another queue, and so
  // may run on any thread. enqueueOperation adds an operation without
  // starting it, so that a caller may fix the order of its operations
  // inside a section of its own; startOperationsHere then runs on the
  // calling thread whatever the queue is free to start (not suspended, no
  // operation running), sparing the queue's thread a wake-up for each.
  // Order is kept: operations still start one at a time, first in first.
  OperationTicket enqueueOperation(Block operation);
  // As above; `stamp` runs first, inside the queue's own lock, so that what
  // it records (a time, say) follows the order of the operations. It must
  // be short: every caller of the queue waits for it.
  template <class Stamp>
  OperationTicket enqueueOperation(Block operation, Stamp&& stamp) {
    if (!operation) return 0;
    std::unique_lock lock = lockState();
    stamp();
    state_->pending.push_back(std::move(operation));
    return ++state_->added;
  }
  void startOperationsHere();
  OperationTicket addOperationRunningHere(Block operation);
  // A suspended queue finishes the operation it is running and starts no other.
  void setSuspended(bool suspended);
  bool isSuspended() const;
  // Operations not yet finished, the running one included.
  std::size_t operationCount() const;
  // Drops the operations that have not started.
  void cancelAllOperations();
  // Waits until no operation is left; a suspended queue with operations
  // would never get there, so the wait ends at the deadline.
  bool waitUntilAllOperationsAreFinished(foundation::Deadline deadline = foundation::Deadline::distantFuture());
  // Waits until the operation has finished (or was dropped), and so every
  // operation added before it; operations added after it do not hold the
  // wait up.
  bool waitUntilOperationIsFinished(OperationTicket ticket,
                                    foundation::Deadline deadline = foundation::Deadline::distantFuture());

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> pending;
    bool suspended = false;
    bool running = false;
    // Tickets up to `started` have started or were dropped; a running
    // operation is `runningTicket`.
    OperationTicket added = 0;
    OperationTicket started = 0;
    OperationTicket runningTicket = 0;
  };
  // Takes the next operation when none runs and the queue is not suspended;
  // called with the state's lock held. The caller starts what it answers
  // once the lock is released.
  static Block takeNext(State& state);
  // Runs the operation on the serial queue; when it is done, the next one.
  static void startOnQueue(const std::shared_ptr<State>& state, const std::shared_ptr<Queue>& queue, Block operation);
  void pump();
  // Callers hold the lock only for a few instructions: a contended one is
  // waited for briefly before the thread sleeps on it.
  std::unique_lock<std::mutex> lockState();

  std::shared_ptr<State> state_;
  std::shared_ptr<Queue> queue_;
};

}  // namespace dispatch
