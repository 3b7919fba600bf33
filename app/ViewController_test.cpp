#include "app/ViewController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "app/panel/SwiftUIViewProvider.h"
#include "app/support/FakeAudio.h"
#include "app/support/ManualMainQueue.h"
#include "engine/Log.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "platform/panel/headless.h"
#include "platform/ui/Touch.h"
#include "platform/ui/Views.h"
#include "resources/resources.h"
#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"

namespace {

// Counts the touch store's hooks in place of the engine.
class RecordingTouchDelegate : public StarTouchDelegate {
 public:
  void touchesEnded() override { calls.push_back("ended"); }
  void touchesBegan() override { calls.push_back("began"); }
  void touchesMoved() override { calls.push_back("moved"); }
  void touchesCancelled() override { calls.push_back("cancelled"); }
  std::vector<std::string> calls;
};

class LoadingSheet : public store::ProductViewController {
 public:
  void loadProduct(std::int64_t itemIdentifier, Completion completion) override {
    loaded = itemIdentifier;
    completion(std::nullopt);
  }
  std::int64_t loaded = 0;
};

// A view of 100 x 75 points at 2 pixels per point, on an offscreen drawable.
class ViewControllerTest : public ::testing::Test {
 protected:
  ViewControllerTest() {
    SwiftUIViewProvider::setMainQueue(&queue);
    SwiftUIViewProvider::reset();
    engine::setPrintSink([this](std::string_view text) { engineLines.emplace_back(text); });
    auto made = ui::HeadlessView::create(ui::Size{100, 75}, 2.0);
    if (!made.ok()) throw std::runtime_error(made.error().text());
    view = std::move(made).value();
  }
  ~ViewControllerTest() override {
    controller.reset();
    SwiftUIViewProvider::reset();
    SwiftUIViewProvider::setMainQueue(nullptr);
    engine::setPrintSink(nullptr);
  }

