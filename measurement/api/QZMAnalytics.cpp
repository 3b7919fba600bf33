#include "measurement/api/QZMAnalytics.h"

#include "measurement/api/QZMAnalyticsState.h"
#include "measurement/api/QZMAppDelegateInterceptor.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventParameters.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Strings.h"
#include "platform/utilities/DRKAppDelegateSwizzler.h"

namespace {

std::shared_ptr<dispatch::OperationQueue> makeSuspendedOperationQueue() {
  auto operations = std::make_shared<dispatch::OperationQueue>(kQZMAnalyticsOperationQueueName);
  operations->setSuspended(true);
  return operations;
}

bool boolOption(const foundation::Dictionary& options, const char* key, bool fallback) {
  auto it = options.find(key);
  return it != options.end() && it->second.isNumber() ? it->second.boolValue() : fallback;
}

QZMMeasurement::SafelistedEvents safelistFromOptions(const foundation::Dictionary& options) {
  auto it = options.find(kQZMStartOptionSafelistedEvents);
  if (it == options.end() || !QZMIsValidSafelistedEventsArray(it->second)) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& name : *it->second.array()) names.push_back(*name.string());
  return names;
}

}  // namespace

// ---- Shared state ----

QZMAnalyticsState& QZMAnalyticsSharedState() {
  // Never destroyed: the serial queue may still run while the program ends.
  static auto* state = [] {
    auto* s = new QZMAnalyticsState;
    s->operationQueue = makeSuspendedOperationQueue();
    return s;
  }();
  return *state;
}

std::shared_ptr<QZMMonitor> QZMAnalyticsMonitor() { return QZMMeasurement::monitor(); }

std::shared_ptr<QZMMeasurement> QZMAnalyticsEngineForCall(std::string_view call) {
  if (auto engine = QZMMeasurement::sharedInstance()) return engine;
  QZMAnalyticsMonitor()->logWithLevel(2, 25021, "Analytics is not running. Call dropped. Call", std::string(call));
  return nullptr;
}

std::shared_ptr<QZMAnalytics> QZMAnalytics::sharedInstance() {
  static auto* instance = new std::shared_ptr<QZMAnalytics>(std::make_shared<QZMAnalytics>());
  return *instance;
}

// ---- Load ----

void QZMAnalytics::load() {
  setLoadTimestamp(foundation::now());
  QZMSetInternalEventLogger([](const std::string& origin, const std::string& name, const QZMDictionary& parameters) {
    logInternalEventWithOrigin(origin, name, parameters);
  });
}

double QZMAnalytics::loadTimestamp() {
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  std::lock_guard lock(state.loadMutex);
  return state.loadTimestamp;
}

void QZMAnalytics::setLoadTimestamp(double timestamp) {
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  std::lock_guard lock(state.loadMutex);
  state.loadTimestamp = timestamp;
}

// ---- Queues ----

std::shared_ptr<dispatch::Queue> QZMAnalytics::queue() {
  static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::create(kQZMAnalyticsQueueLabel));
  return *queue;
}

void QZMAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) { queue()->async(std::move(block)); }

std::shared_ptr<dispatch::OperationQueue> QZMAnalytics::operationQueue() {
  return QZMAnalyticsSharedState().operationQueue.load();
}

