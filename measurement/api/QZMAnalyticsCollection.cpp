#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMAnalyticsState.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/Clock.h"
#include "platform/utilities/DRKNetwork.h"

// ---- Collection ----

bool QZMAnalytics::analyticsEnabled() {
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  std::lock_guard lock(state.mutex);
  return state.analyticsEnabled;
}

void QZMAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void QZMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) QZMPersistedConfig::sharedInstance()->setMeasurementEnabledState(enabled ? 1 : 2);
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    {
      std::lock_guard lock(state.mutex);
      if (state.collectionDeactivated && enabled) return;
      state.analyticsEnabled = enabled;
    }
    if (auto engine = QZMMeasurement::sharedInstance()) engine->setEnabled(enabled);
  });
}

// ---- Sessions ----

void QZMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    auto monitor = QZMAnalyticsMonitor();
    // NaN counts as negative: stored, no session would ever expire.
    if (!(seconds >= 0)) {
      monitor->logWithLevel(4, 25060, "Session timeout interval cannot be set to a negative value");
      return;
    }
    auto engine = QZMMeasurement::sharedInstance();
    if (engine && engine->didInitializeComponents()) {
      engine->setSessionTimeoutInterval(seconds);
    } else {
      QZMPersistedConfig::sharedInstance()->setSessionTimeoutValue(foundation::Object(seconds));
    }
    monitor->logWithLevel(7, 25059, "Session timeout interval set. (s)", QZMLogContext(seconds));
  });
}

void QZMAnalytics::sessionIDWithCompletion(QZMSessionIDCompletion completion) {
  if (!completion) {
    QZMAnalyticsMonitor()->logWithLevel(1, 25050, "Analytics sessionID completion cannot be nil");
    return;
  }
  // Always answered later, on the global queue, whoever answers.
  QZMSessionIDCompletion answer = [completion](std::int64_t sessionID, const std::optional<foundation::Error>& error) {
    dispatch::Queue::global()->async([completion, sessionID, error] { completion(sessionID, error); });
  };
  dispatchAsyncOnSerialQueue([answer] {
    auto engine = QZMMeasurement::sharedInstance();
    if (engine && engine->didInitializeComponents()) {
      engine->sessionIDWithCompletion(answer);
    } else {
      answer(0, qzm_errorWithCode(13, "Analytics uninitialized"));
    }
  });
}

// ---- Identity and reset ----

std::optional<std::string> QZMAnalytics::appInstanceID() {
  if (QZMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
  return QZMIdentity::sharedInstance()->appInstanceID();
}

void QZMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(foundation::now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> appInstanceID = QZMIdentity::randomAppInstanceID();
  if (!appInstanceID || appInstanceID->empty()) {
    QZMAnalyticsMonitor()->logWithLevel(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  if (QZMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.reset();
  } else {
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([appInstanceID] {
    auto engine = QZMAnalyticsEngineForCall("resetAnalyticsData");
    if (!engine || !engine->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      QZMAnalyticsMonitor()->logWithLevel(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceID && appInstanceIDAfterReset() == appInstanceID) setAppInstanceIDAfterReset(std::nullopt);
  });
}

// ---- Screens, default parameters and user data ----

void QZMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!dispatch::isMainThread()) {
    QZMAnalyticsMonitor()->logWithLevel(3, 25025,
                                        "setScreenName:screenClass: must be called from the main thread to ensure "
                                        "that events are associated with the intended screen.");
    return;
  }
  QZMScreenViewReporter::sharedInstance()->setScreenName(screenName, screenClass);
}

void QZMAnalytics::setDefaultEventParameters(const std::optional<QZMDictionary>& parameters) {
  queueOperationWithBlock([parameters] {
    if (auto engine = QZMAnalyticsEngineForCall("setDefaultEventParameters")) {
      engine->setDefaultEventParameters(parameters);
    }
  });
}

void QZMAnalytics::setUserData(const Dictionary& userData) {
  queueOperationWithBlockThenWait([userData] { setUserDataOnSerialQueue(userData); });
}

void QZMAnalytics::setUserDataOnSerialQueue(const Dictionary& userData) {
  if (!analyticsEnabled()) {
    QZMAnalyticsMonitor()->logWithLevel(4, 25044, "Analytics is disabled. User data not set.");
    return;
  }
  if (auto engine = QZMAnalyticsEngineForCall("setUserData")) engine->setUserData(userData);
}

// ---- Links ----

void QZMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       const std::function<void()>& completionHandler) {
  DRKNetwork::handleEventsForBackgroundURLSessionID(identifier, completionHandler);
}

void QZMAnalytics::handleOpenURL(const std::string& url) {
  double timestamp = foundation::now();
  QZMMeasurement::handleKRPXDebugModeWithURL(url);
  dispatchAsyncOnSerialQueue([url, timestamp] {
    if (auto engine = QZMMeasurement::sharedInstance()) engine->handleNonFirstOpenEventURL(url, timestamp);
    QZMOpenURLListener listener;
    {
      QZMAnalyticsState& state = QZMAnalyticsSharedState();
      std::lock_guard lock(state.mutex);
      listener = state.openURLListener;
    }
    if (listener) listener(url);
  });
}

void QZMAnalytics::handleUserActivity(const DRKUserActivity& activity) {
  double timestamp = foundation::now();
  dispatchAsyncOnSerialQueue([activity, timestamp] {
    auto link = QZMMeasurement::deepLinkFromUserActivity(activity);
    if (!link || link->empty()) return;
    if (auto engine = QZMMeasurement::sharedInstance()) engine->handleNonFirstOpenEventURL(*link, timestamp);
  });
}

void QZMAnalytics::setOpenURLListener(QZMOpenURLListener listener) {
  dispatchAsyncOnSerialQueue([listener = std::move(listener)] {
    QZMAnalyticsState& state = QZMAnalyticsSharedState();
    QZMOpenURLListener replaced;
    std::lock_guard lock(state.mutex);
    replaced = std::exchange(state.openURLListener, listener);
  });
}