  ViewController::Services services() {
    ViewController::Services s;
    s.queue = &queue;
    s.audioSession = &session;
    s.players = &players;
    s.resourcePath = resourcePath;
    s.application = &application;
    s.makeSheet = [this] { return makeSheet(); };
    s.openURL = [this](const std::string& link) { opened.push_back(link); };
    s.pick = [](std::size_t) { return std::size_t{1}; };
    s.environment = environment;
    return s;
  }
  void launch() {
    controller = std::make_shared<ViewController>(*view, services());
    controller->loadViewIfNeeded();
    queue.drain();
  }
  // What the provider's current panel shows.
  ControlsView& panelView() { return SwiftUIViewProvider::currentHostingController()->rootView(); }
  bool logged(const std::string& line) const {
    auto lines = log.lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  testkit::TemporaryHome home;
  testkit::LogCapture log;
  app::ManualMainQueue queue;
  app::testing::FakeSession session;
  app::testing::FakeFactory players;
  ui::Application application;
  std::unique_ptr<ui::HeadlessView> view;
  std::string resourcePath = resources::testBundlePath();
  std::function<std::shared_ptr<store::ProductViewController>()> makeSheet = [] {
    return std::make_shared<store::DesktopProductViewController>();
  };
  panel::Environment* environment = nullptr;
  std::vector<std::string> opened;
  std::vector<std::string> engineLines;
  std::shared_ptr<ViewController> controller;
};

TEST_F(ViewControllerTest, LoadingBuildsTheEngineAtTheViewsSizeWithTheFirstLaunchSettings) {
  launch();
  Renderer* r = controller->renderer();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(view->delegate, controller.get());
  EXPECT_TRUE(view->multipleTouchEnabled);
  EXPECT_EQ(controller->statusBarAppearanceUpdates, 1);
  EXPECT_FLOAT_EQ(r->width, 200);
  EXPECT_FLOAT_EQ(r->height, 150);
  EXPECT_FLOAT_EQ(r->fingerRadius, 0.02f);
  EXPECT_FLOAT_EQ(r->colorDiffusion, 1.0f);
  EXPECT_FLOAT_EQ(r->velocityDiffusion, 0.2f);
  EXPECT_FLOAT_EQ(r->pressure, 0.8f);
  EXPECT_EQ(r->lineNum, 9000);
  EXPECT_EQ(r->particleNum, 100);
  EXPECT_TRUE(logged("Visit Number 0"));
  EXPECT_TRUE(logged("iPhone Interface (Metal)"));
  EXPECT_TRUE(controller->isIPhoneDevice());
  EXPECT_EQ(controller->settingButton()->imageName, "toResource/toiPhone/settingbt");
  EXPECT_EQ(controller->optionContainer()->frame, ui::makeRect(0, 0, 100, 75));
  EXPECT_TRUE(controller->optionView().containerHidden());
  EXPECT_FALSE(controller->optionView().isOptionVisible());
  // The music starts with the first track.
  ASSERT_NE(players.last, nullptr);
  EXPECT_TRUE(players.last->playing);
  EXPECT_EQ(std::filesystem::path(players.last->path).filename(), "1.mp3");

  // The next launch counts one earlier visit and keeps the engine's settings.
  controller.reset();
  home.relaunch();
  launch();
  EXPECT_TRUE(logged("Visit Number 1"));
}

TEST_F(ViewControllerTest, AppearingInTheKeyWindowIsTheMeasuredScreen) {
  launch();
  ui::Window window;
  window.rootViewController = controller.get();
  ui::Application::shared().addWindow(&window);
  ui::Application::shared().makeKeyWindow(&window);
  controller->setViewWindow(&window);
  controller->viewDidAppear(false);
  auto screen = QZMScreenViewReporter::sharedInstance()->currentScreen();
  ui::Application::shared().removeWindow(&window);
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->className(), "ViewController");
  // Nothing configured the SDK: its screen view waits, and no engine starts.
  EXPECT_FALSE(QZMMeasurementBase::wasSharedInstanceCreationAttempted());
}

TEST_F(ViewControllerTest, TheOrientationAnswersAreLandscape) {
  launch();
  EXPECT_TRUE(controller->shouldAutorotate());
  EXPECT_EQ(controller->supportedInterfaceOrientations(), 24u);
  EXPECT_EQ(controller->preferredInterfaceOrientationForPresentation(), ui::InterfaceOrientation::landscapeLeft);
  EXPECT_EQ(static_cast<int>(controller->preferredInterfaceOrientationForPresentation()), 4);
  EXPECT_TRUE(controller->prefersHomeIndicatorAutoHidden());
}

TEST_F(ViewControllerTest, EachSetterStoresForwardsAndLogs) {
  launch();
  Renderer* r = controller->renderer();
  struct Row {
    const char* name;
    std::function<void()> call;
    std::function<bool()> engineHas;
    const char* line;
  };
  const Row rows[] = {
      {"options", [&] { controller->setFluidOptions(0.05f, 12.5f, 0.5f, 3.0f, 4.0f, 2.0f); },
       [&] {
         return r->fingerRadius == 0.05f && r->vorticity == 12.5f && r->pressure == 0.5f &&
                r->colorDiffusion == 3.0f && r->velocityDiffusion == 4.0f && r->splatForce == 2.0f &&
                r->splatScale == 3000.0f;
       },
       "setFluidOptions - fingerRadius: 0.050000, vorticity: 12.500000, pressure: 0.500000, colorDiffusion: "
       "3.000000, velocityDiffusion: 4.000000, splatForce: 2.000000"},
      {"effects", [&] { controller->setFluidEffects(true, false, true); },
       [&] { return r->usingShading && !r->usingBloom && r->usingSunrays && !r->use_shading_pressure; },
       "setFluidEffects - shading: ON, bloom: OFF, sunrays: ON"},
      {"particles", [&] { controller->setFluidParticles(false, 57, 0.95f, 0.01f, 3, 1200); },
       [&] {
         return !r->renderPoint && r->particleNum == 57 && r->damping == 0.95f && r->particleRadius == 0.01f &&
                r->particleFrequency == 3 && r->lineNum == 1200;
       },
       "setFluidParticles - renderPoint: OFF, particleNum: 57, damping: 0.950000, particleRadius: 0.010000, "
       "particleFrequency: 3, lineNum: 1200"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.call();
    EXPECT_TRUE(row.engineHas());
    EXPECT_EQ(log.lines().back(), row.line);
  }
  const FluidSettings& s = controller->settings();
  EXPECT_EQ(s.particleNum, 57);
  EXPECT_FLOAT_EQ(s.pressure, 0.5f);
  EXPECT_FALSE(s.usingBloom);
}

TEST_F(ViewControllerTest, TouchesReachTheStoreInDrawablePixelsFromTheBottomLeft) {
  launch();
  StarTouch& store = *controller->renderer()->touch;
  RecordingTouchDelegate hooks;
  store.delegate = &hooks;
  auto at = [](double x, double y) { return ui::Touch{{x, y}, {x, y}}; };

  // Top-left and bottom-left corners of a view 75 points high at scale 2.
  controller->touchesBegan(ui::TouchEvent{{at(0, 0), at(0, 75)}});
  EXPECT_EQ(store.count, 2);
  EXPECT_EQ(store.current[0], float2(0, 150));
  EXPECT_EQ(store.current[1], float2(0, 0));

  controller->touchesMoved(ui::TouchEvent{{ui::Touch{{10, 5}, {0, 0}}, at(0, 75)}});
  EXPECT_EQ(store.count, 2);
  EXPECT_EQ(store.current[0], float2(20, 140));
  EXPECT_EQ(store.previous[0], float2(0, 150));

  // Lifting keeps the points and empties the count.
  controller->touchesEnded(ui::TouchEvent{{at(12.5, 7.25)}});
  EXPECT_EQ(store.count, 0);
  EXPECT_EQ(store.current[0], float2(25, 135.5f));
  EXPECT_EQ(store.current[1], float2(0, 0));

  controller->touchesBegan(ui::TouchEvent{{at(50, 50)}});
  controller->touchesCancelled(ui::TouchEvent{{at(60, 50)}});
  EXPECT_EQ(store.count, 0);
  EXPECT_EQ(store.current[0], float2(120, 50));
  EXPECT_EQ(hooks.calls, (std::vector<std::string>{"began", "moved", "ended", "began"}));

  // More touches than the store holds: ten slots, and the count says ten.
  ui::TouchEvent many;
  for (int i = 0; i < 14; ++i) many.allTouches.push_back(at(i, 10));
  controller->touchesBegan(many);
  EXPECT_EQ(store.count, StarTouch::kSlots);
  EXPECT_EQ(store.current[9], float2(18, 130));
}

TEST_F(ViewControllerTest, FingerEventsFromSdlReachTheStore) {
  launch();
  StarTouch& store = *controller->renderer()->touch;
  RecordingTouchDelegate hooks;
  store.delegate = &hooks;
  ui::TouchTranslator translator(
      *controller, [this] { return view->frame().size; },
      [this](ui::Point p) { return controller->subviewTakesTouch(p); });
  auto finger = [](Uint32 type, SDL_FingerID id, float x, float y) {
    SDL_Event e{};
    e.type = type;
    e.tfinger.touchId = 3;
    e.tfinger.fingerId = id;
    e.tfinger.x = x;
    e.tfinger.y = y;
    return e;
  };
  // On the settings button: the panel's, not the fluid's.
  translator.handleEvent(finger(SDL_FINGERDOWN, 9, 0.3f, 0.3f));
  EXPECT_TRUE(hooks.calls.empty());
  // Right of the button (it covers x 10 to 80 of this 100-point view).
  translator.handleEvent(finger(SDL_FINGERDOWN, 1, 0.9f, 1.0f));
  translator.handleEvent(finger(SDL_FINGERDOWN, 2, 1.0f, 0.5f));
  translator.handleEvent(finger(SDL_FINGERMOTION, 1, 0.5f, 1.0f));
  translator.handleEvent(finger(SDL_FINGERMOTION, 2, 0.95f, 0.5f));
  translator.endBatch();
  EXPECT_EQ(store.count, 2);
  EXPECT_EQ(store.current[0], float2(100, 0));
  EXPECT_NEAR(store.previous[0].x, 180, 1e-3);
  EXPECT_EQ(store.previous[0].y, 0);
  EXPECT_EQ(store.current[1], float2(190, 75));
  translator.handleEvent(finger(SDL_FINGERUP, 1, 0.5f, 1.0f));
  EXPECT_EQ(store.count, 0);
  translator.cancelAll();
  EXPECT_EQ(store.count, 0);
  EXPECT_EQ(hooks.calls, (std::vector<std::string>{"began", "began", "moved", "ended"}));
}

TEST_F(ViewControllerTest, ASizeChangeKeepsTheUsersSettingsInTheEngine) {
  launch();
  controller->setFluidParticles(true, 80, 0.97f, 0.01f, 1, 1234);
  engineLines.clear();
  view->resize(ui::Size{120, 60});
  Renderer* r = controller->renderer();
  EXPECT_FLOAT_EQ(r->width, 240);
  EXPECT_FLOAT_EQ(r->height, 120);
  EXPECT_EQ(r->lineNum, 1234);
  EXPECT_EQ(r->particleNum, 80);
  ASSERT_FALSE(engineLines.empty());
  EXPECT_EQ(engineLines.front(), "drawableSizeWillChange240 & 120\n");

  // Running: no frame of its own. Paused: one at once.
  auto* drawable = static_cast<gpu::SurfaceDrawable*>(view->currentDrawable());
  const int presented = drawable->presentedCount();
  view->resize(ui::Size{100, 75});
  EXPECT_EQ(static_cast<gpu::SurfaceDrawable*>(view->currentDrawable())->presentedCount(), presented);
  view->paused = true;
  view->resize(ui::Size{90, 70});
  EXPECT_EQ(static_cast<gpu::SurfaceDrawable*>(view->currentDrawable())->presentedCount(), presented + 1);
}

TEST_F(ViewControllerTest, AFramePresentsTheDrawable) {
  launch();
  auto* drawable = static_cast<gpu::SurfaceDrawable*>(view->currentDrawable());
  view->draw();
  view->draw();
  EXPECT_EQ(drawable->presentedCount(), 2);
}

// A view larger than the GPU can draw into: the engine draws at the size
// fitted within the limit, which is said once each time the view goes past it;
// touches land in the fitted picture, and frames are drawn.
TEST_F(ViewControllerTest, AViewPastTheGpusLimitIsDrawnFittedAndSaysSoOnce) {
  launch();
  const gpu::Extent limit = view->systemDefaultDevice()->maxRenderTargetSize();
  auto boundLines = [this] {
    auto lines = log.lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("is larger than the GPU can draw into") != std::string::npos;
    });
  };
  // One pixel wider than the limit, at 2 pixels per point.
  const double wide = static_cast<double>(limit.width + 1) / 2;
  view->resize(ui::Size{wide, 20});
  Renderer* r = controller->renderer();
  EXPECT_FLOAT_EQ(r->width, static_cast<float>(limit.width));
  EXPECT_FLOAT_EQ(r->height, 40);
  ASSERT_EQ(boundLines(), 1);
  EXPECT_TRUE(log.contains(absl::StrCat("The drawable (", limit.width + 1, " x 40) is larger than the GPU can draw into (",
                                        limit.width, " x ", limit.height, " at most): the fluid is drawn at ",
                                        limit.width, " x 40 and scaled to the window")));

