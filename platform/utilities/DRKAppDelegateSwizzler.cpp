#include "platform/utilities/DRKAppDelegateSwizzler.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/foundation/Bundle.h"

foundation::Object DRKUserActivity::asObject() const {
  return foundation::Dictionary{{"activityType", activityType}, {"webpageURL", webpageURL}};
}

std::optional<DRKUserActivity> DRKUserActivity::fromObject(const foundation::Object& object) {
  const foundation::Dictionary* fields = object.dictionary();
  if (!fields) return std::nullopt;
  auto type = fields->find("activityType");
  if (type == fields->end() || !type->second.isString()) return std::nullopt;
  DRKUserActivity activity{*type->second.string(), ""};
  if (auto url = fields->find("webpageURL"); url != fields->end() && url->second.isString()) {
    activity.webpageURL = *url->second.string();
  }
  return activity;
}

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<DRKAppDelegateInterceptor>> interceptors;
  unsigned long next = 1;
};
Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

std::vector<std::shared_ptr<DRKAppDelegateInterceptor>> live() {
  std::vector<std::shared_ptr<DRKAppDelegateInterceptor>> out;
  std::lock_guard lock(registry().mutex);
  for (auto it = registry().interceptors.begin(); it != registry().interceptors.end();) {
    if (auto i = it->second.lock()) {
      out.push_back(std::move(i));
      ++it;
    } else {
      it = registry().interceptors.erase(it);
    }
  }
  return out;
}

}  // namespace

bool DRKAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  const foundation::Object* flag =
      foundation::Bundle::main()->objectForInfoDictionaryKey("ZarnholtAppDelegateProxyEnabled");
  return !(flag && flag->isNumber() && !flag->boolValue());
}

std::string DRKAppDelegateSwizzler::registerAppDelegateInterceptor(
    std::weak_ptr<DRKAppDelegateInterceptor> interceptor) {
  if (!isAppDelegateProxyEnabled()) return "";
  std::lock_guard lock(registry().mutex);
  std::string id = "interceptor-" + std::to_string(registry().next++);
  registry().interceptors[id] = std::move(interceptor);
  return id;
}

void DRKAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(const std::string& identifier) {
  std::lock_guard lock(registry().mutex);
  registry().interceptors.erase(identifier);
}

bool DRKAppDelegateSwizzler::applicationOpenURL(const std::string& url, const foundation::Dictionary& options) {
  bool handled = false;
  for (const auto& i : live()) handled = i->applicationOpenURL(url, options) || handled;
  return handled;
}

bool DRKAppDelegateSwizzler::applicationContinueUserActivity(const DRKUserActivity& activity) {
  bool handled = false;
  for (const auto& i : live()) handled = i->applicationContinueUserActivity(activity) || handled;
  return handled;
}

void DRKAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                                            const std::function<void()>& completion) {
  for (const auto& i : live()) i->applicationHandleEventsForBackgroundURLSession(identifier, [] {});
  if (completion) completion();
}
