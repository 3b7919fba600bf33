#include "app/panel/OptionView.h"

#include <algorithm>
#include <cmath>
#include <random>

OptionView::OptionView(app::MainQueue& queue, OptionViewHost& host) : queue_(queue), host_(host) {}

void OptionView::setupCommonInterface() { isOptionVisible_ = false; }

float OptionView::containerAlpha() const {
  double u = std::clamp((queue_.now() - fade_.start) / kFadeSeconds, 0.0, 1.0);
  double eased = 0.5 - 0.5 * std::cos(u * 3.14159265358979323846);  // ease in, ease out
  return static_cast<float>(fade_.from + (fade_.to - fade_.from) * eased);
}

void OptionView::fadeTo(float alpha, std::function<void()> completion) {
  // A new fade starts from wherever the running one has got to.
  fade_ = Fade{containerAlpha(), alpha, queue_.now()};
  std::uint64_t generation = ++fadeGeneration_;
  queue_.after(kFadeSeconds, [this, generation, completion = std::move(completion)] {
    if (generation == fadeGeneration_ && completion) completion();
  });
}

void OptionView::toggleOptionView() {
  if (!isOptionVisible_) {
    host_.syncMusicState();
    ++settingsOpenCount_;
    isOptionVisible_ = true;
    containerHidden_ = false;
    host_.setupSwiftUIControls();
    host_.layoutPanel();
    host_.pushPanelState();
    fadeTo(1.0f, nullptr);
    return;
  }
  isOptionVisible_ = false;
  // Whichever button closes the panel, the settings are kept.
  host_.savePreferences();
  fadeTo(0.0f, [this] {
    // A quick reopen may have come first: hide only what is still meant closed.
    if (!isOptionVisible_) hideOptionView();
  });
}

void OptionView::hideOptionView() {
  settingButtonShown_ = true;
  containerHidden_ = true;
}

void OptionView::closeOptionView() {
  // The fading panel can still be tapped; that must not open it again.
  if (!isOptionVisible_) return;
  host_.dropPanel();
  toggleOptionView();
}

StoreProducts StoreProducts::placeholders() {
  // The reserved ".invalid" domain never resolves.
  return {{StoreProduct{"https://apps.store.invalid/app/id1000000001", 1000000001},
           StoreProduct{"https://apps.store.invalid/app/id1000000002", 1000000002}},
          StoreProduct{"https://apps.store.invalid/app/id1000000003", 1000000003}};
}

StoreSheet::StoreSheet(StoreProducts products, MakeSheet makeSheet, OpenURL openURL, Present present, Pick pick)
    : products_(std::move(products)),
      makeSheet_(std::move(makeSheet)),
      openURL_(std::move(openURL)),
      present_(std::move(present)),
      pick_(std::move(pick)) {
  if (!pick_) {
    pick_ = [](std::size_t count) {
      static std::mt19937 generator{std::random_device{}()};
      return std::uniform_int_distribution<std::size_t>(0, count - 1)(generator);
    };
  }
}

void StoreSheet::handleSpecialButtonTap(std::int64_t settingsOpenCount) {
  const StoreProduct& product =
      settingsOpenCount % 2 != 0 ? products_.list[std::min<std::size_t>(pick_(2), 1)] : products_.single;
  std::shared_ptr<store::ProductViewController> sheet = makeSheet_();
  std::string link = product.link;
  // The completion keeps the sheet alive until the product has loaded.
  sheet->loadProduct(product.itemIdentifier, [this, sheet, link](std::optional<store::Error> error) {
    if (error) {
      openURL_(link);
    } else {
      present_(sheet);
    }
  });
}
