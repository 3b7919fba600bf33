#include "measurement/engine/reporters/QZMSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/reporters/QZMScreen.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

constexpr const char* kOriginAuto = "auto";
constexpr const char* kSessionIDName = "_sid";
constexpr const char* kSessionNumberName = "_sno";
// One report never covers more than an hour.
constexpr double kMaxEngagementSeconds = 3600;

bool isAppActive() { return QZMScreenViewReporter::sharedInstance()->isAppActive(); }

std::shared_ptr<QZMRemoteConfig> config() { return QZMRemoteConfig::current(); }

std::optional<QZMObject> numberObject(std::optional<std::int64_t> number) {
  if (!number) return std::nullopt;
  return QZMObject(*number);
}

}  // namespace

std::shared_ptr<QZMSessionReporter> QZMSessionReporter::initWithPersistedConfig(
    std::shared_ptr<QZMPersistedConfig> config) {
  return std::make_shared<QZMSessionReporter>(Token{}, std::move(config));
}

QZMSessionReporter::QZMSessionReporter(Token, std::shared_ptr<QZMPersistedConfig> config)
    : persistedConfig_(std::move(config)),
      userEngagementTimer_(QZMAlarm::initWithDispatchQueue(dispatch::Queue::main(), kQZMEngagementTimerName)) {
  // A timeout the app set before start applies to this run only.
  std::optional<foundation::Object> stored = persistedConfig_->sessionTimeoutValue();
  // One that is not a time (stored by an earlier version, say) is no timeout.
  if (stored && stored->isNumber() && stored->doubleValue() >= 0) {
    timeoutSessionInterval_ = stored->doubleValue();
  } else {
    timeoutSessionInterval_ = ::config()->sessionDefaultTimeoutInterval();
  }
  if (stored) persistedConfig_->setSessionTimeoutValue(std::nullopt);
  engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
}

QZMSessionReporter::~QZMSessionReporter() { userEngagementTimer_->cancel(); }

// ---- Settings ----

void QZMSessionReporter::setReportingEnabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    reportingEnabled_ = enabled;
  }
  if (!enabled) {
    userEngagementTimer_->cancel();
  } else if (isAppActive() && !userEngagementTimer_->hasActiveTimer()) {
    rescheduleUserEngagementTimer();
  }
}

bool QZMSessionReporter::isReportingEnabled() const {
  std::lock_guard lock(mutex_);
  return reportingEnabled_;
}

void QZMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0 || std::isnan(seconds)) {
    QZMMeasurementBase::monitor()->logWithLevel(3, 33001,
                                                "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  std::lock_guard lock(mutex_);
  timeoutSessionInterval_ = seconds;
}

double QZMSessionReporter::timeoutSessionInterval() const {
  std::lock_guard lock(mutex_);
  return timeoutSessionInterval_;
}

// ---- Sessions ----

bool QZMSessionReporter::shouldStartNewSession() { return isAppActive() && isSessionExpired(); }

bool QZMSessionReporter::isSessionExpired() {
  std::lock_guard lock(mutex_);
  return isSessionExpiredLocked();
}

bool QZMSessionReporter::isSessionExpiredLocked() {
  double sinceActivity = std::fabs(currentClockTime() - persistedConfig_->lastSessionActivityClockTime());
  return sinceActivity > timeoutSessionInterval_;
}

bool QZMSessionReporter::extendSession() {
  std::lock_guard lock(mutex_);
  if (isSessionExpiredLocked()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

std::optional<QZMUserAttribute> QZMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return QZMUserAttribute::initWithOrigin(kOriginAuto, kSessionIDName,
                                          QZMValue::initWithInt64(QZMSaturatingCast<std::int64_t>(timestamp)),
                                          timestamp);
}

std::optional<QZMUserAttribute> QZMSessionReporter::sessionNumberProperty() {
  return QZMUserAttribute::initWithOrigin(kOriginAuto, kSessionNumberName,
                                          QZMValue::initWithInt64(persistedConfig_->sessionNumber()),
                                          currentClockTime());
}

void QZMSessionReporter::updatePropertiesForNewSessionStart() {
  std::lock_guard lock(mutex_);
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::optional<std::int64_t> QZMSessionReporter::updatePropertiesForNewSessionStartIfExpired() {
  std::lock_guard lock(mutex_);
  if (!isSessionExpiredLocked()) return std::nullopt;
  std::int64_t number = persistedConfig_->sessionNumber() + 1;
  persistedConfig_->setSessionNumber(number);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return number;
}

void QZMSessionReporter::setSessionID(std::optional<std::int64_t> sessionID,
                                      std::optional<std::int64_t> sessionNumber) {
  auto facade = QZMAnalytics::sharedInstance();
  facade->setInternalUserProperty(numberObject(sessionID), kSessionIDName, kOriginAuto);
  facade->setInternalUserProperty(numberObject(sessionNumber), kSessionNumberName, kOriginAuto);
}

void QZMSessionReporter::logSessionStartEvent() { startSession(false, false); }

void QZMSessionReporter::startSession(bool onlyWhenExpired, bool clearSessionProperties) {
  if (!isAppActive()) {
    QZMMeasurementBase::monitor()->logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  std::int64_t sessionNumber = 0;
  double now = 0;
  {
    std::lock_guard lock(mutex_);
    if (!reportingEnabled_) return;
    // Checked and counted in one step: a start racing from the worker queue
    // either finds this session live or made the one this finds live.
    if (onlyWhenExpired && !isSessionExpiredLocked()) return;
    now = currentClockTime();
    sessionNumber = persistedConfig_->sessionNumber() + 1;
    persistedConfig_->setSessionNumber(sessionNumber);
    persistedConfig_->setLastSessionActivityClockTime(now);
  }
  std::int64_t sessionID = QZMSaturatingCast<std::int64_t>(now);
  if (clearSessionProperties) setSessionID(std::nullopt, std::nullopt);
  setSessionID(sessionID, sessionNumber);
  QZMAnalytics::logInternalEventWithOrigin(kOriginAuto, "_s",
                                           QZMDictionary{{kSessionIDName, QZMValue::initWithInt64(sessionID)},
                                                         {kSessionNumberName, QZMValue::initWithInt64(sessionNumber)}});
}

// ---- Engagement ----

void QZMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(nullptr, false); }

std::int64_t QZMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const QZMScreen* screen, bool isRedundant) {
  if (!isAppActive()) {
    QZMMeasurementBase::monitor()->logWithLevel(7, 33006,
                                                "User engagement event not logged. Application is not active");
    return 0;
  }
  bool efficient = config()->efficientEngagementReportingEnabled();
  bool report = false;
  std::int64_t millis = 0;
  {
    std::lock_guard lock(mutex_);
    double now = currentUptime();
    report = reportingEnabled_;
    if (report) {
      double span = std::min(incurredEngagementTimeLocked(now), kMaxEngagementSeconds);
      millis = QZMMillisecondsFromSeconds(span);
    }
    engagementStartUptime_ = now;
    if (efficient && !isRedundant) freerideEngagementStartUptime_ = now;
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  }
  if (report) {
    QZMDictionary parameters{{"_et", QZMValue::initWithInt64(millis)}};
    if (screen != nullptr) {
      for (auto& [name, value] : screen->screenParameters()) parameters.insert_or_assign(name, std::move(value));
    }
    if (efficient && isRedundant) parameters.insert_or_assign("_fr", QZMValue::initWithInt64(1));
    QZMAnalytics::logInternalEventWithOrigin(kOriginAuto, "_e", parameters);
  }
  rescheduleUserEngagementTimer();
  return millis;
}

void QZMSessionReporter::handleAppDidBecomeActive() {
  {
    std::lock_guard lock(mutex_);
    engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
  }
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && isReportingEnabled()) startSession(true, true);
}

void QZMSessionReporter::handleAppWillResignActiveWithScreen(const QZMScreen* screen) {
  logEngagementEventAndReturnTimeWithScreen(screen, false);
  userEngagementTimer_->cancel();
}

void QZMSessionReporter::handleScreenDidChangeFromScreen(const QZMScreen* previousScreen,
                                                         const QZMScreen* /*newScreen*/) {
  if (previousScreen == nullptr || incurredEngagementTime() < 1.0) return;
  auto remote = config();
  bool efficient = remote->efficientEngagementReportingEnabled();
  // The screen view that follows carries this span instead.
  if (efficient && remote->redundantEngagementRemovalEnabled()) return;
  logEngagementEventAndReturnTimeWithScreen(previousScreen, efficient);
}

void QZMSessionReporter::rescheduleUserEngagementTimer() {
  // Each report re-arms the timer: an interval of 0, which the setting's
  // bounds allow, would report without end.
  constexpr double kShortestInterval = 1;
  double interval = config()->sessionEventUserEngagementInterval();
  if (!(interval >= kShortestInterval)) interval = kShortestInterval;
  userEngagementTimer_->runAfterDelay(interval,
                                      [weak = weak_from_this()] {
                                        foundation::NotificationCenter::defaultCenter().postNotificationName(
                                            kQZMSessionReporterEngagementTimerDidFire);
                                        if (auto self = weak.lock()) self->logUserEngagementEvent();
                                      });
}

double QZMSessionReporter::incurredEngagementTime() {
  std::lock_guard lock(mutex_);
  return incurredEngagementTimeLocked(currentUptime());
}

double QZMSessionReporter::incurredEngagementTimeLocked(double now) {
  double start = config()->efficientEngagementReportingEnabled() ? freerideEngagementStartUptime_
                                                                   : engagementStartUptime_;
  double span = now - start;
  if (span < 0 || std::isnan(span)) {
    QZMMeasurementBase::monitor()->logWithLevel(4, 33004,
                                                "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return span;
}

std::int64_t QZMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!config()->efficientEngagementReportingEnabled()) return 0;
  std::lock_guard lock(mutex_);
  double now = currentUptime();
  double span = incurredEngagementTimeLocked(now);
  freerideEngagementStartUptime_ = now;
  return QZMMillisecondsFromSeconds(span);
}

double QZMSessionReporter::currentUptime() { return foundation::uptimeSeconds(); }

double QZMSessionReporter::currentClockTime() { return foundation::now(); }
