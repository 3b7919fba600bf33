// The panel's layer on an SDL window: Dear ImGui with its SDL2 and OpenGL3
// back ends, on the window's GL context, drawn over the frame the engine left
// in the back buffer. The fonts follow the window's size.
//
// The mouse is read from the events themselves (not from SDL's global mouse
// state), so events that another part of the program posts work as real ones,
// and a click shorter than a frame is never lost.
#pragma once

#include <imgui.h>

#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/panel/fonts.h"
#include "platform/panel/gl_textures.h"
#include "platform/panel/view.h"
#include "platform/ui/Main.h"

struct SDL_Window;

namespace panel {

class SdlOverlay final : public ui::Overlay {
 public:
  // Needs the window's GL context current on this thread.
  static foundation::Result<std::unique_ptr<SdlOverlay>> create(SDL_Window* window, Idiom idiom,
                                                            std::string resourcePath);
  ~SdlOverlay() override;
  SdlOverlay(const SdlOverlay&) = delete;
  SdlOverlay& operator=(const SdlOverlay&) = delete;

  void processEvent(const SDL_Event& event) override;
  // Rebuilds the fonts (and their texture) when the window's size asks for it.
  void beginFrame() override;
  void endFrame() override;

  Environment& environment() { return environment_; }
  // How many times the font atlas was baked (the first time included).
  int fontBuilds() const { return fontBuilds_; }

 private:
  SdlOverlay() = default;
  void rebuildFontsIfNeeded(bool upload);

  SDL_Window* window_ = nullptr;
  ImGuiContext* context_ = nullptr;
  bool sdlBackend_ = false;
  bool glBackend_ = false;
  Fonts fonts_;
  std::unique_ptr<GlTextures> textures_;
  Environment environment_;
  int fontBuilds_ = 0;
  ImVec2 mouse_{-FLT_MAX, -FLT_MAX};
  bool mouseDown_ = false;
  bool mousePressed_ = false;
};

}  // namespace panel
