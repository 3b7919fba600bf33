#include "platform/dispatch/OperationQueue.h"

namespace dispatch {

OperationQueue::OperationQueue(std::string name)
    : state_(std::make_shared<State>()), queue_(Queue::create(std::move(name))) {}

OperationQueue::~OperationQueue() { cancelAllOperations(); }

// Starts the next operation on the serial queue when none runs and the queue
// is not suspended. Runs with the state's mutex held.
void OperationQueue::pump(const std::shared_ptr<State>& state, const std::shared_ptr<Queue>& queue) {
  if (state->running || state->suspended || state->pending.empty()) return;
  state->running = true;
  Block operation = std::move(state->pending.front());
  state->pending.pop_front();
  std::weak_ptr<Queue> weakQueue = queue;
  queue->async([state, weakQueue, operation = std::move(operation)] {
    operation();
    std::lock_guard lock(state->mutex);
    state->running = false;
    state->changed.notify_all();
    if (auto q = weakQueue.lock()) pump(state, q);
  });
}

void OperationQueue::addOperation(Block operation) {
  if (!operation) return;
  std::lock_guard lock(state_->mutex);
  state_->pending.push_back(std::move(operation));
  pump(state_, queue_);
}

std::unique_lock<std::mutex> OperationQueue::lockState() {
  constexpr int kTries = 200;
  for (int i = 0; i < kTries; ++i) {
    if (state_->mutex.try_lock()) return std::unique_lock(state_->mutex, std::adopt_lock);
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  return std::unique_lock(state_->mutex);
}

void OperationQueue::enqueueOperation(Block operation) {
  enqueueOperation(std::move(operation), [] {});
}

void OperationQueue::startOperationsHere() {
  // Past this many, the rest go to the queue's thread: a caller is not kept
  // running everyone else's operations.
  constexpr int kOperationsRunHere = 16;
  std::unique_lock lock = lockState();
  for (int ran = 0; !state_->running && !state_->suspended && !state_->pending.empty(); ++ran) {
    if (ran == kOperationsRunHere) {
      pump(state_, queue_);
      return;
    }
    state_->running = true;
    Block operation = std::move(state_->pending.front());
    state_->pending.pop_front();
    lock.unlock();
    struct Finish {
      State& state;
      std::unique_lock<std::mutex>& lock;
      ~Finish() {
        lock.lock();
        state.running = false;
        state.changed.notify_all();
      }
    };
    {
      Finish finish{*state_, lock};
      operation();
      operation = nullptr;
    }
  }
}

void OperationQueue::addOperationRunningHere(Block operation) {
  enqueueOperation(std::move(operation));
  startOperationsHere();
}

void OperationQueue::setSuspended(bool suspended) {
  std::lock_guard lock(state_->mutex);
  state_->suspended = suspended;
  pump(state_, queue_);
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->pending.size() + (state_->running ? 1 : 0);
}

void OperationQueue::cancelAllOperations() {
  std::deque<Block> dropped;
  std::lock_guard lock(state_->mutex);
  dropped.swap(state_->pending);
  state_->changed.notify_all();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(foundation::Deadline deadline) {
  std::unique_lock lock(state_->mutex);
  return foundation::waitUntil(state_->changed, lock, deadline,
                               [&] { return state_->pending.empty() && !state_->running; });
}

}  // namespace dispatch
