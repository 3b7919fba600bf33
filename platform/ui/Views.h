// The two Metal views: on an SDL window (the program) and offscreen (tests
// and tools). Each makes the GL context current on the calling thread.
#pragma once

#include <memory>

#include "platform/foundation/Error.h"
#include "platform/gpu/surface.h"
#include "platform/gpu/window_surface.h"
#include "platform/ui/View.h"

struct SDL_Window;

namespace ui {

inline constexpr const char* kUIErrorDomain = "ui";
enum UIError {
  kUIErrorBadSize = 1,    // a view of no size
  kUIErrorNoDisplay = 2,  // no window could be opened
};

// The view filling an SDL window: its frame is the window's size in points,
// its drawable size the window's drawable size, which follows the window.
class WindowView final : public MetalView {
 public:
  // The window must have been made with SDL_WINDOW_OPENGL after
  // gpu::WindowSurface::prepareWindowAttributes().
  static foundation::Result<std::unique_ptr<WindowView>> create(SDL_Window* window);

  std::shared_ptr<gpu::Device> systemDefaultDevice() override { return surface_->device(); }
  Rect frame() const override;
  double contentScaleFactor() const override;
  Size drawableSize() const override;
  // The window decides its drawable size; a request changes nothing.
  void setDrawableSize(Size) override {}
  gpu::Drawable* currentDrawable() override { return surface_->currentDrawable(); }

  SDL_Window* window() const { return window_; }
  gpu::WindowSurface& surface() { return *surface_; }

 private:
  WindowView() = default;
  SDL_Window* window_ = nullptr;
  std::unique_ptr<gpu::WindowSurface> surface_;
};

// A view of a given size in points on an offscreen drawable.
class HeadlessView final : public MetalView {
 public:
  static foundation::Result<std::unique_ptr<HeadlessView>> create(Size points, double scale);

  std::shared_ptr<gpu::Device> systemDefaultDevice() override { return surface_->device(); }
  Rect frame() const override { return Rect{{}, points_}; }
  double contentScaleFactor() const override { return scale_; }
  Size drawableSize() const override;
  void setDrawableSize(Size size) override;
  gpu::Drawable* currentDrawable() override { return surface_->currentDrawable(); }

  // A new size, as a window resize or a rotation gives: the frame and the
  // drawable change, and the delegate is told.
  void resize(Size points);
  gpu::HeadlessSurface& surface() { return *surface_; }

 private:
  HeadlessView() = default;
  Size points_;
  double scale_ = 1;
  std::unique_ptr<gpu::HeadlessSurface> surface_;
};

}  // namespace ui
