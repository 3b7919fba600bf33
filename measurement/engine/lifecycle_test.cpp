// The engine and the application's life cycle: the screen-view reporter from
// launch on, the session reporter made at the first start and switched with
// collection, and the background time held from resignation until the app
// returns, the system takes it back or the upload no longer needs it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "platform/ui/Application.h"

namespace {

class LifeCycle : public testkit::MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    QZMScreenViewReporter::setSharedInstance(nullptr);
    recorder = testkit::RecordingEngine::make();
    QZMMeasurementBase::setSharedInstance(recorder);
    ASSERT_TRUE(configure().ok());
  }
  void TearDown() override {
    releaseWorkerQueue();
    ui::Application::shared().expireBackgroundTasks();
    QZMScreenViewReporter::setSharedInstance(nullptr);
    MeasurementHost::TearDown();
  }

  void post(ui::Notification notification) {
    foundation::NotificationCenter::defaultCenter().postNotificationName(ui::notificationName(notification));
  }
  std::vector<std::string> heldTasks() { return ui::Application::shared().backgroundTaskNames(); }

  // The upload that resigning schedules gives the time back as soon as it
  // finds nothing to send: held behind this until the test ends, the task
  // is seen as resigning leaves it.
  void holdWorkerQueue() {
    recorder->scheduler()->scheduleOnWorkerQueueBlockID(
        "LifeCycleTest", [released = release_.get_future().share()] { released.wait_for(std::chrono::seconds(30)); });
    held_ = true;
  }
  void releaseWorkerQueue() {
    if (!held_) return;
    held_ = false;
    release_.set_value();
  }

  std::shared_ptr<testkit::RecordingEngine> recorder;

 private:
  std::promise<void> release_;
  bool held_ = false;
};

TEST_F(LifeCycle, TheScreenViewReporterHearsTheFirstActivationAfterLaunch) {
  post(ui::Notification::applicationDidFinishLaunching);
  post(ui::Notification::applicationDidBecomeActive);
  EXPECT_TRUE(QZMScreenViewReporter::sharedInstance()->isAppActive());
}

TEST_F(LifeCycle, TheSessionReporterIsMadeAtStartAndFollowsCollection) {
  auto sessions = recorder->sessionReporter();
  ASSERT_TRUE(sessions);
  EXPECT_TRUE(sessions->isReportingEnabled());
  recorder->setEnabled(false);
  settleEngine();
  EXPECT_FALSE(sessions->isReportingEnabled());
  recorder->setEnabled(true);
  settleEngine();
  EXPECT_TRUE(sessions->isReportingEnabled());
  // A second start made nothing again: one reporter, one subscription.
  EXPECT_EQ(recorder->sessionReporter(), sessions);
  post(ui::Notification::applicationWillResignActive);
  EXPECT_EQ(linesWithCode(23144).size(), 1u);
}

TEST_F(LifeCycle, ResigningHoldsBackgroundTimeUntilTheAppReturns) {
  holdWorkerQueue();
  post(ui::Notification::applicationWillResignActive);
  EXPECT_EQ(heldTasks(), std::vector<std::string>{kQZMBackgroundTaskName});
  std::uint64_t first = recorder->backgroundUpdateTask();
  EXPECT_NE(first, kQZMBackgroundTaskInvalid);
  EXPECT_EQ(linesWithCode(23145).size(), 1u);

  // Resigning again ends the task held before.
  post(ui::Notification::applicationWillResignActive);
  EXPECT_EQ(heldTasks().size(), 1u);
  EXPECT_NE(recorder->backgroundUpdateTask(), first);
  auto cancelled = linesWithCode(23142);
  ASSERT_EQ(cancelled.size(), 1u);
  EXPECT_EQ(cancelled[0].contexts, std::vector<std::string>{std::to_string(first)});

  post(ui::Notification::applicationWillEnterForeground);
  EXPECT_TRUE(heldTasks().empty());
  EXPECT_EQ(recorder->backgroundUpdateTask(), kQZMBackgroundTaskInvalid);
}

TEST_F(LifeCycle, TheSystemTakingTheTimeBackClearsTheTask) {
  holdWorkerQueue();
  post(ui::Notification::applicationWillResignActive);
  ASSERT_EQ(heldTasks().size(), 1u);
  ui::Application::shared().expireBackgroundTasks();
  EXPECT_TRUE(heldTasks().empty());
  EXPECT_EQ(recorder->backgroundUpdateTask(), kQZMBackgroundTaskInvalid);
}

}  // namespace
