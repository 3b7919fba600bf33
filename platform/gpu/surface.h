// Where frames go. A surface owns the GL context (through its device) and the
// drawable it hands out each frame.
//  - HeadlessSurface: EGL without a window (surfaceless Mesa); the drawable
//    is an offscreen RGBA8 texture that can be read back.
//  - WindowSurface (window_surface.h): an SDL2 window's GL context; presenting
//    shows the drawable in the window.
// A surface may be larger than the GPU can draw into; its drawable is then
// the surface's size fitted within Device::maxRenderTargetSize().
#pragma once

#include <cstddef>
#include <memory>

#include "platform/foundation/Error.h"
#include "platform/gpu/gpu.h"

namespace gpu {

// A drawable whose texture the surface owns; present is counted, and the
// surface decides what showing it means.
class SurfaceDrawable : public Drawable {
 public:
  std::shared_ptr<Texture> texture() const override { return texture_; }
  void present() override;
  int presentedCount() const { return presented_; }

 private:
  friend class HeadlessSurface;
  friend class WindowSurface;
  std::shared_ptr<Texture> texture_;
  std::function<void(Texture&)> show_;
  int presented_ = 0;
};

class HeadlessSurface {
 public:
  // Makes a GL 4.5 core context current on this thread and a surface of
  // width x height pixels.
  static foundation::Result<std::unique_ptr<HeadlessSurface>> create(std::size_t width, std::size_t height);
  ~HeadlessSurface();

  const std::shared_ptr<Device>& device() const { return device_; }
  SurfaceDrawable* currentDrawable() { return &drawable_; }
  // A new size, and a new drawable texture for it (contents undefined).
  void resize(std::size_t width, std::size_t height);
  // The surface's size; its drawable's may be smaller (see above).
  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }

 private:
  HeadlessSurface() = default;
  std::shared_ptr<Device> device_;
  SurfaceDrawable drawable_;
  std::size_t width_ = 0, height_ = 0;
};

}  // namespace gpu