  // The top-right corner of the view is the top-right corner of the picture.
  StarTouch& store = *r->touch;
  controller->touchesBegan(ui::TouchEvent{{ui::Touch{{wide, 0}, {wide, 0}}}});
  EXPECT_FLOAT_EQ(store.current[0].x, static_cast<float>(limit.width));
  EXPECT_FLOAT_EQ(store.current[0].y, 40);
  controller->touchesEnded(ui::TouchEvent{{ui::Touch{{wide, 0}, {wide, 0}}}});

  // A stroke across the middle, drawn.
  controller->touchesBegan(ui::TouchEvent{{ui::Touch{{wide * 0.25, 10}, {wide * 0.25, 10}}}});
  for (int frame = 1; frame <= 4; ++frame) {
    const double x = wide * (0.25 + 0.1 * frame);
    controller->touchesMoved(ui::TouchEvent{{ui::Touch{{x, 10}, {x - wide * 0.1, 10}}}});
    view->draw();
  }
  auto* drawable = static_cast<gpu::SurfaceDrawable*>(view->currentDrawable());
  EXPECT_EQ(drawable->presentedCount(), 4);
  ASSERT_EQ(drawable->texture()->width(), limit.width);
  std::vector<std::uint8_t> pixels = drawable->texture()->readBytes();
  bool lit = false;
  for (std::size_t i = 0; i < pixels.size() && !lit; i += 4) lit = pixels[i] + pixels[i + 1] + pixels[i + 2] > 0;
  EXPECT_TRUE(lit) << "the stroke left no dye";

