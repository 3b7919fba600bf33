#include "app/panel/Components.h"

#include <algorithm>

#include "platform/panel/fonts.h"

SliderView::SliderView(Binding<float> value, ClosedRange range, std::string title, Size usableSize,
                       std::function<void(float)> onChange)
    : value_(std::move(value)),
      range_(range),
      title_(std::move(title)),
      usableSize_(usableSize),
      onChange_(std::move(onChange)) {}

float SliderView::titleHeight(float usableWidth) { return 0.02f * usableWidth * 1.2f; }

void SliderView::body(panel::Rect frame, const panel::Environment& environment, const char* id) {
  float fontSize = 0.02f * usableSize_.width;
  panel::drawText(environment.fonts->regular(), fontSize, ImVec2(frame.x, frame.y), panel::kWhite, title_);
  float top = frame.y + titleHeight(usableSize_.width);
  panel::Rect track{frame.x, top, frame.width, std::max(frame.maxY() - top, 1.0f)};
  float value = value_.get();
  float before = value;
  panel::EditingChange change = panel::slider(id, &value, range_.lowerBound, range_.upperBound, track, panel::kBlue);
  if (value != before) value_.set(value);
  // Both edges of a drag, never the values between them.
  if (change.began && onChange_) onChange_(value_.get());
  if (change.ended && onChange_) onChange_(value_.get());
}

Size CompactToggleStyle::size(const ToggleLabel& label, float spacing, const panel::Environment& environment) {
  ImVec2 text = panel::textSize(environment.fonts->regular(), label.fontSize, label.text);
  float switchWidth = panel::kSwitchWidth * kSwitchScale;
  float switchHeight = panel::kSwitchHeight * kSwitchScale;
  return Size{text.x + spacing + switchWidth, std::max(text.y, switchHeight)};
}

panel::Rect CompactToggleStyle::makeBody(const ToggleLabel& label, Binding<bool> isOn, ImVec2 origin,
                                         const panel::Environment& environment, const char* id) {
  Size total = size(label, spacing_, environment);
  ImVec2 text = panel::textSize(environment.fonts->regular(), label.fontSize, label.text);
  float midY = origin.y + total.height / 2;
  panel::drawText(environment.fonts->regular(), label.fontSize, ImVec2(origin.x, midY - text.y / 2), label.colour,
                  label.text);
  // The switch is scaled about its centre; the label keeps its own size.
  float switchWidth = panel::kSwitchWidth * kSwitchScale;
  float switchHeight = panel::kSwitchHeight * kSwitchScale;
  panel::Rect frame{origin.x + text.x + spacing_, midY - switchHeight / 2, switchWidth, switchHeight};
  bool on = isOn.get();
  if (panel::toggleSwitch(id, &on, frame, panel::kBlue)) isOn.set(on);
  return panel::Rect{origin.x, origin.y, total.width, total.height};
}

void configureSliderThumb(float w, float h) {
  panel::Rect rect = panel::SliderAppearance::thumbRect(panel::Rect{0, 0, w, h}, panel::Rect{0, 0, w, 2}, 0.5f);
  panel::ThumbImage image;
  image.width = rect.width * 0.5f;
  image.height = rect.height * 0.5f;
  image.fill = panel::kWhite;
  image.stroke = panel::kLightGray;
  image.lineWidth = 0.5f;
  panel::SliderAppearance::setThumbImage(image, panel::ControlState::normal);
  panel::SliderAppearance::setThumbImage(image, panel::ControlState::highlighted);
}
