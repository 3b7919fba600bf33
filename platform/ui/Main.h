// The application loop on SDL2: one window with a GL context, the scene's
// life cycle from its events, touches for the root view controller, the main
// queue drained every turn, and a frame per turn: the view's frame, then
// what the controller draws over it (inside the overlay's frame), then present.
#pragma once

#include <SDL2/SDL_events.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/ui/Application.h"
#include "platform/ui/SceneLifeCycle.h"
#include "platform/ui/Touch.h"
#include "platform/ui/View.h"

struct SDL_Window;

namespace ui {

// What is drawn over the Metal view each frame (the control panel's layer).
class Overlay {
 public:
  virtual ~Overlay() = default;
  virtual void processEvent(const SDL_Event& event) = 0;
  virtual void beginFrame() = 0;
  // Renders into the window's back buffer.
  virtual void endFrame() = 0;
};

// What a window holds; made by the scene configuration once the window and
// its view exist. The controller is destroyed before the overlay.
struct WindowContents {
  std::unique_ptr<Overlay> overlay;
  std::shared_ptr<ViewController> rootViewController;
};

struct SceneConfiguration {
  std::function<std::unique_ptr<SceneDelegate>()> makeSceneDelegate;
  // The storyboard: the root view controller on the window's Metal view.
  std::function<WindowContents(SDL_Window* window, MetalView& view)> makeWindowContents;
};

// Ways in for tests and tools.
struct RunHooks {
  // Before each turn's events are read (push SDL events here).
  std::function<void(int frame)> beforeEvents;
  // After a frame is drawn, before it is presented (read the back buffer here).
  std::function<void(int frame)> beforePresent;
  // Quit after this many frames; 0 runs until the user quits.
  int maxFrames = 0;
  // The window's first size in points; empty chooses one from the display.
  Size windowSize;
};

// Whether SDL can open a window here; `why` says what is missing.
bool displayAvailable(std::string* why);

// Runs the application until it quits. Answers the exit status, or an error
// when no window or GL context could be made (nothing has started then).
foundation::Result<int> UIApplicationMain(ApplicationDelegate& delegate, const SceneConfiguration& configuration,
                                      const RunHooks& hooks = {});

}  // namespace ui
