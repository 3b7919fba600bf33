// The panel's building blocks: a titled slider that reports only when a drag
// begins and ends, a toggle style that puts the caller's label beside a
// shrunken switch, and the drawn slider thumb installed for every slider.
#pragma once

#include <functional>
#include <string>

#include "platform/panel/controls.h"
#include "platform/panel/view.h"

// Read and write access to a value that someone else owns.
template <class T>
struct Binding {
  std::function<T()> get;
  std::function<void(T)> set;

  static Binding to(T* storage) {
    return {[storage] { return *storage; }, [storage](T value) { *storage = value; }};
  }
};

struct ClosedRange {
  float lowerBound;
  float upperBound;
};

struct Size {
  float width = 0;
  float height = 0;
};

class SliderView {
 public:
  SliderView(Binding<float> value, ClosedRange range, std::string title, Size usableSize,
             std::function<void(float)> onChange);
  // Draws the title and the slider from the top-left corner of `frame`.
  void body(panel::Rect frame, const panel::Environment& environment, const char* id);
  // The title's line height for a panel `usableWidth` wide.
  static float titleHeight(float usableWidth);

 private:
  Binding<float> value_;
  ClosedRange range_;
  std::string title_;
  Size usableSize_;
  std::function<void(float)> onChange_;
};

// The label of a toggle: its text, font size and colour.
struct ToggleLabel {
  std::string text;
  float fontSize;
  ImU32 colour;
};

class CompactToggleStyle {
 public:
  explicit CompactToggleStyle(float spacing) : spacing_(spacing) {}
  // Draws label and switch from the left of `origin`, centred on its height;
  // returns the frame they took. A click on the switch flips the binding.
  panel::Rect makeBody(const ToggleLabel& label, Binding<bool> isOn, ImVec2 origin,
                       const panel::Environment& environment, const char* id);
  static constexpr float kSwitchScale = 0.7f;
  static Size size(const ToggleLabel& label, float spacing, const panel::Environment& environment);

 private:
  float spacing_;
};

// Installs a white disc with a thin light-grey rim as the thumb of every
// slider, sized from the native thumb of a slider w x h points.
void configureSliderThumb(float w, float h);
