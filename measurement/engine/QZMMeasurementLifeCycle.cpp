#include <mutex>
#include <optional>

#include "measurement/engine/QZMMeasurement.h"

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
