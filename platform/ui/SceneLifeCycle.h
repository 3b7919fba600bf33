// The scene life cycle. A desktop program has one scene with one window. Its
// life cycle follows the window: launch brings it to the foreground and makes
// it active; losing the keyboard focus makes it inactive and regaining it
// active again; minimising (or hiding) sends it to the background and
// restoring brings it back; quitting ends it. The scene delegate hears every
// step; the application posts each step's notification for its observers and
// other libraries.
#pragma once

#include <SDL2/SDL_events.h>

#include "platform/ui/Application.h"

namespace ui {

// Drives one scene through its states from the window's events.
class SceneLifeCycle {
 public:
  enum class State { unattached, background, inactive, active, disconnected };

  SceneLifeCycle(Scene& scene, SceneDelegate& delegate, Application& application);

  // Connects the scene (willConnectToSession).
  void connect();
  // The window is on screen and in front: foreground, then active.
  void launch();
  // SDL's window events: focus, minimise, restore, show, hide.
  void handleWindowEvent(const SDL_WindowEvent& event);
  // Quitting: inactive, background, "will terminate", disconnected.
  void terminate();

  State state() const { return state_; }
  bool isForeground() const { return state_ == State::inactive || state_ == State::active; }

 private:
  void enterForeground();
  void becomeActive();
  void resignActive();
  void enterBackground();

  Scene& scene_;
  SceneDelegate& delegate_;
  Application& application_;
  bool wasInBackground_ = false;
  State state_ = State::unattached;
};

}  // namespace ui
