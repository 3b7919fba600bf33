// View controllers as the platform and other libraries see them. No window
// system is needed here, so libraries that only observe controllers (the
// measurement SDK) can link it alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Application.h"
#include "platform/ui/AssociatedObjects.h"
#include "platform/ui/Responder.h"
#include "platform/ui/geometry.h"

namespace ui {

// The controller of a view. The shell loads the root controller once, feeds
// it touches, lets it draw what it puts over the view. Controllers
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
  ViewController();
  ~ViewController() override;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

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