  // Further past the limit: nothing new. Back within, then past it the other
  // way: said again.
  view->resize(ui::Size{wide + 1, 20});
  EXPECT_EQ(boundLines(), 1);
  view->resize(ui::Size{100, 75});
  EXPECT_FLOAT_EQ(r->width, 200);
  EXPECT_FLOAT_EQ(r->height, 150);
  EXPECT_EQ(boundLines(), 1);
  view->resize(ui::Size{20, static_cast<double>(limit.height + 1) / 2});
  EXPECT_EQ(boundLines(), 2);
  EXPECT_FLOAT_EQ(r->width, 40);
  EXPECT_FLOAT_EQ(r->height, static_cast<float>(limit.height));
}

TEST_F(ViewControllerTest, ThePanelOpensWithTheEnginesValuesAndClosingSaves) {
  launch();
  controller->toggleOptionView();
  queue.drain();
  EXPECT_TRUE(controller->optionView().isOptionVisible());
  EXPECT_EQ(controller->optionView().settingsOpenCount(), 1);
  ASSERT_NE(controller->controlsViewController(), nullptr);
  EXPECT_TRUE(logged("Setting fluid states - Shading: ON, Bloom: ON, Sunrays: ON, RenderPoint: ON"));
  EXPECT_EQ(panelView().settingsOpenCount, 1);
  EXPECT_TRUE(panelView().isPlaying);

  // An edit made on the panel reaches the engine; the next panel starts from it.
  panelView().vorticity = 33;
  panelView().sendFluidOptions();
  EXPECT_FLOAT_EQ(controller->renderer()->vorticity, 33);
  panelView().isUsingBloom = false;
  panelView().sendFluidEffects();

  // The panel's close button: saved, panel dropped, fading out, then hidden.
  auto& defaults = *foundation::UserDefaults::standard();
  EXPECT_FALSE(defaults.objectForKey("vorticityKey"));
  controller->closeOptionView();
  EXPECT_FLOAT_EQ(defaults.floatForKey("vorticityKey"), 33);
  EXPECT_FALSE(defaults.boolForKey("usingBloomKey"));
  EXPECT_EQ(controller->controlsViewController(), nullptr);
  EXPECT_FALSE(controller->optionView().containerHidden());
  queue.advance(0.5);
  EXPECT_TRUE(controller->optionView().containerHidden());

  controller->toggleOptionView();
  queue.drain();
  EXPECT_FLOAT_EQ(panelView().vorticity, 33);
  EXPECT_FALSE(panelView().isUsingBloom);
  EXPECT_EQ(panelView().settingsOpenCount, 2);

  // The settings button closes it too, and keeps the settings as well.
  panelView().vorticity = 7;
  panelView().sendFluidOptions();
  controller->toggleOptionView();
  home.relaunch();
  EXPECT_FLOAT_EQ(foundation::UserDefaults::standard()->floatForKey("vorticityKey"), 7);
}

