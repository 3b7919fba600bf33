// The whole program in a window on SDL's offscreen video driver: it starts,
// draws frames, takes a drag, opens the panel from the settings button and
// quits cleanly, keeping the settings.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <imgui.h>

#include <algorithm>

#include "app/Storyboard.h"
#include "app/ViewController.h"
#include "engine/StarRenderer.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Views.h"
#include "platform/foundation/UserDefaults.h"
#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"

namespace {

ViewController* rootViewController() {
  const auto& windows = ui::Application::shared().windows();
  return windows.empty() ? nullptr : dynamic_cast<ViewController*>(windows.front()->rootViewController);
}

void pushMouseButton(Uint32 type, int x, int y) {
  SDL_Event e{};
  e.type = type;
  e.button.button = SDL_BUTTON_LEFT;
  e.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
  e.button.x = x;
  e.button.y = y;
  SDL_PushEvent(&e);
}

void pushMouseMotion(int x, int y) {
  SDL_Event e{};
  e.type = SDL_MOUSEMOTION;
  e.motion.state = SDL_BUTTON_LMASK;
  e.motion.x = x;
  e.motion.y = y;
  SDL_PushEvent(&e);
}

// Mesa keeps what its first compile of the engine's shaders allocates for the
// life of the process. Made through SDL's offscreen path, those allocations
// are reached from JIT code that LeakSanitizer's suppressions cannot name; so
// the engine is built once offscreen first, as the other tests of this program
// do when they run before this one.
void compileTheEngineOnce() {
  auto view = ui::HeadlessView::create(ui::Size{16, 12}, 1.0);
  ASSERT_TRUE(view.ok()) << view.error().text();
  StarRenderer renderer((*view)->systemDefaultDevice());
  renderer.drawableSizeWillChange({16, 12, 0});
  renderer.draw(false, (*view)->currentDrawable(), nullptr);
}

TEST(Smoke, TheWindowRunsADragOpensThePanelAndQuitsKeepingTheSettings) {
  compileTheEngineOnce();
  testkit::TemporaryHome home;
  testkit::LogCapture log;
  int frames = 0, strokeFrames = 0, touchesDuringDrag = 0;
  bool panelOpened = false;
  float fontSizeBefore = 0, fontSizeAfter = 0, widthAfter = 0, panelWidthAfter = 0;

  ui::RunHooks hooks;
  hooks.windowSize = ui::Size{200, 150};
  hooks.maxFrames = 200;  // a bound; the script quits well before
  hooks.beforeEvents = [&](int frame) {
    if (frame == 3) pushMouseButton(SDL_MOUSEBUTTONDOWN, 100, 40);
    if (frame >= 4 && frame < 14) pushMouseMotion(100 + 8 * (frame - 3), 40 + 6 * (frame - 3));
    if (frame == 14) pushMouseButton(SDL_MOUSEBUTTONUP, 180, 100);
    // The settings button sits at (10, 10, 70, 70).
    if (frame == 18) pushMouseButton(SDL_MOUSEBUTTONDOWN, 45, 45);
    if (frame == 19) pushMouseButton(SDL_MOUSEBUTTONUP, 45, 45);
    // Wide enough for larger text: the panel's fonts are baked again.
    if (frame == 21) SDL_SetWindowSize(SDL_GL_GetCurrentWindow(), 1000, 150);
    if (frame == 24) {
      // An edit that only quitting can keep.
      if (ViewController* vc = rootViewController()) vc->setFluidOptions(0.05f, 9, 0.8f, 1, 0.2f, 1);
    }
    if (frame == 26) {
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
  };
  hooks.beforePresent = [&](int frame) {
    ++frames;
    ViewController* vc = rootViewController();
    ASSERT_NE(vc, nullptr);
    if (frame >= 4 && frame < 14 && vc->renderer()->touch->count == 1) ++touchesDuringDrag;
    if (vc->renderer()->fluid_interpolated_num_ > 0) ++strokeFrames;
    if (vc->optionView().isOptionVisible()) panelOpened = true;
    if (frame == 20) fontSizeBefore = ImGui::GetIO().Fonts->Fonts[0]->FontSize;
    if (frame == 23) {
      fontSizeAfter = ImGui::GetIO().Fonts->Fonts[0]->FontSize;
      widthAfter = vc->renderer()->width;
      panelWidthAfter = vc->controlsViewController()->view().frame.width;
    }
  };

  foundation::Result<int> status = app::runWindowed(hooks);
  ASSERT_TRUE(status.ok()) << status.error().text();
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(frames, 26);  // the quit comes before frame 26 is drawn
  EXPECT_EQ(touchesDuringDrag, 10);
  EXPECT_GT(strokeFrames, 3);
  EXPECT_TRUE(panelOpened);
  EXPECT_EQ(fontSizeBefore, 20);
  EXPECT_EQ(fontSizeAfter, 28);
  EXPECT_EQ(widthAfter, 1000);
  EXPECT_EQ(panelWidthAfter, 1000);

  std::vector<std::string> lifeCycle;
  for (const std::string& line : log.lines()) {
    if (line.rfind("[tolv] ", 0) == 0) lifeCycle.push_back(line);
  }
  EXPECT_EQ(lifeCycle, (std::vector<std::string>{"[tolv] connected", "[tolv] sceneWillEnterForeground",
                                                 "[tolv] sceneDidBecomeActive", "[tolv] sceneWillResignActive",
                                                 "[tolv] sceneDidEnterBackground", "[tolv] disconnected"}));
  EXPECT_TRUE(log.contains("Visit Number 0"));
  EXPECT_EQ(ui::Application::shared().windows().size(), 0u);

  home.relaunch();
  auto defaults = foundation::UserDefaults::standard();
  EXPECT_EQ(defaults->name(), foundation::kToyBundleIdentifier);
  EXPECT_FLOAT_EQ(defaults->floatForKey("vorticityKey"), 9);
  EXPECT_EQ(defaults->integerForKey("visitNumberKey"), 1);
}

}  // namespace
