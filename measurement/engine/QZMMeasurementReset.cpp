#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMPSMContext.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMUserAttribute.h"

// ---- The session ID ----

void QZMMeasurement::sessionIDWithCompletion(QZMSessionIDCompletion completion) {
  if (!completion) return;
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:3324", [weak = weak_from_this(), completion] {
    auto fail = [&completion](const char* description) { completion(0, qzm_errorWithCode(13, description)); };
    auto self = weak.lock();
    if (!self) return fail("Analytics deallocated");
    if (!self->isEnabled()) return fail("Analytics disabled");
    if (auto reporter = self->sessionReporter(); reporter && reporter->isSessionExpired()) {
      return fail("Session expired");
    }
    if (auto database = self->database()) {
      auto sessionID = database->userAttributeWithName("_sid");
      if (sessionID.ok() && *sessionID && (*sessionID)->value.isNumber()) {
        return completion((*sessionID)->value.int64Value(), std::nullopt);
      }
    }
    fail("Session ID not found");
  });
}

// ---- Reset and wipe ----

bool QZMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
  auto monitor = QZMMeasurement::monitor();
  if (!appInstanceID || appInstanceID->empty()) {
    if (!QZMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      monitor->logWithLevel(1, 23167, "Cannot reset with an empty app instance ID");
      return false;
    }
    monitor->logWithLevel(7, 23218, "Resetting with an empty app instance ID");
  }
  double loadTimestamp = QZMAnalytics::loadTimestamp();
  bool reset = false;
  scheduler_->dispatchSyncOnWorkerQueueBlockID("QZMMeasurement:3370", [&] {
    if (foundation::Status wiped = wipeoutAnalyticsDataAndResetComponents(); !wiped.ok()) return;
    persistedConfig_->setAppInstanceID(appInstanceID);
    updatePersistedAppIDFromDXV();
    monitor->logWithLevel(6, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated() && !QZMAnalytics::deferredAnalyticsCollection()) {
      QZMAnalytics::setDeferredAnalyticsCollection(foundation::Object(isEnabled() ? 0 : 1));
    }
    initTimestamp_ = loadTimestamp;
    persistedConfig_->setLoadTimestampValue(foundation::Object(loadTimestamp));
    // On disk before the reset counts as done: a crash must not bring the
    // old identifiers back.
    persistedConfig_->synchronizeToDisk();
    if (isEnabled()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
    reset = true;
  });
  return reset;
}

foundation::Status QZMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  auto monitor = QZMMeasurement::monitor();
  monitor->logWithLevel(6, 23171, "Resetting Kestro Meter data");
  // Lookups of the wiped data must not finish into the new; without a
  // linked client there is none to replace.
  if (ODM1Context_) ODM1Context_ = std::make_shared<QZMPSMContext>();
  previousDXVAppID_ = persistedConfig_->appIDFromDXV();
  persistedConfig_->clearValues();
  monitor->clearMonitoringData();
  if (QZMConsentSettingsUtil::adPersonalization()) {
    QZMConsentSettingsUtil::unsetAdPersonalization();
    QZMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    QZMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }

  if (auto database = this->database()) {
    if (foundation::Status reset = database->reset(); !reset.ok()) {
      monitor->logWithLevel(1, 23209, "Failed to reset database", reset.error());
      return reset.error();
    }
    if (auto config = remoteConfigInstance()) config->reset();
    auto reporter = QZMSessionReporter::initWithPersistedConfig(persistedConfig_);
    reporter->setReportingEnabled(isEnabled());
    setSessionReporter(std::move(reporter));
  } else {
    // Before start-up opens it: the file goes, with any journal that would
    // otherwise be played back into the next one.
    std::string path = QZMApplicationSupportFilePath(databaseName_);
    foundation::Status deleted = path.empty() ? foundation::Status(qzm_errorWithCode(1, "No database path"))
                                              : QZMSqliteStore::deleteDatabaseFilesAtPath(path);
    if (!deleted.ok()) {
      monitor->logWithLevel(1, 23014, "Failed to delete old database file. Error", deleted.error());
      // The old data is still there: the wipe is tried again at the next start.
      return deleted.error();
    }
  }

  if (auto identity = this->identity()) {
    identity->updateIdentifiersAndWait();
    identity->resetEphemeralAppInstanceID();
    identity->resetSessionStitchingToken();
  }
  persistedConfig_->synchronizeToDisk();
  return {};
}

double QZMMeasurement::firstOpenTimestamp() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("firstOpenTimestamp");
  auto monitor = QZMMeasurement::monitor();
  auto database = this->database();
  if (!database) return 0;
  foundation::Result<std::vector<QZMUserAttribute>> attributes = QZMUserAttributesIncludingInternal(*database, true);
  if (!attributes.ok()) {
    monitor->logWithLevel(1, 23123, "Unable to query current user properties. Error", attributes.error());
    return 0;
  }
  if (attributes->empty()) {
    monitor->logWithLevel(2, 23124, "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double oldest = attributes->front().lastSetTimestamp();
  for (const QZMUserAttribute& attribute : *attributes) {
    if (attribute.name() == "_fot") return attribute.lastSetTimestamp();
    oldest = std::min(oldest, attribute.lastSetTimestamp());
  }
  return oldest;
}
