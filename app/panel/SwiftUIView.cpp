#include "app/panel/SwiftUIView.h"

#include <cstdio>

#include "platform/panel/controls.h"
#include "platform/panel/fonts.h"

std::string SwiftUIView::readout() const {
  char text[64];
  std::snprintf(text, sizeof text, "%lf", speed);
  return text;
}

ImU32 SwiftUIView::readoutColour() const { return isEditing ? panel::kRed : panel::kBlue; }

void SwiftUIView::body(const panel::GeometryProxy& geometry, const panel::Environment& environment) {
  const panel::Rect& frame = geometry.frame;
  constexpr float kTextSize = 17.0f;
  constexpr float kSliderHeight = 31.0f;
  constexpr float kSpacing = 8.0f;
  const std::string text = readout();
  ImVec2 textSize = panel::textSize(environment.fonts->regular(), kTextSize, text);
  float top = frame.midY() - (kSliderHeight + kSpacing + textSize.y) / 2;

  float value = static_cast<float>(speed);
  panel::EditingChange change =
      panel::slider("##speed", &value, 0.0f, 100.0f, panel::Rect{frame.x + 16, top, frame.width - 32, kSliderHeight},
                    panel::kBlue);
  if (static_cast<double>(value) != static_cast<double>(static_cast<float>(speed))) speed = value;
  if (change.began) isEditing = true;
  if (change.ended) isEditing = false;

  panel::drawText(environment.fonts->regular(), kTextSize,
                  ImVec2(frame.midX() - textSize.x / 2, top + kSliderHeight + kSpacing), readoutColour(), readout());
}

std::shared_ptr<panel::ViewController> SwiftUIViewFactory::makeSwiftUIView(std::function<void()> dismissHandler) {
  std::function<void()> copy = std::move(dismissHandler);
  auto controller = std::make_shared<panel::HostingController<SwiftUIView>>(std::make_shared<SwiftUIView>());
  return controller;  // the copy is released here, never called
}