TEST_F(ViewControllerTest, ThePanelsClosuresCallTheControllerWhileItLives) {
  launch();
  controller->toggleOptionView();
  queue.drain();
  std::shared_ptr<ControlsHostingController> hosted = SwiftUIViewProvider::currentHostingController();
  ControlsView& v = hosted->rootView();
  v.particleNum = 42;
  v.sendFluidParticles();
  EXPECT_EQ(controller->settings().particleNum, 42);
  v.playPauseAction();  // pause
  EXPECT_FALSE(controller->music().appMusicPlaying());
  v.nextTrackAction();
  EXPECT_EQ(controller->music().currentMusicTrack(), 1u);
  v.previousTrackAction();
  EXPECT_EQ(controller->music().currentMusicTrack(), 0u);

  // Once the controller is gone the panel's closures do nothing.
  controller.reset();
  const std::size_t lines = log.lines().size();
  v.sendFluidOptions();
  v.sendFluidEffects();
  v.sendFluidParticles();
  v.playPauseAction();
  v.nextTrackAction();
  EXPECT_EQ(log.lines().size(), lines);
}

TEST_F(ViewControllerTest, QuittingSavesTheSettings) {
  launch();
  controller->setFluidOptions(0.04f, 2, 0.8f, 5, 6, 1.5f);
  application.post(ui::Notification::applicationWillTerminate);
  home.relaunch();
  auto defaults = foundation::UserDefaults::standard();
  EXPECT_FLOAT_EQ(defaults->floatForKey("fingerRadiusKey"), 0.04f);
  EXPECT_FLOAT_EQ(defaults->floatForKey("colorDiffusionKey"), 5);
}

