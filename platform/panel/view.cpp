#include "platform/panel/view.h"

#include <algorithm>
#include <cstdio>

namespace panel {

void drawHosted(View& rootView, const HostingView& view, const Environment& environment, const void* identity) {
  char name[48];
  std::snprintf(name, sizeof name, "##hosted%p", identity);
  ImGui::SetNextWindowPos(ImVec2(view.frame.x, view.frame.y));
  ImGui::SetNextWindowSize(ImVec2(view.frame.width, view.frame.height));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                                 ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoScrollWithMouse |
                                 (view.clearBackground ? ImGuiWindowFlags_NoBackground : 0);
  if (ImGui::Begin(name, nullptr, flags)) {
    ImDrawList* list = ImGui::GetWindowDrawList();
    const int first = list->VtxBuffer.Size;
    rootView.body(GeometryProxy{view.frame, EdgeInsets{}}, environment);
    if (view.alpha < 1.0f) fadeVertices(list, first, view.alpha);
  }
  ImGui::End();
  ImGui::PopStyleVar(2);
}

void fadeVertices(ImDrawList* list, int firstVertex, float alpha) {
  const float a = std::clamp(alpha, 0.0f, 1.0f);
  for (int i = std::max(firstVertex, 0); i < list->VtxBuffer.Size; ++i) {
    ImU32& colour = list->VtxBuffer[i].col;
    const auto opacity = static_cast<ImU32>(static_cast<float>((colour >> IM_COL32_A_SHIFT) & 0xFF) * a + 0.5f);
    colour = (colour & ~IM_COL32_A_MASK) | (opacity << IM_COL32_A_SHIFT);
  }
}

}  // namespace panel
