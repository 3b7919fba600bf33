// When the next upload runs. The engine never uploads per event: it keeps at
// most one upload armed on its alarm and recomputes the time whenever
// something changes (start, a written event, an upload or configuration
// answer, the network, the app going to the background).
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// An upload further away than this lets the background time go.
constexpr double kBackgroundTaskHorizon = 30;

double latestTime(const foundation::Result<std::optional<double>>& answer, std::int64_t failureCode,
                  std::string_view failureText) {
  if (!answer) {
    QZMMeasurementBase::monitor()->logWithLevel(5, failureCode, failureText, answer.error());
    return 0;
  }
  return answer->value_or(0);
}

bool indicator(const foundation::Result<bool>& answer, std::int64_t failureCode, std::string_view failureText) {
  if (!answer) {
    QZMMeasurementBase::monitor()->logWithLevel(5, failureCode, failureText, answer.error());
    return false;
  }
  return *answer;
}

}  // namespace

double QZMMeasurement::uptime() {
  double seconds = foundation::uptimeSeconds();
  return seconds > 0 ? seconds : -1;
}

double QZMMeasurement::nextUploadingTime() {
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return 0;
  auto monitor = QZMMeasurement::monitor();

  double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  double lastFailure = persistedConfig_->lastFailedUploadTimestamp();
  double latest =
      std::max(latestTime(database->queryLatestRawEventTime(), 23029, "Failed to query latest raw event time. Error"),
               latestTime(database->queryLatestBundleTime(), 23030, "Failed to query latest bundle time. Error"));
  if (std::fabs(latest) < kEpsilon) return 0;

  bool debug = monitor->isDebugModeEnabled();
  double interval;
  if (debug) {
    interval = config->uploadingRealTimeInterval();
  } else if (indicator(database->containsRealtimeBundlesWithError(), 23031,
                       "Failed to query for real-time bundle indicator. Error") ||
             indicator(database->containsRealtimeRawEventsWithError(), 23032,
                       "Failed to query for real-time raw event indicator. Error")) {
    interval = config->uploadingRealTimeInterval();
  } else {
    // The service sees the events of the first conversion-value window sooner.
    interval = config->SKANUpdateConversionValueEnabled() && isInFirstSKANPostbackWindow()
                   ? config->SKANFirstWindowUploadInterval()
                   : config->uploadingInterval();
  }

  double now = foundation::now();
  // Data stamped in the future counts as new now: mirrored into the past, a
  // time far ahead would leave no upload time at all.
  double base = std::min(latest, now);
  double next = std::fabs(now - lastSuccess) < interval ? lastSuccess + interval
                                                        : base + config->uploadingInitialDelayInterval();
  if (lastFailure >= base) {
    // A failure after the newest data: retry with growing gaps, and stop
    // once the retries are spent until new data arrives.
    double step = config->uploadingRetryInterval();
    for (std::int32_t k = 0; k < config->uploadingRetryCount(); ++k) {
      next += step * std::ldexp(1.0, k);
      if (next > lastFailure) return next;
    }
    return 0;
  }
  if (debug) return std::min(next, base + config->uploadingDebugModeInterval());
  return next;
}

void QZMMeasurement::updateSchedule() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  const QZMDatabase::SharedLook look(database());
  auto monitor = QZMMeasurement::monitor();
  auto stopScheduling = [&](bool waitForNetwork) {
    alarm_->cancel();
    if (network_) {
      network_->setReachabilityDelegate(waitForNetwork ? std::weak_ptr<DRKNetworkReachabilityDelegate>(
                                                             std::static_pointer_cast<DRKNetworkReachabilityDelegate>(
                                                                 shared_from_this()))
                                                       : std::weak_ptr<DRKNetworkReachabilityDelegate>());
    }
    terminateBackgroundTask();
  };

  if (suspendedUploadTimestamp_ != 0 && !std::isnan(suspendedUploadTimestamp_)) {
    // Measured on the clock since boot; an unknown uptime, or one that went
    // back, ends the suspension rather than keeping it for ever.
    double now = uptime();
    double elapsed = now - suspendedUploadTimestamp_;
    if (now > 0 && elapsed >= 0 && elapsed < kQZMUploadSuspensionInterval) {
      monitor->logWithLevel(3, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                            kQZMUploadSuspensionInterval - elapsed);
      stopScheduling(false);
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }

  if (!hasDataToUpload()) {
    if (auto config = remoteConfigInstance()) config->activateNewSnapshot();
    monitor->logWithLevel(8, 23024, "No data to upload. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }

  double next = nextUploadingTime();
  if (std::fabs(next) < kEpsilon) {
    monitor->logWithLevel(8, 23025, "No next uploading time. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }

  if (!network_ || !network_->isNetworkConnected()) {
    monitor->logWithLevel(8, 23026, "No network. Upload task will not be scheduled");
    stopScheduling(true);
    return;
  }
  network_->setReachabilityDelegate({});

  double now = foundation::now();
  double backoff = persistedConfig_->lastBackoffTimestamp();
  if (auto config = remoteConfigInstance(); config && std::fabs(backoff) > kEpsilon) {
    double period = config->uploadingBackoffInterval();
    // Either way, so that a back-off stamped by a clock far ahead does not
    // hold uploads for longer than one period.
    if (std::fabs(now - backoff) < period) next = std::max(next, backoff + period);
  }

  if (auto scheduled = alarm_->scheduledTimestamp();
      scheduled && scheduled->secondsSince1970 != 0 && scheduled->secondsSince1970 <= next) {
    double remaining = scheduled->secondsSince1970 - now;
    monitor->logWithLevel(8, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                          remaining);
    if (remaining > kBackgroundTaskHorizon) terminateBackgroundTask();
    return;
  }

  double delay = next - now;
  if (std::fabs(delay) < kEpsilon) delay = 0.001;
  alarm_->runAfterDelay(delay, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:1736", [weak] {
      if (auto engine = weak.lock()) engine->uploadData();
    });
  });
  monitor->logWithLevel(8, 23028, "Upload task scheduled to be executed in approx. (s)", delay);
  if (delay > kBackgroundTaskHorizon) terminateBackgroundTask();
}

bool QZMMeasurement::shouldUseBackgroundSession() const {
  auto config = remoteConfigInstance();
  return config && config->isNetworkBackgroundSessionEnabled() &&
         backgroundUpdateTask_.load() != kQZMBackgroundTaskInvalid;
}

void QZMMeasurement::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}
