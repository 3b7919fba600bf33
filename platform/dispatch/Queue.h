// Dispatch queues: labelled serial queues (taking turns on a shared pool of
// kept threads), the main queue (run by whoever owns the main thread: the
// app's loop or a test), and one concurrent global queue.
// Blocks may be delayed; delayed blocks and timers follow foundation's clock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"

namespace dispatch {

using Block = std::function<void()>;
class Timer;
class WorkerPool;

inline constexpr const char* kDispatchErrorDomain = "dispatch";
// sync was called from the queue itself (or from a block that queue is waiting on).
inline constexpr int kErrorSyncOnCurrentQueue = 1;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  enum class Kind { serial, main, global };

  // A new serial queue: blocks run one at a time, in the order given.
  static std::shared_ptr<Queue> create(std::string label);
  // As above, on a pool of the caller's own rather than the shared one.
  static std::shared_ptr<Queue> create(std::string label, std::shared_ptr<WorkerPool> pool);
  // The main queue: its blocks run on the main thread when it is drained.
  static std::shared_ptr<Queue> main();
  // The default global queue: blocks run concurrently on a pool of threads.
  static std::shared_ptr<Queue> global();

  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }

  void async(Block block);
  // Runs the block on this queue and waits for it. Refused, without running
  // the block, when the caller already runs on this queue (it would wait for
  // itself); on the main thread the main queue counts as the current queue.
  foundation::Status sync(const Block& block);
  // Runs the block on this queue once the deadline has passed; the timer
  // returned can cancel it until it starts.
  std::shared_ptr<Timer> asyncAfter(foundation::Deadline deadline, Block block);
  std::shared_ptr<Timer> asyncAfter(double seconds, Block block);

  // Whether the calling thread runs a block of this queue (directly, or
  // through a sync it is waiting in).
  bool isCurrent() const;

 private:
  struct Item {
    Block block;
    struct SyncWaiter* waiter = nullptr;
  };
  Queue(std::string label, Kind kind, std::shared_ptr<WorkerPool> pool = nullptr);
  // Hands the serial queue to its pool; called without the lock held.
  void schedule();
  // Work arrived on the queue while it already waits for a thread.
  void retryIfStarved();
  // Runs up to `limit` blocks as the queue's turn on a pool thread; answers
  // whether the queue still has blocks and keeps its turn.
  bool runSerial(std::size_t limit);
  friend class WorkerPool;
  // Pops the front block and runs it as this queue, with the lock released.
  void runFront(std::unique_lock<std::mutex>& lock);
  void finishSync();
  friend std::size_t drainMainQueue();
  friend bool runMainQueueUntil(const std::function<bool()>&, foundation::Deadline);

  const std::string label_;
  const Kind kind_;
  const std::shared_ptr<WorkerPool> pool_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> items_;
  // A pool thread (or the pool's list of queues awaiting one) or a sync
  // caller owns the serial queue.
  bool active_ = false;
};

// The label of the queue the calling thread runs on, or "" off every queue.
std::string currentQueueLabel();
// Whether the caller is the main thread (the thread that started the program).
bool isMainThread();
// The most threads the serial queues' shared pool keeps at once; reaching it
// is logged once.
inline constexpr int kMaxPoolThreads = 256;

// Label of the main queue.
inline constexpr const char* kMainQueueLabel = "main";

// Runs, on the calling (main) thread, the main queue's blocks that were
// queued before the call; answers how many ran.
std::size_t drainMainQueue();
// Runs main-queue blocks as they arrive until pred() holds or the deadline
// passes; answers pred().
bool runMainQueueUntil(const std::function<bool()>& pred, foundation::Deadline deadline);

// A one-shot timer: its handler runs once on the queue at the deadline unless
// the timer was cancelled before the handler started.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  static std::shared_ptr<Timer> schedule(std::shared_ptr<Queue> queue, foundation::Deadline deadline, Block handler);
  void cancel();
  bool isCancelled() const;
  bool hasFired() const;
  const foundation::Deadline& deadline() const { return deadline_; }

 private:
  Timer(std::shared_ptr<Queue> queue, foundation::Deadline deadline, Block handler);
  friend class TimerThread;
  void fire();

  std::shared_ptr<Queue> queue_;
  const foundation::Deadline deadline_;
  mutable std::mutex mutex_;
  Block handler_;
  bool cancelled_ = false;
  bool fired_ = false;
};

// Runs the callable exactly once per token, whatever thread calls first.
using OnceToken = std::once_flag;
template <class F>
void once(OnceToken& token, F&& f) {
  std::call_once(token, std::forward<F>(f));
}

}  // namespace dispatch
