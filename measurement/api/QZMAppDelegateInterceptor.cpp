#include "measurement/api/QZMAppDelegateInterceptor.h"

// Until links are handled, every event is left to the app.
std::shared_ptr<QZMAppDelegateInterceptor> QZMAppDelegateInterceptor::sharedInstance() {
  static auto* interceptor = new std::shared_ptr<QZMAppDelegateInterceptor>(
      std::make_shared<QZMAppDelegateInterceptor>());
  return *interceptor;
}
