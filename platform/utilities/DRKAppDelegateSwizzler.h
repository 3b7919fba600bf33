// App-delegate interception by explicit hooks: components register an
// interceptor, and the application's delegate hands each URL open, user
// activity and background-session event to applicationXxx here, which offers
// it to every live interceptor. Nothing is swapped at run time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

// The activity type of a web page continued in the app.
inline constexpr const char* kDRKUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

struct DRKUserActivity {
  std::string activityType;
  std::string webpageURL;  // "" when none

  // Inside a dictionary (launch options) an activity is a dictionary of
  // "activityType" and "webpageURL".
  foundation::Object asObject() const;
  // nullopt for anything but a dictionary with a string "activityType".
  static std::optional<DRKUserActivity> fromObject(const foundation::Object& object);
};

class DRKAppDelegateInterceptor {
 public:
  virtual ~DRKAppDelegateInterceptor() = default;
  // Each answers whether it handled the event.
  virtual bool applicationOpenURL(const std::string& /*url*/, const foundation::Dictionary& /*options*/) {
    return false;
  }
  virtual bool applicationContinueUserActivity(const DRKUserActivity& /*activity*/) { return false; }
  virtual void applicationHandleEventsForBackgroundURLSession(const std::string& /*identifier*/,
                                                              const std::function<void()>& /*completion*/) {}
};

class DRKAppDelegateSwizzler {
 public:
  // On unless the Info.plist sets "ZarnholtAppDelegateProxyEnabled" to false.
  static bool isAppDelegateProxyEnabled();
  // Nothing to install with explicit hooks; kept for callers that ask.
  static void proxyOriginalDelegate() {}
  // Answers an identifier for unregistering; "" when the proxy is disabled.
  static std::string registerAppDelegateInterceptor(std::weak_ptr<DRKAppDelegateInterceptor> interceptor);
  static void unregisterAppDelegateInterceptorWithID(const std::string& identifier);

  // Called by the application's delegate. An event is offered to every live
  // interceptor; the answer is whether one handled it.
  static bool applicationOpenURL(const std::string& url, const foundation::Dictionary& options = {});
  static bool applicationContinueUserActivity(const DRKUserActivity& activity);
  // Every interceptor sees the event; the completion runs once, after them.
  static void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                             const std::function<void()>& completion);
};
