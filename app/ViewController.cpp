#include "app/ViewController.h"

#include <cmath>
#include <sstream>

#include "app/panel/SwiftUIViewProvider.h"
#include "app/support/AppLog.h"
#include "engine/Log.h"
#include "engine/StarRenderer.h"

namespace {

constexpr double kButtonSide = 70;
constexpr double kButtonInset = 10;

std::uint64_t truncated(double pixels) { return pixels > 0 ? static_cast<std::uint64_t>(pixels) : 0; }

}  // namespace

ViewController::ViewController(ui::MetalView& view, Services services)
    : ui::MetalViewController(view),
      services_(std::move(services)),
      music_(*services_.audioSession, *services_.players, services_.resourcePath, *this),
      optionView_(*services_.queue, *this),
      storeSheet_(
          services_.products, services_.makeSheet, services_.openURL,
          [this](std::shared_ptr<store::ProductViewController> sheet) { presented_ = std::move(sheet); },
          services_.pick) {
  if (!services_.application) services_.application = &ui::Application::shared();
  if (!services_.defaults) services_.defaults = foundation::UserDefaults::standard();
  if (!services_.makeRenderer) {
    services_.makeRenderer = [](std::shared_ptr<gpu::Device> device) -> std::unique_ptr<Renderer> {
      return std::make_unique<StarRenderer>(std::move(device));
    };
  }
}

ViewController::~ViewController() {
  ui::Application& application = *services_.application;
  application.removeObserver(activeObserver_);
  application.removeObserver(rotationObserver_);
  application.removeObserver(terminateObserver_);
  if (generatingOrientation_) application.endGeneratingDeviceOrientationNotifications();
  if (isViewLoaded()) music_.tearDown();
  if (view().delegate == this) view().delegate = nullptr;
  // The engine goes before the device it was made with.
  pRenderer_.reset();
  pDevice_.reset();
}

void ViewController::viewDidLoad() {
  setNeedsStatusBarAppearanceUpdate();
  pDevice_ = view().systemDefaultDevice();
  if (!pDevice_) {
    app::log("No GPU device: the fluid cannot be shown");
    return;
  }
  view().device = pDevice_;
  view().delegate = this;
  pRenderer_ = services_.makeRenderer(pDevice_);
  view().clearColor = gpu::ClearColor{0, 0, 0, 1};
  const double scale = view().contentScaleFactor();
  view().setDrawableSize(ui::Size{view().frame().width() * scale, view().frame().height() * scale});
  view().colorPixelFormat = gpu::PixelFormat::RGBA8Unorm;
  pRenderer_->drawableSizeWillChange(engineDrawableSize(view().drawableSize()));
  view().multipleTouchEnabled = true;

  ui::Application& application = *services_.application;
  application.beginGeneratingDeviceOrientationNotifications();
  generatingOrientation_ = true;
  std::weak_ptr<ViewController> weak = weak_from_this();
  auto whileAlive = [weak](void (ViewController::*method)()) {
    return [weak, method] {
      if (auto self = weak.lock()) ((*self).*method)();
    };
  };
  rotationObserver_ =
      application.addObserver(ui::Notification::deviceOrientationDidChange, whileAlive(&ViewController::didRotate));

  music_.setUp();
  loadUserPreferences();
  setupInterface();
  setupCommonInterface();
  music_.playMusic();

  activeObserver_ = application.addObserver(ui::Notification::applicationDidBecomeActive,
                                            whileAlive(&ViewController::applicationDidBecomeActive));
  // Whatever the panel changed is kept when the program ends.
  terminateObserver_ =
      application.addObserver(ui::Notification::applicationWillTerminate, whileAlive(&ViewController::savePreferences));
}

void ViewController::drawableSizeWillChange(ui::MetalView& view, ui::Size size) {
  std::ostringstream line;
  line << "drawableSizeWillChange" << size.width << " & " << size.height << "\n";
  engine::print("%s", line.str().c_str());
  if (!pRenderer_) return;
  pRenderer_->drawableSizeWillChange(engineDrawableSize(size));
  // The engine starts a new size from its own values; the user's come back.
  pushSettingsIntoEngine();
  if (view.paused) view.draw();
}

DrawableSize ViewController::engineDrawableSize(ui::Size drawable) {
  const gpu::Extent size{truncated(drawable.width), truncated(drawable.height)};
  const gpu::Extent limit = pDevice_->maxRenderTargetSize();
  const gpu::Extent fitted = gpu::fitWithin(size, limit);
  const bool bounded = fitted != size;
  if (bounded && !drawableBounded_) {
    app::log("The drawable (%zu x %zu) is larger than the GPU can draw into (%zu x %zu at most): the fluid is drawn at "
             "%zu x %zu and scaled to the window",
             size.width, size.height, limit.width, limit.height, fitted.width, fitted.height);
  }
  drawableBounded_ = bounded;
  touchScaleX_ = size.width > 0 ? static_cast<double>(fitted.width) / static_cast<double>(size.width) : 1.0;
  touchScaleY_ = size.height > 0 ? static_cast<double>(fitted.height) / static_cast<double>(size.height) : 1.0;
  return DrawableSize{fitted.width, fitted.height, 0};
}