void QZMAnalytics::queueOperationWithBlock(std::function<void()> block) {
  // The operation only hands the block on, so it may run on this thread.
  operationQueue()->addOperationRunningHere(
      [block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void QZMAnalytics::queueOperationWithBlockThenWait(std::function<void()> block) {
  auto operations = operationQueue();
  auto ticket = operations->addOperation([block = std::move(block)] { dispatchAsyncOnSerialQueue(block); });
  if (operations->isSuspended()) return;
  // A pause is ended from the serial queue: a call made there (by a
  // listener, say) only queues, since waiting would keep its own end away.
  if (queue()->isCurrent()) return;
  // Calls made after this one, events logged meanwhile among them, do not
  // hold the caller up.
  operations->waitUntilOperationIsFinished(ticket);
  // A short pause lets what was just handed over run before later calls.
  operations->setSuspended(true);
  queue()->asyncAfter(0.5, [operations] {
    if (operations == operationQueue()) operations->setSuspended(false);
  });
}

void QZMAnalytics::unsuspendOperationQueue() { operationQueue()->setSuspended(false); }

bool QZMAnalytics::isCurrentQueueSerialQueue() { return dispatch::currentQueueLabel() == kQZMAnalyticsQueueLabel; }

// ---- Start ----

void QZMAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Dictionary& options,
                                  std::shared_ptr<ZNHAnalyticsConfiguration> configuration) {
  auto monitor = QZMAnalyticsMonitor();
  auto utilities = QZMUtilities::shared();
  if (utilities->classExists("ZNHADatabase")) {
    monitor->logWithLevel(1, 25029,
                          "Detected an older version of Dralix Analytics for Zarnholt framework. Data collection "
                          "will be disabled. Please upgrade to the latest version of Dralix Analytics for Zarnholt");
    // No start can succeed in this process: release the held calls, which
    // find no engine and are dropped with a line each.
    unsuspendOperationQueue();
    return;
  }
  if (utilities->classExists("ZNHAnalytics")) {
    if (origin != kQZMOriginZarnholt) {
      monitor->logWithLevel(3, 25026, "Deferring to Zarnholt for event data collection");
      return;
    }
  } else if (!QZMDralixServiceFileUtil::dralixServiceInfoPlistPath().value_or("").empty()) {
    monitor->logWithLevel(0, 25027,
                          "Deferring to Dralix Analytics for Zarnholt for event data collection. See README.md.");
    return;
  }
  if (!options.empty()) {
    if (auto it = options.find(kQZMStartOptionLogTag); it != options.end()) {
      if (it->second.isString() && !it->second.string()->empty()) {
        monitor->setLogTag(*it->second.string());
      } else {
        monitor->logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
      }
    }
  }

  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  {
    std::lock_guard lock(state.mutex);
    if (state.started) return;
    state.started = true;
  }
  QZMMeasurement::registerExitHandling();
  if (QZMConsentSettingsUtil::consentSource() == kQZMConsentSourceUnset) loadPersistedConsentSettings();
  if (origin == kQZMOriginZarnholt) {
    auto identity = QZMIdentity::sharedInstance();
    auto stored = identity->appIDFromDXV();
    if (stored != appID) {
      identity->setAppIDFromDXV(appID);
      monitor->logWithLevel(1, 25020, "The app ID from the service property list has changed. Stored, new",
                            QZMLogContext(stored), QZMLogContext(appID));
    }
  }
  foundation::NotificationCenter::defaultCenter().postNotificationName(kZNHAnalyticsWillStartNotification);
  QZMIdentifiers::sharedInstance()->setOrigin(origin);

  bool enabled = boolOption(options, kQZMStartOptionCollectionEnabled, true);
  bool deactivated = boolOption(options, kQZMStartOptionCollectionDeactivated, false);
  QZMMeasurement::SafelistedEvents safelist = safelistFromOptions(options);
  Dictionary startConsent = QZMConsentSettingsUtil::consentSettingsFromDictionary(options);
  if (!startConsent.empty()) {
    settingsStore()->setObject(foundation::Object(startConsent), kQZMConsentSettingsOnStartKey);
  }
  {
    std::lock_guard lock(state.mutex);
    state.collectionDeactivated = deactivated;
  }

  dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    QZMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    auto engine = QZMMeasurement::sharedInstance();
    if (DRKAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
      if (!deactivated) dispatch::Queue::main()->async(&QZMAnalytics::createAppDelegateProxy);
    } else {
      QZMAnalyticsMonitor()->logWithLevel(6, 25036, "App Delegate Proxy is disabled");
    }
    {
      QZMAnalyticsState& state = QZMAnalyticsSharedState();
      std::lock_guard lock(state.mutex);
      state.analyticsEnabled = engine && engine->wasEnabledDuringInitialization();
    }
    maybeEnableQrlManager();
  });
  if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
  dispatch::Queue::main()->async(&QZMAnalytics::addPaymentTransactionObserver);
  // The engine block went first, so every held call runs after it.
  unsuspendOperationQueue();
}

// ---- Hooks ----

