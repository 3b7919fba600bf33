// The conversion value the ad network reports for this install: asked of
// the measurement service after uploads (so it has seen the latest events),
// when the app becomes active and when the network returns, and passed on
// to the ad network within the time the answer is valid for.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Strings.h"
#include "platform/utilities/Endpoints.h"
#include "platform/utilities/Gzip.h"

namespace {

using Response = QZMPBSkAdNetworkConversionValueResponse;

constexpr const char* kSKANFetchTimerName = "SKAN conversion value fetch timer";
constexpr const char* kSKANDelayTimerName = "SKAN conversion value delay fetch";
constexpr const char* kSKANPath = "/skan";
constexpr std::int64_t kFirstWindowMillis = 172800LL * 1000;
constexpr std::int64_t kAllWindowsMillis = 3024000LL * 1000;
// The ad network's answer to a value it already has.
constexpr std::int64_t kSKANErrorSameValue = 10;

// Whether the system's version is at least major.minor.
bool systemAtLeast(int major, int minor) {
  const std::string version = foundation::Device::systemVersion();
  const char* end = version.data() + version.size();
  int have[2] = {0, 0};
  const char* at = version.data();
  for (int& part : have) {
    auto parsed = std::from_chars(at, end, part);
    if (parsed.ec != std::errc()) break;
    at = parsed.ptr;
    if (at == end || *at != '.') break;
    ++at;
  }
  return have[0] != major ? have[0] > major : have[1] >= minor;
}

bool hasNetworkUpdate() { return systemAtLeast(16, 1); }

std::int64_t nowMillis() { return QZMSaturatingCast<std::int64_t>(std::floor(foundation::now() * 1000)); }

}  // namespace

std::string QZMMeasurement::SKANVersion() const {
  if (systemAtLeast(16, 1)) return "4.0";
  if (systemAtLeast(14, 6)) return "3.0";
  if (systemAtLeast(14, 5)) return "2.2";
  if (systemAtLeast(14, 0)) return "2.1";
  if (systemAtLeast(13, 7)) return "1.0";
  return "0";
}

bool QZMMeasurement::isInFirstSKANPostbackWindow() {
  return nowMillis() - persistedConfig_->firstOpenTimestampMilliseconds() <= kFirstWindowMillis;
}

bool QZMMeasurement::isPastAllSKANPostbackWindows() {
  return nowMillis() - persistedConfig_->firstOpenTimestampMilliseconds() > kAllWindowsMillis;
}

bool QZMMeasurement::isValidFineConversionValue(std::int64_t value) { return value >= 0 && value <= 63; }

store::SKAdNetworkCoarseConversionValue QZMMeasurement::convertCoarseConversionValueFromProtoValue(std::int64_t value) {
  if (value == 3) return store::SKAdNetworkCoarseConversionValueHigh;
  if (value == 2) return store::SKAdNetworkCoarseConversionValueMedium;
  return store::SKAdNetworkCoarseConversionValueLow;
}

std::int32_t QZMMeasurement::SKANFetchRetryLimit() {
  std::int64_t evaluated = persistedConfig_->SKANEvaluationEventTimeMillis();
  std::int64_t backoff = persistedConfig_->SKANEvaluationUpdateBackoffMillis();
  std::int64_t pauseEnd = 0;
  if (evaluated >= 1 && backoff >= 1) {
    if (__builtin_add_overflow(evaluated, backoff, &pauseEnd)) pauseEnd = std::numeric_limits<std::int64_t>::max();
    if (pauseEnd >= nowMillis()) return 1;
  }
  auto config = remoteConfigInstance();
  if (!config) return 1;
  return isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryLimit() : config->SKANCVFetchRetryLimit();
}

