// The core app framework: the default app and its options, library and
// component registration, and the call that starts analytics when the host
// configures the app. Enough for a host program to configure the SDK:
//   ZNHApp::configure(ZNHOptions("1:1234:ios:abcd"));
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"

// The core framework's version text.
std::string ZNHZarnholtVersion();
// The analytics logger tag placed in the start options.
inline constexpr const char* kZNHLoggerAnalytics = "[ZarnholtAnalytics]";

inline constexpr const char* kZNHCoreErrorDomain = "com.zarnholt.core";
enum ZNHCoreError { kZNHErrorAlreadyConfigured = 1, kZNHErrorNoOptions = 2, kZNHErrorNoAppID = 3 };

// The options the app is configured with.
class ZNHOptions {
 public:
  // From the service property list (DralixService-Info.plist of the main
  // bundle): "DRALIX_APP_ID", "IS_ANALYTICS_ENABLED" and
  // "IS_ANALYTICS_COLLECTION_DEACTIVATED" (Booleans); nullopt without the list.
  static std::optional<ZNHOptions> defaultOptions();

  explicit ZNHOptions(std::string dralixAppID) : dralixAppID_(std::move(dralixAppID)) {}
  const std::string& dralixAppID() const { return dralixAppID_; }
  bool isAnalyticsCollectionEnabled() const { return analyticsCollectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return analyticsCollectionDeactivated_; }
  void setAnalyticsCollectionEnabled(bool enabled) { analyticsCollectionEnabled_ = enabled; }
  void setAnalyticsCollectionDeactivated(bool deactivated) { analyticsCollectionDeactivated_ = deactivated; }

 private:
  std::string dralixAppID_;
  bool analyticsCollectionEnabled_ = true;
  bool analyticsCollectionDeactivated_ = false;
};

// The configuration object handed to analytics at start. Switching
// collection on it posts "ZNHAnalyticsConfigurationSetEnabledNotification"
// with this object as sender and the Boolean under the same key.
class ZNHAnalyticsConfiguration {
 public:
  static std::shared_ptr<ZNHAnalyticsConfiguration> sharedInstance();
  void setAnalyticsCollectionEnabled(bool enabled);
};
inline constexpr const char* kZNHAnalyticsConfigurationSetEnabledNotification =
    "ZNHAnalyticsConfigurationSetEnabledNotification";

class ZNHApp;

// A component a library offers: an instance made on first request, once per
// app, by its creation block.
struct ZNHComponent {
  using CreationBlock = std::function<std::shared_ptr<void>(ZNHApp&)>;
  std::string protocol;
  CreationBlock creationBlock;
  static ZNHComponent componentWithProtocol(std::string protocol, CreationBlock creationBlock) {
    return {std::move(protocol), std::move(creationBlock)};
  }
};

// A library registered with the core: it lists the components it offers.
class ZNHLibrary {
 public:
  virtual ~ZNHLibrary() = default;
  virtual std::vector<ZNHComponent> componentsToRegister() const = 0;
};

class ZNHApp {
 public:
  using AnalyticsStart = std::function<void(std::shared_ptr<ZNHAnalyticsConfiguration>, const ZNHOptions&)>;

  // Configures the default app with the service property list's options.
  static foundation::Status configure();
  // Configures the default app once; a later call is refused. Starts
  // analytics through the registered entry point, then launches a process
  // that runs no UI application of its own (ui::Application).
  static foundation::Status configure(const ZNHOptions& options);
  static bool isDefaultAppConfigured();
  static std::shared_ptr<ZNHApp> defaultApp();

  static void registerInternalLibrary(std::shared_ptr<ZNHLibrary> library, std::string name, std::string version);
  // name -> version of every registered library.
  static std::map<std::string, std::string> registeredLibraries();
  // The analytics start entry point; the analytics library sets it when it
  // loads. Set after the app was configured, it runs at once.
  static void setAnalyticsStart(AnalyticsStart start);

  // Forgets the default app, the libraries and the entry point (tests).
  static void resetForTests();

  const ZNHOptions& options() const { return options_; }
  const std::string& name() const { return name_; }
  // The instance of the component registered for the protocol, made on
  // first request; nullptr when no library offers it.
  std::shared_ptr<void> instanceForProtocol(const std::string& protocol);
  template <class T>
  std::shared_ptr<T> instance(const std::string& protocol) {
    return std::static_pointer_cast<T>(instanceForProtocol(protocol));
  }

  ZNHApp(std::string name, ZNHOptions options) : name_(std::move(name)), options_(std::move(options)) {}

 private:
  std::string name_;
  ZNHOptions options_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<void>> instances_;
};
