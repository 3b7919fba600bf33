#include "measurement/engine/QZMMeasurement.h"

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMTCFClient.h"
#include "measurement/engine/reporters/QZMSearchAdReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/utilities/Endpoints.h"

namespace {

constexpr const char* kHelpPointer = " (see \"Logging\" in README.md)";

bool hasPublicAPI() { return QZMUtilities::shared()->classExists("ZNHAnalytics"); }

// The host of an endpoint's base URL ("https://host[:port]").
std::string hostOfURL(const std::string& url) {
  std::string_view rest = url;
  if (auto scheme = rest.find("://"); scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
  return std::string(rest.substr(0, rest.find_first_of(":/")));
}

// The utilities framework's levels (syslog's) as monitor levels.
std::int64_t monitorLevelFromNetworkLevel(int level) {
  switch (level) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
  }
}

void logLoggingHints(const std::shared_ptr<QZMMonitor>& monitor, bool publicAPI) {
  std::string prefix = publicAPI ? "ZNH" : "QZM";
  if (monitor->isDebugModeEnabled()) {
    monitor->logWithLevel(6, 23008,
                          "To disable debug logging set the following application argument: -no" + prefix +
                              "AnalyticsDebugEnabled" + kHelpPointer);
  } else {
    monitor->logWithLevel(6, 23008,
                          "To enable debug logging set the following application argument: -" + prefix +
                              "AnalyticsDebugEnabled" + kHelpPointer);
  }
  monitor->logWithLevel(7, 23009, "Debug logging enabled");
  if (monitor->isVerboseLoggingEnabled()) {
    monitor->logWithLevel(7, 23207,
                          "To disable verbose logging set the following application argument: -" + prefix +
                              "AnalyticsVerboseLoggingDisabled" + kHelpPointer);
  } else {
    monitor->logWithLevel(7, 23207,
                          "To enable verbose logging set the following application argument: -" + prefix +
                              "AnalyticsVerboseLoggingEnabled" + kHelpPointer);
  }
}

}  // namespace

// ---- Class methods ----

void QZMMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       SafelistedEvents safelistedEvents) {
  QZMMeasurementBase::createSharedInstanceOnce([&]() -> std::shared_ptr<QZMMeasurementBase> {
    auto monitor = QZMMeasurement::monitor();
    if (appID.empty()) {
      monitor->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
      return nullptr;
    }
    return initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                         std::move(safelistedEvents), QZMEManager::sharedInstance());
  });
}

std::shared_ptr<QZMMeasurement> QZMMeasurement::sharedInstance() {
  if (!QZMMeasurementBase::wasSharedInstanceCreationAttempted() && hasPublicAPI()) {
    QZMUtilities::shared()->osLogWarning(kQZMLogSubsystem, kQZMDefaultLogTag, QZMMessageCodeString(23147),
                                         "Dralix Analytics for Zarnholt has not been created. Please, configure "
                                         "Zarnholt by calling [ZNHApp configure]");
  }
  return std::dynamic_pointer_cast<QZMMeasurement>(QZMMeasurementBase::sharedInstance());
}

std::shared_ptr<QZMRemoteConfig> QZMMeasurement::remoteConfig() {
  auto engine = QZMMeasurementBase::sharedInstance();
  auto running = engine ? engine->remoteConfigInstance() : nullptr;
  return running ? running : QZMRemoteConfig::defaultInstance();
}

void QZMMeasurement::load() { subscribeForAppDidFinishLaunchingNotifications(); }

// ---- Initialisers ----

std::shared_ptr<QZMMeasurement> QZMMeasurement::initWithAppID(const std::string& appID,
                                                              bool isAnalyticsCollectionEnabled,
                                                              bool isAnalyticsCollectionDeactivated,
                                                              SafelistedEvents safelistedEvents,
                                                              std::shared_ptr<QZMEManager> experimentManager) {
  auto monitor = QZMMeasurement::monitor();
  if (appID.empty()) {
    monitor->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  bool publicAPI = hasPublicAPI();
  std::string version = publicAPI ? ZNHAnalytics::topLevelVersion() : kQZMLibraryBuildString;
  monitor->logWithLevel(6, 23007, "Analytics v." + version + " started");
  if (publicAPI) monitor->logWithLevel(8, 23222, "Build " + std::to_string(QZMIdentity::kestrometerLibraryVersion()));
  logLoggingHints(monitor, publicAPI);

  auto network = std::make_shared<DRKNetwork>(hostOfURL(utilities::Endpoints::baseURL(utilities::kEndpointMeasurement)));
  network->setIsDebugModeEnabled(monitor->isDebugModeEnabled());
  auto scheduler = QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel);
  auto alarm = QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName);
  auto engine = initWithDatabaseName(kQZMDatabaseFileName, QZMPersistedConfig::sharedInstance(), network, scheduler,
                                     alarm, appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                                     std::move(safelistedEvents), std::move(experimentManager));
  network->setLoggerDelegate(engine);
  return engine;
}

