#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/store/StoreKit.h"
#include "platform/ui/Application.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr std::int64_t kHourMilliseconds = 3'600'000;

// The platform's reading of a text as a Boolean: after blanks and a sign,
// "Y", "y", "T", "t" or a digit other than 0 is true.
bool textBoolValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// A launch the system prewarmed before the user opened the app: its session
// starts when its scene connects, not now.
bool isPrewarmedSceneLaunch() {
  if (QZMEnvironmentInfo::sharedInstance()->deviceOSMajorVersion() < 15) return false;
  if (!foundation::Bundle::main()->objectForInfoDictionaryKey("UIApplicationSceneManifest")) return false;
  std::optional<std::string> prewarm = foundation::ProcessInfo::environmentValue("ActivePrewarm");
  return prewarm && textBoolValue(*prewarm);
}

std::int64_t decimalValue(const std::optional<std::string>& text) {
  if (!text) return 0;
  std::int64_t value = 0;
  auto parsed = std::from_chars(text->data(), text->data() + text->size(), value);
  return parsed.ec == std::errc() ? value : 0;
}

std::optional<QZMUserAttribute> autoAttribute(std::string name, QZMValue value, double timestamp) {
  return QZMUserAttribute::initWithOrigin("auto", std::move(name), std::move(value), timestamp);
}

}  // namespace

// ---- First open ----

void QZMMeasurement::reportFirstOpenOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  auto monitor = QZMMeasurement::monitor();
  auto database = this->database();
  if (!database) return;
  foundation::Result<bool> hasFirstOpen = database->containsUserAttributeWithName("_fot");
  if (!hasFirstOpen.ok()) {
    monitor->logWithLevel(1, 23019, "Failed to query first open property. Error", hasFirstOpen.error());
    return;
  }
  foundation::Result<std::optional<std::string>> storedCount = previousFirstOpenCount();
  std::int64_t previousCount = storedCount.ok() ? decimalValue(*storedCount) : 0;
  double initTimestamp = this->initTimestamp();

  if (*hasFirstOpen) {
    if (previousCount < 1) setPreviousFirstOpenCount("1");
    QZMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
    if (isPrewarmedSceneLaunch()) {
      reportSessionStartWhenSceneWillConnectOnWorkerQueue();
    } else if (QZMScreenViewReporter::sharedInstance()->isAppActive()) {
      reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
    }
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    return;
  }

  // An earlier install on the device, or this one's own install, makes this
  // the first open after an install; a first open that a data reset brings
  // is none.
  std::int64_t installFlag = previousCount >= 1 || !QZMAnalytics::needFirstOpenAfterReset() ? 1 : 0;
  std::int64_t storedFirstOpenMillis = persistedConfig_->firstOpenTimestampMilliseconds();
  double installTimestamp =
      storedFirstOpenMillis != 0 ? static_cast<double>(storedFirstOpenMillis) / 1000.0 : initTimestamp;
  if (auto attribute = autoAttribute("_fi", QZMValue::initWithInt64(installFlag), installTimestamp)) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
  foundation::Result<bool> hasInstallFlag = database->containsUserAttributeWithName("_fi");
  if (!hasInstallFlag.ok()) {
    monitor->logWithLevel(1, 23161, "Failed to query first open after install property after setting it. Error",
                          hasInstallFlag.error());
    return;
  }
  if (!*hasInstallFlag) {
    monitor->logWithLevel(1, 23162, "Failed to set first open after install property");
    return;
  }

  std::int64_t firstOpenMillis = QZMMillisecondsFromSeconds(initTimestamp);
  if (auto attribute = autoAttribute(
          "_fot", QZMValue::initWithInt64(timestampMillisRoundedUpToNextHour(firstOpenMillis)), initTimestamp)) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
  hasFirstOpen = database->containsUserAttributeWithName("_fot");
  if (!hasFirstOpen.ok()) {
    monitor->logWithLevel(1, 23020, "Failed to query first open property after setting it. Error",
                          hasFirstOpen.error());
    return;
  }
  if (!*hasFirstOpen) {
    monitor->logWithLevel(1, 23021, "Failed to set first open property");
    return;
  }

  auto config = remoteConfigOrDefault();
  bool efficientEngagement = config->efficientEngagementReportingEnabled();
  QZMDictionary firstOpenParameters{
      {"_pfo", std::max<std::int64_t>(previousCount, 0)},
      {"_uwa", 1 - installFlag},
  };
  // Sent with one first open only.
  if (previousDXVAppID_ && !previousDXVAppID_->empty()) firstOpenParameters["_pgmp"] = *previousDXVAppID_;
  previousDXVAppID_.reset();
  if (auto deferred = QZMAnalytics::deferredAnalyticsCollection(); deferred && deferred->boolValue()) {
    firstOpenParameters["_dac"] = 1;
  }
  if (efficientEngagement) firstOpenParameters["_et"] = 1;
  QZMDictionary screenParameters = QZMScreenViewReporter::sharedInstance()->screenParameters();
  if (auto event = QZMEvent::initWithOrigin("auto", false, "_f", initTimestamp, 0, firstOpenParameters)) {
    event->addScreenParameters(screenParameters);
    handleInternalEventOnWorkerQueue(std::move(event));
  }

  QZMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  persistedConfig_->setLoadTimestampValue(std::nullopt);
  if (QZMScreenViewReporter::sharedInstance()->isAppActive()) {
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
  }
  if (!config->redundantEngagementRemovalEnabled()) {
    QZMDictionary engagementParameters{{"_et", 1}};
    if (efficientEngagement) engagementParameters["_fr"] = 1;
    if (auto event = QZMEvent::initWithOrigin("auto", false, "_e", initTimestamp, 0, engagementParameters)) {
      event->addScreenParameters(screenParameters);
      handleInternalEventOnWorkerQueue(std::move(event));
    }
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMillis);
  reportStoredCampaignEventOnWorkerQueue(firstOpenMillis - 1);
  if (shouldAllowAdNetworkRegistration()) {
    store::SKAdNetwork::registerAppForAdNetworkAttribution();
  } else {
    monitor->logWithLevel(7, 23217, "Opted out of registration for ad network attribution");
  }
}

void QZMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMillis) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName(
      "reportStoredCampaignEventWithClickTimestampInMillisOnWorkerQueue:");
  auto store = QZMUserDefaults::sharedUserDefaults();
  std::optional<std::string> link = store->stringForKey(kQZMStoredDeepLinkKey);
  if (!link || link->empty()) return;
  double storedTimestamp = store->doubleForKey(kQZMStoredDeepLinkTimestampKey);

  Dictionary extraParameters;
  if (QZMIsStoredDeepLinkOlderThan(*store, remoteConfigOrDefault()->attributionCacheTTLInterval())) {
    // Too old to name its campaign; only that there was one is told.
    link = "(not set)";
    extraParameters["utm_source"] = "(not set)";
    extraParameters["utm_medium"] = "(not set)";
    extraParameters["_cc"] = 1;
  } else {
    extraParameters["_cc"] = QZMPreviousHourStartMilliseconds(QZMMillisecondsFromSeconds(storedTimestamp));
  }
  QZMClearStoredDeepLink(*store);
  handleOpenURLOnWorkerQueue(foundation::URL::withString(*link), clickTimestampInMillis, storedTimestamp,
                             extraParameters);
}

// ---- The launch session ----

void QZMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueueWithTimestamp:appInBackground:");
  auto reporter = sessionReporter();
  if (!reporter) return;
  // Checked and counted in one step: an activation on the main thread may
  // be starting this same session.
  std::optional<std::int64_t> sessionNumber = reporter->updatePropertiesForNewSessionStartIfExpired();
  if (!sessionNumber) return;
  if (auto sessionID = reporter->sessionIDPropertyWithTimestamp(timestamp)) setUserAttributeOnWorkerQueue(*sessionID);
  if (auto sessionNumber = reporter->sessionNumberProperty()) setUserAttributeOnWorkerQueue(*sessionNumber);
  bool inBackground = appInBackground && remoteConfigOrDefault()->appInBackgroundParameterEnabled();
  if (auto event = QZMSessionStartEvent(*sessionNumber, inBackground, timestamp)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
}

void QZMMeasurement::reportSessionStart() {
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:1091", [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->reportSessionStartOnWorkerQueueWithTimestamp(self->initTimestamp(), false);
  });
}

void QZMMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartWhenSceneWillConnectOnWorkerQueue");
  if (QZMEnvironmentInfo::sharedInstance()->deviceOSMajorVersion() < 13) return;
  auto& center = foundation::NotificationCenter::defaultCenter();
  // The first connection only: the observer removes itself.
  auto token = std::make_shared<std::optional<foundation::NotificationCenter::Token>>();
  auto tokenMutex = std::make_shared<std::mutex>();
  std::lock_guard lock(*tokenMutex);
  *token = center.addObserverForName(
      ui::kSceneWillConnectNotification, nullptr, nullptr,
      [weak = weak_from_this(), token, tokenMutex](const foundation::Notification&) {
        std::optional<foundation::NotificationCenter::Token> held;
        {
          std::lock_guard lock(*tokenMutex);
          held = std::exchange(*token, std::nullopt);
        }
        if (!held) return;
        foundation::NotificationCenter::defaultCenter().removeObserver(*held);
        if (auto self = weak.lock()) self->reportSessionStart();
      });
}

// ---- Versions ----

