#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/foundation/Log.h"

namespace dispatch {
namespace {

using foundation::Deadline;

// Installs a fake clock for the test and restores the system clock after.
class FakeTime : public ::testing::Test {
 protected:
  void SetUp() override { foundation::setClock(clock); }
  void TearDown() override { foundation::setClock(nullptr); }

  // Waits (bounded) until the timer thread has handed every block due now to
  // the queue and the queue has run them: a zero-delay marker timer is fired
  // in the same pass as any other due timer, and after it on the queue.
  void settle(const std::shared_ptr<Queue>& queue) {
    Semaphore marker;
    queue->asyncAfter(Deadline::afterSeconds(0), [&] { marker.signal(); });
    ASSERT_TRUE(waitReal(marker));
  }

  static bool waitReal(Semaphore& s) {
    // Under a fake clock a deadline never passes by itself: bound the wait in
    // real time, and release the waiting thread if it gave up.
    auto f = std::async(std::launch::async, [&] { return s.wait(); });
    if (f.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return f.get();
    s.signal();
    f.get();
    return false;
  }

  std::shared_ptr<foundation::FakeClock> clock = std::make_shared<foundation::FakeClock>();
};

TEST(SerialQueue, RunsBlocksOneAtATimeInOrder) {
  auto queue = Queue::create("com.tolv.test.serial");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 500; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
    if (i % 100 == 0) std::this_thread::yield();
  }
  // sync runs after every block queued before it.
  ASSERT_TRUE(queue->sync([] {}).ok());
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncFromTheQueueItselfIsRefusedNotDeadlocked) {
  auto a = Queue::create("a");
  auto b = Queue::create("b");
  bool innerRan = false;
  foundation::Status direct, throughOther;
  ASSERT_TRUE(a->sync([&] {
                 direct = a->sync([&] { innerRan = true; });
                 // a waits for b; b's block asking for a would wait for itself.
                 ASSERT_TRUE(b->sync([&] { throughOther = a->sync([&] { innerRan = true; }); }).ok());
               }).ok());
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(direct.error().code, kErrorSyncOnCurrentQueue);
  ASSERT_FALSE(throughOther.ok());
  EXPECT_EQ(throughOther.error().code, kErrorSyncOnCurrentQueue);
  EXPECT_FALSE(innerRan);
}

TEST(SerialQueue, CurrentLabelNamesTheInnermostQueue) {
  auto outer = Queue::create("outer");
  auto inner = Queue::create("inner");
  std::string seenOuter, seenInner, seenAfter;
  std::string offQueue = std::async(std::launch::async, [] { return currentQueueLabel(); }).get();
  ASSERT_TRUE(outer->sync([&] {
                 seenOuter = currentQueueLabel();
                 ASSERT_TRUE(inner->sync([&] { seenInner = currentQueueLabel(); }).ok());
                 seenAfter = currentQueueLabel();
               }).ok());
  EXPECT_EQ(seenOuter, "outer");
  EXPECT_EQ(seenInner, "inner");
  EXPECT_EQ(seenAfter, "outer");
  EXPECT_EQ(offQueue, "");
  EXPECT_EQ(currentQueueLabel(), kMainQueueLabel);  // gtest runs tests on the main thread
}

TEST(SerialQueue, QueuesWakingAgainAndAgainShareABoundedSetOfThreads) {
  constexpr int kQueues = 64;
  constexpr int kRounds = 40;
  std::vector<std::shared_ptr<Queue>> queues;
  for (int i = 0; i < kQueues; ++i) queues.push_back(Queue::create("com.tolv.test.pool." + std::to_string(i)));
  // A thread counts once, even if a later thread reuses its id.
  static std::atomic<int> threadsSeen{0};
  threadsSeen = 0;
  Semaphore ran;
  for (int round = 0; round < kRounds; ++round) {
    // Every queue is idle when the round starts, so each block wakes its queue.
    for (auto& queue : queues) {
      queue->async([&] {
        thread_local bool counted = false;
        if (!counted) {
          counted = true;
          ++threadsSeen;
        }
        ran.signal();
      });
    }
    for (int i = 0; i < kQueues; ++i) ASSERT_TRUE(ran.wait(Deadline::afterSeconds(30)));
    for (auto& queue : queues) ASSERT_TRUE(queue->sync([] {}).ok());
  }
  EXPECT_LE(threadsSeen.load(), kMaxPoolThreads);
}

TEST(SerialQueue, BlocksWaitingInSyncDoNotStarveTheQueueTheyWaitFor) {
  // More queues than cores all wait on one queue whose running block holds it
  // until every one of them has started.
  constexpr int kWaiters = 48;
  auto gate = Queue::create("com.tolv.test.gate");
  Semaphore allStarted, finished;
  std::atomic<int> started{0}, through{0};
  std::atomic<bool> gateGaveUp{false};
  gate->async([&] { gateGaveUp = !allStarted.wait(Deadline::afterSeconds(30)); });
  std::vector<std::shared_ptr<Queue>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(Queue::create("com.tolv.test.waiter." + std::to_string(i)));
    waiters.back()->async([&] {
      if (++started == kWaiters) allStarted.signal();
      if (gate->sync([&] { ++through; }).ok()) finished.signal();
    });
  }
  for (int i = 0; i < kWaiters; ++i) ASSERT_TRUE(finished.wait(Deadline::afterSeconds(30)));
  EXPECT_FALSE(gateGaveUp);
  EXPECT_EQ(through, kWaiters);
}

// The scheduling policy of every thread of this process, by thread id.
std::vector<std::pair<int, int>> threadPolicies() {
  std::vector<std::pair<int, int>> policies;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    const int tid = std::stoi(entry.path().filename().string());
    // A thread that ended meanwhile answers nothing.
    if (int policy = sched_getscheduler(tid); policy >= 0) policies.emplace_back(tid, policy);
  }
  return policies;
}

