// The view controllers' side of screen reporting: the appearance hooks, the
// key window's stack of visible controllers, the choice of its top screen,
// and the screens and stacks attached to controllers and windows.
#include <typeinfo>

#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUtilities.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Application.h"
#include "platform/ui/ContainerViewControllers.h"

namespace {

constexpr const char* kScreenKey = "qzmScreen";
constexpr const char* kStackKey = "qzmStack";
// OS log levels: info.
constexpr int kOSLogInfo = 6;

ui::Window* keyWindow() {
  if (foundation::Bundle::main()->bundlePath().ends_with(".appex")) return nullptr;
  return ui::Application::shared().keyWindow();
}

bool isInWindow(const ui::ViewController& viewController) {
  return viewController.isViewLoaded() && viewController.viewWindow() != nullptr;
}

bool isContainer(const ui::ViewController* viewController) {
  return dynamic_cast<const ui::NavigationController*>(viewController) ||
         dynamic_cast<const ui::TabBarController*>(viewController) ||
         dynamic_cast<const ui::PageViewController*>(viewController);
}

// What a controller shows of itself: a container its visible child, any
// other what it presents (or itself while being presented).
ui::ViewController* shownController(ui::ViewController* controller) {
  if (auto* navigation = dynamic_cast<ui::NavigationController*>(controller)) {
    return navigation->visibleViewController();
  }
  if (auto* tabs = dynamic_cast<ui::TabBarController*>(controller)) return tabs->selectedViewController();
  if (auto* pages = dynamic_cast<ui::PageViewController*>(controller)) {
    return pages->viewControllers().empty() ? nullptr : pages->viewControllers().front();
  }
  if (controller->presentedViewController()) return controller->presentedViewController();
  return controller->isBeingPresented() ? controller : nullptr;
}

ui::ViewController* descend(ui::ViewController* candidate) {
  ui::ViewController* shown = shownController(candidate);
  // Bounded by the depth of the nesting: a container never shows itself.
  for (int depth = 0; shown && isContainer(shown) && depth < 64; ++depth) shown = shownController(shown);
  return shown;
}

// The parent stands for the controller when some of its other children are
// off screen (a tab bar, a split view).
bool parentStandsFor(const ui::ViewController& controller) {
  ui::ViewController* parent = controller.parentViewController();
  if (!parent || parent->childViewControllers().size() <= 1) return false;
  for (ui::ViewController* sibling : parent->childViewControllers()) {
    if (sibling != &controller && !isInWindow(*sibling)) return true;
  }
  return false;
}

void updateCurrentScreenFromStack(QZMViewControllerStack& stack) {
  ui::ViewController* top = QZMTopScreenViewController(stack);
  if (top && QZMIsTrackableViewController(*top)) QZMScreenViewReporter::sharedInstance()->setCurrentViewController(top);
}

}  // namespace

// ---- Attached objects ----

std::shared_ptr<const QZMScreen> QZMScreenOfViewController(ui::ViewController& viewController) {
  std::any attached = viewController.associatedObjects.get(kScreenKey);
  if (!attached.has_value()) return nullptr;
  if (auto* screen = std::any_cast<std::shared_ptr<const QZMScreen>>(&attached)) return *screen;
  QZMMeasurementBase::monitor()->logWithLevel(4, 36000, "Found unknown associated object",
                                              std::string(attached.type().name()));
  viewController.associatedObjects.set(kScreenKey, {});
  return nullptr;
}

void QZMSetScreenOfViewController(ui::ViewController& viewController, std::shared_ptr<const QZMScreen> screen) {
  viewController.associatedObjects.set(kScreenKey, screen ? std::any(std::move(screen)) : std::any());
}

std::shared_ptr<QZMViewControllerStack> QZMStackOfWindow(ui::Window& window) {
  std::any attached = window.associatedObjects.get(kStackKey);
  if (attached.has_value()) {
    if (auto* stack = std::any_cast<std::shared_ptr<QZMViewControllerStack>>(&attached)) return *stack;
    QZMMeasurementBase::monitor()->logWithLevel(4, 38000, "Found unknown associated object",
                                                std::string(attached.type().name()));
  }
  auto stack = std::make_shared<QZMViewControllerStack>();
  window.associatedObjects.set(kStackKey, stack);
  return stack;
}

void QZMViewControllerStack::compact() {
  std::erase_if(entries, [](const auto& entry) { return entry.expired(); });
}

void QZMViewControllerStack::remove(const ui::ViewController& viewController) {
  std::erase_if(entries, [&](const auto& entry) {
    auto held = entry.lock();
    return held && *held == &viewController;
  });
}