void QZMMeasurement::reportAppUpdateOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
  auto identity = this->identity();
  std::optional<std::string> current = identity ? identity->appVersion() : std::nullopt;
  std::optional<std::string> previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (previous && !previous->empty()) {
    QZMAnalytics::logInternalEventWithOrigin("auto", "_au", QZMDictionary{{"_pv", *previous}});
  }
}

void QZMMeasurement::reportOSUpdateOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
  std::optional<std::string> current = QZMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  std::optional<std::string> previous = persistedConfig_->osVersion();
  if (current == previous) return;
  persistedConfig_->setOsVersion(current);
  if (previous && !previous->empty()) {
    QZMAnalytics::logInternalEventWithOrigin("auto", "_ou", QZMDictionary{{"_po", *previous}});
  }
}

// ---- Ad personalisation and campaign records ----

void QZMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setPersonalizedAdsUserPropertyOnWorkerQueue");
  auto monitor = QZMMeasurement::monitor();
  auto database = this->database();
  if (!database) return;
  auto stored = database->userAttributeWithName("_npa");
  if (!stored.ok()) {
    monitor->logWithLevel(1, 23172, "Unable to read personalized ads user property. Error", stored.error());
    return;
  }
  std::optional<std::int64_t> npa = shouldDisableAdPersonalization();
  if (!npa) {
    if (!*stored) return;
    if (foundation::Status deleted = database->deleteUserAttributeWithName("_npa"); !deleted.ok()) {
      monitor->logWithLevel(1, 23173, "Unable to remove personalized ads user property in the database. Error",
                            deleted.error());
      return;
    }
    monitor->logWithLevel(4, 23180, "No value set for personalized ads. Removing user property.");
    QZMConsentSettingsUtil::setDiagnosticSource(0, "ad_personalization");
    return;
  }
  bool changed = !*stored || !(*stored)->value.isNumber() || (*stored)->value.int64Value() != *npa;
  if (!QZMConsentSettingsUtil::adPersonalization()) updateAdPersonalizationConsentFromNPAValue(*npa);
  if (!changed) return;
  if (auto attribute = autoAttribute("_npa", QZMValue::initWithInt64(*npa), foundation::now())) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
}

void QZMMeasurement::updateCachedAdCampaignInfoWithExistingGBRAIDProperty() {
  std::optional<Object> buffer = persistedConfig_->adCampaignInfoBuffer();
  if (buffer && buffer->isData() && !buffer->data()->empty()) return;
  auto database = this->database();
  if (!database) return;
  auto gbraid = database->userAttributeWithName("_gbraid");
  if (!gbraid.ok() || !*gbraid || !(*gbraid)->value.isString()) return;
  auto record = QZMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  if (!record) return;
  NANOSetString(record.get(), QZMPBAdCampaignInfo::kBraidId, *(*gbraid)->value.string());
  NANOSetInt64(record.get(), QZMPBAdCampaignInfo::kClickTimestampMillis,
               QZMMillisecondsFromSeconds((*gbraid)->setTimestamp));
  if (std::optional<foundation::Data> encoded = record->protoBuffer()) {
    persistedConfig_->setAdCampaignInfoBuffer(Object(std::move(*encoded)));
  }
}

void QZMMeasurement::backfillSessionNumber() {
  if (persistedConfig_->sessionNumber() != 0) return;
  auto database = this->database();
  if (!database) return;
  auto aggregates = database->eventAggregatesWithName("_s");
  if (!aggregates.ok()) {
    monitor()->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", QZMEventNameForLogging("_s"),
                            aggregates.error());
    return;
  }
  persistedConfig_->setSessionNumber(*aggregates ? (*aggregates)->lifetimeCount : 0);
}

// ---- Times and files ----

std::int64_t QZMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  std::int64_t hourStart = milliseconds / kHourMilliseconds * kHourMilliseconds;
  if (hourStart > std::numeric_limits<std::int64_t>::max() - kHourMilliseconds) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return hourStart + kHourMilliseconds;
}

std::optional<Dictionary> QZMMeasurement::fileAttributesForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    int error = errno;
    monitor()->logWithLevel(5, 23022, "Unable to read attributes of path. Path, error", path,
                            foundation::Error("NSPOSIXErrorDomain", error, std::strerror(error)));
    return std::nullopt;
  }
  const char* type = S_ISDIR(info.st_mode) ? "NSFileTypeDirectory"
                     : S_ISREG(info.st_mode) ? "NSFileTypeRegular"
                     : S_ISLNK(info.st_mode) ? "NSFileTypeSymbolicLink"
                                             : "NSFileTypeUnknown";
  double modified = static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
  return Dictionary{
      {"NSFileType", type},
      {"NSFileSize", static_cast<std::int64_t>(info.st_size)},
      {"NSFilePosixPermissions", static_cast<std::int64_t>(info.st_mode & 07777)},
      {"NSFileModificationDate", foundation::Date{modified}},
  };
}
