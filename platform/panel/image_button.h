// A button that shows an image with a layer shadow under it, kept in front of
// everything else the window draws.
#pragma once

#include <imgui.h>

#include "platform/panel/image.h"
#include "platform/panel/view.h"

namespace panel {

// A shadow cast by the shape of what the layer shows.
struct LayerShadow {
  ImU32 colour = IM_COL32(0, 0, 0, 255);
  ImVec2 offset{0, 2};
  float radius = 5;
  float opacity = 0.8f;
};

// Draws `image` fitted to `frame` (window points) over its shadow, at
// `alpha`; answers true when a click is released on the frame.
bool imageButton(const char* id, const Image& image, Rect frame, const LayerShadow& shadow, float alpha,
                 const Environment& environment);

}  // namespace panel
