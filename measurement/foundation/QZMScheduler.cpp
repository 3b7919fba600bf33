#include "measurement/foundation/QZMScheduler.h"

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

namespace {

std::string withBlockID(std::string_view format, std::string_view blockID) {
  std::string text(format);
  text.replace(text.find("%@"), 2, blockID);
  return text;
}

// Runs the block; answers false, after logging, when it threw.
bool runContained(const QZMScheduler::Block& block, std::int64_t code, std::string_view format,
                  std::string_view blockID) {
  try {
    block();
    return true;
  } catch (...) {
    QZMMeasurementBase::monitor()->logWithLevel(1, code, withBlockID(format, blockID), QZMException::fromCurrentException());
    return false;
  }
}

}  // namespace

QZMScheduler::QZMScheduler(std::string label) : workerQueue_(dispatch::Queue::create(std::move(label))) {}

std::shared_ptr<QZMScheduler> QZMScheduler::initWithWorkerQueueLabel(std::string label) {
  return std::make_shared<QZMScheduler>(std::move(label));
}

void QZMScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block) {
  if (!block) {
    QZMMeasurementBase::monitor()->logWithLevel(
        1, 30005, withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  workerQueue_->async([id = std::string(blockID), block = std::move(block)] {
    runContained(block, 30000, "Exception on worker queue. Block ID=%@. Exception", id);
  });
}

void QZMScheduler::scheduleOnWorkerQueueBlockID(const char* blockID, Block block) {
  if (!block) {
    QZMMeasurementBase::monitor()->logWithLevel(
        1, 30005, withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  workerQueue_->async([blockID, block = std::move(block)] {
    runContained(block, 30000, "Exception on worker queue. Block ID=%@. Exception", blockID);
  });
}

void QZMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block) {
  if (!block) {
    QZMMeasurementBase::monitor()->logWithLevel(
        1, 30002, withBlockID("Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  bool completed = false;
  (void)workerQueue_->sync([&] {
    completed = runContained(block, 30003, "Exception on worker queue when processing sync block. Block ID=%@. Exception",
                             blockID);
  });
  if (!completed) {
    QZMMeasurementBase::monitor()->logWithLevel(4, 30004, withBlockID("Synchronous task failed. Block ID=%@", blockID));
  }
}

bool QZMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!dispatch::isMainThread()) return true;
  std::string name = methodName.empty() ? std::string("<empty method name>") : std::string(methodName);
  QZMMeasurementBase::monitor()->logWithLevel(1, 30001, withBlockID("Method %@ should execute on background thread", name),
                                          QZMLogContext());
  return false;
}
