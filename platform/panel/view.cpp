#include "platform/panel/view.h"

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
    rootView.body(GeometryProxy{view.frame, EdgeInsets{}}, environment);
  }
  ImGui::End();
  ImGui::PopStyleVar(2);
}

}  // namespace panel
