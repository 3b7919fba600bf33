#include "platform/dispatch/OperationQueue.h"

namespace dispatch {

OperationQueue::OperationQueue(std::string name)
    : state_(std::make_shared<State>()), queue_(Queue::create(std::move(name))) {}

OperationQueue::~OperationQueue() { cancelAllOperations(); }

Block OperationQueue::takeNext(State& state) {
  if (state.running || state.suspended || state.pending.empty()) return nullptr;
  state.running = true;
  state.runningTicket = ++state.started;
  Block operation = std::move(state.pending.front());
  state.pending.pop_front();
  return operation;
}

// Handing the operation to the serial queue may wake or start a thread: it
// is done outside the state's lock, which every caller of the queue takes.
void OperationQueue::startOnQueue(const std::shared_ptr<State>& state, const std::shared_ptr<Queue>& queue,
                                  Block operation) {
  std::weak_ptr<Queue> weakQueue = queue;
  queue->async([state, weakQueue, operation = std::move(operation)]() mutable {
    operation();
    operation = nullptr;
    auto q = weakQueue.lock();
    Block next;
    {
      std::lock_guard lock(state->mutex);
      state->running = false;
      state->changed.notify_all();
      if (q) next = takeNext(*state);
    }
    if (next) startOnQueue(state, q, std::move(next));
  });
}

void OperationQueue::pump() {
  Block next;
  {
    std::lock_guard lock(state_->mutex);
    next = takeNext(*state_);
  }
  if (next) startOnQueue(state_, queue_, std::move(next));
}

OperationTicket OperationQueue::addOperation(Block operation) {
  if (!operation) return 0;
  OperationTicket ticket;
  Block next;
  {
    std::lock_guard lock(state_->mutex);
    state_->pending.push_back(std::move(operation));
    ticket = ++state_->added;
    next = takeNext(*state_);
  }
  if (next) startOnQueue(state_, queue_, std::move(next));
  return ticket;
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

OperationTicket OperationQueue::enqueueOperation(Block operation) {
  return enqueueOperation(std::move(operation), [] {});
}

void OperationQueue::startOperationsHere() {
  // Past this many, the rest go to the queue's thread: a caller is not kept
  // running everyone else's operations.
  constexpr int kOperationsRunHere = 16;
  std::unique_lock lock = lockState();
  for (int ran = 0;; ++ran) {
    Block operation = takeNext(*state_);
    if (!operation) return;
    lock.unlock();
    if (ran == kOperationsRunHere) {
      startOnQueue(state_, queue_, std::move(operation));
      return;
    }
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

OperationTicket OperationQueue::addOperationRunningHere(Block operation) {
  OperationTicket ticket = enqueueOperation(std::move(operation));
  startOperationsHere();
  return ticket;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
  }
  pump();
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
  state_->started = state_->added;
  state_->changed.notify_all();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(foundation::Deadline deadline) {
  std::unique_lock lock(state_->mutex);
  return foundation::waitUntil(state_->changed, lock, deadline,
                               [&] { return state_->pending.empty() && !state_->running; });
}

bool OperationQueue::waitUntilOperationIsFinished(OperationTicket ticket, foundation::Deadline deadline) {
  std::unique_lock lock(state_->mutex);
  return foundation::waitUntil(state_->changed, lock, deadline, [&] {
    return ticket <= state_->started && !(state_->running && state_->runningTicket == ticket);
  });
}

}  // namespace dispatch
