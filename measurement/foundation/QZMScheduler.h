// The SDK's serial worker queue. Blocks run on it one at a time, in order,
// each named by a block identifier made of the calling class, a colon and a
// source line ("QZMMeasurement:619"). An exception thrown by a block is
// caught and logged with that identifier, and the queue goes on with the next
// block.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/Queue.h"

class QZMScheduler {
 public:
  using Block = std::function<void()>;

  // The engine's worker queue is labelled "com.dralix.znha.worker".
  static std::shared_ptr<QZMScheduler> initWithWorkerQueueLabel(std::string label);

  // Runs the block later on the worker queue; an empty block is refused.
  void scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block);
  // A literal's ID is kept as it is, so the queued block carries no copy.
  void scheduleOnWorkerQueueBlockID(const char* blockID, Block block);
  // Runs the block on the worker queue and waits for it. A block that throws,
  // or a call made from the worker queue itself (which would wait for
  // itself), is logged as a failed task; results leave through captures.
  void dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block);

  const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }
  bool isOnWorkerQueue() const { return workerQueue_->isCurrent(); }

  // False, with a log line, on the main thread; true elsewhere.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

  explicit QZMScheduler(std::string label);

 private:
  const std::shared_ptr<dispatch::Queue> workerQueue_;
};