void ViewController::drawInMTKView(ui::MetalView& view) {
  if (!pRenderer_) return;
  pRenderer_->draw(view.paused, view.currentDrawable(), view.depthStencilTexture());
}

void ViewController::didRotate() {
  view().setNeedsLayout();
  view().layoutIfNeeded();
  if (!optionView_.isOptionVisible()) return;
  setupSwiftUIControls();
  if (optionContainer_) optionContainer_->frame = view().bounds();
  optionView_.showContainerAtFullOpacity();
  layoutPanel();
  std::weak_ptr<ViewController> weak = weak_from_this();
  services_.queue->after(0.1, [weak] {
    if (auto self = weak.lock()) self->updateFluidStates();
  });
}

// ---- Touches ----

void ViewController::writeTouches(const ui::TouchEvent& event, std::vector<float2>& current,
                                  std::vector<float2>* previous) const {
  const double sx = view().contentScaleFactor() * touchScaleX_, sy = view().contentScaleFactor() * touchScaleY_;
  const double H = view().frame().height();
  // Slots past the store's are never read: keep only what fits.
  const std::size_t n = std::min<std::size_t>(event.allTouches.size(), StarTouch::kSlots);
  current.resize(n);
  if (previous) previous->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ui::Touch& t = event.allTouches[i];
    current[i] = float2(static_cast<float>(t.location.x * sx), static_cast<float>((H - t.location.y) * sy));
    if (previous) {
      (*previous)[i] = float2(static_cast<float>(t.previousLocation.x * sx),
                              static_cast<float>((H - t.previousLocation.y) * sy));
    }
  }
}

void ViewController::writeAndTell(const ui::TouchEvent& event, void (StarTouch::*write)(const float2*, int)) {
  if (!pRenderer_) return;
  std::vector<float2> current;
  writeTouches(event, current, nullptr);
  ((*pRenderer_->touch).*write)(current.data(), static_cast<int>(current.size()));
}

void ViewController::touchesBegan(const ui::TouchEvent& event) { writeAndTell(event, &StarTouch::began); }

void ViewController::touchesMoved(const ui::TouchEvent& event) {
  if (!pRenderer_) return;
  std::vector<float2> current, previous;
  writeTouches(event, current, &previous);
  pRenderer_->touch->moved(current.data(), previous.data(), static_cast<int>(current.size()));
}

void ViewController::touchesEnded(const ui::TouchEvent& event) { writeAndTell(event, &StarTouch::ended); }

// A cancelled touch tells the engine nothing; the store still takes its points.
void ViewController::touchesCancelled(const ui::TouchEvent& event) { writeAndTell(event, &StarTouch::cancelled); }

// ---- Preferences and the engine's setters ----

void ViewController::loadUserPreferences() {
  settings_ = preferences::load(*services_.defaults);
  settings_.pressure = 0.8f;
  settings_.particleFrequency = 1;
  maxParticleNum_ = preferences::kMaxParticleNum;
  pushSettingsIntoEngine();
  visitNumber_ = preferences::countVisit(*services_.defaults);
  app::log("Visit Number %lld", static_cast<long long>(visitNumber_));
}

void ViewController::pushSettingsIntoEngine() {
  if (pRenderer_) applyFluidSettings(*pRenderer_, settings_);
}

void ViewController::savePreferences() {
  foundation::Status saved = preferences::save(*services_.defaults, settings_);
  if (!saved.ok()) app::log("Preferences not saved: %s", saved.error().description.c_str());
}

void ViewController::setFluidOptions(float fingerRadius, float vorticity, float pressure, float colorDiffusion,
                                     float velocityDiffusion, float splatForce) {
  settings_.fingerRadius = fingerRadius;
  settings_.vorticity = vorticity;
  settings_.pressure = pressure;
  settings_.colorDiffusion = colorDiffusion;
  settings_.velocityDiffusion = velocityDiffusion;
  settings_.splatForce = splatForce;
  if (pRenderer_) {
    pRenderer_->setFluidOptions(fingerRadius, vorticity, pressure, colorDiffusion, velocityDiffusion, splatForce);
  }
  app::log(
      "setFluidOptions - fingerRadius: %f, vorticity: %f, pressure: %f, colorDiffusion: %f, velocityDiffusion: %f, "
      "splatForce: %f",
      fingerRadius, vorticity, pressure, colorDiffusion, velocityDiffusion, splatForce);
}

