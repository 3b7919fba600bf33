#include "app/support/DispatchMainQueue.h"

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Clock.h"

namespace app {

void DispatchMainQueue::async(Block block) { dispatch::Queue::main()->async(std::move(block)); }

void DispatchMainQueue::after(double seconds, Block block) {
  dispatch::Queue::main()->asyncAfter(seconds, std::move(block));
}

double DispatchMainQueue::now() const { return foundation::uptimeSeconds(); }

}  // namespace app
