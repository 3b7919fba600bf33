#include "platform/ui/SceneLifeCycle.h"

#include "platform/foundation/NotificationCenter.h"

namespace ui {

SceneLifeCycle::SceneLifeCycle(Scene& scene, SceneDelegate& delegate, Application& application)
    : scene_(scene), delegate_(delegate), application_(application) {}

void SceneLifeCycle::connect() {
  if (state_ != State::unattached) return;
  state_ = State::background;
  foundation::NotificationCenter::defaultCenter().postNotificationName(kSceneWillConnectNotification, &scene_);
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
  application_.post(Notification::applicationWillResignActive);
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