void QZMAnalytics::observeNotificationsForAnalyticsConfiguration(
    std::shared_ptr<ZNHAnalyticsConfiguration> configuration) {
  auto& center = foundation::NotificationCenter::defaultCenter();
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  std::optional<foundation::NotificationCenter::Token> previous;
  {
    std::lock_guard lock(state.mutex);
    previous = std::exchange(state.configurationObserver, std::nullopt);
  }
  if (previous) center.removeObserver(*previous);
  if (!configuration) return;
  const void* sender = configuration.get();
  // The block keeps the configuration, so its address names no other sender.
  auto token = center.addObserverForName(
      kZNHAnalyticsConfigurationSetEnabledNotification, sender, nullptr,
      [configuration](const foundation::Notification& notification) { handleSetEnabled(notification); });
  std::lock_guard lock(state.mutex);
  state.configurationObserver = token;
}

void QZMAnalytics::handleSetEnabled(const foundation::Notification& notification) {
  auto it = notification.userInfo.find(kZNHAnalyticsConfigurationSetEnabledNotification);
  const foundation::Object* value = it == notification.userInfo.end() ? nullptr : &it->second;
  if (value && value->isNumber()) {
    setAnalyticsEnabled(value->boolValue(), false);
    return;
  }
  QZMAnalyticsMonitor()->logWithLevel(4, 25000, "Received setEnabled notification without NSNumber",
                                      value ? QZMLogContext(*value) : QZMLogContext());
}

void QZMAnalytics::createAppDelegateProxy() {
  static dispatch::OnceToken once;
  dispatch::once(once, [] {
    DRKAppDelegateSwizzler::proxyOriginalDelegate();
    DRKAppDelegateSwizzler::registerAppDelegateInterceptor(QZMAppDelegateInterceptor::sharedInstance());
  });
}

void QZMAnalytics::maybeEnableQrlManager() {
  if (!QZMUtilities::shared()->classExists("QRLManager")) return;
  auto initializeSharedInstance = QZMUtilities::classMethod("QRLManager", "initializeSharedInstance");
  if (!initializeSharedInstance) {
    QZMAnalyticsMonitor()->logWithLevel(2, 25016, "QRLManager class doesn't define initializeSharedInstance");
    return;
  }
  initializeSharedInstance();
}

void QZMAnalytics::resetForTests() {
  QZMAnalyticsState& state = QZMAnalyticsSharedState();
  std::shared_ptr<dispatch::OperationQueue> dropped;
  std::optional<foundation::NotificationCenter::Token> observer;
  {
    std::lock_guard lock(state.mutex);
    state.started = false;
    state.collectionDeactivated = false;
    state.analyticsEnabled = false;
    state.interceptor = nullptr;
    state.openURLListener = nullptr;
    state.listeners.reset();
    dropped = state.operationQueue.exchange(makeSuspendedOperationQueue());
    observer = std::exchange(state.configurationObserver, std::nullopt);
  }
  dropped->cancelAllOperations();
  if (observer) foundation::NotificationCenter::defaultCenter().removeObserver(*observer);
  store::SKPaymentQueue::defaultQueue().removeTransactionObserver(sharedInstance().get());
}

// ---- Helpers of the engine and the reporters ----

bool QZMIsValidSafelistedEventsArray(const foundation::Object& value) {
  auto monitor = QZMAnalyticsMonitor();
  if (!value.isArray()) {
    monitor->logWithLevel(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const auto& name : *value.array()) {
    if (!QZMDataTypeValidator::isValidInternalEventName(QZMObject(name))) {
      monitor->logWithLevel(0, 25035, "Invalid event name for safelisting. Name", QZMLogContext(name));
      return false;
    }
  }
  return true;
}

bool QZMIsAppActive() { return QZMScreenViewReporter::sharedInstance()->isAppActive(); }

bool QZMIsActivePrewarm() {
  auto value = foundation::ProcessInfo::environmentValue("ActivePrewarm");
  return value && foundation::textBoolValue(*value);
}

bool QZMHasSceneManifest() {
  return foundation::Bundle::main()->objectForInfoDictionaryKey("UIApplicationSceneManifest") != nullptr;
}
