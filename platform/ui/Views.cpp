#include "platform/ui/Views.h"

#include <SDL2/SDL.h>

#include <cmath>

namespace ui {

foundation::Result<std::unique_ptr<WindowView>> WindowView::create(SDL_Window* window) {
  auto surface = gpu::WindowSurface::create(window);
  if (!surface.ok()) return surface.error();
  std::unique_ptr<WindowView> view(new WindowView());
  view->window_ = window;
  view->surface_ = std::move(surface).value();
  return view;
}

Rect WindowView::frame() const {
  int w = 0, h = 0;
  SDL_GetWindowSize(window_, &w, &h);
  return makeRect(0, 0, w, h);
}

Size WindowView::drawableSize() const {
  return Size{static_cast<double>(surface_->width()), static_cast<double>(surface_->height())};
}

double WindowView::contentScaleFactor() const {
  const double points = frame().width();
  return points > 0 ? drawableSize().width / points : 1.0;
}

foundation::Result<std::unique_ptr<HeadlessView>> HeadlessView::create(Size points, double scale) {
  if (!(points.width >= 1 && points.height >= 1 && scale > 0)) {
    return foundation::Error(kUIErrorDomain, kUIErrorBadSize,
                             "a headless view needs a size of at least one point and a positive scale");
  }
  auto surface = gpu::HeadlessSurface::create(static_cast<std::size_t>(std::lround(points.width * scale)),
                                              static_cast<std::size_t>(std::lround(points.height * scale)));
  if (!surface.ok()) return surface.error();
  std::unique_ptr<HeadlessView> view(new HeadlessView());
  view->points_ = points;
  view->scale_ = scale;
  view->surface_ = std::move(surface).value();
  return view;
}

Size HeadlessView::drawableSize() const {
  return Size{static_cast<double>(surface_->width()), static_cast<double>(surface_->height())};
}

void HeadlessView::setDrawableSize(Size size) {
  const auto w = static_cast<std::size_t>(std::max(1.0, std::floor(size.width)));
  const auto h = static_cast<std::size_t>(std::max(1.0, std::floor(size.height)));
  if (w != surface_->width() || h != surface_->height()) surface_->resize(w, h);
}

void HeadlessView::resize(Size points) {
  points_ = points;
  setDrawableSize(Size{points.width * scale_, points.height * scale_});
  drawableSizeDidChange(drawableSize());
}

}  // namespace ui
