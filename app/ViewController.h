// The application's only view controller, root of its window. Its view is the
// Metal view the fluid is drawn on; it owns the engine, feeds it frames, size
// changes and touches, keeps the user's settings (loaded at start, saved when
// the panel closes and when the program quits), plays the music, and shows the
// settings button and the option view with the control panel over the fluid.
//
// It talks only to interfaces (the view, the audio session, the main queue,
// the store, the user defaults), so tests run it on an offscreen view.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Preferences.h"
#include "app/music/MusicPlayer.h"
#include "app/panel/OptionView.h"
#include "app/support/MainQueue.h"
#include "engine/Renderer.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/panel/image.h"
#include "platform/panel/image_button.h"
#include "platform/panel/view.h"
#include "platform/ui/Application.h"
#include "platform/ui/View.h"

class ViewController : public ui::MetalViewController,
                       public ui::MTKViewDelegate,
                       public MusicHost,
                       public OptionViewHost,
                       public std::enable_shared_from_this<ViewController> {
 public:
  using MakeRenderer = std::function<std::unique_ptr<Renderer>(std::shared_ptr<gpu::Device> device)>;

  struct Services {
    app::MainQueue* queue = nullptr;
    audio::Session* audioSession = nullptr;
    audio::PlayerFactory* players = nullptr;
    // The bundle's resource folder (toResource/ lives in it).
    std::string resourcePath;
    std::shared_ptr<foundation::UserDefaults> defaults;
    ui::Application* application = nullptr;
    // The store: products, the sheet, the browser, and presenting the sheet.
    StoreProducts products = StoreProducts::placeholders();
    StoreSheet::MakeSheet makeSheet;
    StoreSheet::OpenURL openURL;
    StoreSheet::Pick pick;
    // Makes the engine; a StarRenderer unless a test says otherwise.
    MakeRenderer makeRenderer;
    // What the panel and the button are drawn with; null draws nothing.
    panel::Environment* environment = nullptr;
  };

  // The settings button: a custom button with an image and a shadow.
  struct SettingButton {
    ui::Rect frame;
    std::string imageName;
    std::shared_ptr<const panel::Image> image;
    panel::LayerShadow shadow;
    bool hidden = false;
    float alpha = 1.0f;
    bool inFront = false;
  };
  // The full-screen container of the control panel.
  struct OptionContainer {
    ui::Rect frame;
    bool flexibleSize = false;
    bool clearBackground = false;
  };

  ViewController(ui::MetalView& view, Services services);
  ~ViewController() override;

  // Part of the view's life.
  void viewDidLoad() override;
  void viewDidLayoutSubviews() override;
  bool shouldAutorotate() const override { return true; }
  ui::InterfaceOrientationMask supportedInterfaceOrientations() const override {
    return ui::kOrientationMaskLandscape;
  }
  ui::InterfaceOrientation preferredInterfaceOrientationForPresentation() const override {
    return ui::InterfaceOrientation::landscapeLeft;
  }
  bool prefersHomeIndicatorAutoHidden() const override { return true; }

  // The Metal view's delegate.
  void drawableSizeWillChange(ui::MetalView& view, ui::Size size) override;
  void drawInMTKView(ui::MetalView& view) override;

  // The device turned (on a desktop: the window was resized).
  void didRotate();

  // Touches, written into the engine's touch store in drawable pixels with
  // the origin at the bottom-left.
  void touchesBegan(const ui::TouchEvent& event) override;
  void touchesMoved(const ui::TouchEvent& event) override;
  void touchesEnded(const ui::TouchEvent& event) override;
  void touchesCancelled(const ui::TouchEvent& event) override;

  // Preferences and the engine's option setters.
  void loadUserPreferences();
  void savePreferences() override;
  void setFluidOptions(float fingerRadius, float vorticity, float pressure, float colorDiffusion,
                       float velocityDiffusion, float splatForce);
  void setFluidEffects(bool isUsingShading, bool isUsingBloom, bool isUsingSunrays);
  void setFluidParticles(bool renderPoint, std::int64_t particleNum, float damping, float particleRadius,
                         std::int64_t particleFrequency, std::int64_t lineNum);

  // Music.
  void playMusic() { music_.playMusic(); }
  void stopMusic() { music_.stopMusic(); }
  void previousTrack() { music_.previousTrack(); }
  void nextTrack() { music_.nextTrack(); }
  void applicationDidBecomeActive();

  // The settings button, the option view and the store sheet.
  void setupInterface();
  void setupCommonInterface() { optionView_.setupCommonInterface(); }
  void setupSwiftUIControls() override;
  void toggleOptionView() { optionView_.toggleOptionView(); }
  void closeOptionView() { optionView_.closeOptionView(); }
  void hideOptionView() { optionView_.hideOptionView(); }
  void handleSpecialButtonTap();
  void productViewControllerDidFinish(const std::shared_ptr<store::ProductViewController>& sheet);

  // The settings button and the option view, over the fluid.
  void drawSubviews() override;
  bool subviewTakesTouch(ui::Point point) const override;

  // State, for the shell and for tests.
  Renderer* renderer() const { return pRenderer_.get(); }
  const FluidSettings& settings() const { return settings_; }
  std::int64_t maxParticleNum() const { return maxParticleNum_; }
  std::int64_t visitNumber() const { return visitNumber_; }
  bool isIPhoneDevice() const { return isIPhoneDevice_; }
  const std::shared_ptr<SettingButton>& settingButton() const { return settingButton_; }
  const std::shared_ptr<OptionContainer>& optionContainer() const { return optionContainer_; }
  const std::shared_ptr<panel::ViewController>& controlsViewController() const { return controlsViewController_; }
  const std::shared_ptr<store::ProductViewController>& presentedViewController() const { return presented_; }
  const OptionView& optionView() const { return optionView_; }
  const MusicPlayer& music() const { return music_; }

 private:
  // MusicHost.
  void updateMusicInfo(const std::string& title, bool isPlaying) override;
  void updateFluidStates() override;
  bool isPanelShown() const override;
  void rebuildPanel() override;
  // OptionViewHost (savePreferences and setupSwiftUIControls above).
  void syncMusicState() override { music_.syncMusicState(); }
  void layoutPanel() override;
  void pushPanelState() override;
  void dropPanel() override;

  // The size the engine draws at: the view's drawable size, fitted within
  // what the GPU can draw into. Going past that is logged once; the surface
  // shows the smaller picture stretched over the window.
  DrawableSize engineDrawableSize(ui::Size drawable);
  // Pushes the settings into the engine without logging.
  void pushSettingsIntoEngine();
  void writeTouches(const ui::TouchEvent& event, std::vector<float2>& current, std::vector<float2>* previous) const;
  // Writes the event's points into the store through one of its writers.
  void writeAndTell(const ui::TouchEvent& event, void (StarTouch::*write)(const float2*, int));

  Services services_;
  std::shared_ptr<gpu::Device> pDevice_;
  std::unique_ptr<Renderer> pRenderer_;
  MusicPlayer music_;
  OptionView optionView_;
  StoreSheet storeSheet_;

  FluidSettings settings_;
  std::int64_t maxParticleNum_ = preferences::kMaxParticleNum;
  std::int64_t visitNumber_ = 0;
  bool isIPhoneDevice_ = true;

  std::shared_ptr<SettingButton> settingButton_;
  std::shared_ptr<OptionContainer> optionContainer_;
  std::shared_ptr<panel::ViewController> controlsViewController_;
  std::shared_ptr<store::ProductViewController> presented_;

  ui::Application::ObserverToken rotationObserver_ = 0;
  ui::Application::ObserverToken activeObserver_ = 0;
  ui::Application::ObserverToken terminateObserver_ = 0;
  bool generatingOrientation_ = false;
  // Drawable pixels to engine pixels, per side; 1 unless the drawable is
  // larger than the GPU can draw into.
  double touchScaleX_ = 1, touchScaleY_ = 1;
  bool drawableBounded_ = false;
};
