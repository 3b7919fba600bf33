// Renders the control panel over a plain backdrop into a PNG, on a headless
// GL context, to look at the panel without a window.
// Usage: tolv_panelshot <width> <height> <out.png> [pad]
#include <epoxy/egl.h>
#include <epoxy/gl.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <stb/stb_image_write.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/panel/ControlsView.h"
#include "platform/panel/fonts.h"
#include "platform/panel/gl_textures.h"
#include "resources/resources.h"

namespace {

bool makeContext() {
  auto getDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (!getDisplay) return false;
  EGLDisplay display = getDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr)) return false;
  eglBindAPI(EGL_OPENGL_API);
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                               EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
  EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
  return context != EGL_NO_CONTEXT && eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <width> <height> <out.png> [pad]\n", argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[1]);
  const int height = std::atoi(argv[2]);
  if (width < 64 || height < 64 || width > 4096 || height > 4096) {
    std::fprintf(stderr, "tolv_panelshot: sizes must be 64..4096\n");
    return 2;
  }
  if (!makeContext()) {
    std::fprintf(stderr, "tolv_panelshot: no headless GL context\n");
    return 1;
  }
  GLuint framebuffer, colour;
  glGenFramebuffers(1, &framebuffer);
  glGenTextures(1, &colour);
  glBindTexture(GL_TEXTURE_2D, colour);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colour, 0);

  ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.DisplaySize = ImVec2(static_cast<float>(width), static_cast<float>(height));
  panel::Fonts fonts;
  std::string error;
  if (!fonts.rebuild(io.DisplaySize.x, 1.0f, &error)) std::fprintf(stderr, "tolv_panelshot: %s\n", error.c_str());
  if (!ImGui_ImplOpenGL3_Init("#version 330 core")) {
    std::fprintf(stderr, "tolv_panelshot: the ImGui renderer did not start\n");
    return 1;
  }
  panel::GlTextures textures;
  panel::Environment environment;
  environment.idiom = argc > 4 && std::string(argv[4]) == "pad" ? panel::Idiom::pad : panel::Idiom::phone;
  environment.resourcePath = resources::bundlePath();
  environment.fonts = &fonts;
  environment.textures = &textures;

  ControlsView view({0.02f, 0.1f, 0.8f, 1.0f, 0.2f, 1.0f, 100, 200, 0.008f, 0.98f, 1, true, false, true, true, 9000,
                     15000, 0, 1, true},
                    {});
  panel::HostingView host;
  host.frame = panel::Rect{0, 0, io.DisplaySize.x, io.DisplaySize.y};
  host.clearBackground = true;
  for (int frame = 0; frame < 2; ++frame) {
    ImGui_ImplOpenGL3_NewFrame();
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::NewFrame();
    panel::drawHosted(view, host, environment, &view);
    ImGui::Render();
  }
  glViewport(0, 0, width, height);
  glClearColor(0.10f, 0.25f, 0.45f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());

  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  stbi_flip_vertically_on_write(1);
  bool ok = stbi_write_png(argv[3], width, height, 4, pixels.data(), width * 4) != 0;
  ImGui_ImplOpenGL3_Shutdown();
  ImGui::DestroyContext();
  if (!ok) {
    std::fprintf(stderr, "tolv_panelshot: could not write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
