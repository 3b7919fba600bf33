#include "app/support/DispatchMainQueue.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Clock.h"

namespace {

TEST(DispatchMainQueue, RunsBlocksOnTheMainQueueInOrder) {
  app::DispatchMainQueue queue;
  std::vector<int> order;
  queue.async([&] { order.push_back(1); });
  queue.async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());  // nothing runs before the loop drains the queue
  dispatch::drainMainQueue();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  queue.after(0.01, [&] { order.push_back(3); });
  EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return order.size() == 3; },
                                          foundation::Deadline::afterSeconds(10)));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_NEAR(queue.now(), foundation::uptimeSeconds(), 1.0);
}

}  // namespace