TEST(Threads, EveryThreadKeepsTheProcesssSchedulingPolicy) {
  const int normal = sched_getscheduler(0);
  ASSERT_GE(normal, 0);
  auto queue = Queue::create("com.tolv.test.policy");
  std::atomic<int> inBlock{-1}, inThreadOfBlock{-1}, inDelayedBlock{-1}, inGlobal{-1};
  Semaphore done;
  queue->async([&] {
    inBlock = sched_getscheduler(0);
    // A host's thread, started from a callback.
    std::thread([&] { inThreadOfBlock = sched_getscheduler(0); }).join();
    done.signal();
  });
  queue->asyncAfter(0.0, [&] {
    inDelayedBlock = sched_getscheduler(0);
    done.signal();
  });
  Queue::global()->async([&] {
    inGlobal = sched_getscheduler(0);
    done.signal();
  });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.wait(Deadline::afterSeconds(30)));
  EXPECT_EQ(inBlock, normal);
  EXPECT_EQ(inThreadOfBlock, normal);
  EXPECT_EQ(inDelayedBlock, normal);
  EXPECT_EQ(inGlobal, normal);
  // The timer thread, the global queue's threads and every pool thread.
  for (const auto& [tid, policy] : threadPolicies()) EXPECT_EQ(policy, normal) << "thread " << tid;
}

// Makes the pool's threads while allowed, and counts the refusals.
struct ThreadTap {
  std::atomic<bool> allow{true};
  std::atomic<int> refused{0};

  static WorkerPool::ThreadStarter starter(const std::shared_ptr<ThreadTap>& tap) {
    return [tap](std::function<void()> body) {
      if (!tap->allow) {
        ++tap->refused;
        return false;
      }
      std::thread(std::move(body)).detach();
      return true;
    };
  }
};

// Whether the block returns within the bound; a stuck one is left behind.
bool returnsInTime(std::function<void()> block) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([block = std::move(block), done] {
    block();
    done->set_value();
  }).detach();
  return finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

