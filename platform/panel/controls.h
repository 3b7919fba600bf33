// The controls the panel is made of, drawn with ImGui's draw lists at
// positions the caller lays out: a slider, a switch, a plain button, and the
// few system symbols the panel shows. Each takes its frame in window points.
#pragma once

#include <imgui.h>

#include "platform/panel/view.h"

namespace panel {

constexpr ImU32 rgba(int r, int g, int b, float a = 1.0f) {
  return IM_COL32(r, g, b, static_cast<int>(a * 255.0f + 0.5f));
}
constexpr ImU32 kWhite = rgba(255, 255, 255);
constexpr ImU32 kBlue = rgba(0, 122, 255);
constexpr ImU32 kRed = rgba(255, 59, 48);
constexpr ImU32 kLightGray = rgba(170, 170, 170);
constexpr ImU32 kClear = rgba(0, 0, 0, 0);

// A drawn thumb image: a disc filling width x height, with a rim.
struct ThumbImage {
  float width = 0, height = 0;
  ImU32 fill = kWhite;
  ImU32 stroke = kLightGray;
  float lineWidth = 0.5f;
  bool empty() const { return width <= 0 || height <= 0; }
};

enum class ControlState { normal = 0, highlighted = 1 };

// The process-wide look of every slider (a slider's appearance proxy).
class SliderAppearance {
 public:
  static void setThumbImage(const ThumbImage& image, ControlState state);
  // Empty until set; sliders then draw their own native thumb.
  static ThumbImage thumbImage(ControlState state);
  static void reset();
  // Side of the native square thumb, in points.
  static constexpr float kNativeThumbSide = 28.0f;
  // Where the native thumb sits for `value` in 0...1 on `track`, inside `bounds`.
  static Rect thumbRect(Rect bounds, Rect track, float value);
};

struct EditingChange {
  bool began = false;
  bool ended = false;
};

// A horizontal slider over [minimum, maximum]: while held, *value follows the
// mouse; `began` and `ended` mark the start and the end of one drag.
EditingChange slider(const char* id, float* value, float minimum, float maximum, Rect frame, ImU32 accent);

// A switch drawn in `frame`; a click flips *on and returns true.
bool toggleSwitch(const char* id, bool* on, Rect frame, ImU32 tint);
// The size of a switch at scale 1.
constexpr float kSwitchWidth = 51.0f;
constexpr float kSwitchHeight = 31.0f;

// An invisible button over `frame`: true when a click is released on it.
bool button(const char* id, Rect frame);
// True while the last item is held down.
bool lastItemHeld();

enum class Symbol { backwardFill, forwardFill, playFill, pauseFill, squareAndArrowDownFill };
// Draws the symbol centred in a square of side `size` around `centre`.
void drawSymbol(Symbol symbol, ImVec2 centre, float size, ImU32 colour);

}  // namespace panel
