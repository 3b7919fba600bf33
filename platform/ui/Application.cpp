#include "platform/ui/Application.h"

#include <algorithm>
#include <cstdlib>

#include "platform/foundation/NotificationCenter.h"

namespace ui {

Application& Application::shared() {
  // Never destroyed: other libraries' threads may still use it while the program ends.
  static auto* application = new Application;
  return *application;
}

void Application::addWindow(Window* window) {
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) windows_.push_back(window);
}

void Application::removeWindow(Window* window) {
  std::erase(windows_, window);
  if (keyWindow_.load() == window) makeKeyWindow(nullptr);
}

void Application::makeKeyWindow(Window* window) {
  Window* previous = keyWindow_.exchange(window);
  if (previous != nullptr && previous != window) {
    foundation::NotificationCenter::defaultCenter().postNotificationName(
        notificationName(Notification::windowDidResignKey), previous);
  }
}

void Application::launchWithoutUserInterface() {
  if (hasUserInterface_ || !launchesWithoutUserInterface_ || launchedWithoutUserInterface_.exchange(true)) return;
  post(Notification::applicationDidFinishLaunching);
  post(Notification::applicationDidBecomeActive);
  std::atexit(&Application::runNormalExit);
}

void Application::terminateWithoutUserInterface() {
  // A UI application that ran since then said goodbye itself.
  if (!launchedWithoutUserInterface_ || hasUserInterface_) return;
  if (terminating_.exchange(true)) return;
  post(Notification::applicationWillResignActive);
  post(Notification::applicationDidEnterBackground);
  post(Notification::applicationWillTerminate);
}

void Application::runNormalExit() {
  Application& application = shared();
  if (application.normalExitStarted_.exchange(true)) return;
  if (auto sequence = application.normalExitSequence_.load()) {
    sequence();
  } else {
    application.terminateWithoutUserInterface();
  }
}

const char* notificationName(Notification name) {
  switch (name) {
    case Notification::applicationDidFinishLaunching: return "UIApplicationDidFinishLaunchingNotification";
    case Notification::applicationDidBecomeActive: return "UIApplicationDidBecomeActiveNotification";
    case Notification::applicationWillResignActive: return "UIApplicationWillResignActiveNotification";
    case Notification::applicationWillEnterForeground: return "UIApplicationWillEnterForegroundNotification";
    case Notification::applicationDidEnterBackground: return "UIApplicationDidEnterBackgroundNotification";
    case Notification::applicationWillTerminate: return "UIApplicationWillTerminateNotification";
    case Notification::deviceOrientationDidChange: return "UIDeviceOrientationDidChangeNotification";
    case Notification::windowDidResignKey: return "UIWindowDidResignKeyNotification";
  }
  return "";
}

Application::~Application() {
  std::lock_guard lock(mutex_);
  for (ObserverToken token : observers_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

Application::ObserverToken Application::addObserver(Notification name, std::function<void()> handler) {
  ObserverToken token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      notificationName(name), this, nullptr, [handler = std::move(handler)](const foundation::Notification&) { handler(); });
  std::lock_guard lock(mutex_);
  observers_.insert(token);
  return token;
}

void Application::removeObserver(ObserverToken token) {
  {
    std::lock_guard lock(mutex_);
    if (observers_.erase(token) == 0) return;
  }
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

void Application::post(Notification name) {
  if (name == Notification::deviceOrientationDidChange && !isGeneratingDeviceOrientationNotifications()) return;
  foundation::NotificationCenter::defaultCenter().postNotificationName(notificationName(name), this);
}

BackgroundTaskIdentifier Application::beginBackgroundTask(std::string name, std::function<void()> expirationHandler) {
  std::lock_guard lock(tasksMutex_);
  BackgroundTaskIdentifier identifier = nextBackgroundTask_++;
  backgroundTasks_.emplace(identifier, BackgroundTask{std::move(name), std::move(expirationHandler)});
  return identifier;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  std::lock_guard lock(tasksMutex_);
  backgroundTasks_.erase(identifier);
}

void Application::expireBackgroundTasks() {
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard lock(tasksMutex_);
    for (const auto& [identifier, task] : backgroundTasks_) {
      if (task.expirationHandler) handlers.push_back(task.expirationHandler);
    }
  }
  // A handler ends its own task, which takes the lock.
  for (const auto& handler : handlers) handler();
}

std::vector<std::string> Application::backgroundTaskNames() const {
  std::lock_guard lock(tasksMutex_);
  std::vector<std::string> names;
  for (const auto& [identifier, task] : backgroundTasks_) names.push_back(task.name);
  return names;
}

}  // namespace ui
