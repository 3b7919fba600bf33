#include "app/panel/SwiftUIViewProvider.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/support/AppLog.h"
#include "platform/panel/haptics.h"

namespace {

// The provider's process-wide values; main thread only.
struct ProviderState {
  app::MainQueue* queue = nullptr;
  std::int64_t currentTrack = 0;
  bool currentIsPlaying = false;
  std::shared_ptr<ControlsHostingController> currentHostingController;
};

ProviderState& state() {
  static ProviderState s;
  return s;
}

app::MainQueue& mainQueue() {
  if (!state().queue) {
    std::fprintf(stderr, "SwiftUIViewProvider: a push came before setMainQueue\n");
    std::abort();
  }
  return *state().queue;
}

}  // namespace

std::optional<std::int64_t> trackNumberFromTitle(const std::string& title) {
  std::string piece = title.substr(0, title.find('.'));
  if (piece.empty()) return std::nullopt;
  std::size_t digits = (piece[0] == '+' || piece[0] == '-') ? 1 : 0;
  if (digits == piece.size()) return std::nullopt;
  for (std::size_t i = digits; i < piece.size(); ++i) {
    if (piece[i] < '0' || piece[i] > '9') return std::nullopt;
  }
  errno = 0;
  long long number = std::strtoll(piece.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return static_cast<std::int64_t>(number);
}

void SwiftUIViewProvider::setMainQueue(app::MainQueue* queue) { state().queue = queue; }

void SwiftUIViewProvider::reset() {
  app::MainQueue* queue = state().queue;
  state() = ProviderState{};
  state().queue = queue;
}

std::int64_t SwiftUIViewProvider::currentTrack() { return state().currentTrack; }
bool SwiftUIViewProvider::currentIsPlaying() { return state().currentIsPlaying; }
std::shared_ptr<ControlsHostingController> SwiftUIViewProvider::currentHostingController() {
  return state().currentHostingController;
}

std::shared_ptr<panel::ViewController> SwiftUIViewProvider::createControlsViewController(
    const ControlsView::Values& values, ControlsView::Closures closures) {
  auto controller = std::make_shared<ControlsHostingController>(std::make_shared<ControlsView>(values, std::move(closures)));
  state().currentHostingController = controller;
  controller->view().clearBackground = true;
  // A new panel starts from the last announced track and play state.
  controller->rootView().musicTrack = state().currentTrack;
  controller->rootView().isPlaying = state().currentIsPlaying;
  return controller;
}

void SwiftUIViewProvider::updateMusicInfo(const std::string& title, bool isPlaying) {
  mainQueue().async([title, isPlaying] { applyMusicInfo(title, isPlaying); });
}

void SwiftUIViewProvider::applyMusicInfo(const std::string& title, bool isPlaying) {
  std::optional<std::int64_t> number = trackNumberFromTitle(title);
  if (!number || *number < 1) return;
  ProviderState& s = state();
  std::int64_t old = s.currentTrack;
  s.currentTrack = *number - 1;
  s.currentIsPlaying = isPlaying;
  std::shared_ptr<ControlsHostingController> controller = s.currentHostingController;
  if (!controller) return;
  controller->rootView().musicTrack = s.currentTrack;
  controller->rootView().isPlaying = s.currentIsPlaying;
  if (s.currentTrack != old) {
    app::log("Track changed to: %lld", static_cast<long long>(s.currentTrack + 1));
    panel::ImpactFeedbackGenerator(panel::ImpactFeedbackGenerator::Style::light).impactOccurred();
    mainQueue().after(0.01, [controller] { relayoutHostingView(controller); });
  }
  mainQueue().async([controller] { pushMusic(controller); });
}

void SwiftUIViewProvider::pushMusic(const std::shared_ptr<ControlsHostingController>& controller) {
  controller->rootView().musicTrack = state().currentTrack;
  controller->rootView().isPlaying = state().currentIsPlaying;
}

void SwiftUIViewProvider::relayoutHostingView(const std::shared_ptr<panel::ViewController>& controller) {
  controller->view().setNeedsLayout();
  controller->view().layoutIfNeeded();
}

void SwiftUIViewProvider::updateFluidStates(std::shared_ptr<panel::ViewController> controller, bool isUsingShading,
                                            bool isUsingBloom, bool isUsingSunrays, bool isRenderPoint) {
  mainQueue().async([controller, isUsingShading, isUsingBloom, isUsingSunrays, isRenderPoint] {
    applyFluidStates(controller, isUsingShading, isUsingBloom, isUsingSunrays, isRenderPoint);
  });
}

void SwiftUIViewProvider::applyFluidStates(const std::shared_ptr<panel::ViewController>& controller,
                                           bool isUsingShading, bool isUsingBloom, bool isUsingSunrays,
                                           bool isRenderPoint) {
  std::shared_ptr<ControlsHostingController> target = std::dynamic_pointer_cast<ControlsHostingController>(controller);
  const char* format = "Setting fluid states - Shading: %s, Bloom: %s, Sunrays: %s, RenderPoint: %s";
  if (!target) {
    target = state().currentHostingController;
    format = "Fallback: Setting fluid states - Shading: %s, Bloom: %s, Sunrays: %s, RenderPoint: %s";
    if (!target) return;
  }
  app::log(format, app::onOff(isUsingShading), app::onOff(isUsingBloom), app::onOff(isUsingSunrays),
           app::onOff(isRenderPoint));
  ControlsView& view = target->rootView();
  view.isUsingShading = isUsingShading;
  view.isUsingBloom = isUsingBloom;
  view.isUsingSunrays = isUsingSunrays;
  view.isRenderPoint = isRenderPoint;
  view.isPlaying = state().currentIsPlaying;
  mainQueue().after(0.05, [target] { relayoutHostingView(target); });
}

std::shared_ptr<panel::ViewController> SwiftUIHandler::createSettingsController(const ControlsView::Values& values,
                                                                                ControlsView::Closures blocks) {
  std::shared_ptr<panel::ViewController> controller =
      SwiftUIViewProvider::createControlsViewController(values, std::move(blocks));
  controller->view().flexibleSize = true;
  return controller;
}

void SwiftUIHandler::updateMusicInfo(const std::string& title, bool isPlaying) {
  SwiftUIViewProvider::updateMusicInfo(title, isPlaying);
}

void SwiftUIHandler::updateFluidStates(std::shared_ptr<panel::ViewController> controller, bool isUsingShading,
                                       bool isUsingBloom, bool isUsingSunrays, bool isRenderPoint) {
  SwiftUIViewProvider::updateFluidStates(std::move(controller), isUsingShading, isUsingBloom, isUsingSunrays,
                                         isRenderPoint);
}
