#include "measurement/api/QZMAnalytics.h"

#include <mutex>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

struct Facade {
  std::mutex loadMutex;
  double loadTimestamp = 0;
  // Guards the start's once flag and the two collection flags.
  std::mutex stateMutex;
  bool started = false;
  bool collectionDeactivated = false;
  bool analyticsEnabled = false;
};
// Never destroyed: the serial queue may still run while the program ends.
Facade& facade() {
  static auto* f = new Facade;
  return *f;
}

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurement::monitor(); }

bool boolOption(const foundation::Dictionary& options, const char* key, bool fallback) {
  auto it = options.find(key);
  return it != options.end() && it->second.isNumber() ? it->second.boolValue() : fallback;
}

}  // namespace

void QZMAnalytics::load() { setLoadTimestamp(foundation::now()); }

double QZMAnalytics::loadTimestamp() {
  std::lock_guard lock(facade().loadMutex);
  return facade().loadTimestamp;
}

void QZMAnalytics::setLoadTimestamp(double timestamp) {
  std::lock_guard lock(facade().loadMutex);
  facade().loadTimestamp = timestamp;
}

std::shared_ptr<dispatch::Queue> QZMAnalytics::queue() {
  static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::create(kQZMAnalyticsQueueLabel));
  return *queue;
}

void QZMAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) { queue()->async(std::move(block)); }

bool QZMAnalytics::isCurrentQueueSerialQueue() { return dispatch::currentQueueLabel() == kQZMAnalyticsQueueLabel; }

bool QZMAnalytics::analyticsEnabled() {
  std::lock_guard lock(facade().stateMutex);
  return facade().analyticsEnabled;
}

void QZMAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Dictionary& options) {
  auto utilities = QZMUtilities::shared();
  if (utilities->classExists("ZNHADatabase")) {
    monitor()->logWithLevel(1, 25029,
                            "Detected an older version of Dralix Analytics for Zarnholt framework. Data collection "
                            "will be disabled. Please upgrade to the latest version of Dralix Analytics for Zarnholt");
    return;
  }
  if (utilities->classExists("ZNHAnalytics")) {
    if (origin != kQZMOriginZarnholt) {
      monitor()->logWithLevel(3, 25026, "Deferring to Zarnholt for event data collection");
      return;
    }
  } else if (!QZMDralixServiceFileUtil::dralixServiceInfoPlistPath().value_or("").empty()) {
    monitor()->logWithLevel(0, 25027,
                            "Deferring to Dralix Analytics for Zarnholt for event data collection. See README.md.");
    return;
  }
  if (auto it = options.find(kQZMStartOptionLogTag); it != options.end()) {
    if (it->second.isString() && !it->second.string()->empty()) {
      monitor()->setLogTag(*it->second.string());
    } else {
      monitor()->logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }

  {
    std::lock_guard lock(facade().stateMutex);
    if (facade().started) return;
    facade().started = true;
  }
  if (QZMConsentSettingsUtil::consentSource() == kQZMConsentSourceUnset) loadPersistedConsentSettings();
  if (origin == kQZMOriginZarnholt) {
    auto identity = QZMIdentity::sharedInstance();
    auto stored = identity->appIDFromDXV();
    if (stored != appID) {
      identity->setAppIDFromDXV(appID);
      monitor()->logWithLevel(1, 25020, "The app ID from the service property list has changed. Stored, new",
                              QZMLogContext(stored), QZMLogContext(appID));
    }
  }
  foundation::NotificationCenter::defaultCenter().postNotificationName(kZNHAnalyticsWillStartNotification);
  QZMIdentifiers::sharedInstance()->setOrigin(origin);

  bool enabled = boolOption(options, kQZMStartOptionCollectionEnabled, true);
  bool deactivated = boolOption(options, kQZMStartOptionCollectionDeactivated, false);
  Dictionary startConsent = QZMConsentSettingsUtil::consentSettingsFromDictionary(options);
  if (!startConsent.empty()) {
    settingsStore()->setObject(foundation::Object(startConsent), kQZMConsentSettingsOnStartKey);
  }
  {
    std::lock_guard lock(facade().stateMutex);
    facade().collectionDeactivated = deactivated;
  }

  dispatchAsyncOnSerialQueue([appID, enabled, deactivated] {
    QZMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, std::nullopt);
    auto engine = QZMMeasurement::sharedInstance();
    std::lock_guard lock(facade().stateMutex);
    facade().analyticsEnabled = engine && engine->wasEnabledDuringInitialization();
  });
}

void QZMAnalytics::logInternalEventWithOrigin(const std::string&, const std::string&, const Dictionary&) {
  // The event road does not reach the engine yet: dropped, as without one.
}

void QZMAnalytics::resetForTests() {
  std::lock_guard lock(facade().stateMutex);
  facade().started = false;
  facade().collectionDeactivated = false;
  facade().analyticsEnabled = false;
}
