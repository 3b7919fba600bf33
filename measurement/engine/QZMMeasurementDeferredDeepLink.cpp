#include <algorithm>
#include <string>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"
#include "platform/ui/Application.h"
#include "platform/utilities/Endpoints.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr const char* kDeferredDeepLinkPlistKey = "DRALIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
constexpr const char* kDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";
constexpr const char* kDebugDeferredDeepLinkArgument = "-DebugDeferredDeepLink";

bool isAnsweredStatus(std::int64_t status) {
  return status == kDRKNetworkHTTPStatusOK || status == kDRKNetworkHTTPStatusCodeNotModified ||
         status == kDRKNetworkHTTPStatusNoContent;
}

}  // namespace

bool QZMMeasurement::shouldAllowRequestDeferredDeepLink() {
  auto monitor = QZMMeasurement::monitor();
  auto config = remoteConfigOrDefault();
  if (!config->isDeferredDeepLinkEnabled()) {
    monitor->logWithLevel(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  const Object* optIn = foundation::Bundle::main()->objectForInfoDictionaryKey(kDeferredDeepLinkPlistKey);
  if (!optIn || !optIn->isNumber() || !optIn->boolValue()) return false;
  if (persistedConfig_->deferredDeepLinkRetrievalComplete()) {
    monitor->logWithLevel(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persistedConfig_->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
    monitor->logWithLevel(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(Object(1));
    return false;
  }
  if (QZMConsentSettingsUtil::isAdStorageDenied()) {
    monitor->logWithLevel(3, 23252,
                          "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
    return false;
  }
  auto identity = this->identity();
  // Limited unless the identity can tell otherwise.
  bool limited = !identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking();
  if (limited) {
    monitor->logWithLevel(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  monitor->logWithLevel(7, 23197, "Deferred Deep Link feature enabled");
  return true;
}

std::optional<foundation::URL> QZMMeasurement::deferredDeepLinkRequestURL() {
  auto identity = this->identity();
  auto config = remoteConfigOrDefault();
  std::vector<std::pair<std::string, std::string>> query{
      {"sdk_version", std::to_string(QZMIdentity::kestrometerLibraryVersion())},
      {"rdid", identity ? identity->resettableDeviceID().value_or("") : ""},
      {"id_type", "idfa"},
      {"bundleid", identity ? identity->appID() : foundation::Bundle::main()->bundleIdentifier()},
      {"retry", std::to_string(persistedConfig_->deferredDeepLinkRetryCount())},
  };
  std::vector<std::string> arguments = QZMUtilities::shared()->launchArguments();
  if (std::find(arguments.begin(), arguments.end(), kDebugDeferredDeepLinkArgument) != arguments.end()) {
    query.emplace_back("ddl_test", "1");
  }
  if (std::string signals = QZMConsentSettingsUtil::consentSignals(); !signals.empty()) {
    query.emplace_back("gcs", signals);
  }
  bool dmaRegion = config->isDMARegion();
  query.emplace_back("dma", dmaRegion ? "1" : "0");
  if (QZMConsentSettingsUtil::isAdUserDataDenied()) {
    query.emplace_back("dma_cps", "-");
  } else if (dmaRegion) {
    // A set, so already in ascending order.
    std::string services;
    for (const std::string& service : config->corePlatformServices()) services += service;
    if (!services.empty()) query.emplace_back("dma_cps", services);
  }
  if (std::optional<bool> personalization = QZMConsentSettingsUtil::adPersonalization()) {
    query.emplace_back("npa", *personalization ? "0" : "1");
  }
  return foundation::URL::withString(utilities::Endpoints::baseURL(utilities::kEndpointAdServices) +
                                     kDeferredDeepLinkPath + "?" + foundation::queryString(query));
}

void QZMMeasurement::requestDeferredDeepLink() {
  auto monitor = QZMMeasurement::monitor();
  std::optional<foundation::URL> url = deferredDeepLinkRequestURL();
  if (!url) {
    monitor->logWithLevel(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  if (!network_) return;
  if (isNetworkRequestPending()) {
    // One request at a time: asked again once the next configuration
    // fetch has ended.
    shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    return;
  }
  setNetworkRequestPending(true);
  network_->setTimeoutInterval(remoteConfigOrDefault()->networkTimeout());
  std::string session = network_->getURL(
      url->absoluteString(), {}, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak = weak_from_this()](const DRKHTTPURLResponse& response, const foundation::Data& body,
                                const std::optional<foundation::Error>& error) {
        if (auto self = weak.lock()) self->deferredDeepLinkCompletionHandler(response, body, error);
      });
  // Not sent at all: nothing will complete.
  if (session.empty()) setNetworkRequestPending(false);
}

bool QZMMeasurement::maybeRequestDeferredDeepLinkAfterConfigFetch() {
  if (!shouldRequestDeferredDeepLinkAfterConfigFetch_.exchange(false)) return false;
  requestDeferredDeepLink();
  return true;
}

void QZMMeasurement::deferredDeepLinkCompletionHandler(const DRKHTTPURLResponse& response,
                                                       const foundation::Data& body,
                                                       const std::optional<foundation::Error>& error) {
  setNetworkRequestPending(false);
  if (!error && isAnsweredStatus(response.statusCode)) {
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(Object(0));
    std::optional<Dictionary> info = deepLinkInfoFromResponseData(body);
    if (info && !info->empty()) {
      monitor()->logWithLevel(7, 23200, "Successfully retrieved Deferred Deep Link");
      handleDeferredDeepLinkInfo(*info);
    } else {
      updateSchedule();
    }
    return;
  }
  monitor()->logWithLevel(1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                          response.statusCode, error ? QZMLogContext(*error) : QZMLogContext());
  persistedConfig_->setDeferredDeepLinkRetryCount(persistedConfig_->deferredDeepLinkRetryCount() + 1);
  updateSchedule();
}

std::optional<Dictionary> QZMMeasurement::deepLinkInfoFromResponseData(const foundation::Data& data) {
  if (data.empty()) {
    monitor()->logWithLevel(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  foundation::Result<Object> parsed =
      foundation::parseJSON(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (!parsed.ok()) {
    monitor()->logWithLevel(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error", parsed.error());
    return std::nullopt;
  }
  const Dictionary* info = parsed->dictionary();
  if (!info || info->empty()) return std::nullopt;
  auto link = info->find("deeplink");
  if (link == info->end() || !link->second.isString() || !foundation::URL::withString(*link->second.string())) {
    return std::nullopt;
  }
  return *info;
}

void QZMMeasurement::handleDeferredDeepLinkInfo(const Dictionary& info) {
  auto link = info.find("deeplink");
  if (link == info.end() || !link->second.isString()) return;
  std::optional<foundation::URL> url = foundation::URL::withString(*link->second.string());
  if (!url) return;
  Dictionary extraParameters{{"cis", "ddp"}};
  // Text only: a click identifier given as a number would get past the
  // tracking-permission check, which sees text alone.
  for (const char* key : {"gclid", "gbraid"}) {
    if (auto value = info.find(key); value != info.end() && value->second.isString()) {
      extraParameters[key] = value->second;
    }
  }
  std::optional<Dictionary> options;
  if (auto timestamp = info.find("timestamp"); timestamp != info.end()) {
    options = Dictionary{{"timestamp", timestamp->second}};
  }
  monitor()->logWithLevel(8, 23203, "Sending Deferred Deep Link to app delegate");
  double eventTimestamp = foundation::now();
  dispatch::Queue::main()->async([weak = weak_from_this(), url = *url, options, eventTimestamp, extraParameters] {
    if (!sendDeepLinkURLToAppDelegateOnMainThread(url, options)) {
      monitor()->logWithLevel(3, 23204, "App delegate not configured to handle Deferred Deep Link",
                              url.absoluteString());
      return;
    }
    auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID(
        "QZMMeasurement:424", [weak, url, eventTimestamp, extraParameters] {
          if (auto engine = weak.lock()) {
            engine->handleOpenURLOnWorkerQueue(url, std::nullopt, eventTimestamp, extraParameters);
          }
        });
  });
}

bool QZMMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(const foundation::URL& url,
                                                              const std::optional<Dictionary>& extraInfo) {
  ui::ApplicationDelegate* delegate = ui::Application::shared().delegate();
  if (!delegate || !delegate->respondsToOpenURL()) return false;
  delegate->openURL(url.absoluteString(), extraInfo.value_or(Dictionary{}));
  return true;
}
