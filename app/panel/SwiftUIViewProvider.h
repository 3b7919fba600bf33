// The bridge between the view controller and the control panel. The view
// controller talks only to SwiftUIHandler; the provider builds and hosts the
// panel, remembers the last announced track and play state and the current
// panel, and applies every push later on the main queue, in order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/panel/ControlsView.h"
#include "app/support/MainQueue.h"
#include "platform/panel/view.h"

using ControlsHostingController = panel::HostingController<ControlsView>;

// The 1-based track number at the head of a title such as "3.mp3": the text
// before the first ".", an optional sign and decimal digits only, within the
// 64-bit range. Empty when the title says nothing usable.
std::optional<std::int64_t> trackNumberFromTitle(const std::string& title);

class SwiftUIViewProvider {
 public:
  // The queue every push runs on. Must be set before the first push.
  static void setMainQueue(app::MainQueue* queue);
  // Forgets the announced state and the current panel (for tests).
  static void reset();

  static std::shared_ptr<panel::ViewController> createControlsViewController(const ControlsView::Values& values,
                                                                             ControlsView::Closures closures);
  static void updateMusicInfo(const std::string& title, bool isPlaying);
  static void updateFluidStates(std::shared_ptr<panel::ViewController> controller, bool isUsingShading,
                                bool isUsingBloom, bool isUsingSunrays, bool isRenderPoint);

  static std::int64_t currentTrack();
  static bool currentIsPlaying();
  static std::shared_ptr<ControlsHostingController> currentHostingController();

 private:
  static void applyMusicInfo(const std::string& title, bool isPlaying);
  static void applyFluidStates(const std::shared_ptr<panel::ViewController>& controller, bool isUsingShading,
                               bool isUsingBloom, bool isUsingSunrays, bool isRenderPoint);
  static void relayoutHostingView(const std::shared_ptr<panel::ViewController>& controller);
  static void pushMusic(const std::shared_ptr<ControlsHostingController>& controller);
};

// The view controller's only entry to the panel.
class SwiftUIHandler {
 public:
  static std::shared_ptr<panel::ViewController> createSettingsController(const ControlsView::Values& values,
                                                                         ControlsView::Closures blocks);
  static void updateMusicInfo(const std::string& title, bool isPlaying);
  static void updateFluidStates(std::shared_ptr<panel::ViewController> controller, bool isUsingShading,
                                bool isUsingBloom, bool isUsingSunrays, bool isRenderPoint);
};
