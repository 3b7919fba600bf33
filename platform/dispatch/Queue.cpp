#include "platform/dispatch/Queue.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace dispatch {
namespace {

// The program's main thread is the one that runs static initialisation.
const std::thread::id gMainThread = std::this_thread::get_id();

// Queues whose blocks the calling thread is running, innermost first. A sync
// runs its block on the caller's thread, so a thread can be inside several.
// A plain pointer into the thread's stack: an exiting thread's thread-local
// objects are destroyed before the program's exit handlers run on it.
struct ScopedCurrent;
thread_local ScopedCurrent* tlCurrent = nullptr;

struct ScopedCurrent {
  explicit ScopedCurrent(const Queue* q) : queue(q), outer(tlCurrent) { tlCurrent = this; }
  ~ScopedCurrent() { tlCurrent = outer; }
  ScopedCurrent(const ScopedCurrent&) = delete;
  ScopedCurrent& operator=(const ScopedCurrent&) = delete;
  const Queue* const queue;
  ScopedCurrent* const outer;
};

constexpr int kGlobalThreads = 8;

}  // namespace

// Handed ownership of a serial queue when its turn comes.
struct SyncWaiter {
  bool granted = false;
};

Queue::Queue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}
Queue::~Queue() = default;

std::shared_ptr<Queue> Queue::create(std::string label) {
  return std::shared_ptr<Queue>(new Queue(std::move(label), Kind::serial));
}

std::shared_ptr<Queue> Queue::main() {
  // Never destroyed: blocks may still be queued when the program ends.
  static auto* queue = new std::shared_ptr<Queue>(new Queue(kMainQueueLabel, Kind::main));
  return *queue;
}

std::shared_ptr<Queue> Queue::global() {
  static auto* queue = new std::shared_ptr<Queue>(new Queue("global", Kind::global));
  static std::once_flag started;
  std::call_once(started, [] {
    for (int i = 0; i < kGlobalThreads; ++i) {
      std::thread([q = *queue] {
        std::unique_lock lock(q->mutex_);
        for (;;) {
          q->changed_.wait(lock, [&] { return !q->items_.empty(); });
          q->runFront(lock);
        }
      }).detach();
    }
  });
  return *queue;
}

bool Queue::isCurrent() const {
  for (const ScopedCurrent* current = tlCurrent; current; current = current->outer) {
    if (current->queue == this) return true;
  }
  return kind_ == Kind::main && isMainThread();
}

void Queue::async(Block block) {
  if (!block) return;
  std::lock_guard lock(mutex_);
  items_.push_back({std::move(block), nullptr});
  if (kind_ == Kind::serial) {
    if (!active_) {
      active_ = true;
      startRunner();
    }
  } else {
    changed_.notify_all();
  }
}

void Queue::runFront(std::unique_lock<std::mutex>& lock) {
  Block block = std::move(items_.front().block);
  items_.pop_front();
  lock.unlock();
  {
    ScopedCurrent current(this);
    block();
  }
  // The block's captures are released before the lock is taken again.
  block = nullptr;
  lock.lock();
}

void Queue::startRunner() {
  std::thread([self = shared_from_this()] { self->runSerial(); }).detach();
}

void Queue::runSerial() {
  std::unique_lock lock(mutex_);
  while (!items_.empty()) {
    Item item = std::move(items_.front());
    items_.pop_front();
    if (item.waiter) {
      // The queue passes to the waiting sync caller, which restarts a runner
      // when it is done.
      item.waiter->granted = true;
      changed_.notify_all();
      return;
    }
    lock.unlock();
    {
      ScopedCurrent current(this);
      item.block();
    }
    item.block = nullptr;
    lock.lock();
  }
  active_ = false;
}

void Queue::finishSync() {
  std::lock_guard lock(mutex_);
  if (!items_.empty()) {
    startRunner();
  } else {
    active_ = false;
  }
}

foundation::Status Queue::sync(const Block& block) {
  if (isCurrent()) {
    return foundation::Error(kDispatchErrorDomain, kErrorSyncOnCurrentQueue,
                             "sync on queue \"" + label_ + "\" from a block of that same queue");
  }
  if (!block) return {};

  if (kind_ == Kind::global) {
    ScopedCurrent current(this);
    block();
    return {};
  }

  if (kind_ == Kind::main) {
    // Main-queue blocks run on the main thread: hand the block over and wait.
    struct Done {
      std::mutex mutex;
      std::condition_variable cv;
      bool done = false;
    };
    auto done = std::make_shared<Done>();
    async([&block, done] {
      struct Signal {
        Done* d;
        ~Signal() {
          std::lock_guard lock(d->mutex);
          d->done = true;
          d->cv.notify_all();
        }
      } signal{done.get()};
      block();
    });
    std::unique_lock lock(done->mutex);
    done->cv.wait(lock, [&] { return done->done; });
    return {};
  }

  {
    std::unique_lock lock(mutex_);
    if (!active_ && items_.empty()) {
      active_ = true;
    } else {
      SyncWaiter waiter;
      items_.push_back({nullptr, &waiter});
      if (!active_) {
        active_ = true;
        startRunner();
      }
      changed_.wait(lock, [&] { return waiter.granted; });
    }
  }
  struct Finish {
    Queue* q;
    ~Finish() { q->finishSync(); }
  } finish{this};
  ScopedCurrent current(this);
  block();
  return {};
}

std::shared_ptr<Timer> Queue::asyncAfter(foundation::Deadline deadline, Block block) {
  return Timer::schedule(shared_from_this(), deadline, std::move(block));
}

std::shared_ptr<Timer> Queue::asyncAfter(double seconds, Block block) {
  return asyncAfter(foundation::Deadline::afterSeconds(seconds), std::move(block));
}

std::string currentQueueLabel() {
  if (tlCurrent) return tlCurrent->queue->label();
  return isMainThread() ? kMainQueueLabel : "";
}

bool isMainThread() { return std::this_thread::get_id() == gMainThread; }

std::size_t drainMainQueue() {
  auto q = Queue::main();
  std::unique_lock lock(q->mutex_);
  std::size_t count = q->items_.size();
  for (std::size_t i = 0; i < count && !q->items_.empty(); ++i) q->runFront(lock);
  return count;
}

bool runMainQueueUntil(const std::function<bool()>& pred, foundation::Deadline deadline) {
  auto q = Queue::main();
  for (;;) {
    drainMainQueue();
    if (pred()) return true;
    std::unique_lock lock(q->mutex_);
    // A condition set off the main queue sends no notice here: re-check it
    // often (it is also checked at every clock move).
    foundation::Deadline slice = deadline;
    if (foundation::clock()->isReal()) {
      auto shortly = foundation::Deadline::afterSeconds(0.02);
      if (deadline.base == foundation::Deadline::Base::wall || shortly.remainingNanos() < deadline.remainingNanos())
        slice = shortly;
    }
    foundation::waitUntil(q->changed_, lock, slice, [&] { return !q->items_.empty() || pred(); });
    if (q->items_.empty() && deadline.passed()) {
      lock.unlock();
      return pred();
    }
  }
}

}  // namespace dispatch
