#include "platform/ui/ContainerViewControllers.h"

#include <algorithm>

namespace ui {
namespace {

// A child coming on screen is in the window before the one it replaces
// leaves, so that the container shows it when the leaving one is told.
void prepare(ViewController& controller, Window* window) {
  controller.loadViewIfNeeded();
  controller.setViewWindow(window);
}

void appear(ViewController& controller, Window* window) {
  if (window != nullptr) controller.viewDidAppear(true);
}

void takeOffScreen(ViewController& controller) {
  bool wasOnScreen = controller.viewWindow() != nullptr;
  controller.setViewWindow(nullptr);
  if (wasOnScreen) controller.viewDidDisappear(true);
}

// A container's own appearance passes to what it shows first.
void forwardAppearance(ViewController* child, bool animated) {
  if (child == nullptr) return;
  child->loadViewIfNeeded();
  child->viewDidAppear(animated);
}

}  // namespace

NavigationController::NavigationController(ViewController& root) {
  addChildViewController(root);
  stack_.push_back(&root);
}

ViewController* NavigationController::visibleViewController() const {
  return presentedViewController() != nullptr ? presentedViewController() : topViewController();
}

void NavigationController::pushViewController(ViewController& controller) {
  ViewController* leaving = topViewController();
  addChildViewController(controller);
  stack_.push_back(&controller);
  prepare(controller, viewWindow());
  if (leaving) takeOffScreen(*leaving);
  appear(controller, viewWindow());
}

void NavigationController::popViewController() {
  if (stack_.size() < 2) return;
  ViewController* leaving = stack_.back();
  stack_.pop_back();
  ViewController* top = stack_.back();
  prepare(*top, viewWindow());
  takeOffScreen(*leaving);
  leaving->removeFromParentViewController();
  appear(*top, viewWindow());
}

void NavigationController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  if (ViewController* top = topViewController()) top->setViewWindow(window);
}

void NavigationController::viewDidAppear(bool animated) {
  forwardAppearance(topViewController(), animated);
  ViewController::viewDidAppear(animated);
}

void TabBarController::setViewControllers(std::vector<ViewController*> controllers) {
  ViewController* leaving = selectedViewController();
  for (ViewController* tab : tabs_) tab->removeFromParentViewController();
  tabs_ = std::move(controllers);
  selected_ = 0;
  for (ViewController* tab : tabs_) addChildViewController(*tab);
  ViewController* selected = selectedViewController();
  if (selected) prepare(*selected, viewWindow());
  if (leaving && leaving != selected) takeOffScreen(*leaving);
  if (selected) appear(*selected, viewWindow());
}

ViewController* TabBarController::selectedViewController() const {
  return selected_ < tabs_.size() ? tabs_[selected_] : nullptr;
}

void TabBarController::setSelectedIndex(std::size_t index) {
  if (index >= tabs_.size() || index == selected_) return;
  ViewController* leaving = selectedViewController();
  selected_ = index;
  prepare(*tabs_[selected_], viewWindow());
  if (leaving) takeOffScreen(*leaving);
  appear(*tabs_[selected_], viewWindow());
}

void TabBarController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  if (ViewController* selected = selectedViewController()) selected->setViewWindow(window);
}

void TabBarController::viewDidAppear(bool animated) {
  forwardAppearance(selectedViewController(), animated);
  ViewController::viewDidAppear(animated);
}

void PageViewController::setViewControllers(std::vector<ViewController*> controllers) {
  std::vector<ViewController*> leaving = std::move(pages_);
  pages_ = std::move(controllers);
  for (ViewController* page : pages_) {
    addChildViewController(*page);
    prepare(*page, viewWindow());
  }
  for (ViewController* page : leaving) {
    if (std::find(pages_.begin(), pages_.end(), page) != pages_.end()) continue;
    takeOffScreen(*page);
    page->removeFromParentViewController();
  }
  for (ViewController* page : pages_) appear(*page, viewWindow());
}

void PageViewController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  for (ViewController* page : pages_) page->setViewWindow(window);
}

void PageViewController::viewDidAppear(bool animated) {
  for (ViewController* page : pages_) forwardAppearance(page, animated);
  ViewController::viewDidAppear(animated);
}

}  // namespace ui
