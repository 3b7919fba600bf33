#include "measurement/engine/reporters/QZMSearchAdReporter.h"

#include <cmath>
#include <utility>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/JSON.h"
#include "platform/utilities/Endpoints.h"

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurement::monitor(); }

// The service sends its identifiers as numbers or as text; either is read as
// text, and anything else as nothing.
std::string identifierText(const foundation::Object& answer, const char* key) {
  const foundation::Object* value = answer.find(key);
  if (!value) return {};
  if (const std::string* text = value->string()) return *text;
  if (value->isInteger() || value->isFloating()) return value->description();
  return {};
}

}  // namespace

std::shared_ptr<QZMSearchAdReporter> QZMSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<dispatch::Queue> workerQueue, std::shared_ptr<QZMPersistedConfig> persistedConfig) {
  if (!workerQueue) {
    monitor()->logWithLevel(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    monitor()->logWithLevel(2, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() >= kQZMSearchAdMaxRetries) return nullptr;
  if (persistedConfig->searchAdCampaignValue()) {
    monitor()->logWithLevel(7, 32002,
                            "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  return std::make_shared<QZMSearchAdReporter>(Token{}, std::move(workerQueue), std::move(persistedConfig));
}

QZMSearchAdReporter::QZMSearchAdReporter(Token, std::shared_ptr<dispatch::Queue> workerQueue,
                                         std::shared_ptr<QZMPersistedConfig> persistedConfig)
    : workerQueue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      network_(std::make_shared<DRKNetwork>()),
      alarm_(QZMAlarm::initWithDispatchQueue(workerQueue_, kQZMSearchAdReporterAlarmName)) {
  network_->setTimeoutInterval(kQZMSearchAdRequestTimeout);
}

QZMSearchAdReporter::~QZMSearchAdReporter() { cancelScheduling(); }

void QZMSearchAdReporter::start() {
  if (adClientInstance()) {
    scheduleSearchAdReport();
  } else {
    monitor()->logWithLevel(7, 32014,
                            "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
  }
}

void QZMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}

bool QZMSearchAdReporter::isSearchAdReporterEnabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

std::shared_ptr<QZMAlarm> QZMSearchAdReporter::searchAdReporterAlarm() const {
  std::lock_guard lock(mutex_);
  return alarm_;
}

std::shared_ptr<store::AAAttribution> QZMSearchAdReporter::adClientInstance() { return store::AAAttribution::lookUp(); }

void QZMSearchAdReporter::scheduleSearchAdReport() {
  std::shared_ptr<QZMAlarm> alarm = searchAdReporterAlarm();
  if (!alarm) {
    monitor()->logWithLevel(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    alarm->cancel();
    return;
  }
  if (persistedConfig_->searchAdCampaignValue()) {
    monitor()->logWithLevel(7, 32004,
                            "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (alarm->hasActiveTimer()) {
    monitor()->logWithLevel(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() < kQZMSearchAdMaxRetries) {
    monitor()->logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
    double sinceLastAttempt = std::fabs(foundation::now() - persistedConfig_->lastSearchAdLookUpTimestamp());
    alarm->runAfterDelay(kQZMSearchAdRetryInterval - sinceLastAttempt, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
    });
    return;
  }
  monitor()->logWithLevel(5, 32007,
                          "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
  cancelScheduling();
}

void QZMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  // Switched off while the alarm was pending: nothing leaves the device.
  if (!isSearchAdReporterEnabled()) {
    scheduleSearchAdReport();
    return;
  }
  persistedConfig_->setLastSearchAdLookUpTimestamp(foundation::now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void QZMSearchAdReporter::fetchAttributionDetails() {
  // Counted before the request, so that no failure can make it unbounded.
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  std::shared_ptr<store::AAAttribution> service = adClientInstance();
  if (!service) return;
  foundation::Result<std::string> token = service->attributionTokenWithError();
  if (!token.ok()) {
    monitor()->logWithLevel(1, 32018, "Cannot send request for Search Ad campaign attribution. Error", token.error());
    return;
  }
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void QZMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  std::string url = utilities::Endpoints::baseURL(utilities::kEndpointSearchAds) + kQZMSearchAdAttributionPath;
  DRKHTTPHeaders headers{{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}};
  // The answer is handled on the worker queue, where the alarm and the
  // settings are otherwise touched.
  std::string session =
      network_->postURL(url, headers, foundation::Data(token.begin(), token.end()), workerQueue_, false,
                        [weak = weak_from_this()](const DRKHTTPURLResponse& response, const foundation::Data& body,
                                                  const std::optional<foundation::Error>& error) {
                          if (auto self = weak.lock()) self->handleAttributionResponse(response, body, error);
                        });
  if (session.empty()) {
    monitor()->logWithLevel(1, 32015, "Cannot send request for Search Ad campaign attribution. Error",
                            foundation::Error("QZMSearchAdReporter", 1, "The request was not accepted: " + url));
    scheduleSearchAdReport();
  }
}

void QZMSearchAdReporter::handleAttributionResponse(const DRKHTTPURLResponse& response, const foundation::Data& body,
                                                    const std::optional<foundation::Error>& error) {
  if (error) {
    monitor()->logWithLevel(1, 32015, "Cannot send request for Search Ad campaign attribution. Error", *error);
    scheduleSearchAdReport();
    return;
  }
  // An error page is no answer: asking again later is the only way to get one.
  if (response.statusCode < 200 || response.statusCode > 299) {
    monitor()->logWithLevel(
        1, 32015, "Cannot send request for Search Ad campaign attribution. Error",
        foundation::Error("QZMSearchAdReporter", response.statusCode,
                          "The attribution service answered with status " + std::to_string(response.statusCode)));
    scheduleSearchAdReport();
    return;
  }
  foundation::Result<foundation::Object> answer =
      foundation::parseJSON(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  if (!answer.ok() || !answer->isDictionary()) {
    foundation::Error parseError =
        answer.ok() ? foundation::Error("QZMSearchAdReporter", 2, "The answer is no object") : answer.error();
    monitor()->logWithLevel(1, 32017, "Search Ad Reporter failed to parse JSON data. Error", parseError);
    scheduleSearchAdReport();
    return;
  }
  if (answer->dictionary()->empty()) {
    scheduleSearchAdReport();
    return;
  }
  std::string campaign = identifierText(*answer, "campaignId");
  std::string ad = identifierText(*answer, "adId");
  if (ad == kQZMSearchAdTestIdentifier && campaign == kQZMSearchAdTestIdentifier) {
    monitor()->logWithLevel(7, 32016, "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  const foundation::Object* attribution = answer->find("attribution");
  bool attributed = attribution && attribution->isNumber() && attribution->boolValue();
  logCampaignEventWithSearchAdCampaign(attributed, campaign, identifierText(*answer, "keywordId"));
  cancelScheduling();
}

void QZMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                                               const std::string& term) {
  bool storedBefore = false;
  {
    std::lock_guard lock(campaignMutex_);
    if (persistedConfig_->searchAdCampaignValue()) {
      monitor()->logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
      storedBefore = true;
    } else {
      persistedConfig_->setSearchAdCampaignValue(foundation::Object(attributed));
    }
  }
  if (storedBefore || !attributed) return;

  QZMDictionary parameters{{"source", "Apple"}, {"medium", "search"}};
  if (!campaign.empty()) parameters["campaign"] = campaign;
  if (!term.empty()) parameters["term"] = term;
  std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters["click_timestamp"] = firstOpen - 1;
  } else {
    monitor()->logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  QZMAnalytics::logInternalEventWithOrigin(kQZMOriginAuto, "_cmp", parameters);
}

void QZMSearchAdReporter::cancelScheduling() {
  std::shared_ptr<QZMAlarm> alarm;
  {
    std::lock_guard lock(mutex_);
    alarm = std::move(alarm_);
  }
  if (alarm) alarm->cancel();
}
