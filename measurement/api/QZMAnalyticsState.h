// The facade's process-wide state, shared by its source files and by nothing
// else. One mutex guards it (the operation queue excepted); nothing calls out
// of the facade while holding it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "measurement/api/QZMAnalytics.h"
#include "platform/dispatch/OperationQueue.h"

class QZMMonitor;

struct QZMAnalyticsState {
  std::mutex loadMutex;
  double loadTimestamp = 0;

  std::mutex mutex;
  // The once-only part of the start has run.
  bool started = false;
  bool collectionDeactivated = false;
  bool analyticsEnabled = false;
  QZMLogEventInterceptor interceptor;
  QZMOpenURLListener openURLListener;
  // Made by the first listener added.
  std::optional<std::map<QZMLogEventListenerToken, QZMLogEventListener>> listeners;
  QZMLogEventListenerToken nextListenerToken = 1;
  // Suspended until start; replaced only by resetForTests. Read by every
  // event without the mutex, which the serial queue takes for each event.
  std::atomic<std::shared_ptr<dispatch::OperationQueue>> operationQueue;
  std::optional<foundation::NotificationCenter::Token> configurationObserver;
};

QZMAnalyticsState& QZMAnalyticsSharedState();
std::shared_ptr<QZMMonitor> QZMAnalyticsMonitor();
// The running engine for a call that needs it; without one the call is
// dropped with a line naming it.
std::shared_ptr<QZMMeasurement> QZMAnalyticsEngineForCall(std::string_view call);
