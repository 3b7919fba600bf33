// The GPU view the fluid is drawn on and the view controller that owns it.
//
// MetalView is a view with a GPU device and a drawable of its own pixel size;
// each frame it asks its delegate to draw, and it tells the delegate when the
// drawable size changes. WindowView puts it on an SDL window, HeadlessView on
// an offscreen surface (tests, tools).
#pragma once

#include <functional>
#include <memory>

#include "platform/gpu/gpu.h"
#include "platform/ui/Application.h"
#include "platform/ui/Touch.h"
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

// The controller of a window's root view. The shell loads it once, feeds it
// touches, lets it lay out and draw what it puts over the view.
class ViewController : public Responder {
 public:
  explicit ViewController(MetalView& view) : view_(view) {
    view_.layoutSubviews = [this] { viewDidLayoutSubviews(); };
  }
  ~ViewController() override { view_.layoutSubviews = nullptr; }
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  MetalView& view() { return view_; }
  const MetalView& view() const { return view_; }

  // Runs viewDidLoad the first time.
  void loadViewIfNeeded() {
    if (loaded_) return;
    loaded_ = true;
    viewDidLoad();
  }
  bool isViewLoaded() const { return loaded_; }

  virtual void viewDidLoad() {}
  virtual void viewDidLayoutSubviews() {}
  // There is no status bar on a desktop; the requests are counted.
  virtual void setNeedsStatusBarAppearanceUpdate() { ++statusBarAppearanceUpdates; }
  virtual bool shouldAutorotate() const { return true; }
  virtual InterfaceOrientationMask supportedInterfaceOrientations() const { return kOrientationMaskLandscape; }
  virtual InterfaceOrientation preferredInterfaceOrientationForPresentation() const {
    return InterfaceOrientation::landscapeLeft;
  }
  virtual bool prefersHomeIndicatorAutoHidden() const { return false; }

  // Draws what lies over the view (inside the shell's overlay frame).
  virtual void drawSubviews() {}
  // Whether a touch going down at `point` belongs to something over the view.
  virtual bool subviewTakesTouch(Point point) const {
    (void)point;
    return false;
  }

  void touchesBegan(const TouchEvent&) override {}
  void touchesMoved(const TouchEvent&) override {}
  void touchesEnded(const TouchEvent&) override {}
  void touchesCancelled(const TouchEvent&) override {}

  int statusBarAppearanceUpdates = 0;

 private:
  MetalView& view_;
  bool loaded_ = false;
};

}  // namespace ui
