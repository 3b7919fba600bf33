#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigEnvironment.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/consent/QZMTCFClient.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/engine/reporters/QZMSearchAdReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/audience/QZMAudience.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"

namespace {

using foundation::Dictionary;

bool hasPublicAPI() { return QZMUtilities::shared()->classExists("ZNHAnalytics"); }

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }
bool nonEmpty(const std::optional<Dictionary>& settings) { return settings && !settings->empty(); }

}  // namespace

// ---- Enabling ----

bool QZMMeasurement::shouldEnableMeasurement() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case 1: return true;
    case 2: return false;
    default: return isAnalyticsCollectionEnabled();
  }
}

void QZMMeasurement::setEnabled(bool enabled) {
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:619", [weak = weak_from_this(), enabled] {
    if (auto self = weak.lock()) self->setEnabledOnWorkerQueue(enabled);
  });
}

void QZMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  auto monitor = QZMMeasurement::monitor();
  bool deactivated = isAnalyticsCollectionDeactivated();
  if (deactivated && enabled) {
    monitor->logWithLevel(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!deactivated && !QZMAnalytics::deferredAnalyticsCollection()) {
    QZMAnalytics::setDeferredAnalyticsCollection(foundation::Object(enabled ? 0 : 1));
  }
  enabled_ = enabled;
  if (enabled) {
    foundation::Status started = startMeasurementOnWorkerQueue();
    if (!started.ok()) {
      // Off at once, so nothing queued before the disabling below finds the
      // engine on without its components.
      enabled_ = false;
      monitor->logWithLevel(0, 23011, "Failed to start Analytics. Analytics is disabled", started.error());
      setEnabled(false);
      return;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    if (auto reporter = searchAdReporter()) reporter->setSearchAdReporterEnabled(true);
    monitor->logWithLevel(6, 23012, "Analytics collection enabled");
    if (QZMIsAutomaticScreenReportingEnabled() && hasPublicAPI()) {
      monitor->logWithLevel(6, 23220,
                            std::string("Analytics screen reporting is enabled. Call Analytics.logEvent("
                                        "AnalyticsEventScreenView, parameters: [...]) to log a screen view event. "
                                        "To disable automatic screen reporting, set the flag ") +
                                kQZMAutomaticScreenReportingEnabledKey + " to NO (boolean) in the Info.plist");
    }
  } else {
    QZMExpireStoredDeepLink(*QZMMeasurement::remoteConfig());
    alarm_->cancel();
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
    if (auto reporter = searchAdReporter()) reporter->setSearchAdReporterEnabled(false);
    monitor->logWithLevel(6, 23013, "Analytics collection disabled");
  }
}

// ---- The first start ----

foundation::Status QZMMeasurement::startMeasurementOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      foundation::Status made = initializeComponentsOnWorkerQueue();
      if (!made.ok()) {
        dropComponents();
        return made;
      }
      didInitializeComponents_ = true;
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (QZMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    QZMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  if (QZMBackwardCompatibilityUtil::disableDQRMeasurement()) {
    monitor()->logWithLevel(1, 23210, "DQRMeasurement has been disabled");
  }
  return {};
}

foundation::Status QZMMeasurement::initializeComponentsOnWorkerQueue() {
  auto monitor = QZMMeasurement::monitor();

  auto identity = makeIdentity();
  if (!identity) return qzm_errorWithCode(23011, "the identity could not be made");
  {
    std::lock_guard lock(componentsMutex_);
    identity_ = identity;
  }

  setProspectiveConsentSettings();
  QZMAnalytics::removeStartUpConsentSettings();
  QZMAnalytics::removeDeferredResetOnDeniedConsent();

  if (shouldWipeDataWithAppID(appID_, identity->appIDFromDXV(), persistedConfig_->appIDFromDXV())) {
    // Counted before the wipe starts, so a wipe cut short is done again.
    QZMAnalytics::setResetRetryCount(QZMAnalytics::resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents().ok()) {
      QZMAnalytics::setResetRetryCount(0);
    } else {
      monitor->logWithLevel(4, 23208, "Failed to wipe out Analytics data");
    }
  }

  identity->updateIdentifiers();
  if (auto afterReset = QZMAnalytics::appInstanceIDAfterReset(); nonEmpty(afterReset)) {
    identity->setAppInstanceID(afterReset);
    QZMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  updatePersistedAppIDFromDXV();

  // A file that is busy at launch often opens a moment later.
  auto database = makeDatabase();
  if (!database.ok()) database = makeDatabase();
  if (!database.ok()) return database.error();
  {
    std::lock_guard lock(componentsMutex_);
    database_ = *database;
  }

  auto remoteConfig = makeRemoteConfig();
  if (!remoteConfig.ok()) return remoteConfig.error();
  (*database)->setSettingsSource([weak = std::weak_ptr<QZMRemoteConfig>(*remoteConfig)] {
    QZMDatabaseSettings settings;
    if (auto config = weak.lock()) {
      settings.maxEventsStored = config->maxEventsStored();
      settings.maxQueueTime = config->maxQueueTime();
      settings.databaseDeleteStaleBundlesInterval = config->databaseDeleteStaleBundlesInterval();
    }
    return settings;
  });
  {
    std::lock_guard lock(componentsMutex_);
    remoteConfig_ = *remoteConfig;
  }

  if (foundation::Status audience = makeAudience(); !audience.ok()) return audience;

  setSessionReporter(QZMSessionReporter::initWithPersistedConfig(persistedConfig_));

  std::string storage = foundation::appendingPathComponent(foundation::Paths::applicationSupportDirectory(),
                                                           kQZMMeasurementDirectory);
  if (foundation::Status excluded = QZMExcludeFileFromBackup(storage); !excluded.ok()) {
    monitor->logWithLevel(5, 23015, "Failed to exclude directory from backup. Error", excluded.error());
  }
  monitor->logWithLevel(7, 23016, "Analytics is ready to receive events");
  if (auto deleted = (*database)->maybeDeleteStaleData(); !deleted.ok()) {
    monitor->logWithLevel(5, 23018, "Unable to delete stale data. Error", deleted.error());
  }
  updateConsentSettingsUtilWithRemoteConfig();

  checkPSMDependencyOnWorkerQueue();
  checkODM2DependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();

  updateCachedAdCampaignInfoWithExistingGBRAIDProperty();
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();
  if (QZMUserDefaults::sharedUserDefaults()->objectForKey(kQZMStoredDeepLinkKey)) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (shouldAllowRequestDeferredDeepLink()) {
    // The request waits for a fresh configuration, which may switch it off.
    if ((*remoteConfig)->isExpired()) {
      shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    } else {
      requestDeferredDeepLink();
    }
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  if (auto searchAdReporter = QZMSearchAdReporter::initWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_)) {
    {
      std::lock_guard lock(componentsMutex_);
      searchAdReporter_ = searchAdReporter;
    }
    searchAdReporter->setSearchAdReporterEnabled(true);
    searchAdReporter->start();
  }

  auto tcfClient = makeTCFClient();
  tcfClient->setIsDMARegion((*remoteConfig)->isDMARegion());
  {
    std::lock_guard lock(componentsMutex_);
    tcfClient_ = tcfClient;
  }
  tcfClientSetConsentFromData();

  if (persistedConfig_->zarnholtFeatureRollouts() && !isZarnholtRemoteConfigSDKPresent()) {
    persistedConfig_->setZarnholtFeatureRollouts(std::nullopt);
  }
  subscribeForAppForegroundBackgroundNotifications();
  return {};
}

void QZMMeasurement::dropComponents() {
  std::shared_ptr<QZMDatabase> database;
  std::shared_ptr<QZMRemoteConfig> remoteConfig;
  std::shared_ptr<QZMAudience> audience;
  std::shared_ptr<QZMTCFClient> tcfClient;
  std::shared_ptr<QZMSessionReporter> sessionReporter;
  std::shared_ptr<QZMSearchAdReporter> searchAdReporter;
  {
    std::lock_guard lock(componentsMutex_);
    searchAdReporter = std::move(searchAdReporter_);
    database = std::move(database_);
    remoteConfig = std::move(remoteConfig_);
    audience = std::move(audience_);
    tcfClient = std::move(tcfClient_);
    sessionReporter = std::move(sessionReporter_);
  }
  // Released here, outside the lock.
}

std::shared_ptr<QZMIdentity> QZMMeasurement::makeIdentity() { return QZMIdentity::sharedInstance(); }

foundation::Result<std::shared_ptr<QZMDatabase>> QZMMeasurement::makeDatabase() {
  return QZMDatabase::initWithDatabaseName(databaseName_, persistedConfig_);
}

foundation::Result<std::shared_ptr<QZMRemoteConfig>> QZMMeasurement::makeRemoteConfig() {
  QZMRemoteConfigInstallEnvironment();
  return QZMRemoteConfig::initWithAppID(appID_, database(), persistedConfig_, experimentManager_);
}

foundation::Status QZMMeasurement::makeAudience() {
  auto audience = QZMAudience::initWithDatabase(database());
  if (!audience) return qzm_errorWithCode(23011, "the audience evaluator could not be made");
  audience->setRemoteConfig(remoteConfigInstance());
  std::lock_guard lock(componentsMutex_);
  audience_ = std::move(audience);
  return {};
}

std::shared_ptr<QZMTCFClient> QZMMeasurement::makeTCFClient() {
  return std::make_shared<QZMTCFClient>(QZMTCFClient::Handlers{
      .setConsent = [](const Dictionary& consent, const std::string& key) { QZMAnalytics::setConsent(consent, key); },
      .logInternalEvent =
          [](const std::string& origin, const std::string& name, const Dictionary& parameters) {
            QZMAnalytics::logInternalEventWithOrigin(origin, name, QZMDictionary(parameters.begin(), parameters.end()));
          },
  });
}

// ---- Steps of the first start ----

bool QZMMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>& /*appID*/,
                                             const std::optional<std::string>& appIDFromDXV,
                                             const std::optional<std::string>& persistedAppIDFromDXV) const {
  // A wipe that did not finish is retried at up to nine later starts.
  std::int64_t retries = QZMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  return nonEmpty(appIDFromDXV) && nonEmpty(persistedAppIDFromDXV) && *appIDFromDXV != *persistedAppIDFromDXV;
}

void QZMMeasurement::setProspectiveConsentSettings() {
  using Util = QZMConsentSettingsUtil;
  QZMConsentSource current = Util::consentSource();
  auto hostSettings = QZMAnalytics::consentSettings3P();
  auto startSettings = QZMAnalytics::consentSettings1PStart();
  auto tcfSettings = QZMAnalytics::consentSettingsTCF();
  std::optional<Dictionary> plistSettings = Util::consentSettingsFromPlist();

  std::optional<Dictionary> chosen;
  QZMConsentSource source = kQZMConsentSourceAPI;
  if (nonEmpty(tcfSettings) && Util::isConsentSourceHigherPriority(kQZMConsentSourceTCF) &&
      (!nonEmpty(hostSettings) || current == kQZMConsentSourceTCF)) {
    chosen = tcfSettings;
    source = kQZMConsentSourceTCF;
  } else if (nonEmpty(plistSettings) && Util::isConsentSourceHigherPriority(kQZMConsentSourceInfoPlist)) {
    chosen = plistSettings;
    source = kQZMConsentSourceInfoPlist;
  } else if (hasPublicAPI() && (current == kQZMConsentSourceFirstParty || current == kQZMConsentSourceOtherKey)) {
    // Under the public API, consent given by the SDK's own start or calls
    // does not outlive the run that gave it.
    QZMAnalytics::clearConsent();
  } else if (nonEmpty(startSettings) && Util::isConsentSourceHigherPriority(kQZMConsentSourceFirstParty)) {
    chosen = startSettings;
    source = kQZMConsentSourceFirstParty;
  } else {
    chosen = hostSettings;
  }
  if (nonEmpty(chosen) && Util::isConsentSourceHigherPriority(source)) {
    Util::setConsentSettings(chosen);
    Util::setConsentSource(source);
    QZMAnalytics::persistConsentSettings(chosen, source);
  }
}

void QZMMeasurement::updatePersistedAppIDFromDXV() {
  auto fromIdentity = identity() ? identity()->appIDFromDXV() : std::nullopt;
  if (fromIdentity != persistedConfig_->appIDFromDXV()) persistedConfig_->setAppIDFromDXV(fromIdentity);
  if (QZMIdentifiers::sharedInstance()->origin() == kQZMOriginZarnholt) persistedConfig_->setAppIDFromDXV(appID_);
  persistedConfig_->setAppIDFromVornad(std::nullopt);
}

void QZMMeasurement::tcfClientSetConsentFromData() {
  if (auto client = tcfClient()) client->setConsentFromTCFData();
}

bool QZMMeasurement::isZarnholtRemoteConfigSDKPresent() const {
  return QZMUtilities::shared()->classExists("ZNHRemoteConfig");
}
