#include "platform/dispatch/Queue.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/dispatch/WorkerPool.h"
#include "platform/foundation/Log.h"

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
// Blocks one queue runs before yielding its thread to queues kept waiting
// for one.
constexpr std::size_t kTurnBlocks = 64;
// A pool thread idle this long ends; waking a queue otherwise never starts one.
constexpr std::chrono::seconds kRetireAfter{60};

}  // namespace

std::shared_ptr<WorkerPool> WorkerPool::make(Options options) {
  return std::shared_ptr<WorkerPool>(new WorkerPool(std::move(options)));
}

const std::shared_ptr<WorkerPool>& WorkerPool::shared() {
  // Never destroyed: its threads may be running when the program ends.
  static auto* pool = new std::shared_ptr<WorkerPool>(make({}));
  return *pool;
}

WorkerPool::WorkerPool(Options options)
    : maxThreads_(std::max(1, options.maxThreads)), startThread_(std::move(options.startThread)) {}

int WorkerPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::submit(std::shared_ptr<Queue> queue) {
  std::shared_ptr<Worker> worker;
  {
    std::lock_guard lock(mutex_);
    if (idle_.empty()) {
      waiting_.push_back(std::move(queue));
    } else {
      worker = std::move(idle_.back());
      idle_.pop_back();
      worker->assigned = std::move(queue);
    }
  }
  // Woken outside the lock, so that the woken thread does not at once wait
  // for the caller to let go of it.
  if (worker) {
    worker->wake.notify_one();
    return;
  }
  grow();
}

bool WorkerPool::needsThreadLocked() const {
  return static_cast<int>(waiting_.size()) > starting_ && threads_ < maxThreads_;
}

void WorkerPool::grow() {
  for (;;) {
    bool atBound = false;
    {
      std::lock_guard lock(mutex_);
      if (static_cast<int>(waiting_.size()) <= starting_) return;
      if (threads_ >= maxThreads_) {
        starved_ = false;
        if (boundLogged_) return;
        boundLogged_ = atBound = true;
      } else {
        ++threads_;
        ++starting_;
      }
    }
    if (atBound) {
      foundation::logLine("Dispatch: every one of the worker pool's " + std::to_string(maxThreads_) +
                          " threads is busy; serial queues now wait for a thread to come free");
      return;
    }
    bool started = false;
    std::function<void()> body = [self = shared_from_this()] { self->work(std::make_shared<Worker>()); };
    if (startThread_) {
      started = startThread_(std::move(body));
    } else {
      try {
        std::thread(std::move(body)).detach();
        started = true;
      } catch (const std::system_error&) {
      }
    }
    if (!started) {
      // The queues stay in line; the next work to arrive, or the next
      // thread to come free, tries again.
      std::lock_guard lock(mutex_);
      --threads_;
      --starting_;
      starved_ = !waiting_.empty();
      return;
    }
  }
}

void WorkerPool::work(std::shared_ptr<Worker> self) {
  std::shared_ptr<Queue> queue;
  std::unique_lock lock(mutex_);
  --starting_;
  for (;;) {
    if (!queue && !waiting_.empty()) {
      queue = std::move(waiting_.front());
      waiting_.pop_front();
      if (waiting_.empty()) starved_ = false;
    }
    if (!queue) {
      idle_.push_back(self);
      if (!self->wake.wait_for(lock, kRetireAfter, [&] { return self->assigned != nullptr; })) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), self));
        --threads_;
        return;
      }
      queue = std::move(self->assigned);
    }
    // A thread came free for this queue while others still wait: those may
    // get threads of their own now.
    const bool othersWait = needsThreadLocked();
    lock.unlock();
    if (othersWait) grow();
    bool more = queue->runSerial(kTurnBlocks);
    // This thread may hold the queue's last reference: it goes without the
    // pool's lock, since its blocks' captures may queue work.
    if (!more) queue.reset();
    lock.lock();
    if (more && !waiting_.empty()) waiting_.push_back(std::move(queue));
  }
}

// Handed ownership of a serial queue when its turn comes.
struct SyncWaiter {
  bool granted = false;
};

Queue::Queue(std::string label, Kind kind, std::shared_ptr<WorkerPool> pool)
    : label_(std::move(label)), kind_(kind), pool_(std::move(pool)) {}
Queue::~Queue() = default;

std::shared_ptr<Queue> Queue::create(std::string label) { return create(std::move(label), WorkerPool::shared()); }

std::shared_ptr<Queue> Queue::create(std::string label, std::shared_ptr<WorkerPool> pool) {
  return std::shared_ptr<Queue>(new Queue(std::move(label), Kind::serial, std::move(pool)));
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
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    items_.push_back({std::move(block), nullptr});
    if (kind_ == Kind::serial) {
      wake = !active_;
      active_ = true;
    }
  }
  if (kind_ != Kind::serial) {
    changed_.notify_one();
  } else if (wake) {
    schedule();
  } else {
    retryIfStarved();
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

void Queue::schedule() { pool_->submit(shared_from_this()); }

void Queue::retryIfStarved() {
  if (pool_ && pool_->starved()) pool_->grow();
}

bool Queue::runSerial(std::size_t limit) {
  std::unique_lock lock(mutex_);
  for (std::size_t ran = 0; !items_.empty(); ++ran) {
    if (ran == limit) return true;
    Item item = std::move(items_.front());
    items_.pop_front();
    if (item.waiter) {
      // The queue passes to the waiting sync caller, which hands it back to
      // the pool when it is done.
      item.waiter->granted = true;
      changed_.notify_all();
      return false;
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
  return false;
}

void Queue::finishSync() {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    wake = !items_.empty();
    active_ = wake;
  }
  if (wake) schedule();
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
      const bool wake = !active_;
      active_ = true;
      lock.unlock();
      if (wake) {
        schedule();
      } else {
        retryIfStarved();
      }
      lock.lock();
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
