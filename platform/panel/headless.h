// An ImGui context without a window, for tests: a font atlas, a display of a
// given size and a scripted mouse. Each call of frame() is one ImGui frame.
#pragma once

#include <imgui.h>

#include <functional>

#include "platform/panel/fonts.h"
#include "platform/panel/view.h"

namespace panel {

class HeadlessContext {
 public:
  HeadlessContext(float width, float height);
  ~HeadlessContext();
  HeadlessContext(const HeadlessContext&) = delete;
  HeadlessContext& operator=(const HeadlessContext&) = delete;

  Fonts& fonts() { return fonts_; }
  Environment& environment() { return environment_; }
  Rect display() const { return Rect{0, 0, width_, height_}; }

  // Runs one frame with the mouse at `mouse`, the button down or up.
  void frame(const std::function<void()>& draw);
  void mouse(ImVec2 position, bool down);

  // Scripted gestures over the frames they need, drawing `draw` in each.
  void click(ImVec2 at, const std::function<void()>& draw);
  void drag(ImVec2 from, ImVec2 to, int steps, const std::function<void()>& draw);

 private:
  ImGuiContext* context_;
  Fonts fonts_;
  Environment environment_;
  float width_, height_;
  ImVec2 mouse_{-1, -1};
  bool down_ = false;
};

}  // namespace panel