bool QZMMeasurement::shouldFetchSKANConversionValue() {
  auto config = remoteConfigInstance();
  auto identity = this->identity();
  if (!hasNetworkUpdate() || !config || !config->SKANUpdateConversionValueEnabled()) return false;
  if (isPastAllSKANPostbackWindows() || isSKANRequestInProgress_) return false;
  auto appInstanceID = identity ? identity->appInstanceID() : std::nullopt;
  return appInstanceID && !appInstanceID->empty();
}

std::shared_ptr<QZMAlarm> QZMMeasurement::SKANRetryAlarm() const {
  std::lock_guard lock(SKANAlarmsMutex_);
  return SKANRetryAlarm_;
}

std::shared_ptr<QZMAlarm> QZMMeasurement::SKANDelayAlarm() const {
  std::lock_guard lock(SKANAlarmsMutex_);
  return SKANDelayAlarm_;
}

void QZMMeasurement::scheduleSKANCVFetchAfterDataUpload() {
  if (!shouldFetchSKANConversionValue()) return;
  auto config = remoteConfigInstance();
  double delay =
      isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchDelay() : config->SKANInitialCVFetchDelay();
  std::shared_ptr<QZMAlarm> alarm;
  {
    std::lock_guard lock(SKANAlarmsMutex_);
    if (!SKANDelayAlarm_)
      SKANDelayAlarm_ = QZMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kSKANDelayTimerName);
    alarm = SKANDelayAlarm_;
  }
  alarm->runAfterDelay(delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->fetchSKANCV();
  });
}

void QZMMeasurement::fetchSKANCV() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("fetchSKANCV");
  if (!shouldFetchSKANConversionValue()) return;
  auto monitor = QZMMeasurement::monitor();
  if (!isNetworkReadyForRequest()) {
    monitor->logWithLevel(7, 23240,
                          "Network operation is pending. Request to fetch SKAdNetwork conversion value postponed.");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    fetchSKANWhenNetworkConnected_ = true;
    return;
  }
  isSKANRequestInProgress_ = true;
  fetchSKANWhenNetworkConnected_ = false;
  isNetworkRequestPending_ = true;
  auto config = remoteConfigInstance();
  network_->setTimeoutInterval(config->networkTimeout());
  for (const auto& alarm : {SKANRetryAlarm(), SKANDelayAlarm()}) {
    if (alarm) alarm->cancel();
  }

  auto request = QZMPBSkAdNetworkConversionValueRequest::initWithMessageInfo(nullptr);
  auto identity = this->identity();
  using Request = QZMPBSkAdNetworkConversionValueRequest;
  NANOSetInt64(request.get(), Request::kLibraryVersion, QZMIdentity::kestrometerLibraryVersion());
  if (identity) {
    NANOSetString(request.get(), Request::kAppId, identity->appID());
    NANOSetString(request.get(), Request::kAppInstanceId, identity->appInstanceID());
  }
  NANOSetString(request.get(), Request::kSkanVersion, SKANVersion());
  NANOSetInt64(request.get(), Request::kEvaluationEventTimeMillis, persistedConfig_->SKANEvaluationEventTimeMillis());
  NANOSetInt64(request.get(), Request::kLastUploadedEventTimestampMillis,
               persistedConfig_->lastUploadedEventTimestampMillis());
  foundation::Data body = request->protoBuffer().value_or(foundation::Data());

  std::string url = utilities::Endpoints::baseURL(utilities::kEndpointConversionValues) + kSKANPath;
  std::string session =
      network_->postURL(url, {{"Accept-Encoding", "gzip"}}, body, scheduler_->workerQueue(), false,
                        [weak = weak_from_this()](const DRKHTTPURLResponse& response, const foundation::Data& data,
                                                  const std::optional<foundation::Error>& error) {
                          auto self = weak.lock();
                          if (!self) return;
                          self->isSKANRequestInProgress_ = false;
                          self->fetchSKANWhenNetworkConnected_ = false;
                          self->isNetworkRequestPending_ = false;
                          self->handleSKANFetchResponse(response, data, error);
                        });
  if (session.empty()) {
    // Never answered: handled as a failed request, so the retries pace it.
    isSKANRequestInProgress_ = false;
    isNetworkRequestPending_ = false;
    handleSKANFetchResponse(DRKHTTPURLResponse(), {},
                            foundation::Error(kDRKNetworkErrorDomain, 0, "Request was not sent: " + url));
  }
}