ui::ViewController* QZMViewControllerStack::at(std::size_t index) const {
  if (index >= entries.size()) return nullptr;
  auto held = entries[index].lock();
  return held ? *held : nullptr;
}

// ---- Which controllers count ----

bool QZMIsTrackableViewController(ui::ViewController& viewController) {
  if (!viewController.isClassFromMainBundle() &&
      (QZMStrippedClassName(viewController.className()).starts_with("_") ||
       QZMStrippedClassName(viewController.superclassName()).starts_with("_"))) {
    return false;
  }
  ui::Window* key = keyWindow();
  return key && viewController.isViewLoaded() && viewController.viewWindow() == key;
}

ui::ViewController* QZMTopScreenViewController(QZMViewControllerStack& stack) {
  const std::size_t count = stack.entries.size();
  // A screen the app named wins.
  for (std::size_t i = count; i-- > 0;) {
    ui::ViewController* controller = stack.at(i);
    if (!controller || !isInWindow(*controller)) continue;
    auto screen = QZMScreenOfViewController(*controller);
    if (screen && screen->isManuallySet()) return controller;
  }
  for (std::size_t i = count; i-- > 0;) {
    ui::ViewController* controller = stack.at(i);
    if (!controller || !isInWindow(*controller)) continue;
    if (QZMScreenOfViewController(*controller)) return controller;
    ui::ViewController* candidate = controller;
    if (parentStandsFor(*controller)) {
      candidate = controller->parentViewController();
      if (QZMScreenOfViewController(*candidate)) return candidate;
    }
    ui::ViewController* shown = descend(candidate);
    if (shown && isInWindow(*shown)) return shown;
  }
  stack.compact();
  if (stack.entries.empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(5, 31011, "Root view controller not found");
    return nullptr;
  }
  return stack.at(0);
}

// ---- The hooks ----

void QZMScreenViewReporter::viewControllerDidAppear(ui::ViewController& viewController) {
  bool trackable = QZMIsTrackableViewController(viewController);
  if (ui::Window* key = keyWindow()) {
    auto stack = QZMStackOfWindow(*key);
    // A new root makes the window's stack start again.
    if (&viewController == key->rootViewController && !stack->entries.empty() &&
        stack->at(0) != &viewController) {
      stack = std::make_shared<QZMViewControllerStack>();
      key->associatedObjects.set(kStackKey, stack);
    }
    stack->remove(viewController);
    if (trackable) stack->entries.push_back(viewController.weakReference());
    stack->compact();
    updateCurrentScreenFromStack(*stack);
  }
  if (auto delegate = zarnholtPerfDelegate()) delegate->viewControllerDidAppear(viewController, trackable);
}

void QZMScreenViewReporter::viewControllerDidDisappear(ui::ViewController& viewController) {
  if (ui::Window* key = keyWindow()) {
    auto stack = QZMStackOfWindow(*key);
    // The root entry stays.
    if (stack->at(0) != &viewController) stack->remove(viewController);
    stack->compact();
    updateCurrentScreenFromStack(*stack);
  }
  if (auto delegate = zarnholtPerfDelegate()) delegate->viewControllerDidDisappear(viewController);
}

std::optional<ui::ViewController::AppearanceHooksToken> QZMInstallViewControllerHooks() {
  auto utilities = QZMUtilities::shared();
  if (!QZMIsAutomaticScreenReportingEnabled()) {
    utilities->osLogBasic(kOSLogInfo, kQZMLogSubsystem, kQZMDefaultLogTag, false, QZMMessageCodeString(36001),
                          "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
    return std::nullopt;
  }
  if (utilities->classExists("ZNHADatabase")) {
    utilities->osLogWarning(kQZMLogSubsystem, kQZMDefaultLogTag, QZMMessageCodeString(36005),
                            "Detected an older version of Dralix Analytics for Zarnholt framework. Please upgrade "
                            "to the latest version of Dralix Analytics for Zarnholt.");
    return std::nullopt;
  }
  return ui::ViewController::addAppearanceHooks({
      .didAppear = [](ui::ViewController& controller) {
        QZMScreenViewReporter::sharedInstance()->viewControllerDidAppear(controller);
      },
      .didDisappear = [](ui::ViewController& controller) {
        QZMScreenViewReporter::sharedInstance()->viewControllerDidDisappear(controller);
      },
  });
}

void QZMLoadViewControllerHooks() {
  static dispatch::OnceToken token;
  dispatch::once(token, [] { (void)QZMInstallViewControllerHooks(); });
}
