#include "platform/panel/headless.h"

namespace panel {

HeadlessContext::HeadlessContext(float width, float height) : width_(width), height_(height) {
  context_ = ImGui::CreateContext();
  ImGui::SetCurrentContext(context_);
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.DisplaySize = ImVec2(width, height);
  fonts_.rebuild(width, 1.0f);
  unsigned char* pixels;
  int w, h;
  io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
  environment_.fonts = &fonts_;
}

HeadlessContext::~HeadlessContext() { ImGui::DestroyContext(context_); }

void HeadlessContext::mouse(ImVec2 position, bool down) {
  mouse_ = position;
  down_ = down;
}

void HeadlessContext::frame(const std::function<void()>& draw) {
  ImGui::SetCurrentContext(context_);
  ImGuiIO& io = ImGui::GetIO();
  io.DeltaTime = 1.0f / 60.0f;
  io.MousePos = mouse_;
  io.MouseDown[0] = down_;
  ImGui::NewFrame();
  draw();
  ImGui::Render();
}

void HeadlessContext::click(ImVec2 at, const std::function<void()>& draw) {
  mouse(at, false);
  frame(draw);
  mouse(at, true);
  frame(draw);
  mouse(at, false);
  frame(draw);
}

void HeadlessContext::drag(ImVec2 from, ImVec2 to, int steps, const std::function<void()>& draw) {
  mouse(from, false);
  frame(draw);
  mouse(from, true);
  frame(draw);
  for (int i = 1; i <= steps; ++i) {
    float t = static_cast<float>(i) / static_cast<float>(steps);
    mouse(ImVec2(from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t), true);
    frame(draw);
  }
  mouse(to, false);
  frame(draw);
}

}  // namespace panel
