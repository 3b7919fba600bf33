#include <climits>
#include <mutex>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMAnalyticsState.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventParameters.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr const char* kScreenViewEventName = "screen_view";
constexpr const char* kAdComponentOrigin = "am";
constexpr const char* kAdEventIDParameter = "_aeid";

// The integer a decimal text begins with, clamped to the int64 range.
std::int64_t leadingInteger(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (value > (LLONG_MAX - digit) / 10) return negative ? LLONG_MIN : LLONG_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

// Runs at once when already on the serial queue, so an engine callback there
// can change listeners without waiting behind itself; otherwise queued.
void onSerialQueueOrQueued(std::function<void()> block) {
  if (QZMAnalytics::isCurrentQueueSerialQueue()) {
    block();
  } else {
    QZMAnalytics::queueOperationWithBlock(std::move(block));
  }
}

}  // namespace

// ---- Event road ----

void QZMAnalytics::logEventWithName(const std::string& name, const QZMDictionary& parameters) {
  logEventWithOrigin(kQZMOriginApp, name, parameters);
}

void QZMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const QZMDictionary& parameters) {
  QZMValidationFailureCode failure = QZMValidationFailureCode::kNone;
  if (!QZMDataTypeValidator::isValidPublicEventName(name, &failure)) {
    auto code = failure == QZMValidationFailureCode::kReserved ? QZMEventErrorCode::kEventNameIsReserved
                                                               : QZMEventErrorCode::kInvalidEventName;
    QZMObject value(name);
    QZMLogErrorEventWithName(static_cast<std::int64_t>(code), name, kQZMMaxEventNameLength, &value);
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void QZMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const QZMDictionary& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void QZMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const QZMDictionary& parameters) {
  queueOperationWithBlock([origin, name, parameters, timestamp] {
    logEventOnSerialQueueWithOrigin(origin, false, name, parameters, timestamp, false, false, {});
  });
}

void QZMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const QZMDictionary& parameters) {
  auto reporter = QZMScreenViewReporter::sharedInstance();
  if (name == kScreenViewEventName) {
    reporter->trackScreenWithParameters(parameters, foundation::now());
    return;
  }
  // Everything but the timestamp is made before the event is put in line;
  // it is started after.
  struct StampedEvent {
    std::string origin;
    std::string name;
    QZMDictionary parameters;
    QZMDictionary screenParameters;
    bool isPublicEvent;
    double timestamp = 0;
  };
  auto event = std::make_shared<StampedEvent>(StampedEvent{
      origin, name, parameters,
      QZMHasScreenParameters(parameters) ? QZMDictionary() : reporter->screenParameters(), isPublicEvent});
  std::function<void()> handOver = [event] {
    dispatchAsyncOnSerialQueue([event] {
      logEventOnSerialQueueWithOrigin(event->origin, event->isPublicEvent, event->name, std::move(event->parameters),
                                      event->timestamp, false, false, std::move(event->screenParameters));
    });
  };
  // Stamped inside the operation queue's lock, so events enter it in the
  // order of their timestamps.
  auto operations = operationQueue();
  operations->enqueueOperation(std::move(handOver), [&event] { event->timestamp = foundation::now(); });
  operations->startOperationsHere();
}

void QZMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const QZMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([=] {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                    ignoreInterceptor, {});
  });
}

void QZMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, QZMDictionary parameters,
                                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                                   QZMDictionary addedScreenParameters) {
  // A tag manager forwards the screen in the event's own parameters.
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      QZMDataTypeValidator::isValidForwardedEventOrigin(origin)) {
    QZMDictionary screen = QZMScreenParametersFromParameters(parameters);
    if (!screen.empty()) {
      for (const auto& entry : screen) parameters.erase(entry.first);
      addedScreenParameters = std::move(screen);
    }
  }
  auto engine = QZMAnalyticsEngineForCall("logEvent");
  if (!engine) return;
  bool enabled;
  QZMLogEventInterceptor interceptor;
  {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    std::lock_guard lock(state.mutex);
    enabled = state.analyticsEnabled;
    interceptor = state.interceptor;
  }
  engine->logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
                             ignoreInterceptor, std::move(interceptor), addedScreenParameters);
}

void QZMAnalytics::logComponentEventWithOrigin(const std::string& origin, const std::string& name,
                                               const QZMDictionary& parameters) {
  if (origin != kAdComponentOrigin) {
    logInternalEventWithOrigin(origin, name, parameters);
    return;
  }
  auto it = parameters.find(kAdEventIDParameter);
  const std::string* text = it == parameters.end() ? nullptr : it->second.string();
  if (!text) {
    logInternalEventWithOrigin(origin, name, parameters);
    return;
  }
  if (!QZMIsDecimalNumberString(*text)) {
    QZMAnalyticsMonitor()->logWithLevel(2, 25024, "AdEvent ID string is not a number");
    logInternalEventWithOrigin(origin, name, parameters);
    return;
  }
  QZMDictionary numbered = parameters;
  numbered[kAdEventIDParameter] = QZMValue::initWithInt64(leadingInteger(*text));
  logInternalEventWithOrigin(origin, name, numbered);
}

// ---- Listeners and the interceptor ----

void QZMAnalytics::setLogEventInterceptor(QZMLogEventInterceptor interceptor) {
  onSerialQueueOrQueued([interceptor = std::move(interceptor)] {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    QZMLogEventInterceptor replaced;
    std::lock_guard lock(state.mutex);
    replaced = std::exchange(state.interceptor, interceptor);
  });
}

std::optional<QZMLogEventListenerToken> QZMAnalytics::addLogEventListener(QZMLogEventListener listener) {
  if (!listener) {
    QZMAnalyticsMonitor()->logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  QZMLogEventListenerToken token;
  {
    std::lock_guard lock(state.mutex);
    token = state.nextListenerToken++;
  }
  onSerialQueueOrQueued([token, listener = std::move(listener)] {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    std::lock_guard lock(state.mutex);
    if (!state.listeners) state.listeners.emplace();
    (*state.listeners)[token] = listener;
  });
  return token;
}

void QZMAnalytics::removeLogEventListener(std::optional<QZMLogEventListenerToken> token) {
  auto monitor = QZMAnalyticsMonitor();
  if (!token) {
    monitor->logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token = *token] {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    QZMLogEventListener removed;
    bool hadListeners;
    bool found = false;
    {
      std::lock_guard lock(state.mutex);
      hadListeners = state.listeners.has_value();
      if (hadListeners) {
        if (auto it = state.listeners->find(token); it != state.listeners->end()) {
          removed = std::move(it->second);
          state.listeners->erase(it);
          found = true;
        }
      }
    }
    if (!hadListeners) {
      QZMAnalyticsMonitor()->logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
    } else if (!found) {
      QZMAnalyticsMonitor()->logWithLevel(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
  });
}

void QZMAnalytics::notifyEventListeners(std::shared_ptr<const QZMEvent> event) {
  if (!event) return;
  queueOperationWithBlock([event = std::move(event)] { notifyEventListenersOnSerialQueue(*event); });
}

void QZMAnalytics::notifyEventListenersOnSerialQueue(const QZMEvent& event) {
  std::vector<QZMLogEventListener> listeners;
  {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    std::lock_guard lock(state.mutex);
    if (state.listeners) {
      for (const auto& entry : *state.listeners) listeners.push_back(entry.second);
    }
  }
  for (const auto& listener : listeners) listener(event);
}
