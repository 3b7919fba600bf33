#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using testkit::FoundationTest;
using testkit::MonitorLine;
using testkit::settle;

class Scheduler : public FoundationTest {
 protected:
  std::shared_ptr<QZMScheduler> scheduler = QZMScheduler::initWithWorkerQueueLabel("com.dralix.znha.worker");
};

TEST_F(Scheduler, BlocksRunInOrderAndAThrowingBlockDoesNotStopTheNext) {
  std::vector<int> ran;
  for (int i = 1; i <= 5; ++i) {
    scheduler->scheduleOnWorkerQueueBlockID(absl::StrCat("QZMTest:", i), [&ran, i] {
      ran.push_back(i);
      if (i == 2) throw std::runtime_error("boom");
      if (i == 4) throw 17;
    });
  }
  settle(scheduler->workerQueue());
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5}));
  auto lines = linesWithCode(30000);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].message, "Exception on worker queue. Block ID=QZMTest:2. Exception");
  EXPECT_EQ(lines[0].contexts, std::vector<std::string>{"std::runtime_error: boom"});
  EXPECT_EQ(lines[1].message, "Exception on worker queue. Block ID=QZMTest:4. Exception");
  EXPECT_EQ(lines[1].contexts, std::vector<std::string>{"int: "});
}

TEST_F(Scheduler, SyncRunReportsAThrowingBlockTwice) {
  int result = 0;
  scheduler->dispatchSyncOnWorkerQueueBlockID("QZMTest:10", [&] { result = 42; });
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(monitorLines().empty());

  scheduler->dispatchSyncOnWorkerQueueBlockID("QZMTest:11", [] { throw QZMException("NSGenericException", "bad"); });
  auto lines = monitorLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].messageCode, 30003);
  EXPECT_EQ(lines[0].message, "Exception on worker queue when processing sync block. Block ID=QZMTest:11. Exception");
  EXPECT_EQ(lines[0].contexts, std::vector<std::string>{"NSGenericException: bad"});
  EXPECT_EQ(lines[1].messageCode, 30004);
  EXPECT_EQ(lines[1].level, 4);
  EXPECT_EQ(lines[1].message, "Synchronous task failed. Block ID=QZMTest:11");
}

TEST_F(Scheduler, SyncRunFromTheWorkerQueueIsRefusedInsteadOfWaitingForItself) {
  bool innerRan = false;
  scheduler->dispatchSyncOnWorkerQueueBlockID("QZMTest:20", [&] {
    scheduler->dispatchSyncOnWorkerQueueBlockID("QZMTest:21", [&] { innerRan = true; });
  });
  EXPECT_FALSE(innerRan);
  auto lines = linesWithCode(30004);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "Synchronous task failed. Block ID=QZMTest:21");
}

TEST_F(Scheduler, EmptyBlocksAreRefused) {
  scheduler->scheduleOnWorkerQueueBlockID("QZMTest:30", nullptr);
  scheduler->dispatchSyncOnWorkerQueueBlockID("QZMTest:31", nullptr);
  auto lines = monitorLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].messageCode, 30005);
  EXPECT_EQ(lines[0].message, "Nil block dispatched asynchronously on worker queue. Block ID=QZMTest:30.");
  EXPECT_EQ(lines[1].messageCode, 30002);
  EXPECT_EQ(lines[1].message, "Nil block dispatched synchronously on worker queue. Block ID=QZMTest:31.");
}

TEST_F(Scheduler, BackgroundCheckComplainsOnlyOnTheMainThread) {
  EXPECT_FALSE(QZMScheduler::checkOnBackgroundThreadWithMethodName(""));
  EXPECT_FALSE(QZMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:"));
  std::atomic<bool> onWorker = false;
  // An asynchronous block runs on the worker's own thread (a synchronous one
  // runs on the caller's).
  scheduler->scheduleOnWorkerQueueBlockID("QZMTest:40", [&] {
    onWorker = QZMScheduler::checkOnBackgroundThreadWithMethodName("x");
  });
  settle(scheduler->workerQueue());
  EXPECT_TRUE(onWorker);
  auto lines = linesWithCode(30001);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].message, "Method <empty method name> should execute on background thread");
  EXPECT_EQ(lines[0].contexts, std::vector<std::string>{"(nil)"});
  EXPECT_EQ(lines[1].message, "Method writeEventOnWorkerQueue: should execute on background thread");
}

class Alarm : public FoundationTest {
 protected:
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::create("alarm.queue");
  std::shared_ptr<QZMAlarm> alarm = QZMAlarm::initWithDispatchQueue(queue, "Measurement timer");

  void advance(double seconds) {
    clock->advance(seconds);
    settle(queue);
  }
  // The alarm's lines as "code message".
  std::vector<std::string> alarmLines() const {
    std::vector<std::string> out;
    for (const auto& line : monitorLines())
      if (line.messageCode >= 2000 && line.messageCode < 3000) out.push_back(absl::StrCat(line.messageCode, " ", line.message));
    return out;
  }
};

