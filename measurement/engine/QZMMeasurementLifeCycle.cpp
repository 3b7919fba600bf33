#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Application.h"

namespace {

// Plain atomics: still there while the program's objects are destroyed.
std::atomic<bool> gExiting{false};
std::atomic<double> gExitWriteTimeLimit{1.0};

struct LaunchSubscription {
  std::mutex mutex;
  std::optional<foundation::NotificationCenter::Token> token;
};
LaunchSubscription& launchSubscription() {
  static auto* subscription = new LaunchSubscription;
  return *subscription;
}

}  // namespace

void QZMMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  LaunchSubscription& subscription = launchSubscription();
  std::lock_guard lock(subscription.mutex);
  // Subscribing again replaces the subscription: one handler per launch.
  if (subscription.token) center.removeObserver(*subscription.token);
  subscription.token = center.addObserverForName(kQZMApplicationDidFinishLaunchingNotification, nullptr, nullptr,
                                                 &QZMMeasurement::handleAppDidFinishLaunching);
}

void QZMMeasurement::handleAppDidFinishLaunching(const foundation::Notification& notification) {
  // Made now, it hears the first activation.
  (void)QZMScreenViewReporter::sharedInstance();
  handleStoredURLAfterAppLaunchWithNotification(notification);
}

void QZMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  auto observe = [&](ui::Notification name, void (QZMMeasurement::*handler)(const foundation::Notification&)) {
    return center.addObserverForName(ui::notificationName(name), nullptr, nullptr,
                                     [weak = weak_from_this(), handler](const foundation::Notification& notification) {
                                       if (auto self = weak.lock()) ((*self).*handler)(notification);
                                     });
  };
  std::lock_guard lock(lifeCycleObserversMutex_);
  // A start after a failed one subscribes once only.
  if (!lifeCycleObservers_.empty()) return;
  lifeCycleObservers_.push_back(
      observe(ui::Notification::applicationDidBecomeActive, &QZMMeasurement::handleAppDidBecomeActiveEvent));
  lifeCycleObservers_.push_back(
      observe(ui::Notification::applicationWillResignActive, &QZMMeasurement::handleAppWillResignActiveEvent));
  lifeCycleObservers_.push_back(observe(ui::Notification::applicationWillEnterForeground,
                                        &QZMMeasurement::handleAppWillEnterForegroundNotification));
}

void QZMMeasurement::handleAppDidBecomeActiveEvent(const foundation::Notification& /*notification*/) {
  // Whatever the block-list switches say: they decide which events are
  // blocked, not how old a configuration may grow.
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:3936", [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->refreshStaleRemoteConfig();
  });
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:3943", [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->fetchSKANCV();
  });
}

void QZMMeasurement::handleAppWillResignActiveEvent(const foundation::Notification& /*notification*/) {
  persistedConfig_->synchronizeToDisk();
  auto monitor = QZMMeasurement::monitor();
  monitor->logWithLevel(8, 23144, "App will resign active state. Scheduling data upload");
  ui::BackgroundTaskIdentifier task = ui::Application::shared().beginBackgroundTask(
      kQZMBackgroundTaskName, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->terminateBackgroundTask();
      });
  swapBackgroundTaskWithNewTaskID(task);
  monitor->logWithLevel(8, 23145, "Background task started. Task ID", static_cast<std::int64_t>(task));
  // Before start the upload waits with the app's other calls.
  QZMAnalytics::queueOperationWithBlock([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:3989", [weak = self->weak_from_this()] {
      if (auto engine = weak.lock()) engine->uploadData();
    });
  });
}

void QZMMeasurement::handleAppWillEnterForegroundNotification(const foundation::Notification& /*notification*/) {
  terminateBackgroundTask();
}

void QZMMeasurement::swapBackgroundTaskWithNewTaskID(std::uint64_t taskID) {
  std::uint64_t previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == kQZMBackgroundTaskInvalid) return;
  monitor()->logWithLevel(7, 23142, "Cancelling background upload task. Task ID ", static_cast<std::int64_t>(previous));
  ui::Application::shared().endBackgroundTask(previous);
}

void QZMMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(kQZMBackgroundTaskInvalid);
}