void ViewController::setFluidEffects(bool isUsingShading, bool isUsingBloom, bool isUsingSunrays) {
  settings_.usingShading = isUsingShading;
  settings_.usingBloom = isUsingBloom;
  settings_.usingSunrays = isUsingSunrays;
  if (pRenderer_) pRenderer_->setFluidEffects(isUsingShading, isUsingBloom, isUsingSunrays);
  app::log("setFluidEffects - shading: %s, bloom: %s, sunrays: %s", app::onOff(isUsingShading),
           app::onOff(isUsingBloom), app::onOff(isUsingSunrays));
}

void ViewController::setFluidParticles(bool renderPoint, std::int64_t particleNum, float damping,
                                       float particleRadius, std::int64_t particleFrequency, std::int64_t lineNum) {
  settings_.renderPoint = renderPoint;
  settings_.particleNum = particleNum;
  settings_.damping = damping;
  settings_.particleRadius = particleRadius;
  settings_.particleFrequency = particleFrequency;
  settings_.lineNum = lineNum;
  if (pRenderer_) {
    pRenderer_->setFluidParticles(renderPoint, static_cast<std::int32_t>(particleNum), damping, particleRadius,
                                  static_cast<std::int32_t>(particleFrequency), static_cast<std::int32_t>(lineNum));
  }
  app::log(
      "setFluidParticles - renderPoint: %s, particleNum: %lld, damping: %f, particleRadius: %f, particleFrequency: "
      "%lld, lineNum: %lld",
      app::onOff(renderPoint), static_cast<long long>(particleNum), damping, particleRadius,
      static_cast<long long>(particleFrequency), static_cast<long long>(lineNum));
}

// ---- Music and the panel ----

void ViewController::applicationDidBecomeActive() {
  music_.syncMusicState();
  if (isPanelShown()) rebuildPanel();
}

void ViewController::updateMusicInfo(const std::string& title, bool isPlaying) {
  SwiftUIHandler::updateMusicInfo(title, isPlaying);
}

void ViewController::updateFluidStates() {
  if (!controlsViewController_) return;
  SwiftUIHandler::updateFluidStates(controlsViewController_, settings_.usingShading, settings_.usingBloom,
                                    settings_.usingSunrays, settings_.renderPoint);
}

bool ViewController::isPanelShown() const { return optionView_.isOptionVisible() && controlsViewController_; }

void ViewController::rebuildPanel() {
  controlsViewController_.reset();
  setupSwiftUIControls();
  layoutPanel();
}

// ---- Settings button, option view and store sheet ----

void ViewController::setupInterface() {
  const bool pad = services_.application->userInterfaceIdiom == ui::UserInterfaceIdiom::pad;
  app::log("%s Interface (Metal)", pad ? "iPad" : "iPhone");
  isIPhoneDevice_ = !pad;
  auto button = std::make_shared<SettingButton>();
  button->frame = ui::makeRect(kButtonInset, kButtonInset, kButtonSide, kButtonSide);
  button->imageName = isIPhoneDevice_ ? "toResource/toiPhone/settingbt" : "toResource/toiPad/settingbt2";
  button->image = panel::imageWithContentsOfFile(services_.resourcePath + "/" + button->imageName + ".png");
  if (!button->image) {
    app::log("Warning: Could not find image %s", button->imageName.c_str());
    return;
  }
  button->shadow = panel::LayerShadow{IM_COL32(0, 0, 0, 255), ImVec2(0, 2), 5, 0.8f};
  button->inFront = true;
  settingButton_ = std::move(button);

  auto container = std::make_shared<OptionContainer>();
  container->frame = view().bounds();
  container->flexibleSize = true;
  container->clearBackground = true;
  optionContainer_ = std::move(container);
  setupSwiftUIControls();
}

void ViewController::viewDidLayoutSubviews() {
  if (settingButton_) {
    settingButton_->frame = ui::makeRect(kButtonInset, kButtonInset, kButtonSide, kButtonSide);
    settingButton_->inFront = true;
    settingButton_->hidden = false;
    settingButton_->alpha = 1.0f;
  }
  if (optionContainer_) optionContainer_->frame = view().bounds();
}

