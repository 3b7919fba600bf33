#include "measurement/api/QZMAppDelegateInterceptor.h"

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "platform/utilities/DRKNetwork.h"

std::shared_ptr<QZMAppDelegateInterceptor> QZMAppDelegateInterceptor::sharedInstance() {
  static auto* interceptor =
      new std::shared_ptr<QZMAppDelegateInterceptor>(std::make_shared<QZMAppDelegateInterceptor>());
  return *interceptor;
}

bool QZMAppDelegateInterceptor::applicationOpenURL(const std::string& url, const foundation::Dictionary& /*options*/) {
  QZMAnalytics::handleOpenURL(url);
  return false;
}

bool QZMAppDelegateInterceptor::applicationContinueUserActivity(const DRKUserActivity& activity) {
  std::optional<std::string> link = QZMMeasurement::deepLinkFromUserActivity(activity);
  if (link && !link->empty()) QZMAnalytics::handleOpenURL(*link);
  return false;
}

void QZMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    const std::string& identifier, const std::function<void()>& completion) {
  DRKNetwork::handleEventsForBackgroundURLSessionID(identifier, completion);
}