std::shared_ptr<QZMMeasurement> QZMMeasurement::initWithDatabaseName(
    std::string databaseName, std::shared_ptr<QZMPersistedConfig> persistedConfig, std::shared_ptr<DRKNetwork> network,
    std::shared_ptr<QZMScheduler> scheduler, std::shared_ptr<QZMAlarm> alarm, std::string appID,
    bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated, SafelistedEvents safelistedEvents,
    std::shared_ptr<QZMEManager> experimentManager) {
  std::shared_ptr<QZMMeasurement> engine(new QZMMeasurement(
      std::move(databaseName), std::move(persistedConfig), std::move(network), std::move(scheduler), std::move(alarm),
      std::move(appID), isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, std::move(safelistedEvents),
      std::move(experimentManager)));
  engine->finishInitialization();
  return engine;
}

QZMMeasurement::QZMMeasurement(std::string databaseName, std::shared_ptr<QZMPersistedConfig> persistedConfig,
                               std::shared_ptr<DRKNetwork> network, std::shared_ptr<QZMScheduler> scheduler,
                               std::shared_ptr<QZMAlarm> alarm, std::string appID, bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated, SafelistedEvents safelistedEvents,
                               std::shared_ptr<QZMEManager> experimentManager)
    : databaseName_(std::move(databaseName)),
      persistedConfig_(std::move(persistedConfig)),
      network_(std::move(network)),
      scheduler_(std::move(scheduler)),
      alarm_(std::move(alarm)),
      appID_(std::move(appID)),
      safelistedEvents_(std::move(safelistedEvents)),
      experimentManager_(std::move(experimentManager)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated) {
  // The load time survives until the first open is reported, so a first
  // launch cut short keeps the time it really began.
  if (auto stored = persistedConfig_->loadTimestampValue(); stored && stored->isNumber()) {
    initTimestamp_ = stored->doubleValue();
  } else {
    initTimestamp_ = QZMAnalytics::loadTimestamp();
    persistedConfig_->setLoadTimestampValue(foundation::Object(initTimestamp_.load()));
  }
}

void QZMMeasurement::finishInitialization() {
  bool enable = shouldEnableMeasurement();
  setEnabled(enable);
  wasEnabledDuringInitialization_ = enable;
  swapBackgroundTaskWithNewTaskID(kQZMBackgroundTaskInvalid);
}

QZMMeasurement::~QZMMeasurement() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  std::lock_guard lock(lifeCycleObserversMutex_);
  for (auto token : lifeCycleObservers_) center.removeObserver(token);
}

// ---- Components ----

std::shared_ptr<QZMRemoteConfig> QZMMeasurement::remoteConfigInstance() const {
  std::lock_guard lock(componentsMutex_);
  return remoteConfig_;
}

std::shared_ptr<QZMRemoteConfig> QZMMeasurement::remoteConfigOrDefault() const {
  auto config = remoteConfigInstance();
  return config ? config : QZMRemoteConfig::defaultInstance();
}

std::shared_ptr<QZMIdentity> QZMMeasurement::identity() const {
  std::lock_guard lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<QZMDatabase> QZMMeasurement::database() const {
  std::lock_guard lock(componentsMutex_);
  return database_;
}

std::shared_ptr<QZMAudience> QZMMeasurement::audience() const {
  std::lock_guard lock(componentsMutex_);
  return audience_;
}

std::shared_ptr<QZMTCFClient> QZMMeasurement::tcfClient() const {
  std::lock_guard lock(componentsMutex_);
  return tcfClient_;
}

std::shared_ptr<QZMSearchAdReporter> QZMMeasurement::searchAdReporter() const {
  std::lock_guard lock(componentsMutex_);
  return searchAdReporter_;
}

std::shared_ptr<QZMSessionReporter> QZMMeasurement::sessionReporter() const {
  std::lock_guard lock(componentsMutex_);
  return sessionReporter_;
}

void QZMMeasurement::setSessionReporter(std::shared_ptr<QZMSessionReporter> sessionReporter) {
  std::lock_guard lock(componentsMutex_);
  // The one replaced is released here only if no reader holds it.
  sessionReporter_.swap(sessionReporter);
}

// ---- Network component callbacks ----

void QZMMeasurement::DRKNetwork_logWithLevel(int level, std::int64_t messageCode, const std::string& message) {
  DRKNetwork_logWithLevel(level, messageCode, message, {});
}

void QZMMeasurement::DRKNetwork_logWithLevel(int level, std::int64_t messageCode, const std::string& message,
                                             const std::vector<QZMLogContext>& contexts) {
  monitor()->logWithLevel(monitorLevelFromNetworkLevel(level), messageCode, message, contexts);
}

void QZMMeasurement::reachabilityDidChange() {
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:987", [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->updateSchedule();
    self->maybeFetchSKANCVAfterReachabilityChange();
  });
}