TEST_F(ViewControllerTest, RotatingWhileOpenRebuildsThePanelAtFullOpacity) {
  launch();
  application.post(ui::Notification::deviceOrientationDidChange);  // closed: only a layout
  EXPECT_EQ(controller->controlsViewController(), SwiftUIViewProvider::currentHostingController());
  controller->toggleOptionView();
  queue.drain();
  auto before = controller->controlsViewController();
  EXPECT_LT(controller->optionView().containerAlpha(), 1.0f);
  view->resize(ui::Size{80, 60});
  application.post(ui::Notification::deviceOrientationDidChange);
  EXPECT_NE(controller->controlsViewController(), before);
  EXPECT_EQ(controller->optionContainer()->frame, ui::makeRect(0, 0, 80, 60));
  EXPECT_FLOAT_EQ(controller->optionView().containerAlpha(), 1.0f);
  EXPECT_FLOAT_EQ(controller->controlsViewController()->view().frame.width, 80);
  EXPECT_TRUE(controller->optionView().isOptionVisible());
  const std::size_t lines = log.lines().size();
  queue.advance(0.05);
  EXPECT_EQ(log.lines().size(), lines);
  queue.advance(0.06);
  EXPECT_TRUE(log.contains("Setting fluid states"));
}

TEST_F(ViewControllerTest, TheSpecialButtonOpensTheLinkOrPresentsTheSheet) {
  launch();
  // Even openings (none yet): the single product, whose sheet never loads here.
  controller->handleSpecialButtonTap();
  EXPECT_EQ(opened, (std::vector<std::string>{StoreProducts::placeholders().single.link}));
  EXPECT_EQ(controller->presentedViewController(), nullptr);

  auto sheet = std::make_shared<LoadingSheet>();
  makeSheet = [sheet] { return sheet; };
  controller.reset();
  launch();
  controller->toggleOptionView();  // the first opening: a product of the list
  controller->handleSpecialButtonTap();
  EXPECT_EQ(sheet->loaded, StoreProducts::placeholders().list[1].itemIdentifier);
  EXPECT_EQ(controller->presentedViewController(), sheet);
  controller->productViewControllerDidFinish(sheet);
  EXPECT_EQ(controller->presentedViewController(), nullptr);
}

