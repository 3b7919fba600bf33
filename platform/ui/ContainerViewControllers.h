// The platform's container controllers: a navigation stack, tab bar and
// page controller. Each shows some of its children in its own window and
// brings them on and off screen as it changes; the caller owns the children.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/ui/ViewController.h"

namespace ui {

class NavigationController : public ViewController {
 public:
  explicit NavigationController(ViewController& root);

  const std::vector<ViewController*>& viewControllers() const { return stack_; }
  ViewController* topViewController() const { return stack_.empty() ? nullptr : stack_.back(); }
  // What a presentation shows over the stack, else its top.
  ViewController* visibleViewController() const;
  // The old top leaves the screen, the new one appears.
  void pushViewController(ViewController& controller);
  // The root stays.
  void popViewController();

  void setViewWindow(Window* window) override;
  void viewDidAppear(bool animated) override;

 private:
  std::vector<ViewController*> stack_;
};

class TabBarController : public ViewController {
 public:
  void setViewControllers(std::vector<ViewController*> controllers);
  const std::vector<ViewController*>& viewControllers() const { return tabs_; }
  ViewController* selectedViewController() const;
  // Out of range is ignored.
  void setSelectedIndex(std::size_t index);

  void setViewWindow(Window* window) override;
  void viewDidAppear(bool animated) override;

 private:
  std::vector<ViewController*> tabs_;
  std::size_t selected_ = 0;
};

class PageViewController : public ViewController {
 public:
  // The pages on screen; the first is the current one.
  void setViewControllers(std::vector<ViewController*> controllers);
  const std::vector<ViewController*>& viewControllers() const { return pages_; }

  void setViewWindow(Window* window) override;
  void viewDidAppear(bool animated) override;

 private:
  std::vector<ViewController*> pages_;
};

}  // namespace ui
