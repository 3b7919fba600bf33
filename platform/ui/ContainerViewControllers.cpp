#include "platform/ui/ContainerViewControllers.h"

namespace ui {
namespace {

void bringOnScreen(ViewController& controller, Window* window) {
  controller.loadViewIfNeeded();
  controller.setViewWindow(window);
  if (window != nullptr) controller.viewDidAppear(true);
}

void takeOffScreen(ViewController& controller) {
  bool wasOnScreen = controller.viewWindow() != nullptr;
  controller.setViewWindow(nullptr);
  if (wasOnScreen) controller.viewDidDisappear(true);
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
  if (ViewController* top = topViewController()) takeOffScreen(*top);
  addChildViewController(controller);
  stack_.push_back(&controller);
  bringOnScreen(controller, viewWindow());
}

void NavigationController::popViewController() {
  if (stack_.size() < 2) return;
  ViewController* leaving = stack_.back();
  stack_.pop_back();
  takeOffScreen(*leaving);
  leaving->removeFromParentViewController();
  bringOnScreen(*stack_.back(), viewWindow());
}

void NavigationController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  if (ViewController* top = topViewController()) top->setViewWindow(window);
}

void NavigationController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  if (ViewController* top = topViewController()) {
    top->loadViewIfNeeded();
    top->viewDidAppear(animated);
  }
}

void TabBarController::setViewControllers(std::vector<ViewController*> controllers) {
  if (ViewController* selected = selectedViewController()) takeOffScreen(*selected);
  for (ViewController* tab : tabs_) tab->removeFromParentViewController();
  tabs_ = std::move(controllers);
  selected_ = 0;
  for (ViewController* tab : tabs_) addChildViewController(*tab);
  if (ViewController* selected = selectedViewController()) bringOnScreen(*selected, viewWindow());
}

ViewController* TabBarController::selectedViewController() const {
  return selected_ < tabs_.size() ? tabs_[selected_] : nullptr;
}

void TabBarController::setSelectedIndex(std::size_t index) {
  if (index >= tabs_.size() || index == selected_) return;
  if (ViewController* selected = selectedViewController()) takeOffScreen(*selected);
  selected_ = index;
  bringOnScreen(*tabs_[selected_], viewWindow());
}

void TabBarController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  if (ViewController* selected = selectedViewController()) selected->setViewWindow(window);
}

void TabBarController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  if (ViewController* selected = selectedViewController()) {
    selected->loadViewIfNeeded();
    selected->viewDidAppear(animated);
  }
}

void PageViewController::setViewControllers(std::vector<ViewController*> controllers) {
  for (ViewController* page : pages_) {
    takeOffScreen(*page);
    page->removeFromParentViewController();
  }
  pages_ = std::move(controllers);
  for (ViewController* page : pages_) {
    addChildViewController(*page);
    bringOnScreen(*page, viewWindow());
  }
}

void PageViewController::setViewWindow(Window* window) {
  ViewController::setViewWindow(window);
  for (ViewController* page : pages_) page->setViewWindow(window);
}

void PageViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  for (ViewController* page : pages_) {
    page->loadViewIfNeeded();
    page->viewDidAppear(animated);
  }
}

}  // namespace ui