TEST(WorkerPool, AQueueWhoseWakeUpFoundNoThreadRunsWhenWorkArrivesOnIt) {
  struct Arrival {
    const char* name;
    std::function<bool(const std::shared_ptr<Queue>&, Semaphore&)> arrive;
  };
  const Arrival arrivals[] = {
      {"async",
       [](const std::shared_ptr<Queue>& queue, Semaphore& ran) {
         queue->async([&ran] { ran.signal(); });
         return ran.wait(Deadline::afterSeconds(30));
       }},
      {"sync",
       [](const std::shared_ptr<Queue>& queue, Semaphore&) {
         return returnsInTime([queue] { (void)queue->sync([] {}); });
       }},
  };
  for (const auto& arrival : arrivals) {
    SCOPED_TRACE(arrival.name);
    auto tap = std::make_shared<ThreadTap>();
    auto pool = WorkerPool::make({.maxThreads = 4, .startThread = ThreadTap::starter(tap)});
    auto queue = Queue::create("com.tolv.test.starved", pool);
    Semaphore ran;
    tap->allow = false;
    queue->async([&] { ran.signal(); });
    EXPECT_EQ(tap->refused, 1);
    EXPECT_EQ(pool->threadCount(), 0);

    tap->allow = true;
    ASSERT_TRUE(arrival.arrive(queue, ran));
    EXPECT_TRUE(ran.wait(Deadline::afterSeconds(30))) << "the block queued before the failure";
  }
}

TEST(WorkerPool, QueuesKeptWaitingForAThreadGetOneWhenAThreadComesFree) {
  auto tap = std::make_shared<ThreadTap>();
  auto pool = WorkerPool::make({.maxThreads = 4, .startThread = ThreadTap::starter(tap)});
  auto busy = Queue::create("com.tolv.test.busy", pool);
  auto first = Queue::create("com.tolv.test.first", pool);
  auto second = Queue::create("com.tolv.test.second", pool);
  Semaphore busyStarted, releaseBusy, secondRan, firstDone;
  busy->async([&] {
    busyStarted.signal();
    releaseBusy.wait(Deadline::afterSeconds(30));
  });
  ASSERT_TRUE(busyStarted.wait(Deadline::afterSeconds(30)));

  tap->allow = false;
  std::atomic<bool> firstSawSecond{false};
  first->async([&] {
    firstSawSecond = secondRan.wait(Deadline::afterSeconds(30));
    firstDone.signal();
  });
  second->async([&] { secondRan.signal(); });
  EXPECT_EQ(tap->refused, 2);

  // The busy thread comes free and takes the first queue, whose block holds
  // it until the second queue has run: that one needs a thread of its own.
  tap->allow = true;
  releaseBusy.signal();
  ASSERT_TRUE(firstDone.wait(Deadline::afterSeconds(60)));
  EXPECT_TRUE(firstSawSecond);
}

TEST(WorkerPool, ReachingTheBoundIsLoggedOnce) {
  std::mutex mutex;
  std::vector<std::string> lines;
  foundation::LogSink previous = foundation::setLogSink([&](std::string_view line) {
    std::lock_guard lock(mutex);
    if (line.starts_with("Dispatch:")) lines.emplace_back(line);
  });
  auto pool = WorkerPool::make({.maxThreads = 2});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Shared with the blocks, which may still be leaving a wait when the
    // round ends.
    struct Signals {
      Semaphore started, release, ran;
    };
    auto signals = std::make_shared<Signals>();
    std::vector<std::shared_ptr<Queue>> holders;
    for (int i = 0; i < 2; ++i) {
      holders.push_back(Queue::create("com.tolv.test.holder", pool));
      holders.back()->async([signals] {
        signals->started.signal();
        signals->release.wait(Deadline::afterSeconds(30));
      });
    }
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(signals->started.wait(Deadline::afterSeconds(30)));
    auto waiter = Queue::create("com.tolv.test.waiter", pool);
    waiter->async([signals] { signals->ran.signal(); });
    EXPECT_EQ(pool->threadCount(), 2);
    signals->release.signal();
    signals->release.signal();
    EXPECT_TRUE(signals->ran.wait(Deadline::afterSeconds(30))) << "served once a thread came free";
  }
  foundation::setLogSink(previous);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("2 threads"), std::string::npos) << lines[0];
}

