#include <gtest/gtest.h>

#include "platform/foundation/NotificationCenter.h"

#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "platform/ui/Application.h"
#include "platform/ui/SceneLifeCycle.h"
#include "platform/ui/Touch.h"
#include "platform/ui/Views.h"

namespace {

// Writes each delivery as "began 2: (10,20)<(10,20) ...".
class RecordingResponder : public ui::Responder {
 public:
  void touchesBegan(const ui::TouchEvent& e) override { record("began", e); }
  void touchesMoved(const ui::TouchEvent& e) override { record("moved", e); }
  void touchesEnded(const ui::TouchEvent& e) override { record("ended", e); }
  void touchesCancelled(const ui::TouchEvent& e) override { record("cancelled", e); }
  std::vector<std::string> lines;

 private:
  void record(const char* what, const ui::TouchEvent& e) {
    std::string line = absl::StrCat(what, " ", e.allTouches.size(), ":");
    for (const ui::Touch& t : e.allTouches) {
      absl::StrAppend(&line, " (", t.location.x, ",", t.location.y, ")<(", t.previousLocation.x, ",",
                      t.previousLocation.y, ")");
    }
    lines.push_back(line);
  }
};

SDL_Event finger(Uint32 type, SDL_FingerID id, float x, float y, SDL_TouchID device = 7) {
  SDL_Event e{};
  e.type = type;
  e.tfinger.touchId = device;
  e.tfinger.fingerId = id;
  e.tfinger.x = x;
  e.tfinger.y = y;
  return e;
}

SDL_Event mouseButton(Uint32 type, int x, int y, Uint32 which = 0, Uint8 button = SDL_BUTTON_LEFT) {
  SDL_Event e{};
  e.type = type;
  e.button.which = which;
  e.button.button = button;
  e.button.x = x;
  e.button.y = y;
  return e;
}

SDL_Event mouseMotion(int x, int y, Uint32 which = 0) {
  SDL_Event e{};
  e.type = SDL_MOUSEMOTION;
  e.motion.which = which;
  e.motion.x = x;
  e.motion.y = y;
  return e;
}

// A batch is the events read in one turn of the loop.
using Batch = std::vector<SDL_Event>;

struct TouchCase {
  const char* name;
  std::vector<Batch> batches;
  std::vector<std::string> expected;
};

TEST(TouchTranslator, TurnsSdlEventsIntoTouchDeliveries) {
  // The view is 400 x 200 points; finger positions arrive as fractions of it.
  const TouchCase cases[] = {
      {"one finger: down, two moves in a batch merged, up",
       {{finger(SDL_FINGERDOWN, 1, 0.25f, 0.5f)},
        {finger(SDL_FINGERMOTION, 1, 0.5f, 0.5f), finger(SDL_FINGERMOTION, 1, 0.75f, 0.5f)},
        {finger(SDL_FINGERUP, 1, 0.75f, 0.25f)}},
       {"began 1: (100,100)<(100,100)", "moved 1: (300,100)<(100,100)", "ended 1: (300,50)<(300,100)"}},
      {"a second finger: all touches in the order they went down",
       {{finger(SDL_FINGERDOWN, 1, 0.0f, 0.0f)},
        {finger(SDL_FINGERDOWN, 2, 0.5f, 1.0f)},
        {finger(SDL_FINGERMOTION, 2, 0.5f, 0.5f), finger(SDL_FINGERMOTION, 1, 0.25f, 0.0f)},
        {finger(SDL_FINGERUP, 1, 0.25f, 0.0f)},
        {finger(SDL_FINGERUP, 2, 0.5f, 0.5f)}},
       {"began 1: (0,0)<(0,0)", "began 2: (0,0)<(0,0) (200,200)<(200,200)",
        "moved 2: (100,0)<(0,0) (200,100)<(200,200)", "ended 2: (100,0)<(100,0) (200,100)<(200,100)",
        "ended 1: (200,100)<(200,100)"}},
      {"moves before a lift in the same batch are told first",
       {{finger(SDL_FINGERDOWN, 1, 0.0f, 0.0f)},
        {finger(SDL_FINGERMOTION, 1, 0.5f, 0.0f), finger(SDL_FINGERUP, 1, 0.5f, 0.0f)}},
       {"began 1: (0,0)<(0,0)", "moved 1: (200,0)<(0,0)", "ended 1: (200,0)<(200,0)"}},
      {"the mouse is a finger while no finger is down",
       {{mouseButton(SDL_MOUSEBUTTONDOWN, 110, 120)},
        {mouseMotion(130, 140), mouseMotion(150, 160)},
        {mouseButton(SDL_MOUSEBUTTONUP, 150, 160)}},
       {"began 1: (110,120)<(110,120)", "moved 1: (150,160)<(110,120)", "ended 1: (150,160)<(150,160)"}},
      {"mouse events made from fingers, fingers made from the mouse, other buttons and moves of no touch are "
       "ignored",
       {{mouseButton(SDL_MOUSEBUTTONDOWN, 10, 20, SDL_TOUCH_MOUSEID), finger(SDL_FINGERDOWN, 1, 0.5f, 0.5f,
                                                                           SDL_MOUSE_TOUCHID),
         mouseButton(SDL_MOUSEBUTTONDOWN, 10, 20, 0, SDL_BUTTON_RIGHT), mouseMotion(1, 1),
         finger(SDL_FINGERMOTION, 9, 0.1f, 0.1f), finger(SDL_FINGERUP, 9, 0.1f, 0.1f)}},
       {}},
      {"a mouse press while a finger is down is not a touch",
       {{finger(SDL_FINGERDOWN, 1, 0.0f, 0.0f)},
        {mouseButton(SDL_MOUSEBUTTONDOWN, 10, 20), mouseMotion(30, 40)},
        {mouseButton(SDL_MOUSEBUTTONUP, 30, 40)}},
       {"began 1: (0,0)<(0,0)"}},
      {"a touch that starts on a subview never reaches the view",
       {{finger(SDL_FINGERDOWN, 1, 0.05f, 0.05f)},
        {finger(SDL_FINGERMOTION, 1, 0.5f, 0.5f)},
        {finger(SDL_FINGERUP, 1, 0.5f, 0.5f)}},
       {}},
      {"a touch that stays still makes no move",
       {{finger(SDL_FINGERDOWN, 1, 0.5f, 0.5f)}, {finger(SDL_FINGERMOTION, 1, 0.5f, 0.5f)}},
       {"began 1: (200,100)<(200,100)"}},
  };
  for (const TouchCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingResponder responder;
    // The subview: a 40-point square in the top-left corner.
    ui::TouchTranslator translator(
        responder, [] { return ui::Size{400, 200}; }, [](ui::Point p) { return p.x < 40 && p.y < 40 && p.x > 0; });
    for (const Batch& batch : c.batches) {
      for (const SDL_Event& e : batch) translator.handleEvent(e);
      translator.endBatch();
    }
    EXPECT_EQ(responder.lines, c.expected);
  }
}

TEST(TouchTranslator, CancelTellsEveryTouchOnceAndForgetsThem) {
  RecordingResponder responder;
  ui::TouchTranslator translator(responder, [] { return ui::Size{100, 100}; }, nullptr);
  translator.handleEvent(finger(SDL_FINGERDOWN, 1, 0.1f, 0.1f));
  translator.handleEvent(finger(SDL_FINGERDOWN, 2, 0.2f, 0.2f));
  translator.handleEvent(finger(SDL_FINGERMOTION, 2, 0.3f, 0.3f));
  translator.cancelAll();
  translator.cancelAll();
  // The lift after the cancel belongs to no touch; the held move is dropped.
  translator.handleEvent(finger(SDL_FINGERUP, 2, 0.3f, 0.3f));
  translator.endBatch();
  ASSERT_EQ(responder.lines.size(), 3u);
  EXPECT_EQ(responder.lines[2].rfind("cancelled 2:", 0), 0u) << responder.lines[2];
  EXPECT_EQ(translator.touchesDown(), 0u);
}

TEST(TouchTranslator, ManyFingersAreAllReported) {
  // Bounding to the engine's slots is the writer's job; the event holds all.
  RecordingResponder responder;
  ui::TouchTranslator translator(responder, [] { return ui::Size{100, 100}; }, nullptr);
  for (int i = 0; i < 12; ++i) translator.handleEvent(finger(SDL_FINGERDOWN, i, 0.01f * i, 0.5f));
  EXPECT_EQ(responder.lines.back().rfind("began 12:", 0), 0u);
}

class RecordingSceneDelegate : public ui::SceneDelegate {
 public:
  void willConnectToSession(ui::Scene&) override { lines.push_back("connect"); }
  void sceneDidDisconnect(ui::Scene&) override { lines.push_back("disconnect"); }
  void sceneDidBecomeActive(ui::Scene&) override { lines.push_back("active"); }
  void sceneWillResignActive(ui::Scene&) override { lines.push_back("resign"); }
  void sceneWillEnterForeground(ui::Scene&) override { lines.push_back("foreground"); }
  void sceneDidEnterBackground(ui::Scene&) override { lines.push_back("background"); }
  std::vector<std::string> lines;
};

SDL_WindowEvent windowEvent(Uint8 what) {
  SDL_WindowEvent e{};
  e.type = SDL_WINDOWEVENT;
  e.event = what;
  return e;
}

TEST(SceneLifeCycle, FollowsTheWindow) {
  struct Case {
    const char* name;
    std::vector<Uint8> events;
    bool terminate;
    std::vector<std::string> expected;
    int activations;
  };
  const std::vector<std::string> launch = {"connect", "foreground", "active"};
  auto after = [&](std::vector<std::string> more) {
    std::vector<std::string> all = launch;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const Case cases[] = {
      {"launch", {SDL_WINDOWEVENT_SHOWN, SDL_WINDOWEVENT_FOCUS_GAINED}, false, launch, 1},
      {"focus lost and regained", {SDL_WINDOWEVENT_FOCUS_LOST, SDL_WINDOWEVENT_FOCUS_LOST,
                                   SDL_WINDOWEVENT_FOCUS_GAINED}, false, after({"resign", "active"}), 2},
      {"minimised and restored", {SDL_WINDOWEVENT_MINIMIZED, SDL_WINDOWEVENT_FOCUS_GAINED,
                                  SDL_WINDOWEVENT_RESTORED}, false,
       after({"resign", "background", "foreground", "active"}), 2},
      {"minimised without focus", {SDL_WINDOWEVENT_FOCUS_LOST, SDL_WINDOWEVENT_MINIMIZED}, false,
       after({"resign", "background"}), 1},
      {"quit while active", {}, true, after({"resign", "background", "disconnect"}), 1},
      {"quit while minimised", {SDL_WINDOWEVENT_MINIMIZED}, true, after({"resign", "background", "disconnect"}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui::Application application;
    int activations = 0, terminations = 0;
    application.addObserver(ui::Notification::applicationDidBecomeActive, [&] { ++activations; });
    application.addObserver(ui::Notification::applicationWillTerminate, [&] { ++terminations; });
    ui::WindowScene scene;
    RecordingSceneDelegate delegate;
    ui::SceneLifeCycle lifeCycle(scene, delegate, application);
    lifeCycle.connect();
    lifeCycle.launch();
    for (Uint8 e : c.events) lifeCycle.handleWindowEvent(windowEvent(e));
    if (c.terminate) {
      lifeCycle.terminate();
      lifeCycle.terminate();
    }
    EXPECT_EQ(delegate.lines, c.expected);
    EXPECT_EQ(activations, c.activations);
    EXPECT_EQ(terminations, c.terminate ? 1 : 0);
  }
}

TEST(Application, ObserversHearTheirNotificationUntilRemoved) {
  ui::Application application;
  std::vector<std::string> heard;
  auto a = application.addObserver(ui::Notification::applicationDidBecomeActive, [&] { heard.push_back("a"); });
  application.addObserver(ui::Notification::deviceOrientationDidChange, [&] { heard.push_back("rotated"); });
  application.post(ui::Notification::applicationDidBecomeActive);
  // Orientation changes are told only while the device generates them.
  application.post(ui::Notification::deviceOrientationDidChange);
  application.beginGeneratingDeviceOrientationNotifications();
  application.post(ui::Notification::deviceOrientationDidChange);
  application.endGeneratingDeviceOrientationNotifications();
  application.post(ui::Notification::deviceOrientationDidChange);
  application.removeObserver(a);
  application.post(ui::Notification::applicationDidBecomeActive);
  EXPECT_EQ(heard, (std::vector<std::string>{"a", "rotated"}));
}

TEST(Application, LifeCycleIsPostedInTheNotificationCentreForOtherLibraries) {
  std::vector<std::string> heard;
  auto& centre = foundation::NotificationCenter::defaultCenter();
  auto token = centre.addObserverForName("", nullptr, nullptr, [&](const foundation::Notification& n) {
    if (n.name.rfind("UIApplication", 0) == 0) heard.push_back(n.name);
  });
  {
    ui::Application application;
    ui::WindowScene scene;
    RecordingSceneDelegate delegate;
    ui::SceneLifeCycle lifeCycle(scene, delegate, application);
    lifeCycle.connect();
    lifeCycle.launch();
    lifeCycle.handleWindowEvent(windowEvent(SDL_WINDOWEVENT_MINIMIZED));
    lifeCycle.handleWindowEvent(windowEvent(SDL_WINDOWEVENT_RESTORED));
    lifeCycle.terminate();
  }
  centre.removeObserver(token);
  EXPECT_EQ(heard, (std::vector<std::string>{
                       "UIApplicationDidBecomeActiveNotification",
                       "UIApplicationWillResignActiveNotification",
                       "UIApplicationDidEnterBackgroundNotification",
                       "UIApplicationWillEnterForegroundNotification",
                       "UIApplicationDidBecomeActiveNotification",
                       "UIApplicationWillResignActiveNotification",
                       "UIApplicationDidEnterBackgroundNotification",
                       "UIApplicationWillTerminateNotification",
                   }));
}

TEST(Application, AUserInterfaceApplicationDrivesItsOwnLifeCycle) {
  struct Delegate : ui::ApplicationDelegate {
    bool didFinishLaunchingWithOptions() override { return true; }
    ui::InterfaceOrientationMask supportedInterfaceOrientationsForWindow(ui::Window*) override { return 0; }
  } delegate;
  struct Case {
    const char* name;
    bool userInterface;
    bool launches;
  } cases[] = {{"inside a UI application", true, true}, {"turned off", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui::Application application;
    int posted = 0;
    for (auto name : {ui::Notification::applicationDidFinishLaunching, ui::Notification::applicationDidBecomeActive}) {
      application.addObserver(name, [&] { ++posted; });
    }
    if (c.userInterface) application.setDelegate(&delegate);
    application.setLaunchesWithoutUserInterface(c.launches);
    application.launchWithoutUserInterface();
    EXPECT_EQ(posted, 0);
    EXPECT_FALSE(application.isTerminating());
    application.setDelegate(nullptr);
  }
}

class SizeDelegate : public ui::MTKViewDelegate {
 public:
  void drawableSizeWillChange(ui::MetalView&, ui::Size size) override { sizes.push_back(size); }
  void drawInMTKView(ui::MetalView&) override { ++frames; }
  std::vector<ui::Size> sizes;
  int frames = 0;
};

TEST(HeadlessView, ResizingChangesFrameAndDrawableAndTellsTheDelegate) {
  auto view = ui::HeadlessView::create(ui::Size{100, 50}, 2.0);
  ASSERT_TRUE(view.ok()) << view.error().text();
  SizeDelegate delegate;
  (*view)->delegate = &delegate;
  EXPECT_EQ((*view)->drawableSize(), (ui::Size{200, 100}));
  (*view)->resize(ui::Size{60, 80});
  EXPECT_EQ((*view)->frame(), ui::makeRect(0, 0, 60, 80));
  EXPECT_EQ((*view)->drawableSize(), (ui::Size{120, 160}));
  EXPECT_EQ((*view)->currentDrawable()->texture()->width(), 120u);
  ASSERT_EQ(delegate.sizes.size(), 1u);
  EXPECT_EQ(delegate.sizes[0], (ui::Size{120, 160}));
  (*view)->draw();
  EXPECT_EQ(delegate.frames, 1);
  EXPECT_FALSE(ui::HeadlessView::create(ui::Size{0, 10}, 1.0).ok());
}

}  // namespace
