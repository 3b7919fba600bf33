#include <mutex>
#include <optional>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"

namespace {

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

void QZMMeasurement::handleAppDidFinishLaunching(const foundation::Notification& /*notification*/) {
  // The screen-view reporter and the launch link are prepared here.
}

void QZMMeasurement::swapBackgroundTaskWithNewTaskID(std::uint64_t taskID) {
  std::uint64_t previous = backgroundUpdateTask_.exchange(taskID);
  if (previous != kQZMBackgroundTaskInvalid) {
    monitor()->logWithLevel(7, 23142, "Cancelling background upload task. Task ID ", static_cast<std::int64_t>(previous));
  }
}

void QZMMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(kQZMBackgroundTaskInvalid);
}