TEST(MainQueue, BlocksRunOnlyWhenTheMainThreadDrainsIt) {
  ASSERT_TRUE(isMainThread());
  drainMainQueue();
  std::atomic<int> ran{0};
  std::atomic<bool> onMain{false};
  std::thread([&] {
    Queue::main()->async([&] {
      onMain = isMainThread() && Queue::main()->isCurrent();
      ++ran;
    });
  }).join();
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(drainMainQueue(), 1u);
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(onMain);

  // From the main thread a sync on the main queue would wait for itself.
  auto refused = Queue::main()->sync([&] { ++ran; });
  EXPECT_FALSE(refused.ok());

  // From another thread it waits until the main thread runs the block.
  auto other = std::async(std::launch::async, [&] { return Queue::main()->sync([&] { ++ran; }).ok(); });
  EXPECT_TRUE(runMainQueueUntil([&] { return ran == 2; }, Deadline::afterSeconds(10)));
  EXPECT_TRUE(other.get());
}

TEST(GlobalQueue, RunsBlocksConcurrently) {
  // Each block waits for the other: they only both finish when run side by side.
  Semaphore first, second, done;
  Queue::global()->async([&] {
    first.signal();
    second.wait(Deadline::afterSeconds(10));
    done.signal();
  });
  Queue::global()->async([&] {
    first.wait(Deadline::afterSeconds(10));
    second.signal();
    done.signal();
  });
  EXPECT_TRUE(done.wait(Deadline::afterSeconds(10)));
  EXPECT_TRUE(done.wait(Deadline::afterSeconds(10)));
}

TEST_F(FakeTime, DelayedBlockRunsWhenTheClockReachesItsTime) {
  auto queue = Queue::create("delayed");
  std::atomic<int> ran{0};
  auto timer = queue->asyncAfter(5.0, [&] { ++ran; });
  clock->advance(4.9);
  settle(queue);
  EXPECT_EQ(ran, 0);
  clock->advance(0.2);
  settle(queue);
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(timer->hasFired());
  clock->advance(100);
  settle(queue);
  EXPECT_EQ(ran, 1);
}

TEST_F(FakeTime, CancelledDelayedBlockNeverRuns) {
  auto queue = Queue::create("cancelled");
  std::atomic<int> ran{0};
  auto cancelled = queue->asyncAfter(1.0, [&] { ++ran; });
  auto kept = queue->asyncAfter(2.0, [&] { ran += 10; });
  cancelled->cancel();
  clock->advance(3);
  settle(queue);
  EXPECT_EQ(ran, 10);
  EXPECT_TRUE(cancelled->isCancelled());
}

TEST_F(FakeTime, CalendarTimersFollowClockJumpsAndUptimeTimersDoNot) {
  auto queue = Queue::create("calendar");
  std::atomic<int> wall{0}, uptime{0};
  Timer::schedule(queue, Deadline::wallAfterSeconds(60), [&] { ++wall; });
  auto onUptime = Timer::schedule(queue, Deadline::afterSeconds(60), [&] { ++uptime; });
  clock->setNow(clock->now() + 61);
  settle(queue);
  EXPECT_EQ(wall, 1);
  EXPECT_EQ(uptime, 0);
  onUptime->cancel();
}

TEST_F(FakeTime, SemaphoreWaitTimesOutOnTheClock) {
  Semaphore semaphore;
  Deadline deadline = Deadline::afterSeconds(10);
  auto waiting = std::async(std::launch::async, [&] { return semaphore.wait(deadline); });
  clock->advance(11);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(waiting.get());

  semaphore.signal();
  EXPECT_TRUE(semaphore.wait(Deadline::afterSeconds(10)));
}

