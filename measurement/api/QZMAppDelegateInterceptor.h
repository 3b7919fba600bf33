// What the SDK does with the app delegate's events: links that open the app
// and web pages it continues go to the facade, background-session events to
// the network component. It never claims an event, so the app's own
// delegate still handles each one. The facade registers the shared
// interceptor with the utilities framework when analytics starts.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/utilities/DRKAppDelegateSwizzler.h"

class QZMAppDelegateInterceptor : public DRKAppDelegateInterceptor {
 public:
  static std::shared_ptr<QZMAppDelegateInterceptor> sharedInstance();

  bool applicationOpenURL(const std::string& url, const foundation::Dictionary& options) override;
  bool applicationContinueUserActivity(const DRKUserActivity& activity) override;
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      const std::function<void()>& completion) override;
};
