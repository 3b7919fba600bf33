#include "platform/core/ZNHApp.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/ui/Application.h"

namespace {

struct Core {
  std::mutex mutex;
  std::shared_ptr<ZNHApp> defaultApp;
  std::vector<std::shared_ptr<ZNHLibrary>> libraries;
  std::map<std::string, std::string> versions;
  ZNHApp::AnalyticsStart analyticsStart;
};
Core& core() {
  static auto* c = new Core;
  return *c;
}

foundation::Error coreError(ZNHCoreError code, const std::string& what) {
  return foundation::Error(kZNHCoreErrorDomain, code, what);
}

}  // namespace

std::string ZNHZarnholtVersion() { return "11.14.0"; }

std::optional<ZNHOptions> ZNHOptions::defaultOptions() {
  auto path = foundation::Bundle::main()->pathForResource("DralixService-Info", "plist");
  if (!path) return std::nullopt;
  auto list = foundation::readPropertyListDictionary(*path);
  if (!list) return std::nullopt;
  auto text = [&](const char* key) {
    auto it = list->find(key);
    return it != list->end() && it->second.isString() ? *it->second.string() : std::string();
  };
  ZNHOptions options(text("DRALIX_APP_ID"));
  if (auto it = list->find("IS_ANALYTICS_ENABLED"); it != list->end() && it->second.isNumber())
    options.setAnalyticsCollectionEnabled(it->second.boolValue());
  if (auto it = list->find("IS_ANALYTICS_COLLECTION_DEACTIVATED"); it != list->end() && it->second.isNumber())
    options.setAnalyticsCollectionDeactivated(it->second.boolValue());
  return options;
}

std::shared_ptr<ZNHAnalyticsConfiguration> ZNHAnalyticsConfiguration::sharedInstance() {
  static auto* instance = new std::shared_ptr<ZNHAnalyticsConfiguration>(new ZNHAnalyticsConfiguration);
  return *instance;
}

void ZNHAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
  foundation::NotificationCenter::defaultCenter().postNotificationName(
      kZNHAnalyticsConfigurationSetEnabledNotification, this,
      {{kZNHAnalyticsConfigurationSetEnabledNotification, enabled}});
}

foundation::Status ZNHApp::configure() {
  auto options = ZNHOptions::defaultOptions();
  if (!options) return coreError(kZNHErrorNoOptions, "no readable DralixService-Info.plist in the main bundle");
  return configure(*options);
}

foundation::Status ZNHApp::configure(const ZNHOptions& options) {
  if (options.dralixAppID().empty()) return coreError(kZNHErrorNoAppID, "the options name no app ID");
  AnalyticsStart start;
  {
    std::lock_guard lock(core().mutex);
    if (core().defaultApp) return coreError(kZNHErrorAlreadyConfigured, "the default app is already configured");
    core().defaultApp = std::make_shared<ZNHApp>("__ZNHAPP_DEFAULT", options);
    start = core().analyticsStart;
  }
  if (start) start(ZNHAnalyticsConfiguration::sharedInstance(), options);
  // An app is configured as it launches; a process without a UI application
  // of its own is launched here, as an app is right after its delegate
  // configured it.
  ui::Application::shared().launchWithoutUserInterface();
  return {};
}

bool ZNHApp::isDefaultAppConfigured() {
  std::lock_guard lock(core().mutex);
  return core().defaultApp != nullptr;
}

std::shared_ptr<ZNHApp> ZNHApp::defaultApp() {
  std::lock_guard lock(core().mutex);
  return core().defaultApp;
}

void ZNHApp::registerInternalLibrary(std::shared_ptr<ZNHLibrary> library, std::string name, std::string version) {
  std::lock_guard lock(core().mutex);
  if (library) core().libraries.push_back(std::move(library));
  core().versions[std::move(name)] = std::move(version);
}

std::map<std::string, std::string> ZNHApp::registeredLibraries() {
  std::lock_guard lock(core().mutex);
  return core().versions;
}

void ZNHApp::setAnalyticsStart(AnalyticsStart start) {
  std::shared_ptr<ZNHApp> app;
  {
    std::lock_guard lock(core().mutex);
    core().analyticsStart = start;
    app = core().defaultApp;
  }
  if (app && start) start(ZNHAnalyticsConfiguration::sharedInstance(), app->options());
}

void ZNHApp::resetForTests() {
  std::lock_guard lock(core().mutex);
  core().defaultApp.reset();
  core().libraries.clear();
  core().versions.clear();
  core().analyticsStart = nullptr;
}

std::shared_ptr<void> ZNHApp::instanceForProtocol(const std::string& protocol) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = instances_.find(protocol); it != instances_.end()) return it->second;
  }
  ZNHComponent::CreationBlock create;
  {
    std::lock_guard lock(core().mutex);
    for (const auto& library : core().libraries)
      for (auto& component : library->componentsToRegister())
        if (component.protocol == protocol && !create) create = component.creationBlock;
  }
  if (!create) return nullptr;
  // Made outside the locks: a creation block may ask for other components.
  auto made = create(*this);
  std::lock_guard lock(mutex_);
  auto [it, inserted] = instances_.emplace(protocol, made);
  return it->second;  // a racing first request keeps the instance stored first
}
