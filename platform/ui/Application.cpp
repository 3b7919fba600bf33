#include "platform/ui/Application.h"

#include <algorithm>

#include "platform/foundation/NotificationCenter.h"

namespace ui {

Application& Application::shared() {
  static Application application;
  return application;
}

void Application::addWindow(Window* window) {
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) windows_.push_back(window);
}

void Application::removeWindow(Window* window) { std::erase(windows_, window); }

const char* notificationName(Notification name) {
  switch (name) {
    case Notification::applicationDidFinishLaunching: return "UIApplicationDidFinishLaunchingNotification";
    case Notification::applicationDidBecomeActive: return "UIApplicationDidBecomeActiveNotification";
    case Notification::applicationWillEnterForeground: return "UIApplicationWillEnterForegroundNotification";
    case Notification::applicationDidEnterBackground: return "UIApplicationDidEnterBackgroundNotification";
    case Notification::applicationWillTerminate: return "UIApplicationWillTerminateNotification";
    case Notification::deviceOrientationDidChange: return "UIDeviceOrientationDidChangeNotification";
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

SceneLifeCycle::SceneLifeCycle(Scene& scene, SceneDelegate& delegate, Application& application)
    : scene_(scene), delegate_(delegate), application_(application) {}

void SceneLifeCycle::connect() {
  if (state_ != State::unattached) return;
  state_ = State::background;
  delegate_.willConnectToSession(scene_);
}

void SceneLifeCycle::launch() {
  enterForeground();
  becomeActive();
}

void SceneLifeCycle::enterForeground() {
  if (state_ != State::background) return;
  state_ = State::inactive;
  delegate_.sceneWillEnterForeground(scene_);
  // Launch is not a return to the foreground.
  if (wasInBackground_) application_.post(Notification::applicationWillEnterForeground);
}

void SceneLifeCycle::becomeActive() {
  if (state_ != State::inactive) return;
  state_ = State::active;
  delegate_.sceneDidBecomeActive(scene_);
  application_.post(Notification::applicationDidBecomeActive);
}

void SceneLifeCycle::resignActive() {
  if (state_ != State::active) return;
  state_ = State::inactive;
  delegate_.sceneWillResignActive(scene_);
}

void SceneLifeCycle::enterBackground() {
  resignActive();
  if (state_ != State::inactive) return;
  state_ = State::background;
  wasInBackground_ = true;
  delegate_.sceneDidEnterBackground(scene_);
  application_.post(Notification::applicationDidEnterBackground);
}

void SceneLifeCycle::handleWindowEvent(const SDL_WindowEvent& event) {
  switch (event.event) {
    case SDL_WINDOWEVENT_FOCUS_GAINED:
      becomeActive();
      break;
    case SDL_WINDOWEVENT_FOCUS_LOST:
      resignActive();
      break;
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_HIDDEN:
      enterBackground();
      break;
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_SHOWN:
      // Back on screen: in front again, as at launch.
      if (state_ == State::background) launch();
      break;
    default:
      break;
  }
}

void SceneLifeCycle::terminate() {
  if (state_ == State::unattached || state_ == State::disconnected) return;
  enterBackground();
  application_.post(Notification::applicationWillTerminate);
  state_ = State::disconnected;
  delegate_.sceneDidDisconnect(scene_);
}

}  // namespace ui
