#include "measurement/api/ZNHAnalytics.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEventNames.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/installations/ZNHInstallations.h"

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurement::monitor(); }

bool isConfigured(std::int64_t messageCode, const char* message,
                  const std::optional<std::string>& name = std::nullopt) {
  if (ZNHApp::isDefaultAppConfigured()) return true;
  if (name) {
    monitor()->logWithLevel(3, messageCode, message, QZMLogContext(*name));
  } else {
    monitor()->logWithLevel(3, messageCode, message);
  }
  return false;
}

// Pairs of hexadecimal digits as bytes; nullopt when a pair is not one.
std::optional<foundation::Data> ZNHDataFromHexString(const foundation::Data& text) {
  auto digit = [](std::uint8_t c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  foundation::Data bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    int high = digit(text[i]);
    int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return bytes;
}

struct HashedInput {
  const char* key;
  std::int64_t notConfiguredCode;
  const char* notConfiguredMessage;
  std::int64_t lengthCode;
  const char* lengthMessage;
  std::int64_t notHexCode;
  const char* notHexMessage;
};

constexpr HashedInput kHashedEmailAddress = {
    kZNHUserDataHashedEmailAddress, 25053, "Hashed email address not set. ZarnholtApp not configured.",
    25056, "Hashed email address should be 32 bytes (256 bits)",
    25045, "Hashed email address of 64 bytes is not hexadecimal text. Not set."};
constexpr HashedInput kHashedPhoneNumber = {
    kZNHUserDataHashedPhoneNumber, 25054, "Hashed phone number not set. ZarnholtApp not configured.",
    25057, "Hashed phone number should be 32 bytes (256 bits)",
    25046, "Hashed phone number of 64 bytes is not hexadecimal text. Not set."};

void initiateWithHashedInput(const HashedInput& input, const std::optional<foundation::Data>& data) {
  if (!isConfigured(input.notConfiguredCode, input.notConfiguredMessage)) return;
  foundation::Data hashed = data.value_or(foundation::Data());
  if (hashed.size() != 32) monitor()->logWithLevel(4, input.lengthCode, input.lengthMessage);
  if (hashed.size() == 64) {
    // A digest written as text; anything else in 64 bytes is no digest.
    auto bytes = ZNHDataFromHexString(hashed);
    if (!bytes) {
      monitor()->logWithLevel(4, input.notHexCode, input.notHexMessage);
      return;
    }
    hashed = std::move(*bytes);
  }
  QZMAnalytics::setUserData({{input.key, foundation::Object(std::move(hashed))}});
}

struct InstallationIDState {
  std::mutex mutex;
  std::condition_variable idle;
  int requestsInFlight = 0;
  // Orders the changes of the registration; the observer never takes it.
  std::mutex observeMutex;
  std::optional<foundation::NotificationCenter::Token> observer;
};
InstallationIDState& installationIDState() {
  static auto* state = new InstallationIDState;
  return *state;
}

}  // namespace

// ---- For apps ----

void ZNHAnalytics::logEventWithName(const std::string& name, const Parameters& parameters) {
  logEventWithOrigin(kQZMOriginApp, name, parameters);
}

void ZNHAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const Parameters& parameters) {
  // The name's log form is made only for the line.
  if (!ZNHApp::isDefaultAppConfigured() &&
      !isConfigured(25018, "Event not logged. ZarnholtApp not configured.", QZMEventNameForLogging(name))) {
    return;
  }
  QZMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void ZNHAnalytics::setUserPropertyString(const std::optional<std::string>& value, const std::string& name) {
  if (!isConfigured(25019, "User property not set. ZarnholtApp not configured.", QZMUserPropertyNameForLogging(name)))
    return;
  QZMAnalytics::setUserPropertyString(value ? std::optional<QZMObject>(*value) : std::nullopt, name);
}

void ZNHAnalytics::setUserID(const std::optional<std::string>& userID) {
  QZMAnalytics::setUserID(userID ? std::optional<QZMObject>(*userID) : std::nullopt);
}

void ZNHAnalytics::setAnalyticsCollectionEnabled(bool enabled) { QZMAnalytics::setAnalyticsEnabled(enabled, true); }

void ZNHAnalytics::setSessionTimeoutInterval(double seconds) { QZMAnalytics::setSessionTimeoutInterval(seconds); }

void ZNHAnalytics::sessionIDWithCompletion(QZMSessionIDCompletion completion) {
  QZMAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> ZNHAnalytics::appInstanceID() { return QZMAnalytics::appInstanceID(); }

void ZNHAnalytics::resetAnalyticsData() { QZMAnalytics::resetAnalyticsData(); }

void ZNHAnalytics::setConsent(const foundation::Dictionary& consentSettings) {
  QZMAnalytics::setConsent(consentSettings, kQZMConsentSettings3PKey);
}

void ZNHAnalytics::setDefaultEventParameters(const std::optional<Parameters>& parameters) {
  QZMAnalytics::setDefaultEventParameters(parameters);
}

void ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
  if (!isConfigured(25051, "Email address not set. ZarnholtApp not configured.")) return;
  QZMAnalytics::setUserData({{kZNHUserDataEmailAddress, emailAddress.value_or("")}});
}

void ZNHAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    const std::optional<std::string>& phoneNumber) {
  if (!isConfigured(25052, "Phone number not set. ZarnholtApp not configured.")) return;
  QZMAnalytics::setUserData({{kZNHUserDataPhoneNumber, phoneNumber.value_or("")}});
}

void ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<foundation::Data>& hashedEmailAddress) {
  initiateWithHashedInput(kHashedEmailAddress, hashedEmailAddress);
}

void ZNHAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<foundation::Data>& hashedPhoneNumber) {
  initiateWithHashedInput(kHashedPhoneNumber, hashedPhoneNumber);
}

