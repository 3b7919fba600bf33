// The GPU view the fluid is drawn on and the view controller that owns it.
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
#include "platform/ui/Application.h"
#include "platform/ui/AssociatedObjects.h"
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

// The controller of a view. The shell loads the root controller once, feeds
// it touches, lets it lay out and draw what it puts over the view. Controllers
// nest: a container shows some of its children, and a controller may present
// another over itself.
//
// Appearance: the platform calls viewDidAppear once a controller's view is on
// screen and viewDidDisappear once it left. Overrides call the base, which
// runs the appearance hooks other libraries installed, so those libraries
// hear every controller without replacing its methods.
//
// Main thread only, apart from weakReference() and associatedObjects.
class ViewController : public Responder {
 public:
  // A controller with a plain view (containers, presented controllers).
  ViewController();
  // A controller of a Metal view.
  explicit ViewController(MetalView& view);
  ~ViewController() override;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // Only for a controller of a Metal view.
  MetalView& view() { return *view_; }
  const MetalView& view() const { return *view_; }
  bool hasMetalView() const { return view_ != nullptr; }

  // Runs viewDidLoad the first time.
  void loadViewIfNeeded() {
    if (loaded_) return;
    loaded_ = true;
    viewDidLoad();
  }
  bool isViewLoaded() const { return loaded_; }

  virtual void viewDidLoad() {}
  virtual void viewDidLayoutSubviews() {}
  virtual void viewDidAppear(bool animated);
  virtual void viewDidDisappear(bool animated);
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

  // ---- The view's window ----

  // The window the view is in; null while it is in none.
  Window* viewWindow() const { return viewWindow_; }
  // Puts the view into a window (null takes it out); containers carry their
  // visible children along.
  virtual void setViewWindow(Window* window);

  // ---- Containment and presentation ----

  ViewController* parentViewController() const { return parent_; }
  const std::vector<ViewController*>& childViewControllers() const { return children_; }
  // The caller keeps owning the child; a child destroyed leaves its parent.
  void addChildViewController(ViewController& child);
  void removeFromParentViewController();
  ViewController* presentedViewController() const { return presented_; }
  ViewController* presentingViewController() const { return presenting_; }
  // True while a presentation brings the controller on screen (its
  // viewDidAppear runs inside it).
  bool isBeingPresented() const { return beingPresented_; }
  // Shows the controller over this one, in this one's window; it appears.
  void presentViewController(ViewController& controller);
  // The presented controller leaves the window and disappears.
  void dismissViewController();

  // ---- What the platform knows of the controller's class ----

  // The class's qualified name with "." between the parts, as
  // "app.ViewController".
  virtual std::string className() const;
  // The name of the class it derives from (the first, when several).
  std::string superclassName() const;
  // Whether the class is the app's own rather than one the platform
  // libraries bring.
  virtual bool isClassFromMainBundle() const;

  // ---- For other libraries ----

  // Empties once the controller is destroyed; never keeps it alive.
  std::weak_ptr<ViewController* const> weakReference() const { return self_; }
  AssociatedObjects associatedObjects;

  struct AppearanceHooks {
    std::function<void(ViewController&)> didAppear;
    std::function<void(ViewController&)> didDisappear;
  };
  using AppearanceHooksToken = std::uint64_t;
  // Runs after every controller's own appearance methods, in the order added.
  static AppearanceHooksToken addAppearanceHooks(AppearanceHooks hooks);
  static void removeAppearanceHooks(AppearanceHooksToken token);

  int statusBarAppearanceUpdates = 0;

 private:
  MetalView* view_ = nullptr;
  bool loaded_ = false;
  Window* viewWindow_ = nullptr;
  ViewController* parent_ = nullptr;
  std::vector<ViewController*> children_;
  ViewController* presented_ = nullptr;
  ViewController* presenting_ = nullptr;
  bool beingPresented_ = false;
  std::shared_ptr<ViewController* const> self_;
};

}  // namespace ui