void QZMMeasurement::handleSKANFetchResponse(const DRKHTTPURLResponse& response, const foundation::Data& data,
                                             const std::optional<foundation::Error>& error) {
  auto monitor = QZMMeasurement::monitor();
  if (response.statusCode == kDRKNetworkHTTPStatusCodeNotModified) {
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (response.statusCode != kDRKNetworkHTTPStatusOK) {
    std::vector<QZMLogContext> contexts = {response.statusCode};
    if (error) contexts.emplace_back(*error);
    monitor->logWithLevel(7, 23241, "Network request failed to fetch SKAN conversion value. Code, Error", contexts);
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  foundation::Data body = data;
  auto encoding = response.valueForHTTPHeaderField("Content-Encoding");
  if (encoding && foundation::lowercased(*encoding) == "gzip") {
    auto inflated = drk_dataByInflatingGzippedData(data);
    if (inflated.ok()) body = std::move(*inflated);
  }
  if (body.empty()) {
    monitor->logWithLevel(1, 23242, "No SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  std::shared_ptr<const Response> answer = Response::initWithBuffer(std::span(body.data(), body.size()));
  if (!answer) {
    monitor->logWithLevel(1, 23243, "Invalid SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  std::int32_t status =
      NANOHasField(answer.get(), Response::kStatus) ? NANOGetInt32(answer.get(), Response::kStatus) : 0;
  if (status == 1) {
    updateSKANPostbackConversionValueFromResponse(answer);
  } else if (status == 2) {
    stopProcessingSKANResponseAndResetRetryCount();
  } else {
    maybeScheduleSKANCVFetchRetry();
  }
}

void QZMMeasurement::updateSKANPostbackConversionValueFromResponse(std::shared_ptr<const Response> response) {
  if (!hasNetworkUpdate() || !response) return;
  auto monitor = QZMMeasurement::monitor();
  const Response* r = response.get();
  if (!NANOHasField(r, Response::kEvaluationEventTimeMillis)) {
    monitor->logWithLevel(1, 23244, "SKAdNetwork conversion value data missing event time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  bool hasFine = NANOHasField(r, Response::kFineConversionValue);
  bool hasCoarse = NANOHasField(r, Response::kCoarseConversionValue);
  if (!hasFine && !hasCoarse) {
    monitor->logWithLevel(1, 23251, "SKAdNetwork fine and coarse conversion values missing.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  std::int64_t fine = hasFine ? NANOGetInt32(r, Response::kFineConversionValue) : 0;
  store::SKAdNetworkCoarseConversionValue coarse =
      convertCoarseConversionValueFromProtoValue(hasCoarse ? NANOGetInt32(r, Response::kCoarseConversionValue) : 1);
  bool lockWindow = NANOHasField(r, Response::kLockWindow) && NANOGetBool(r, Response::kLockWindow);
  if (!isValidFineConversionValue(fine)) {
    monitor->logWithLevel(1, 23245, "Invalid SKAdNetwork fine conversion value. Fine value", fine);
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (!NANOHasField(r, Response::kResultTimeMillis)) {
    monitor->logWithLevel(1, 23255, "SKAdNetwork conversion value data missing result time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  // Whole seconds in 64 bits: a result time past 2038 stays valid.
  std::int64_t resultSeconds = NANOGetInt64(r, Response::kResultTimeMillis) / 1000;
  if (foundation::now() > static_cast<double>(resultSeconds)) {
    monitor->logWithLevel(4, 23246, "SKAdNetwork conversion value expired.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  std::int64_t eventTime = NANOGetInt64(r, Response::kEvaluationEventTimeMillis);
  if (eventTime < persistedConfig_->lastUploadedEventTimestampMillis()) {
    monitor->logWithLevel(4, 23247, "Received outdated SKAdNetwork conversion value.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  SKANRetryCount_ = 0;
  persistedConfig_->setSKANEvaluationEventTimeMillis(eventTime);
  persistedConfig_->setSKANEvaluationUpdateBackoffMillis(NANOHasField(r, Response::kEvaluationUpdateBackoffMillis)
                                                             ? NANOGetInt64(r, Response::kEvaluationUpdateBackoffMillis)
                                                             : 0);
  monitor->logWithLevel(7, 23248, "Updating SKAdNetwork postback conversion value.");
  store::SKAdNetwork::updatePostbackConversionValue(
      fine, coarse, lockWindow,
      [weak = weak_from_this(), response = std::move(response)](const std::optional<foundation::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        self->scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:429",
                                                       [weak = self->weak_from_this(), response, error] {
                                                         if (auto engine = weak.lock())
                                                           engine->handleSKANUpdatePostbackCompletion(*response, error);
                                                       });
      });
}

void QZMMeasurement::handleSKANUpdatePostbackCompletion(const Response& response,
                                                        const std::optional<foundation::Error>& error) {
  bool sameValue =
      error && hasNetworkUpdate() && error->domain == store::kSKANErrorDomain && error->code == kSKANErrorSameValue;
  if (error && !sameValue) {
    monitor()->logWithLevel(1, 23249, "SKAdNetwork postback conversion value update failed. Error", *error);
    return;
  }
  QZMDictionary parameters;
  if (auto message = NANOGetString(&response, Response::kMessage)) parameters["_skanm"] = *message;
  if (NANOHasField(&response, Response::kFineConversionValue)) {
    parameters["_skanf"] = static_cast<std::int64_t>(NANOGetInt32(&response, Response::kFineConversionValue));
  }
  if (NANOHasField(&response, Response::kCoarseConversionValue)) {
    // As the service sent it, not as the ad network was told.
    parameters["_skanc"] = static_cast<std::int64_t>(
        static_cast<std::uint32_t>(NANOGetInt32(&response, Response::kCoarseConversionValue)));
  }
  if (NANOHasField(&response, Response::kLockWindow)) {
    parameters["_skanl"] = std::int64_t{NANOGetBool(&response, Response::kLockWindow) ? 1 : 0};
  }
  if (NANOHasField(&response, Response::kEvaluationEventTimeMillis)) {
    parameters["_skane"] = NANOGetInt64(&response, Response::kEvaluationEventTimeMillis);
  }
  handleInternalEventOnWorkerQueue(
      QZMEvent::initWithOrigin(kQZMOriginAuto, false, "_skan", foundation::now(), 0, parameters));
}

void QZMMeasurement::maybeScheduleSKANCVFetchRetry() {
  std::int32_t count = ++SKANRetryCount_;
  if (count > SKANFetchRetryLimit()) {
    monitor()->logWithLevel(4, 23250, "Reached retry limit for SKAdNetwork conversion value fetch.");
    return;
  }
  auto config = remoteConfigInstance();
  if (!config) return;
  double interval = isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryInterval()
                                                  : config->SKANCVFetchRetryInterval();
  std::shared_ptr<QZMAlarm> alarm;
  {
    std::lock_guard lock(SKANAlarmsMutex_);
    if (!SKANRetryAlarm_)
      SKANRetryAlarm_ = QZMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kSKANFetchTimerName);
    alarm = SKANRetryAlarm_;
  }
  alarm->runAfterDelay(interval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->fetchSKANCV();
  });
}

void QZMMeasurement::stopProcessingSKANResponseAndResetRetryCount() { SKANRetryCount_ = 0; }

void QZMMeasurement::maybeFetchSKANCVAfterReachabilityChange() {
  if (fetchSKANWhenNetworkConnected_ && network_ && network_->isNetworkConnected()) fetchSKANCV();
}