TEST_F(Alarm, FiresOnceAtItsTimeAndIsIdleWhileItsBlockRuns) {
  std::atomic<int> fired{0};
  std::optional<foundation::Date> duringBlock = foundation::Date{-1};
  bool activeDuringBlock = true;
  const double armedAt = clock->now();
  alarm->runAfterDelay(10, [&] {
    duringBlock = alarm->scheduledTimestamp();
    activeDuringBlock = alarm->hasActiveTimer();
    ++fired;
  });
  ASSERT_TRUE(alarm->scheduledTimestamp());
  EXPECT_DOUBLE_EQ(alarm->scheduledTimestamp()->secondsSince1970, armedAt + 10);
  EXPECT_TRUE(alarm->hasActiveTimer());
  EXPECT_EQ(linesWithCode(2002).at(0).contexts, std::vector<std::string>{"10"});

  advance(9.9);
  EXPECT_EQ(fired, 0);
  advance(0.2);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(duringBlock, std::nullopt);
  EXPECT_FALSE(activeDuringBlock);
  advance(100);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(alarmLines(), (std::vector<std::string>{"2002 Measurement timer scheduled to fire in approx. (s)",
                                                    "2001 Measurement timer fired", "2003 Measurement timer canceled"}));
}

TEST_F(Alarm, ReArmingMovesTheFireTimeAndNeverLeavesTwoTimers) {
  std::atomic<int> first{0}, second{0};
  alarm->runAfterDelay(10, [&] { ++first; });
  alarm->runAfterDelay(2, [&] { ++second; });
  advance(2.1);
  EXPECT_EQ(second, 1);
  advance(20);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(alarmLines(), (std::vector<std::string>{
                              "2002 Measurement timer scheduled to fire in approx. (s)",
                              "2003 Measurement timer canceled",
                              "2002 Measurement timer scheduled to fire in approx. (s)",
                              "2001 Measurement timer fired",
                              "2003 Measurement timer canceled",
                          }));
}

TEST_F(Alarm, CancelEndsAPendingFireAndIsSilentWhenIdle) {
  std::atomic<int> fired{0};
  alarm->cancel();
  EXPECT_TRUE(alarmLines().empty());

  alarm->runAfterDelay(5, [&] { ++fired; });
  alarm->cancel();
  EXPECT_FALSE(alarm->scheduledTimestamp());
  EXPECT_FALSE(alarm->hasActiveTimer());
  advance(10);
  EXPECT_EQ(fired, 0);
  alarm->cancel();
  EXPECT_EQ(alarmLines(), (std::vector<std::string>{"2002 Measurement timer scheduled to fire in approx. (s)",
                                                    "2003 Measurement timer canceled"}));
}

TEST_F(Alarm, AnEmptyBlockLeavesThePendingFireAsItWas) {
  std::atomic<int> fired{0};
  alarm->runAfterDelay(5, [&] { ++fired; });
  auto due = alarm->scheduledTimestamp();
  alarm->runAfterDelay(1, nullptr);
  EXPECT_EQ(alarm->scheduledTimestamp(), due);
  auto refused = linesWithCode(2000);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].level, 1);
  EXPECT_EQ(refused[0].message, "Measurement timer tried to schedule an empty block");
  advance(5.1);
  EXPECT_EQ(fired, 1);
}

TEST_F(Alarm, ABlockMayArmItsOwnAlarmAgain) {
  std::atomic<int> fired{0};
  std::function<void()> tick = [&] {
    if (++fired < 3) alarm->runAfterDelay(60, tick);
  };
  alarm->runAfterDelay(60, tick);
  for (int i = 0; i < 5; ++i) advance(60.5);
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(alarm->scheduledTimestamp());
}

TEST_F(Alarm, FiresByTheCalendarClockAndAtOnceWithoutDelay) {
  std::atomic<int> fired{0};
  alarm->runAfterDelay(3600, [&] { ++fired; });
  // The device's clock is set forward: the wall-clock timer follows it.
  clock->setNow(clock->now() + 3601);
  settle(queue);
  EXPECT_EQ(fired, 1);

  alarm->runAfterDelay(-5, [&] { ++fired; });
  settle(queue);
  EXPECT_EQ(fired, 2);
}

TEST_F(Alarm, AnUnnamedAlarmIsCalledTimer) {
  auto unnamed = QZMAlarm::initWithDispatchQueue(queue, "");
  EXPECT_EQ(unnamed->name(), "Timer");
  unnamed->runAfterDelay(1, nullptr);
  EXPECT_EQ(linesWithCode(2000).at(0).message, "Timer tried to schedule an empty block");
}

}  // namespace
