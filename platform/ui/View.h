// The GPU view the fluid is drawn on and the controller of such a view.
//
// MetalView is a view with a GPU device and a drawable of its own pixel size;
// each frame it asks its delegate to draw, and it tells the delegate when the
// drawable size changes. WindowView puts it on an SDL window, HeadlessView on
// an offscreen surface (tests, tools).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu/gpu.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/geometry.h"

namespace ui {

class MetalView;

class MTKViewDelegate {
 public:
  virtual ~MTKViewDelegate() = default;
  virtual void drawableSizeWillChange(MetalView& view, Size size) = 0;
  virtual void drawInMTKView(MetalView& view) = 0;
};

class MetalView {
 public:
  virtual ~MetalView() = default;

  // The system's GPU device (the one this view's drawables belong to); null
  // when there is none.
  virtual std::shared_ptr<gpu::Device> systemDefaultDevice() = 0;
  // The view's frame in points.
  virtual Rect frame() const = 0;
  Rect bounds() const { return frame().bounds(); }
  // Drawable pixels per point.
  virtual double contentScaleFactor() const = 0;
  // In pixels. The drawable's texture is this size, or this size fitted
  // within what the device can draw into (gpu::Device::maxRenderTargetSize).
  virtual Size drawableSize() const = 0;
  virtual void setDrawableSize(Size size) = 0;
  // The drawable of this frame; null when there is none.
  virtual gpu::Drawable* currentDrawable() = 0;
  const gpu::Texture* depthStencilTexture() const { return nullptr; }

  // Draws one frame now, through the delegate.
  void draw() {
    if (delegate) delegate->drawInMTKView(*this);
  }
  // Tells the delegate of a new drawable size.
  void drawableSizeDidChange(Size size) {
    if (delegate) delegate->drawableSizeWillChange(*this, size);
  }

  // Layout: a request, then a pass that runs the layout hook once.
  void setNeedsLayout() { needsLayout_ = true; }
  void layoutIfNeeded() {
    if (!needsLayout_) return;
    needsLayout_ = false;
    if (layoutSubviews) layoutSubviews();
  }
  std::function<void()> layoutSubviews;

  std::shared_ptr<gpu::Device> device;
  MTKViewDelegate* delegate = nullptr;
  gpu::ClearColor clearColor;
  gpu::PixelFormat colorPixelFormat = gpu::PixelFormat::RGBA8Unorm;
  bool multipleTouchEnabled = false;
  bool paused = false;

 private:
  bool needsLayout_ = false;
};

// The controller of a Metal view: the view's layout pass runs the
// controller's viewDidLayoutSubviews.
class MetalViewController : public ViewController {
 public:
  explicit MetalViewController(MetalView& view) : view_(view) {
    view_.layoutSubviews = [this] { viewDidLayoutSubviews(); };
  }
  ~MetalViewController() override { view_.layoutSubviews = nullptr; }

  MetalView& view() { return view_; }
  const MetalView& view() const { return view_; }

 private:
  MetalView& view_;
};

}  // namespace ui
