#include "platform/panel/image_button.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>

#include "platform/panel/controls.h"

namespace panel {
namespace {

ImU32 withOpacity(ImU32 colour, float opacity) {
  const auto a = static_cast<ImU32>(std::clamp(opacity, 0.0f, 1.0f) * 255.0f + 0.5f);
  return (colour & ~IM_COL32_A_MASK) | (a << IM_COL32_A_SHIFT);
}

}  // namespace

bool imageButton(const char* id, const Image& image, Rect frame, const LayerShadow& shadow, float alpha,
                 const Environment& environment) {
  const float margin = shadow.radius + std::max(std::fabs(shadow.offset.x), std::fabs(shadow.offset.y));
  ImGui::SetNextWindowPos(ImVec2(frame.x - margin, frame.y - margin));
  ImGui::SetNextWindowSize(ImVec2(frame.width + 2 * margin, frame.height + 2 * margin));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                                 ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoScrollWithMouse |
                                 ImGuiWindowFlags_NoBackground;
  bool clicked = false;
  if (ImGui::Begin(id, nullptr, flags)) {
    // In front of the panel, whichever window was clicked last.
    ImGui::BringWindowToDisplayFront(ImGui::GetCurrentWindow());
    ImDrawList* list = ImGui::GetWindowDrawList();
    const int first = list->VtxBuffer.Size;
    ImTextureID texture = environment.textures ? environment.textures->texture(image) : ImTextureID{};
    if (texture) {
      const ImVec2 min(frame.x, frame.y), max(frame.maxX(), frame.maxY());
      // The blur: the image's shape in the shadow colour, spread over the
      // radius in rings; the overlaps add up to the opacity in the middle.
      constexpr int kRings = 3, kSpokes = 8, kSamples = 1 + kRings * kSpokes;
      const float each = 1.0f - std::pow(1.0f - shadow.opacity, 1.0f / kSamples);
      const ImU32 tint = withOpacity(shadow.colour, each);
      for (int ring = 0; ring <= kRings; ++ring) {
        const float r = shadow.radius * static_cast<float>(ring) / kRings;
        for (int spoke = 0; spoke < (ring == 0 ? 1 : kSpokes); ++spoke) {
          const float angle = 6.2831853f * static_cast<float>(spoke) / kSpokes;
          const ImVec2 d(shadow.offset.x + r * std::cos(angle), shadow.offset.y + r * std::sin(angle));
          list->AddImage(texture, ImVec2(min.x + d.x, min.y + d.y), ImVec2(max.x + d.x, max.y + d.y), ImVec2(0, 0),
                         ImVec2(1, 1), tint);
        }
      }
      list->AddImage(texture, min, max);
    }
    clicked = button(id, frame);
    if (alpha < 1.0f) fadeVertices(list, first, alpha);
  }
  ImGui::End();
  ImGui::PopStyleVar(2);
  return clicked;
}

}  // namespace panel