TEST(OperationQueue, SuspendedQueueHoldsOperationsUntilResumed) {
  OperationQueue queue("ops");
  queue.setSuspended(true);
  std::vector<int> order;
  for (int i = 1; i <= 3; ++i) queue.addOperation([&, i] { order.push_back(i); });
  EXPECT_EQ(queue.operationCount(), 3u);
  EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(0)));
  EXPECT_TRUE(order.empty());

  queue.setSuspended(false);
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(10)));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueue, WaitingForAnOperationIsNotHeldUpByOperationsAddedAfterIt) {
  OperationQueue queue("ops");
  std::atomic<bool> firstRan{false};
  Semaphore release;
  OperationTicket first = queue.addOperation([&] { firstRan = true; });
  queue.addOperation([&] { release.wait(Deadline::afterSeconds(30)); });
  EXPECT_TRUE(queue.waitUntilOperationIsFinished(first, Deadline::afterSeconds(30)));
  EXPECT_TRUE(firstRan);
  EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(0)));
  release.signal();

  // A dropped operation counts as finished; an empty block adds none.
  queue.setSuspended(true);
  OperationTicket dropped = queue.addOperation([] {});
  EXPECT_FALSE(queue.waitUntilOperationIsFinished(dropped, Deadline::afterSeconds(0)));
  queue.cancelAllOperations();
  EXPECT_TRUE(queue.waitUntilOperationIsFinished(dropped, Deadline::afterSeconds(0)));
  EXPECT_TRUE(queue.waitUntilOperationIsFinished(queue.addOperation(nullptr), Deadline::afterSeconds(0)));

  // One held by a suspended queue is waited for until the queue resumes.
  OperationTicket held = queue.addOperationRunningHere([] {});
  EXPECT_FALSE(queue.waitUntilOperationIsFinished(held, Deadline::afterSeconds(0)));
  queue.setSuspended(false);
  EXPECT_TRUE(queue.waitUntilOperationIsFinished(held, Deadline::afterSeconds(30)));
}

TEST(OperationQueue, OperationsRunOnTheQueueNamedAfterIt) {
  OperationQueue queue("QZMAnalyticsOperationQueue");
  std::string label;
  queue.addOperation([&] { label = currentQueueLabel(); });
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(10)));
  EXPECT_EQ(label, "QZMAnalyticsOperationQueue");
}

TEST(OperationQueue, HandOverOperationsRunOnTheCallerWhenTheQueueIsFreeAndWaitTheirTurnOtherwise) {
  OperationQueue queue("ops");
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard lock(mutex);
      order.push_back(n);
      threads.push_back(std::this_thread::get_id());
    };
  };
  const auto here = std::this_thread::get_id();

  queue.addOperationRunningHere(record(1));
  queue.enqueueOperation(record(2));
  queue.enqueueOperation(record(3));
  EXPECT_EQ(order, (std::vector<int>{1}));  // put in line, not started
  queue.startOperationsHere();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(threads, (std::vector<std::thread::id>(3, here)));

  // Held while suspended, then run by the queue itself.
  queue.setSuspended(true);
  queue.addOperationRunningHere(record(4));
  EXPECT_EQ(order.size(), 3u);
  queue.setSuspended(false);
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(10)));
  EXPECT_EQ(order.back(), 4);
  EXPECT_NE(threads.back(), here);

  // Behind an operation running on the queue's thread, one added here waits
  // for it and runs there too.
  Semaphore started;
  Semaphore release;
  queue.addOperation([&] {
    started.signal();
    release.wait();
    record(5)();
  });
  ASSERT_TRUE(started.wait(Deadline::afterSeconds(10)));
  queue.addOperationRunningHere(record(6));
  EXPECT_EQ(order.back(), 4);
  release.signal();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(10)));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_NE(threads.back(), here);
}

TEST(OperationQueue, OperationsPutInLineInsideACallersSectionRunInThatOrder) {
  OperationQueue queue("ops");
  std::mutex section;
  int next = 0;
  std::vector<int> order;
  std::vector<std::thread> callers;
  constexpr int kCallers = 8;
  constexpr int kEach = 200;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        {
          std::lock_guard lock(section);
          queue.enqueueOperation([&order, n = next++] { order.push_back(n); });
        }
        queue.startOperationsHere();
      }
    });
  }
  for (auto& caller : callers) caller.join();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(Deadline::afterSeconds(10)));
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kCallers * kEach));
  for (int i = 0; i < kCallers * kEach; ++i) ASSERT_EQ(order[i], i);
}

TEST(Once, RunsOnceAcrossThreads) {
  OnceToken token;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { once(token, [&] { ++runs; }); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace dispatch
