#include "platform/ui/Main.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/ui/Views.h"

namespace ui {
namespace {

using foundation::Error;

// The window's first size: landscape, 16:10, within the usable display.
Size initialWindowSize() {
  SDL_Rect usable{0, 0, 1280, 800};
  SDL_GetDisplayUsableBounds(0, &usable);
  double width = std::min(1280.0, usable.w * 0.9);
  double height = width * 10.0 / 16.0;
  if (height > usable.h * 0.9) {
    height = usable.h * 0.9;
    width = height * 16.0 / 10.0;
  }
  return Size{std::max(width, 320.0), std::max(height, 200.0)};
}

struct SdlVideo {
  bool ok = SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0;
  ~SdlVideo() {
    if (ok) SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
  }
};

}  // namespace

bool displayAvailable(std::string* why) {
  SdlVideo video;
  if (!video.ok) {
    if (why) *why = SDL_GetError();
    return false;
  }
  if (SDL_GetNumVideoDisplays() < 1) {
    if (why) *why = "no video display";
    return false;
  }
  // SDL falls back on drivers that show nothing; they count only when asked for.
  const std::string driver = SDL_GetCurrentVideoDriver();
  const char* asked = SDL_getenv("SDL_VIDEODRIVER");
  if ((driver == "offscreen" || driver == "dummy") && (asked == nullptr || driver != asked)) {
    if (why) *why = "only SDL's " + driver + " video driver is available";
    return false;
  }
  return true;
}

foundation::Result<int> UIApplicationMain(ApplicationDelegate& delegate, const SceneConfiguration& configuration,
                                      const RunHooks& hooks) {
  // Fingers feed the fluid and mouse events made from them feed the panel;
  // the mouse is read as itself, never as a made-up finger.
  SDL_SetHint(SDL_HINT_MOUSE_TOUCH_EVENTS, "0");
  SDL_SetHint(SDL_HINT_TOUCH_MOUSE_EVENTS, "1");
  SdlVideo video;
  if (!video.ok) return Error(kUIErrorDomain, kUIErrorNoDisplay, std::string("no display: ") + SDL_GetError());

  Application& application = Application::shared();
  application.setDelegate(&delegate);
  struct ForgetDelegate {
    Application& application;
    ~ForgetDelegate() { application.setDelegate(nullptr); }
  } forgetDelegate{application};
  delegate.didFinishLaunchingWithOptions();
  application.post(Notification::applicationDidFinishLaunching);

  gpu::WindowSurface::prepareWindowAttributes();
  const Size size = hooks.windowSize.width >= 1 && hooks.windowSize.height >= 1 ? hooks.windowSize : initialWindowSize();
  SDL_Window* sdlWindow =
      SDL_CreateWindow("tolv", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, static_cast<int>(size.width),
                       static_cast<int>(size.height), SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN);
  if (sdlWindow == nullptr) return Error(kUIErrorDomain, kUIErrorNoDisplay, std::string("no window: ") + SDL_GetError());
  auto view = WindowView::create(sdlWindow);
  if (!view.ok()) {
    SDL_DestroyWindow(sdlWindow);
    return view.error();
  }
  SDL_GL_SetSwapInterval(1);

  WindowScene scene;
  Window window;
  window.windowScene = &scene;
  WindowContents contents = configuration.makeWindowContents(sdlWindow, **view);
  window.rootViewController = contents.rootViewController.get();
  application.addWindow(&window);
  application.makeKeyWindow(&window);
  std::unique_ptr<SceneDelegate> sceneDelegate = configuration.makeSceneDelegate();
  SceneLifeCycle lifeCycle(scene, *sceneDelegate, application);
  ViewController& controller = *contents.rootViewController;
  MetalView& metalView = **view;
  TouchTranslator touches(
      controller, [&metalView] { return metalView.frame().size; },
      [&controller](Point p) { return controller.subviewTakesTouch(p); });

  lifeCycle.connect();
  SDL_ShowWindow(sdlWindow);
  controller.loadViewIfNeeded();
  controller.setViewWindow(&window);
  metalView.setNeedsLayout();
  metalView.layoutIfNeeded();
  lifeCycle.launch();
  controller.viewDidAppear(false);

  Size drawable = metalView.drawableSize();
  bool quit = false;
  for (int frame = 0; !quit; ++frame) {
    if (hooks.beforeEvents) hooks.beforeEvents(frame);
    // In the background nothing is drawn: wait for the next event instead.
    if (!lifeCycle.isForeground()) SDL_WaitEventTimeout(nullptr, 100);
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
      if (contents.overlay) contents.overlay->processEvent(event);
      if (event.type == SDL_QUIT) {
        quit = true;
      } else if (event.type == SDL_WINDOWEVENT) {
        const Uint8 what = event.window.event;
        if (what == SDL_WINDOWEVENT_FOCUS_LOST || what == SDL_WINDOWEVENT_MINIMIZED ||
            what == SDL_WINDOWEVENT_HIDDEN) {
          touches.cancelAll();
        }
        lifeCycle.handleWindowEvent(event.window);
      } else {
        touches.handleEvent(event);
      }
    }
    touches.endBatch();

    // A new window size is what a rotation is on a device.
    if (Size now = metalView.drawableSize(); now != drawable) {
      drawable = now;
      metalView.drawableSizeDidChange(now);
      application.post(Notification::deviceOrientationDidChange);
    }
    dispatch::drainMainQueue();
    if (quit) break;

    if (lifeCycle.isForeground()) {
      if (contents.overlay) contents.overlay->beginFrame();
      metalView.draw();
      controller.drawSubviews();
      if (contents.overlay) contents.overlay->endFrame();
      if (hooks.beforePresent) hooks.beforePresent(frame);
      (*view)->surface().swapBuffers();
    }
    if (hooks.maxFrames > 0 && frame + 1 >= hooks.maxFrames) quit = true;
  }

  touches.cancelAll();
  lifeCycle.terminate();
  controller.setViewWindow(nullptr);
  controller.viewDidDisappear(false);
  dispatch::drainMainQueue();
  application.removeWindow(&window);
  window.rootViewController = nullptr;
  contents.rootViewController.reset();
  contents.overlay.reset();
  view->reset();
  SDL_DestroyWindow(sdlWindow);
  return 0;
}

}  // namespace ui
