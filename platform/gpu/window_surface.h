// A surface on an SDL2 window: the window's GL 4.5 core context and a
// drawable texture of the window's drawable size, or of that size fitted
// within what the GPU can draw into when the window is larger. Presenting the
// drawable copies it into the window's back buffer, flipped once (the
// drawable's row 0 is the top, the window's is the bottom) and scaled to the
// whole window; the shell then draws anything of its own on top and calls
// swapBuffers.
//
// Before creating the window: call prepareWindowAttributes(), and create the
// window with SDL_WINDOW_OPENGL.
#pragma once

#include <memory>

#include "platform/foundation/Error.h"
#include "platform/gpu/surface.h"

struct SDL_Window;

namespace gpu {

class WindowSurface {
 public:
  // Sets the SDL GL attributes for a 4.5 core context (before SDL_CreateWindow).
  static void prepareWindowAttributes();
  static foundation::Result<std::unique_ptr<WindowSurface>> create(SDL_Window* window);
  ~WindowSurface();

  const std::shared_ptr<Device>& device() const { return device_; }
  // The drawable, made again first when the window's drawable size changed.
  SurfaceDrawable* currentDrawable();
  // The window's drawable size in pixels (the drawable's may be smaller).
  std::size_t width() const;
  std::size_t height() const;
  void swapBuffers();

 private:
  WindowSurface() = default;
  SDL_Window* window_ = nullptr;
  std::shared_ptr<Device> device_;
  SurfaceDrawable drawable_;
};

}  // namespace gpu