void ViewController::setupSwiftUIControls() {
  std::weak_ptr<ViewController> weak = weak_from_this();
  ControlsView::Closures blocks;
  blocks.onSetFluidOptions = [weak](float a, float b, float c, float d, float e, float f) {
    if (auto self = weak.lock()) self->setFluidOptions(a, b, c, d, e, f);
  };
  blocks.onSetFluidEffects = [weak](bool shading, bool bloom, bool sunrays) {
    if (auto self = weak.lock()) self->setFluidEffects(shading, bloom, sunrays);
  };
  blocks.onSetFluidParticles = [weak](bool renderPoint, std::int64_t particleNum, float damping, float radius,
                                      std::int64_t frequency, std::int64_t lineNum) {
    if (auto self = weak.lock()) self->setFluidParticles(renderPoint, particleNum, damping, radius, frequency, lineNum);
  };
  auto action = [weak](void (ViewController::*method)()) {
    return [weak, method] {
      if (auto self = weak.lock()) ((*self).*method)();
    };
  };
  blocks.onPlayMusic = action(&ViewController::playMusic);
  blocks.onStopMusic = action(&ViewController::stopMusic);
  blocks.onPreviousTrack = action(&ViewController::previousTrack);
  blocks.onNextTrack = action(&ViewController::nextTrack);
  blocks.onClose = action(&ViewController::closeOptionView);
  blocks.onSpecialButtonTap = action(&ViewController::handleSpecialButtonTap);

  const FluidSettings& s = settings_;
  ControlsView::Values values{s.fingerRadius,
                              s.vorticity,
                              s.pressure,
                              s.colorDiffusion,
                              s.velocityDiffusion,
                              s.splatForce,
                              s.particleNum,
                              maxParticleNum_,
                              s.particleRadius,
                              s.damping,
                              s.particleFrequency,
                              s.renderPoint,
                              s.usingShading,
                              s.usingBloom,
                              s.usingSunrays,
                              s.lineNum,
                              preferences::kMaxLineNum,
                              music_.musicTrackNumber(),
                              optionView_.settingsOpenCount(),
                              music_.appMusicPlaying()};
  // The container shows only the newest panel.
  controlsViewController_ = SwiftUIHandler::createSettingsController(values, std::move(blocks));
  panel::HostingView& hosted = controlsViewController_->view();
  const ui::Rect bounds = optionContainer_ ? optionContainer_->frame.bounds() : view().bounds();
  hosted.frame = panel::Rect{static_cast<float>(bounds.origin.x), static_cast<float>(bounds.origin.y),
                             static_cast<float>(bounds.width()), static_cast<float>(bounds.height())};
  hosted.flexibleSize = true;
  hosted.clearBackground = true;
  if (optionContainer_) optionContainer_->clearBackground = true;
}

void ViewController::layoutPanel() {
  if (!controlsViewController_) return;
  panel::HostingView& hosted = controlsViewController_->view();
  const ui::Rect bounds = optionContainer_ ? optionContainer_->frame.bounds() : view().bounds();
  hosted.frame = panel::Rect{0, 0, static_cast<float>(bounds.width()), static_cast<float>(bounds.height())};
  hosted.setNeedsLayout();
  hosted.layoutIfNeeded();
}

void ViewController::pushPanelState() {
  SwiftUIHandler::updateMusicInfo(music_.currentTitle(), music_.isMusicPlaying());
  SwiftUIHandler::updateFluidStates(controlsViewController_, settings_.usingShading, settings_.usingBloom,
                                    settings_.usingSunrays, settings_.renderPoint);
}

void ViewController::dropPanel() { controlsViewController_.reset(); }

void ViewController::handleSpecialButtonTap() { storeSheet_.handleSpecialButtonTap(optionView_.settingsOpenCount()); }

void ViewController::productViewControllerDidFinish(const std::shared_ptr<store::ProductViewController>& sheet) {
  if (presented_ == sheet) presented_.reset();
}

void ViewController::drawSubviews() {
  if (!services_.environment) return;
  if (optionContainer_ && !optionView_.containerHidden() && controlsViewController_) {
    // Held here: a close tapped while drawing drops the container's reference.
    std::shared_ptr<panel::ViewController> panelController = controlsViewController_;
    const ui::Rect& f = optionContainer_->frame;
    panel::HostingView& hosted = panelController->view();
    hosted.frame = panel::Rect{static_cast<float>(f.origin.x), static_cast<float>(f.origin.y),
                               static_cast<float>(f.width()), static_cast<float>(f.height())};
    hosted.alpha = optionView_.containerAlpha();
    panelController->draw(*services_.environment);
  }
  if (settingButton_ && !settingButton_->hidden) {
    const ui::Rect& f = settingButton_->frame;
    const panel::Rect frame{static_cast<float>(f.origin.x), static_cast<float>(f.origin.y),
                            static_cast<float>(f.width()), static_cast<float>(f.height())};
    if (panel::imageButton("##settingButton", *settingButton_->image, frame, settingButton_->shadow,
                           settingButton_->alpha, *services_.environment)) {
      toggleOptionView();
    }
  }
}

bool ViewController::subviewTakesTouch(ui::Point point) const {
  if (settingButton_ && !settingButton_->hidden && settingButton_->frame.contains(point)) return true;
  return optionContainer_ && !optionView_.containerHidden() && optionContainer_->frame.contains(point);
}