// ---- Normal exit ----

namespace {

using ExitClock = std::chrono::steady_clock;

// Hands `finish` to work that calls it once done, and waits for that until
// the deadline. Real time: a test's clock must not hold the process.
bool waitUntil(ExitClock::time_point deadline, const std::function<void(std::function<void()>)>& start) {
  struct Finished {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  // Shared with the blocks, which may run after the wait gave up.
  auto finished = std::make_shared<Finished>();
  start([finished] {
    std::lock_guard lock(finished->mutex);
    finished->done = true;
    finished->changed.notify_all();
  });
  std::unique_lock lock(finished->mutex);
  return finished->changed.wait_until(lock, deadline, [&] { return finished->done; });
}

std::shared_ptr<QZMMeasurement> runningEngine() {
  return std::dynamic_pointer_cast<QZMMeasurement>(QZMMeasurementBase::sharedInstance());
}

}  // namespace

void QZMMeasurement::registerExitHandling() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // One exit sequence, whichever of the application's and this handler
    // runs first.
    ui::Application::shared().setNormalExitSequence(&QZMMeasurement::finishWritingAtExit);
    std::atexit(&ui::Application::runNormalExit);
  });
}

void QZMMeasurement::setExitWriteTimeLimit(double seconds) { gExitWriteTimeLimit = seconds; }

bool QZMMeasurement::isProcessExiting() { return gExiting.load() || ui::Application::shared().isTerminating(); }

void QZMMeasurement::finishWritingAtExit() {
  gExiting = true;
  const auto deadline =
      ExitClock::now() + std::chrono::duration_cast<ExitClock::duration>(
                             std::chrono::duration<double>(std::max(0.0, gExitWriteTimeLimit.load())));
  auto engine = runningEngine();
  // From inside the facade's queue or the worker queue a wait would wait
  // for itself.
  const bool mayWait =
      !QZMAnalytics::isCurrentQueueSerialQueue() && !(engine && engine->scheduler_->isOnWorkerQueue());

  // The start-up first: the engine is made on the facade's queue and starts
  // on the worker queue, so a block behind both finds it done, and the calls
  // made before the exit handled while the app was still active. A launch
  // handled after the goodbye would count as one in the background.
  // Waits, within the deadline, for a block that `enqueue` puts on a facade
  // queue and that hands on to the worker queue.
  auto waitBehindTheWorker = [&](const auto& enqueue, const char* blockID) {
    if (!mayWait) return;
    (void)waitUntil(deadline, [&](std::function<void()> finish) {
      enqueue([finish = std::move(finish), blockID] {
        auto engine = runningEngine();
        if (!engine) return finish();
        engine->scheduler_->scheduleOnWorkerQueueBlockID(blockID, finish);
      });
    });
  };
  waitBehindTheWorker(QZMAnalytics::dispatchAsyncOnSerialQueue, "QZMMeasurement:4011");

  ui::Application::shared().terminateWithoutUserInterface();

  // Behind every call the facade accepted, the goodbye's own events
  // included, then behind every block those calls put on the worker queue.
  waitBehindTheWorker(QZMAnalytics::queueOperationWithBlock, "QZMMeasurement:4012");

  // A delayed write would never come.
  engine = runningEngine();
  auto persistedConfig = engine ? engine->persistedConfig_ : nullptr;
  if (persistedConfig) persistedConfig->synchronizeToDiskNow();
  if (auto shared = QZMPersistedConfig::existingSharedInstance(); shared && shared != persistedConfig) {
    shared->synchronizeToDiskNow();
  }
  (void)foundation::UserDefaults::synchronizeAll();

  if (std::int64_t unwritten = eventsNotYetHandled(); unwritten > 0) {
    auto monitor = QZMMeasurement::monitor();
    monitor->logWithLevel(1, 23297, "Data loss. Events not written before the process ended. Count", unwritten);
    // The monitor prints on its own queue; the line must not end with the
    // process. Bounded apart from the budget, which may be spent.
    (void)waitUntil(ExitClock::now() + std::chrono::seconds(1), [&monitor](std::function<void()> finish) {
      monitor->monitorQueue()->async(std::move(finish));
    });
  }
}
