#include "platform/panel/controls.h"

#include <algorithm>
#include <cmath>

namespace panel {
namespace {

ThumbImage& thumbFor(ControlState state) {
  static ThumbImage images[2];
  return images[static_cast<int>(state)];
}

ImVec2 at(float x, float y) { return ImVec2(x, y); }

}  // namespace

void SliderAppearance::setThumbImage(const ThumbImage& image, ControlState state) { thumbFor(state) = image; }

ThumbImage SliderAppearance::thumbImage(ControlState state) { return thumbFor(state); }

void SliderAppearance::reset() {
  thumbFor(ControlState::normal) = {};
  thumbFor(ControlState::highlighted) = {};
}

Rect SliderAppearance::thumbRect(Rect bounds, Rect track, float value) {
  float side = std::min(kNativeThumbSide, std::max(bounds.height, track.height));
  float travel = std::max(track.width - side, 0.0f);
  float x = track.x + travel * std::clamp(value, 0.0f, 1.0f);
  float y = track.midY() - side / 2;
  return Rect{x, y, side, side};
}

EditingChange slider(const char* id, float* value, float minimum, float maximum, Rect frame, ImU32 accent) {
  EditingChange change;
  ImGui::SetCursorScreenPos(at(frame.x, frame.y));
  ImGui::InvisibleButton(id, ImVec2(std::max(frame.width, 1.0f), std::max(frame.height, 1.0f)));
  bool held = ImGui::IsItemActive();
  change.began = ImGui::IsItemActivated();
  ThumbImage thumb = SliderAppearance::thumbImage(held ? ControlState::highlighted : ControlState::normal);
  float thumbWidth = thumb.empty() ? SliderAppearance::kNativeThumbSide : thumb.width;
  float thumbHeight = thumb.empty() ? SliderAppearance::kNativeThumbSide : thumb.height;
  // The thumb's centre travels between the track's ends inset by half a thumb.
  float left = frame.x + thumbWidth / 2;
  float travel = std::max(frame.width - thumbWidth, 1.0f);
  float span = maximum - minimum;
  auto centreFor = [&](float v) { return left + (span > 0 ? std::clamp((v - minimum) / span, 0.0f, 1.0f) : 0.0f) * travel; };
  // A press on the thumb grabs it where it is; a press beside it moves the
  // thumb under the pointer. Afterwards only movement changes the value.
  const ImGuiID grab = ImGui::GetID(id);
  ImGuiStorage* storage = ImGui::GetStateStorage();
  const float mouseX = ImGui::GetIO().MousePos.x;
  bool moved = false;
  if (change.began) {
    float offset = mouseX - centreFor(*value);
    bool onThumb = std::fabs(offset) <= thumbWidth / 2;
    storage->SetFloat(grab, onThumb ? offset : 0.0f);
    moved = !onThumb;
  } else if (held) {
    moved = ImGui::GetIO().MouseDelta.x != 0.0f;
  }
  if (moved) {
    float t = std::clamp((mouseX - storage->GetFloat(grab, 0.0f) - left) / travel, 0.0f, 1.0f);
    *value = span > 0 ? minimum + t * span : minimum;
  }
  change.ended = ImGui::IsItemDeactivated();

  float centreX = centreFor(*value);
  float centreY = frame.midY();
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRectFilled(at(frame.x, centreY - 2), at(centreX, centreY + 2), accent, 2);
  list->AddRectFilled(at(centreX, centreY - 2), at(frame.maxX(), centreY + 2), rgba(120, 120, 128, 0.5f), 2);
  ImVec2 centre(centreX, centreY);
  float radius = std::min(thumbWidth, thumbHeight) / 2;
  if (thumb.empty()) {
    list->AddCircleFilled(centre, radius + 1, rgba(0, 0, 0, 0.15f));
    list->AddCircleFilled(centre, radius, kWhite);
  } else {
    list->AddCircleFilled(centre, radius, thumb.fill);
    list->AddCircle(centre, radius, thumb.stroke, 0, thumb.lineWidth);
  }
  return change;
}

bool toggleSwitch(const char* id, bool* on, Rect frame, ImU32 tint) {
  ImGui::SetCursorScreenPos(at(frame.x, frame.y));
  bool clicked = ImGui::InvisibleButton(id, ImVec2(std::max(frame.width, 1.0f), std::max(frame.height, 1.0f)));
  if (clicked) *on = !*on;
  ImDrawList* list = ImGui::GetWindowDrawList();
  float radius = frame.height / 2;
  list->AddRectFilled(at(frame.x, frame.y), at(frame.maxX(), frame.maxY()), *on ? tint : rgba(120, 120, 128, 0.32f),
                      radius);
  float inset = frame.height * 0.065f;
  float knobX = *on ? frame.maxX() - radius : frame.x + radius;
  list->AddCircleFilled(at(knobX, frame.midY()), radius - inset, kWhite);
  return clicked;
}

bool button(const char* id, Rect frame) {
  ImGui::SetCursorScreenPos(at(frame.x, frame.y));
  return ImGui::InvisibleButton(id, ImVec2(std::max(frame.width, 1.0f), std::max(frame.height, 1.0f)));
}

bool lastItemHeld() { return ImGui::IsItemActive(); }

void drawSymbol(Symbol symbol, ImVec2 c, float size, ImU32 colour) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  float h = size / 2;
  switch (symbol) {
    case Symbol::playFill:
      list->AddTriangleFilled(at(c.x - h * 0.6f, c.y - h * 0.8f), at(c.x + h * 0.8f, c.y),
                              at(c.x - h * 0.6f, c.y + h * 0.8f), colour);
      break;
    case Symbol::pauseFill:
      list->AddRectFilled(at(c.x - h * 0.6f, c.y - h * 0.75f), at(c.x - h * 0.15f, c.y + h * 0.75f), colour, h * 0.1f);
      list->AddRectFilled(at(c.x + h * 0.15f, c.y - h * 0.75f), at(c.x + h * 0.6f, c.y + h * 0.75f), colour, h * 0.1f);
      break;
    case Symbol::backwardFill:
    case Symbol::forwardFill: {
      float d = symbol == Symbol::forwardFill ? 1.0f : -1.0f;
      for (float offset : {-0.45f, 0.45f}) {
        float bx = c.x + d * (offset - 0.45f) * h;
        float tip = c.x + d * (offset + 0.45f) * h;
        if (d > 0) {
          list->AddTriangleFilled(at(bx, c.y - h * 0.6f), at(tip, c.y), at(bx, c.y + h * 0.6f), colour);
        } else {
          list->AddTriangleFilled(at(bx, c.y - h * 0.6f), at(bx, c.y + h * 0.6f), at(tip, c.y), colour);
        }
      }
      break;
    }
    case Symbol::squareAndArrowDownFill: {
      // A tray with an arrow pointing into it.
      ImVec2 tray[4] = {at(c.x - h * 0.7f, c.y - h * 0.15f), at(c.x - h * 0.7f, c.y + h * 0.85f),
                        at(c.x + h * 0.7f, c.y + h * 0.85f), at(c.x + h * 0.7f, c.y - h * 0.15f)};
      list->AddPolyline(tray, 4, colour, ImDrawFlags_None, h * 0.16f);
      list->AddRectFilled(at(c.x - h * 0.12f, c.y - h * 0.95f), at(c.x + h * 0.12f, c.y + h * 0.2f), colour);
      list->AddTriangleFilled(at(c.x - h * 0.4f, c.y + h * 0.05f), at(c.x + h * 0.4f, c.y + h * 0.05f),
                              at(c.x, c.y + h * 0.5f), colour);
      break;
    }
  }
}

}  // namespace panel
