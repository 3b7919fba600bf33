#include "measurement/engine/reporters/QZMAdExposureReporter.h"

#include <mutex>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/reporters/QZMScreen.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr const char* kAdsOrigin = "am";

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMAdExposureReporter> reporter;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

bool isAppActive() { return QZMScreenViewReporter::sharedInstance()->isAppActive(); }

}  // namespace

bool QZMIsAdEvent(const std::string& origin, const std::string& name) {
  return origin == kAdsOrigin || name == "_xa" || name == "_xu";
}

std::shared_ptr<QZMAdExposureReporter> QZMAdExposureReporter::sharedInstance() {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.reporter) s.reporter = create();
  return s.reporter;
}

void QZMAdExposureReporter::setSharedInstance(std::shared_ptr<QZMAdExposureReporter> reporter) {
  std::shared_ptr<QZMAdExposureReporter> previous;
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  previous = std::exchange(s.reporter, std::move(reporter));
}

std::shared_ptr<QZMAdExposureReporter> QZMAdExposureReporter::create() {
  auto reporter = std::make_shared<QZMAdExposureReporter>(Token{});
  reporter->engagementObserver_ = foundation::NotificationCenter::defaultCenter().addObserverForName(
      kQZMSessionReporterEngagementTimerDidFire, nullptr, nullptr,
      [weak = std::weak_ptr<QZMAdExposureReporter>(reporter)](const foundation::Notification& notification) {
        if (auto self = weak.lock()) self->handleEngagementTimer(notification);
      });
  return reporter;
}

QZMAdExposureReporter::QZMAdExposureReporter(Token)
    : queue_(dispatch::Queue::create(kQZMAdExposureReporterQueueLabel)), adExposureStartTime_(currentTime()) {}

QZMAdExposureReporter::~QZMAdExposureReporter() {
  foundation::NotificationCenter::defaultCenter().removeObserver(engagementObserver_);
}

void QZMAdExposureReporter::runOnQueueAndWait(const std::function<void()>& block) {
  if (queue_->isCurrent()) {
    block();
  } else {
    (void)queue_->sync(block);
  }
}

double QZMAdExposureReporter::currentTime() { return QZMSessionReporter::currentUptime(); }

void QZMAdExposureReporter::setReportingEnabled(bool enabled) {
  runOnQueueAndWait([&] { reportingEnabled_ = enabled; });
}

bool QZMAdExposureReporter::isReportingEnabled() {
  bool enabled = false;
  runOnQueueAndWait([&] { enabled = reportingEnabled_; });
  return enabled;
}

// ---- Units ----

void QZMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  double time = currentTime();
  queue_->async([weak = weak_from_this(), adUnitID, time] {
    auto self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kQZMMaxAdUnits) {
      monitor()->logWithLevel(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    self->adUnitStartTimes_.try_emplace(adUnitID, time);
    ++self->adUnitCounts_[adUnitID];
  });
}

void QZMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  double time = currentTime();
  QZMDictionary screenParameters = QZMScreenViewReporter::sharedInstance()->screenParameters();
  runOnQueueAndWait([&] {
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      monitor()->logWithLevel(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (count->second >= 2) {
      --count->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, screenParameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueueWithEndTime(time, screenParameters);
      adExposureStartTime_ = time;
    }
  });
}

// ---- Cuts ----

void QZMAdExposureReporter::handleScreenDidChangeFromScreen(const QZMScreen* previousScreen,
                                                            const QZMScreen* /*newScreen*/) {
  if (previousScreen == nullptr) return;
  logExposureEventsWithScreenParameters(previousScreen->screenParameters());
}

void QZMAdExposureReporter::handleEngagementTimer(const foundation::Notification& /*notification*/) {
  logExposureEventsWithScreenParameters(QZMScreenViewReporter::sharedInstance()->screenParameters());
}

void QZMAdExposureReporter::handleAppDidBecomeActive() {
  double time = currentTime();
  runOnQueueAndWait([&] { updateStartTimesOnSerialQueue(time); });
}

void QZMAdExposureReporter::handleAppWillResignActiveWithScreen(const QZMScreen* screen) {
  QZMDictionary screenParameters = screen ? screen->screenParameters() : QZMDictionary();
  if (screenParameters.empty()) screenParameters = QZMScreenViewReporter::sharedInstance()->screenParameters();
  double time = currentTime();
  runOnQueueAndWait([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void QZMAdExposureReporter::logExposureEventsWithScreenParameters(const QZMDictionary& screenParameters) {
  double time = currentTime();
  runOnQueueAndWait([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void QZMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const QZMDictionary& screenParameters) {
  for (const auto& [adUnitID, start] : adUnitStartTimes_) {
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void QZMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}

// ---- Reports ----

void QZMAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                                       const QZMDictionary& screenParameters) {
  if (!reportingEnabled_) {
    monitor()->logWithLevel(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!isAppActive()) {
    monitor()->logWithLevel(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  std::int64_t millis = QZMMillisecondsFromSeconds(endTime - adExposureStartTime_);
  if (millis < 1000) {
    monitor()->logWithLevel(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  QZMDictionary parameters = screenParameters;
  parameters.insert_or_assign("_xt", QZMValue::initWithInt64(millis));
  QZMAnalytics::logInternalEventWithOrigin(kAdsOrigin, "_xa", parameters);
}

void QZMAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                                       const QZMDictionary& screenParameters) {
  if (!reportingEnabled_) {
    monitor()->logWithLevel(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!isAppActive()) {
    monitor()->logWithLevel(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  auto start = adUnitStartTimes_.find(adUnitID);
  double startTime = start == adUnitStartTimes_.end() ? endTime : start->second;
  std::int64_t millis = QZMMillisecondsFromSeconds(endTime - startTime);
  if (millis < 1000) {
    monitor()->logWithLevel(8, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  QZMDictionary parameters = screenParameters;
  parameters.insert_or_assign("_ai", adUnitID);
  parameters.insert_or_assign("_xt", QZMValue::initWithInt64(millis));
  QZMAnalytics::logInternalEventWithOrigin(kAdsOrigin, "_xu", parameters);
}