TEST_F(ViewControllerTest, WithoutTheButtonImageThereIsNoOptionView) {
  resourcePath = home.root();
  launch();
  EXPECT_TRUE(logged("Warning: Could not find image toResource/toiPhone/settingbt"));
  EXPECT_EQ(controller->settingButton(), nullptr);
  EXPECT_EQ(controller->optionContainer(), nullptr);
  EXPECT_EQ(controller->controlsViewController(), nullptr);
  EXPECT_FALSE(controller->subviewTakesTouch(ui::Point{20, 20}));
}

TEST_F(ViewControllerTest, ThePadUsesItsOwnImage) {
  application.userInterfaceIdiom = ui::UserInterfaceIdiom::pad;
  launch();
  EXPECT_TRUE(logged("iPad Interface (Metal)"));
  EXPECT_FALSE(controller->isIPhoneDevice());
  EXPECT_EQ(controller->settingButton()->imageName, "toResource/toiPad/settingbt2");
}

TEST_F(ViewControllerTest, TheSettingsButtonTakesItsTouchesAndOpensThePanel) {
  panel::HeadlessContext imgui(100, 75);
  environment = &imgui.environment();
  launch();
  auto draw = [&] { controller->drawSubviews(); };
  EXPECT_TRUE(controller->subviewTakesTouch(ui::Point{45, 45}));
  EXPECT_FALSE(controller->subviewTakesTouch(ui::Point{90, 60}));
  imgui.click(ImVec2(45, 45), draw);
  queue.drain();
  EXPECT_TRUE(controller->optionView().isOptionVisible());
  // The open container covers the view: every touch is the panel's.
  EXPECT_TRUE(controller->subviewTakesTouch(ui::Point{90, 60}));
  queue.advance(0.25);
  imgui.frame(draw);
  EXPECT_NEAR(controller->controlsViewController()->view().alpha, 0.5f, 0.01f);
  imgui.click(ImVec2(45, 45), draw);
  EXPECT_FALSE(controller->optionView().isOptionVisible());
  queue.advance(0.5);
  EXPECT_FALSE(controller->subviewTakesTouch(ui::Point{90, 60}));
}

TEST_F(ViewControllerTest, ThePanelsCloseButtonClosesItWhileItDraws) {
  panel::HeadlessContext imgui(400, 300);
  environment = &imgui.environment();
  view.reset();
  view = ui::HeadlessView::create(ui::Size{400, 300}, 0.5).value();
  launch();
  auto draw = [&] { controller->drawSubviews(); };
  controller->toggleOptionView();
  queue.advance(0.5);
  imgui.frame(draw);
  panel::Rect close = panelView().lastLayout().at("close");
  imgui.click(ImVec2(close.midX(), close.midY()), draw);
  EXPECT_EQ(controller->controlsViewController(), nullptr);
  EXPECT_FALSE(controller->optionView().isOptionVisible());
  EXPECT_TRUE(foundation::UserDefaults::standard()->objectForKey("fingerRadiusKey").has_value());
}

class NoDeviceView : public ui::MetalView {
 public:
  std::shared_ptr<gpu::Device> systemDefaultDevice() override { return nullptr; }
  ui::Rect frame() const override { return ui::makeRect(0, 0, 10, 10); }
  double contentScaleFactor() const override { return 1; }
  ui::Size drawableSize() const override { return {10, 10}; }
  void setDrawableSize(ui::Size) override {}
  gpu::Drawable* currentDrawable() override { return nullptr; }
};

TEST_F(ViewControllerTest, WithoutADeviceNothingIsDrawnAndNothingBreaks) {
  NoDeviceView none;
  controller = std::make_shared<ViewController>(none, services());
  controller->loadViewIfNeeded();
  EXPECT_TRUE(log.contains("No GPU device"));
  EXPECT_EQ(controller->renderer(), nullptr);
  controller->drawInMTKView(none);
  controller->touchesBegan(ui::TouchEvent{{ui::Touch{}}});
  controller->drawableSizeWillChange(none, ui::Size{20, 20});
  controller.reset();
}

}  // namespace