// ---- For the app delegate ----

void ZNHAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       const std::function<void()>& completionHandler) {
  QZMAnalytics::handleEventsForBackgroundURLSession(identifier, completionHandler);
}

void ZNHAnalytics::handleOpenURL(const std::string& url) { QZMAnalytics::handleOpenURL(url); }

void ZNHAnalytics::handleUserActivity(const DRKUserActivity& activity) { QZMAnalytics::handleUserActivity(activity); }

// ---- For components of the family ----

void ZNHAnalytics::setLogEventInterceptor(QZMLogEventInterceptor interceptor) {
  QZMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::optional<QZMLogEventListenerToken> ZNHAnalytics::addLogEventListener(QZMLogEventListener listener) {
  return QZMAnalytics::addLogEventListener(std::move(listener));
}

void ZNHAnalytics::removeLogEventListener(std::optional<QZMLogEventListenerToken> token) {
  QZMAnalytics::removeLogEventListener(token);
}

void ZNHAnalytics::notifyEventListeners(std::shared_ptr<const QZMEvent> event) {
  QZMAnalytics::notifyEventListeners(std::move(event));
}

void ZNHAnalytics::setOpenURLListener(QZMOpenURLListener listener) {
  QZMAnalytics::setOpenURLListener(std::move(listener));
}

void ZNHAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Parameters& parameters) {
  QZMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void ZNHAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Parameters& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  QZMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                   ignoreInterceptor);
}

void ZNHAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> queue,
                                                   std::function<void(const foundation::Dictionary&)> callback) {
  QZMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue), std::move(callback));
}

void ZNHAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  QZMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void ZNHAnalytics::queueOperationWithBlock(std::function<void()> block) {
  QZMAnalytics::queueOperationWithBlock(std::move(block));
}

void ZNHAnalytics::unsuspendOperationQueue() { QZMAnalytics::unsuspendOperationQueue(); }

double ZNHAnalytics::loadTimestamp() { return QZMAnalytics::loadTimestamp(); }

std::shared_ptr<ZNHAnalytics> ZNHAnalytics::sharedInstance() {
  static auto* instance = new std::shared_ptr<ZNHAnalytics>(std::make_shared<ZNHAnalytics>());
  return *instance;
}

void ZNHAnalytics::logComponentEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Parameters& parameters) {
  QZMAnalytics::sharedInstance()->logComponentEventWithOrigin(origin, name, parameters);
}

void ZNHAnalytics::setInternalUserProperty(const std::optional<QZMObject>& value, const std::string& name,
                                           const std::string& origin) {
  QZMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void ZNHAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> queue,
                                              std::function<void(std::int32_t)> callback) {
  QZMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}

// ---- For the core framework ----

void ZNHAnalytics::load() {
  QZMUtilities::registerClassName("ZNHAnalytics");
  ZNHApp::setAnalyticsStart(&ZNHAnalytics::startWithConfiguration);
}

void ZNHAnalytics::startWithConfiguration(std::shared_ptr<ZNHAnalyticsConfiguration> configuration,
                                          const ZNHOptions& options) {
  foundation::Dictionary startOptions = {
      {kQZMStartOptionCollectionDeactivated, options.isAnalyticsCollectionDeactivated()},
      {kQZMStartOptionCollectionEnabled, options.isAnalyticsCollectionEnabled()},
      {kQZMStartOptionLogTag, kZNHLoggerAnalytics},
  };
  QZMAnalytics::startWithAppID(options.dralixAppID(), kQZMOriginZarnholt, startOptions, std::move(configuration));
  updateZarnholtInstallationID();
  observeZarnholtInstallationIDChanges();
}

void ZNHAnalytics::updateZarnholtInstallationID() {
  InstallationIDState& state = installationIDState();
  {
    std::lock_guard lock(state.mutex);
    ++state.requestsInFlight;
  }
  ZNHInstallations::installations()->installationIDWithCompletion(
      [](const std::optional<std::string>& identifier, const std::optional<foundation::Error>& error) {
        if (!identifier && error) monitor()->logWithLevel(4, 25038, "Failed to get Installation ID.", *error);
        QZMIdentity::sharedInstance()->setZarnholtInstallationID(identifier);
        InstallationIDState& state = installationIDState();
        std::lock_guard lock(state.mutex);
        if (--state.requestsInFlight == 0) state.idle.notify_all();
      });
}

void ZNHAnalytics::observeZarnholtInstallationIDChanges() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  InstallationIDState& state = installationIDState();
  std::lock_guard order(state.observeMutex);
  std::optional<foundation::NotificationCenter::Token> previous;
  {
    std::lock_guard lock(state.mutex);
    previous = std::exchange(state.observer, std::nullopt);
  }
  if (previous) center.removeObserver(*previous);
  auto token = center.addObserverForName(ZNHInstallationIDDidChangeNotification, nullptr, nullptr,
                                         [](const foundation::Notification&) { updateZarnholtInstallationID(); });
  std::lock_guard lock(state.mutex);
  state.observer = token;
}

std::string ZNHAnalytics::topLevelVersion() { return ZNHZarnholtVersion(); }

void ZNHAnalytics::resetForTests() {
  InstallationIDState& state = installationIDState();
  std::lock_guard order(state.observeMutex);
  std::optional<foundation::NotificationCenter::Token> observer;
  {
    std::lock_guard lock(state.mutex);
    observer = std::exchange(state.observer, std::nullopt);
  }
  if (observer) foundation::NotificationCenter::defaultCenter().removeObserver(*observer);
  std::unique_lock lock(state.mutex);
  state.idle.wait_for(lock, std::chrono::seconds(10), [&] { return state.requestsInFlight == 0; });
}
