#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/QZMValue.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/dispatch/Queue.h"
#include "platform/ui/Application.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

struct CampaignParameter {
  std::string_view queryKey;
  std::string_view parameter;
};

constexpr std::array<CampaignParameter, 19> kCampaignParameters{{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dclid", "dclid"},
    {"dxd_source", "dxd_source"},
    {"gclid", "gclid"},
    {"gbraid", "gbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"srsltid", "srsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
}};

// A link is a campaign link when one of these has a value.
constexpr std::array<std::string_view, 9> kRequiredCampaignKeys{
    "utm_campaign", "gclid", "utm_medium", "utm_source", "gbraid", "utm_id", "dclid", "srsltid", "sfmc_id"};

// Withheld unless the user allows tracking.
constexpr std::array<std::string_view, 3> kClickIdentifiers{"gclid", "dclid", "srsltid"};

constexpr std::string_view kDxdPrefix = "dxd_";

bool isDxdKey(std::string_view key) { return key.starts_with(kDxdPrefix); }

std::optional<std::string_view> campaignParameterName(std::string_view queryKey) {
  for (const CampaignParameter& entry : kCampaignParameters) {
    if (entry.queryKey == queryKey) return entry.parameter;
  }
  return std::nullopt;
}

const std::string* stringValue(const Dictionary& dictionary, std::string_view key) {
  auto found = dictionary.find(key);
  return found == dictionary.end() ? nullptr : found->second.string();
}

// A dxd parameter's value as the campaign record keeps it: text as it is, a
// number by its description.
std::optional<std::string> dxdText(const Object& value) {
  if (const std::string* text = value.string()) return *text;
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

}  // namespace

// ---- Links from the platform ----

std::optional<std::string> QZMMeasurement::deepLinkFromUserActivity(const DRKUserActivity& userActivity) {
  return deepLinkFromUserActivity(&userActivity);
}

std::optional<std::string> QZMMeasurement::deepLinkFromUserActivity(const DRKUserActivity* userActivity) {
  auto monitor = QZMMeasurement::monitor();
  if (!userActivity) {
    monitor->logWithLevel(7, 23003, "User Activity is empty. User Activity", QZMLogContext());
    return std::nullopt;
  }
  if (QZMEnvironmentInfo::sharedInstance()->deviceOSMajorVersion() < 9) {
    monitor->logWithLevel(3, 23004, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  if (userActivity->activityType == kDRKUserActivityTypeBrowsingWeb) {
    if (auto url = foundation::URL::withString(userActivity->webpageURL)) return url->absoluteString();
  }
  monitor->logWithLevel(3, 23006, "User Activity does not have Deep Link. User Activity",
                        userActivity->asObject());
  return std::nullopt;
}

void QZMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const foundation::Notification& notification) {
  const Dictionary& options = notification.userInfo;
  auto store = QZMUserDefaults::sharedUserDefaults();
  bool stored = false;
  if (auto entry = options.find(ui::kLaunchOptionsUserActivityDictionaryKey); entry != options.end()) {
    const Dictionary* activityOptions = entry->second.dictionary();
    if (activityOptions && !activityOptions->empty()) {
      std::optional<DRKUserActivity> activity;
      if (auto found = activityOptions->find(ui::kLaunchOptionsUserActivityKey); found != activityOptions->end()) {
        activity = DRKUserActivity::fromObject(found->second);
      }
      if (auto link = deepLinkFromUserActivity(activity ? &*activity : nullptr)) {
        QZMStoreDeepLink(*store, *link);
        stored = true;
      }
    }
  }
  if (const std::string* text = stringValue(options, ui::kLaunchOptionsURLKey); text && !text->empty()) {
    if (!stored) QZMStoreDeepLink(*store, *text);
    handleKRPXDebugModeWithURL(*text);
  }
}

void QZMMeasurement::handleKRPXDebugModeWithURL(const std::string& url) {
  std::optional<foundation::URL> parsed = foundation::URL::withString(url);
  if (!parsed) return;
  std::map<std::string, std::string> arguments = qzm_dictionaryWithHttpArgumentsString(parsed->query().value_or(""));
  auto enable = arguments.find("krpx_debug_enable");
  if (enable == arguments.end()) return;
  if (enable->second == "1") {
    monitor()->setKRPXDebugModeEnabled(true);
    auto previewKey = arguments.find("krpx_preview_key");
    // The key is sent as a header value: one with a line break (decoded from
    // the link) would be refused by the network and hold every upload back.
    bool splitsHeaders = previewKey != arguments.end() &&
                         previewKey->second.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
    if (splitsHeaders) {
      monitor()->logWithLevel(2, 23148, "Preview key holds a line break or NUL. It will not be used");
    }
    if (previewKey != arguments.end() && !previewKey->second.empty() && !splitsHeaders) {
      setKRPXPreviewHeaders(Dictionary{{"X-Qrl-Server-Preview", previewKey->second}});
    } else {
      setKRPXPreviewHeaders(std::nullopt);
    }
  } else if (enable->second == "0") {
    monitor()->setKRPXDebugModeEnabled(false);
    setKRPXPreviewHeaders(std::nullopt);
  }
}

// ---- Links that open the running app ----

void QZMMeasurement::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) {
  if (dispatch::currentQueueLabel() == scheduler_->workerQueue()->label()) {
    monitor()->logWithLevel(2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void QZMMeasurement::handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                   double eventTimestampInSeconds) {
  if (url.empty()) return;
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void QZMMeasurement::handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds) {
  // Text that is no URL carries no query, so it can name no campaign.
  std::optional<foundation::URL> parsed = foundation::URL::withString(url);
  if (!parsed) return;
  scheduler_->scheduleOnWorkerQueueBlockID(
      "QZMMeasurement:502", [weak = weak_from_this(), url = *parsed, clickTimestampInMs, eventTimestampInSeconds] {
        if (auto self = weak.lock()) {
          self->handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, {});
        }
      });
}

// ---- Measuring a link ----

std::optional<Dictionary> QZMMeasurement::campaignParametersFromURL(
    const std::optional<foundation::URL>& url, const std::map<std::string, std::string>& extraStrings,
    bool allowClickID) {
  auto monitor = QZMMeasurement::monitor();
  std::map<std::string, std::string> params = extraStrings;
  std::optional<std::string> query = url ? url->query() : std::nullopt;
  for (auto& [key, value] : qzm_dictionaryWithHttpArgumentsString(query.value_or(""))) params[key] = value;
  if (params.empty()) {
    monitor->logWithLevel(7, 23000, "Deep Link Web URL query is empty");
    return std::nullopt;
  }
  if (!isValidCampaignURLParamDictionary(params)) {
    Dictionary context;
    for (const auto& [key, value] : params) context[key] = value;
    monitor->logWithLevel(3, 23001, "Deep Link does not contain valid required params. URL params", context);
    return std::nullopt;
  }
  Dictionary out;
  for (const auto& [key, value] : params) {
    if (value.empty()) continue;
    if (auto name = campaignParameterName(key)) {
      out[std::string(*name)] = value;
    } else if (isDxdKey(key)) {
      out[key] = value;
    }
  }
  if (!allowClickID) {
    for (std::string_view identifier : kClickIdentifiers) {
      if (auto found = out.find(identifier); found != out.end()) out.erase(found);
    }
  }
  return out;
}

void QZMMeasurement::handleOpenURLOnWorkerQueue(const std::optional<foundation::URL>& url,
                                                std::optional<std::int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds, const Dictionary& extraParameters) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName(
      "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
  std::map<std::string, std::string> strings;
  Dictionary numbers;
  for (const auto& [key, value] : extraParameters) {
    if (const std::string* text = value.string()) {
      strings[key] = *text;
    } else if (value.isNumber()) {
      numbers[key] = value;
    }
  }
  std::optional<Dictionary> campaign = campaignParametersFromURL(url, strings, shouldAllowClickID());
  if (!campaign) return;
  Dictionary& out = *campaign;
  for (const auto& [key, value] : numbers) out[key] = value;
  if (clickTimestampInMs) out["click_timestamp"] = *clickTimestampInMs;

  double firstOpen = static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0;
  double timestamp = std::max(firstOpen, eventTimestampInSeconds);
  auto campaignCount = out.find("_cc");
  bool restored = campaignCount != out.end() && campaignCount->second.isNumber() &&
                  campaignCount->second.doubleValue() == 1.0;

  NANOObjectArray dxdEntries;
  for (const auto& [key, value] : out) {
    if (!isDxdKey(key)) continue;
    std::optional<std::string> text = dxdText(value);
    if (!text) continue;
    auto entry = QZMPBDeepLinkDxdParamsEntry::initWithMessageInfo(nullptr);
    if (!entry) continue;
    NANOSetString(entry.get(), QZMPBDeepLinkDxdParamsEntry::kKey, key);
    NANOSetString(entry.get(), QZMPBDeepLinkDxdParamsEntry::kValue, *text);
    dxdEntries.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(entry)));
  }
  const std::string* gclid = stringValue(out, "gclid");
  const std::string* gbraid = stringValue(out, "gbraid");
  if (gclid || gbraid || !dxdEntries.empty()) {
    if (auto record = QZMPBAdCampaignInfo::initWithMessageInfo(nullptr)) {
      if (gclid) NANOSetString(record.get(), QZMPBAdCampaignInfo::kClickId, *gclid);
      if (gbraid) NANOSetString(record.get(), QZMPBAdCampaignInfo::kBraidId, *gbraid);
      if (const std::string* source = stringValue(out, "dxd_source")) {
        NANOSetString(record.get(), QZMPBAdCampaignInfo::kDxdSource, *source);
      }
      NANOSetInt64(record.get(), QZMPBAdCampaignInfo::kClickTimestampMillis, QZMMillisecondsFromSeconds(timestamp));
      NANOSetArray(record.get(), QZMPBAdCampaignInfo::kDeepLinkDxdParams, &dxdEntries);
      if (std::optional<foundation::Data> encoded = record->protoBuffer()) {
        persistedConfig_->setAdCampaignInfoBuffer(Object(std::move(*encoded)));
      }
    }
  }

  if (gbraid && !gbraid->empty()) {
    std::optional<QZMValue> value = QZMValue::initWithString(*gbraid);
    std::optional<QZMUserAttribute> property =
        value ? QZMUserAttribute::initWithOrigin("auto", "_gbraid", *value, timestamp) : std::nullopt;
    if (property) setUserPropertyInDatabaseOnWorkerQueue(*property);
  }

  QZMDictionary parameters;
  for (const auto& [key, value] : out) parameters[key] = value;
  // Handling an internal event tells the listeners already; telling them
  // again would show them the campaign twice.
  if (auto event = QZMEvent::initWithOrigin("auto", false, restored ? "_cmpx" : "_cmp", timestamp, 0, parameters)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
}

bool QZMMeasurement::isValidCampaignURLParamDictionary(const std::map<std::string, std::string>& params) {
  for (std::string_view key : kRequiredCampaignKeys) {
    auto found = params.find(std::string(key));
    if (found != params.end() && !found->second.empty()) return true;
  }
  for (const auto& [key, value] : params) {
    if (isDxdKey(key)) return true;
  }
  return false;
}

bool QZMMeasurement::shouldAllowClickID() {
  if (!QZMIdentity::iOS14OrAbove()) return true;
  auto identity = this->identity();
  if (!identity) return false;
  if (auto identifier = identity->resettableDeviceID(); identifier && !identifier->empty()) return true;
  return identity->appleConsentStatus() == 3;
}
