#include "platform/panel/sdl_overlay.h"

#include <SDL2/SDL.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <epoxy/gl.h>

#include <cstdio>

namespace panel {

foundation::Result<std::unique_ptr<SdlOverlay>> SdlOverlay::create(SDL_Window* window, Idiom idiom,
                                                               std::string resourcePath) {
  if (window == nullptr || SDL_GL_GetCurrentContext() == nullptr) {
    return foundation::Error("panel", 1, "the panel needs a window with a current GL context");
  }
  std::unique_ptr<SdlOverlay> overlay(new SdlOverlay());
  overlay->window_ = window;
  overlay->context_ = ImGui::CreateContext();
  ImGui::SetCurrentContext(overlay->context_);
  ImGui::GetIO().IniFilename = nullptr;
  overlay->sdlBackend_ = ImGui_ImplSDL2_InitForOpenGL(window, SDL_GL_GetCurrentContext());
  overlay->glBackend_ = overlay->sdlBackend_ && ImGui_ImplOpenGL3_Init("#version 330 core");
  if (!overlay->glBackend_) return foundation::Error("panel", 2, "the panel's ImGui back ends did not start");
  // Baked before the renderer makes its first font texture.
  overlay->rebuildFontsIfNeeded(false);
  overlay->textures_ = std::make_unique<GlTextures>();
  overlay->environment_.idiom = idiom;
  overlay->environment_.resourcePath = std::move(resourcePath);
  overlay->environment_.fonts = &overlay->fonts_;
  overlay->environment_.textures = overlay->textures_.get();
  return overlay;
}

SdlOverlay::~SdlOverlay() {
  if (context_ == nullptr) return;
  ImGui::SetCurrentContext(context_);
  textures_.reset();
  if (glBackend_) ImGui_ImplOpenGL3_Shutdown();
  if (sdlBackend_) ImGui_ImplSDL2_Shutdown();
  ImGui::DestroyContext(context_);
}

void SdlOverlay::processEvent(const SDL_Event& event) {
  ImGui::SetCurrentContext(context_);
  switch (event.type) {
    case SDL_MOUSEMOTION:
      mouse_ = ImVec2(static_cast<float>(event.motion.x), static_cast<float>(event.motion.y));
      return;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
      if (event.button.button != SDL_BUTTON_LEFT) break;
      mouse_ = ImVec2(static_cast<float>(event.button.x), static_cast<float>(event.button.y));
      mouseDown_ = event.type == SDL_MOUSEBUTTONDOWN;
      if (mouseDown_) mousePressed_ = true;
      return;
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_LEAVE && !mouseDown_) mouse_ = ImVec2(-FLT_MAX, -FLT_MAX);
      break;
    default:
      break;
  }
  ImGui_ImplSDL2_ProcessEvent(&event);
}

void SdlOverlay::rebuildFontsIfNeeded(bool upload) {
  int w = 0, h = 0, pixels = 0;
  SDL_GetWindowSize(window_, &w, &h);
  SDL_GL_GetDrawableSize(window_, &pixels, &h);
  const float width = static_cast<float>(std::max(w, 1));
  const float scale = static_cast<float>(pixels) / width;
  if (!fonts_.needsRebuild(width, scale)) return;
  std::string error;
  if (!fonts_.rebuild(width, scale, &error)) std::fprintf(stderr, "tolv: %s\n", error.c_str());
  ++fontBuilds_;
  if (upload) {
    ImGui_ImplOpenGL3_DestroyFontsTexture();
    ImGui_ImplOpenGL3_CreateFontsTexture();
  }
}

void SdlOverlay::beginFrame() {
  ImGui::SetCurrentContext(context_);
  ImGui_ImplOpenGL3_NewFrame();
  rebuildFontsIfNeeded(true);
  ImGui_ImplSDL2_NewFrame();
  ImGuiIO& io = ImGui::GetIO();
  io.MousePos = mouse_;
  // A press and release within one frame still counts as a click.
  io.MouseDown[0] = mouseDown_ || mousePressed_;
  mousePressed_ = false;
  ImGui::NewFrame();
}

void SdlOverlay::endFrame() {
  ImGui::SetCurrentContext(context_);
  ImGui::Render();
  int width = 0, height = 0;
  SDL_GL_GetDrawableSize(window_, &width, &height);
  // The GPU layer keeps an upper-left clip origin; ImGui draws with GL's own.
  glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
  glViewport(0, 0, width, height);
  ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
  glClipControl(GL_UPPER_LEFT, GL_ZERO_TO_ONE);
}

}  // namespace panel
