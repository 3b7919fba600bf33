// What the SDK does with the app delegate's events: the facade registers the
// shared interceptor with the utilities framework when analytics starts.
#pragma once

#include <memory>

#include "platform/utilities/DRKAppDelegateSwizzler.h"

class QZMAppDelegateInterceptor : public DRKAppDelegateInterceptor {
 public:
  static std::shared_ptr<QZMAppDelegateInterceptor> sharedInstance();
};
