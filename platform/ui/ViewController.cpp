#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <utility>

#include "platform/ui/ViewController.h"

namespace ui {
namespace {

struct HookRegistry {
  std::mutex mutex;
  std::vector<std::pair<ViewController::AppearanceHooksToken, ViewController::AppearanceHooks>> hooks;
  ViewController::AppearanceHooksToken next = 1;
};
HookRegistry& hookRegistry() {
  static auto* registry = new HookRegistry;
  return *registry;
}

std::vector<ViewController::AppearanceHooks> currentHooks() {
  HookRegistry& registry = hookRegistry();
  std::lock_guard lock(registry.mutex);
  std::vector<ViewController::AppearanceHooks> hooks;
  for (const auto& entry : registry.hooks) hooks.push_back(entry.second);
  return hooks;
}

// "ns::Class" as "ns.Class".
std::string readableName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  std::string readable;
  for (std::size_t at = 0; at < name.size(); ++at) {
    bool separator = name.compare(at, 2, "::") == 0;
    readable += separator ? '.' : name[at];
    at += separator;
  }
  return readable;
}

}  // namespace

ViewController::ViewController() : self_(std::make_shared<ViewController* const>(this)) {}

ViewController::~ViewController() {
  self_.reset();
  if (presented_ != nullptr) presented_->presenting_ = nullptr;
  if (presenting_ != nullptr) presenting_->presented_ = nullptr;
  for (ViewController* child : children_) child->parent_ = nullptr;
  if (parent_ != nullptr) std::erase(parent_->children_, this);
}

void ViewController::viewDidAppear(bool /*animated*/) {
  for (const auto& hooks : currentHooks()) {
    if (hooks.didAppear) hooks.didAppear(*this);
  }
}

void ViewController::viewDidDisappear(bool /*animated*/) {
  for (const auto& hooks : currentHooks()) {
    if (hooks.didDisappear) hooks.didDisappear(*this);
  }
}

void ViewController::setViewWindow(Window* window) {
  viewWindow_ = window;
  if (presented_ != nullptr) presented_->setViewWindow(window);
}

void ViewController::addChildViewController(ViewController& child) {
  if (child.parent_ == this) return;
  child.removeFromParentViewController();
  child.parent_ = this;
  children_.push_back(&child);
}

void ViewController::removeFromParentViewController() {
  if (parent_ == nullptr) return;
  std::erase(parent_->children_, this);
  parent_ = nullptr;
}

void ViewController::presentViewController(ViewController& controller) {
  if (presented_ != nullptr || &controller == this) return;
  presented_ = &controller;
  controller.presenting_ = this;
  controller.loadViewIfNeeded();
  controller.setViewWindow(viewWindow_);
  controller.beingPresented_ = true;
  controller.viewDidAppear(true);
  controller.beingPresented_ = false;
}

void ViewController::dismissViewController() {
  ViewController* controller = std::exchange(presented_, nullptr);
  if (controller == nullptr) return;
  controller->presenting_ = nullptr;
  controller->setViewWindow(nullptr);
  controller->viewDidDisappear(true);
}

std::string ViewController::className() const { return readableName(typeid(*this)); }

std::string ViewController::superclassName() const {
  const std::type_info& type = typeid(*this);
  const std::type_info* base = nullptr;
  if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(&type)) {
    base = single->__base_type;
  } else if (const auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(&type);
             multiple != nullptr && multiple->__base_count > 0) {
    base = multiple->__base_info[0].__base_type;
  }
  return base != nullptr ? readableName(*base) : std::string();
}

bool ViewController::isClassFromMainBundle() const { return !className().starts_with("ui."); }

ViewController::AppearanceHooksToken ViewController::addAppearanceHooks(AppearanceHooks hooks) {
  HookRegistry& registry = hookRegistry();
  std::lock_guard lock(registry.mutex);
  AppearanceHooksToken token = registry.next++;
  registry.hooks.emplace_back(token, std::move(hooks));
  return token;
}

void ViewController::removeAppearanceHooks(AppearanceHooksToken token) {
  HookRegistry& registry = hookRegistry();
  std::lock_guard lock(registry.mutex);
  std::erase_if(registry.hooks, [token](const auto& entry) { return entry.first == token; });
}

}  // namespace ui
