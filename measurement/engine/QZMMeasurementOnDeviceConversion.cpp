#include <algorithm>
#include <cmath>
#include <string>

#include "conversion/ODCConversionService.h"
#include "conversion/QZMPrivateSetMembershipClient.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"

namespace {

using foundation::Data;
using foundation::Dictionary;

constexpr const char* kOrigin = "auto";
constexpr const char* kPSMValueProperty = "_psmvalue";
constexpr const char* kODM2ValueProperty = "_psmvalue_dxds";
constexpr const char* kODM1ValueRow = "odm1_value";
constexpr const char* kODM1SessionValueRow = "odm1_session_value";
constexpr const char* kODM2ValueRow = "odm2_value";
constexpr const char* kDebugLaunchArgument = "-DebugOnDeviceConversionMeasurement";
constexpr const char* kRetryAlarmName = "On-device conversion measurement timer";
constexpr double kPSMValueLifetime = 7776000;  // 90 days
// Service versions up to this one are the early generation.
constexpr std::int64_t kAlphaServiceVersionLimit = 10000;

const char* const kPSMCountProperties[] = {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};

struct InputTypeNames {
  const char* countProperty;
  const char* queryKey;
};

InputTypeNames namesForInputType(std::int64_t inputType) {
  switch (inputType) {
    case 2: return {"_psmcountph", "psm_phone_count"};
    case 3: return {"_psmcounth", "psm_count"};
    case 4: return {"_psmcounthph", "psm_phone_count"};
    default: return {"_psmcount", "psm_count"};
  }
}

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurement::monitor(); }

std::string_view bytes(const Data& data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

const std::string* stringFor(const Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : it->second.string();
}

const Data* dataFor(const Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : it->second.data();
}

std::optional<QZMPSMClientClass> clientClassNamed(const char* name) {
  if (!QZMUtilities::shared()->classExists(name)) return std::nullopt;
  std::any object = QZMUtilities::classObject(name);
  if (auto* found = std::any_cast<QZMPSMClientClass>(&object)) return *found;
  // A class the process has but whose initialisers nobody told us about.
  return QZMPSMClientClass{};
}

}  // namespace

// ---- The membership lookup ----

void QZMMeasurement::setUserData(const Dictionary& userData) {
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:3331", [weak = weak_from_this(), userData] {
    if (auto self = weak.lock()) self->setUserDataOnWorkerQueue(userData);
  });
}

void QZMMeasurement::setUserDataOnWorkerQueue(const Dictionary& userData) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue");
  initiateODM1ProtocolWithUserData(userData);
}

void QZMMeasurement::initiateODM1ProtocolWithUserData(const Dictionary& userData) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("initiateODM1ProtocolWithUserData");
  const std::shared_ptr<QZMPSMContext> context = ODM1Context_;
  // Without a context the guards still say why nothing happens.
  bool accepted = false;
  auto take = [&](std::shared_ptr<QZMPrivateSetMembershipClient> client) {
    accepted = true;
    if (context) context->PSMClient = std::move(client);
  };
  auto held = [&] { return context && context->PSMClient; };

  if (const std::string* address = stringFor(userData, "email_address");
      address && shouldRetrievePSMResponseWithEmailAddress(*address)) {
    take(PSMClientWithEmailAddress(*address));
  }
  if (const std::string* number = stringFor(userData, "phone_number");
      !held() && number && shouldRetrievePSMResponseWithPhoneNumber(*number)) {
    take(PSMClientWithPhoneNumber(*number));
  }
  if (const Data* digest = dataFor(userData, "hashed_email_address");
      !held() && digest && shouldRetrievePSMResponseWithHashedIdentifier(*digest)) {
    take(PSMClientWithHashedEmailAddress(*digest));
  }
  if (const Data* digest = dataFor(userData, "hashed_phone_number");
      !held() && digest && shouldRetrievePSMResponseWithHashedIdentifier(*digest)) {
    take(PSMClientWithHashedPhoneNumber(*digest));
  }
  // A client kept from a failed lookup goes again only when this
  // initiation passed the guards: a refusal never sends anything.
  if (!accepted || !held()) return;
  context->PSMRetryCount = 0;
  context->PSMStartCount += 1;
  context->isPSMSession = false;
  retrievePSMResponse();
  monitor()->logWithLevel(7, 23225, "Initiated on-device conversion measurement");
}

std::optional<QZMPSMClientClass> QZMMeasurement::PSMClientClass() {
  if (auto older = clientClassNamed(kQZMPSMClientClassName)) return older;
  return clientClassNamed(kODCPSMClientClassName);
}

bool QZMMeasurement::isQZMPrivateSetMembershipClientLinked() {
  return QZMUtilities::shared()->classExists(kQZMPSMClientClassName);
}

void QZMMeasurement::checkPSMDependencyOnWorkerQueue() {
  if (PSMClientClass()) {
    ODM1Context_ = std::make_shared<QZMPSMContext>();
    monitor()->logWithLevel(7, 23253,
                            "DralixKestrometerOnDeviceConversion dependency is linked. On-device conversion "
                            "measurement is ready to initiate.");
    return;
  }
  auto database = this->database();
  if (!database) return;
  auto hasProperty = [&](const char* name) {
    auto found = database->containsUserAttributeWithName(name);
    return found.ok() && *found;
  };
  if (hasProperty("_psmcount") || hasProperty("_psmcountph")) {
    monitor()->logWithLevel(4, 23254,
                            "DralixKestrometerOnDeviceConversion dependency is not currently linked. On-device "
                            "conversion measurement will fail to initiate.");
  }
}

bool QZMMeasurement::shouldRetrievePSMResponse() {
  auto refuse = [](std::int64_t code, const char* why) {
    monitor()->logWithLevel(1, code, std::string("Failed to initiate on-device conversion measurement. ") + why);
    return false;
  };
  if (!PSMClientClass()) return refuse(23233, "DralixKestrometerOnDeviceConversion dependency not linked in.");
  auto config = remoteConfigInstance();
  if (!config) config = QZMRemoteConfig::defaultInstance();

  double firstOpen = static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000;
  if (firstOpen == 0) firstOpen = initTimestamp_;
  if (std::fabs(foundation::now() - firstOpen) > config->maxSignInDelayInDays() * 86400.0) {
    return refuse(23261, "Attempted to initiate outside the first open window.");
  }
  const auto& context = ODM1Context_;
  if (context && context->isPSMRequestInProgress) {
    return refuse(23235, "Request to query data set for on-device conversion measurement already in progress.");
  }
  if ((context ? context->PSMStartCount : 0) >= config->maxPSMStartCount()) {
    return refuse(23236, "Exceeded limit per app run.");
  }
  if (auto database = this->database()) {
    if (auto found = database->containsUserAttributeWithName(kPSMValueProperty); found.ok() && *found) {
      return refuse(23237, "Found existing match.");
    }
  }
  if ((context ? context->PSMRetryCount : 0) >= config->maxPSMRetryCount()) {
    return refuse(23238, "Exceeded retry limit.");
  }
  return true;
}

bool QZMMeasurement::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
  if (emailAddress.empty()) {
    monitor()->logWithLevel(1, 23234,
                            "Failed to initiate on-device conversion measurement. Email address was empty.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool QZMMeasurement::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
  if (phoneNumber.empty()) {
    monitor()->logWithLevel(1, 23239, "Failed to initiate on-device conversion measurement. Phone number was empty.");
    return false;
  }
  if (auto clientClass = PSMClientClass(); clientClass && !clientClass->initWithPhoneNumber) {
    monitor()->logWithLevel(1, 23262,
                            "Failed to initiate on-device conversion measurement. Linked "
                            "DralixKestrometerOnDeviceConversion dependency does not support phone numbers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool QZMMeasurement::shouldRetrievePSMResponseWithHashedIdentifier(const Data& hashedIdentifier) {
  if (hashedIdentifier.empty()) {
    monitor()->logWithLevel(1, 23264,
                            "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
    return false;
  }
  if (auto clientClass = PSMClientClass();
      clientClass && !clientClass->initWithHashedEmailAddress && !clientClass->initWithHashedPhoneNumber) {
    monitor()->logWithLevel(1, 23265,
                            "Failed to initiate on-device conversion measurement. Linked "
                            "DralixKestrometerOnDeviceConversion dependency does not support hashed identifiers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

namespace {

std::string appIDForLookup(const std::shared_ptr<QZMIdentity>& identity) {
  return identity ? identity->appID() : foundation::Bundle::main()->bundleIdentifier();
}

std::int32_t prefixBitLength(const std::shared_ptr<QZMRemoteConfig>& config, bool email) {
  auto settings = config ? config : QZMRemoteConfig::defaultInstance();
  return email ? settings->hashPrefixBitLengthEmail() : settings->hashPrefixBitLengthPhone();
}

}  // namespace

std::shared_ptr<QZMPrivateSetMembershipClient> QZMMeasurement::PSMClientWithEmailAddress(
    const std::string& emailAddress) {
  auto clientClass = PSMClientClass();
  if (!clientClass) return nullptr;
  std::string appID = appIDForLookup(identity());
  if (clientClass->initWithEmailAddressPrefixBitLength) {
    return clientClass->initWithEmailAddressPrefixBitLength(emailAddress, appID,
                                                            prefixBitLength(remoteConfigInstance(), true));
  }
  return clientClass->initWithEmailAddress ? clientClass->initWithEmailAddress(emailAddress, appID) : nullptr;
}

std::shared_ptr<QZMPrivateSetMembershipClient> QZMMeasurement::PSMClientWithPhoneNumber(
    const std::string& phoneNumber) {
  auto clientClass = PSMClientClass();
  if (!clientClass) return nullptr;
  std::string appID = appIDForLookup(identity());
  if (clientClass->initWithPhoneNumberPrefixBitLength) {
    return clientClass->initWithPhoneNumberPrefixBitLength(phoneNumber, appID,
                                                           prefixBitLength(remoteConfigInstance(), false));
  }
  return clientClass->initWithPhoneNumber ? clientClass->initWithPhoneNumber(phoneNumber, appID) : nullptr;
}

std::shared_ptr<QZMPrivateSetMembershipClient> QZMMeasurement::PSMClientWithHashedEmailAddress(const Data& digest) {
  auto clientClass = PSMClientClass();
  if (!clientClass || !clientClass->initWithHashedEmailAddress) return nullptr;
  return clientClass->initWithHashedEmailAddress(bytes(digest), appIDForLookup(identity()),
                                                 prefixBitLength(remoteConfigInstance(), true));
}

std::shared_ptr<QZMPrivateSetMembershipClient> QZMMeasurement::PSMClientWithHashedPhoneNumber(const Data& digest) {
  auto clientClass = PSMClientClass();
  if (!clientClass || !clientClass->initWithHashedPhoneNumber) return nullptr;
  return clientClass->initWithHashedPhoneNumber(bytes(digest), appIDForLookup(identity()),
                                                prefixBitLength(remoteConfigInstance(), false));
}

std::optional<std::string> QZMMeasurement::PSMRequestURL() {
  const auto& context = ODM1Context_;
  if (!context || !context->PSMClient) return std::nullopt;
  const auto& client = context->PSMClient;
  std::optional<std::string> url = client->PSMRequestURLWithRetryCount(context->PSMRetryCount);
  if (!url || url->empty()) return std::nullopt;

  InputTypeNames names = namesForInputType(client->inputType());
  std::int64_t count = 0;
  if (auto database = this->database()) {
    if (auto stored = database->userAttributeWithName(names.countProperty); stored.ok() && *stored) {
      count = (*stored)->value.int64Value();
    }
  }
  *url += std::string("&") + names.queryKey + "=" + std::to_string(count);

  std::int64_t firstOpenSeconds = persistedConfig_->firstOpenTimestampMilliseconds() / 1000;
  if (firstOpenSeconds > 0) {
    // The start of the next whole minute: the server sees no finer time.
    *url += "&timestamp_first_open=" + std::to_string(firstOpenSeconds / 60 * 60 + 60);
  }

  auto monitor = ::monitor();
  if (monitor->isDebugModeEnabled() || monitor->isVerboseLoggingEnabled()) {
    auto arguments = QZMUtilities::shared()->launchArguments();
    std::optional<std::string> debugKey = client->debugKey();
    if (debugKey && !debugKey->empty() &&
        std::find(arguments.begin(), arguments.end(), kDebugLaunchArgument) != arguments.end()) {
      *url += "&debug_psm_key=" + *debugKey;
    }
  }
  return url;
}

void QZMMeasurement::retrievePSMResponse() {
  auto monitor = ::monitor();
  const std::shared_ptr<QZMPSMContext> context = ODM1Context_;
  std::optional<std::string> url = PSMRequestURL();
  if (!context || !url) {
    monitor->logWithLevel(1, 23227, "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  // One lookup at a time: its answer ends it.
  if (context->isPSMRequestInProgress) return;
  if (!isNetworkReadyForRequest()) {
    monitor->logWithLevel(7, 23232,
                          "Network operation is pending. Request to query data set for on-device conversion "
                          "measurement postponed.");
    context->isPSMRequestPostponed = true;
    return;
  }
  std::shared_ptr<QZMPrivateSetMembershipClient> client = context->PSMClient;
  std::string countName = namesForInputType(client->inputType()).countProperty;
  if (context->PSMRetryAlarm) context->PSMRetryAlarm->cancel();
  context->isPSMRequestPostponed = false;
  context->isPSMRequestInProgress = true;
  isNetworkRequestPending_ = true;
  bool isSessionValue = context->isPSMSession;
  auto config = remoteConfigInstance();
  if (!config) config = QZMRemoteConfig::defaultInstance();

  std::string sent;
  if (network_) {
    network_->setTimeoutInterval(config->networkTimeout());
    sent = network_->getURL(
        *url, {}, scheduler_->workerQueue(), shouldUseBackgroundSession(),
        [weak = weak_from_this(), context, client, countName, isSessionValue](
            const DRKHTTPURLResponse& response, const Data& body, const std::optional<foundation::Error>& error) {
          if (auto self = weak.lock()) {
            self->handlePSMResponse(context, client, countName, isSessionValue, response, body, error);
          }
        });
  }
  if (sent.empty()) {
    // Refused before it left: nothing is pending, and it is tried again
    // like any failed lookup.
    isNetworkRequestPending_ = false;
    context->isPSMRequestInProgress = false;
    monitor->logWithLevel(1, 23228,
                          "Failed to query data set for on-device conversion measurement. Will retry later. Code, "
                          "error",
                          std::int64_t{0},
                          // The query carries the lookup itself and, in debug runs, the debug key.
                          foundation::Error(kDRKNetworkErrorDomain, 0,
                                            "The request was not sent: " + url->substr(0, url->find('?'))));
    maybeSchedulePSMRetry();
    updateSchedule();
  }
}

void QZMMeasurement::handlePSMResponse(const std::shared_ptr<QZMPSMContext>& context,
                                       const std::shared_ptr<QZMPrivateSetMembershipClient>& client,
                                       const std::string& countName, bool isSessionValue,
                                       const DRKHTTPURLResponse& response, const Data& body,
                                       const std::optional<foundation::Error>& error) {
  auto monitor = ::monitor();
  isNetworkRequestPending_ = false;
  if (context != ODM1Context_) {
    // Analytics data was wiped while the lookup was out: its answer
    // belongs to the data that is gone.
    updateSchedule();
    return;
  }
  incrementPSMCountOnWorkerQueueWithName(countName);
  std::int64_t status = response.statusCode;
  bool succeeded = !error && (status == kDRKNetworkHTTPStatusOK || status == kDRKNetworkHTTPStatusCodeNotModified ||
                              status == kDRKNetworkHTTPStatusNoContent);
  context->isPSMRequestInProgress = false;
  if (succeeded) {
    std::optional<std::string> value = client->parsedPSMValueFromResponse(bytes(body));
    if (value && !value->empty()) {
      monitor->logWithLevel(7, 23229, "On-device conversion measurement found a match");
      handlePSMValueOnWorkerQueue(*value, isSessionValue);
    } else {
      monitor->logWithLevel(7, 23230,
                            "On-device conversion measurement did not find a match. Will try again given new user "
                            "data.");
    }
    if (context->PSMClient == client) context->PSMClient = nullptr;
    updateSchedule();
    return;
  }
  std::vector<QZMLogContext> contexts = {status};
  if (error) contexts.emplace_back(*error);
  monitor->logWithLevel(1, 23228,
                        "Failed to query data set for on-device conversion measurement. Will retry later. Code, error",
                        contexts);
  maybeSchedulePSMRetry();
  updateSchedule();
}

void QZMMeasurement::maybeSchedulePSMRetry() {
  const std::shared_ptr<QZMPSMContext> context = ODM1Context_;
  if (!context) return;
  auto config = remoteConfigInstance();
  if (!config) config = QZMRemoteConfig::defaultInstance();
  std::int32_t failed = context->PSMRetryCount;
  context->PSMRetryCount = failed + 1;
  if (context->PSMRetryCount >= config->maxPSMRetryCount()) {
    monitor()->logWithLevel(4, 23231, "On-device conversion measurement failed to find a match. Reached retry limit.");
    return;
  }
  if (!context->PSMRetryAlarm) {
    context->PSMRetryAlarm = QZMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kRetryAlarmName);
  }
  double delay = std::ldexp(config->PSMRetryInterval(), std::max(failed, 0));
  context->PSMRetryAlarm->runAfterDelay(delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->retrievePSMResponse();
  });
}

void QZMMeasurement::handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue) {
  if (value.empty()) return;
  double now = foundation::now();
  if (auto database = this->database()) {
    if (auto written = database->updateODMValue(value, isSessionValue ? kODM1SessionValueRow : kODM1ValueRow, now);
        !written.ok()) {
      monitor()->logWithLevel(1, 23286, "Failed to update ODM value. Error", written.error());
    }
  }
  if (auto text = QZMValue::initWithString(value)) {
    if (auto attribute = QZMUserAttribute::initWithOrigin(kOrigin, kPSMValueProperty, *text, now)) {
      setUserAttributeOnWorkerQueue(*attribute);
    }
  }
  if (auto event = QZMEvent::initWithOrigin(kOrigin, false, "_fx", now, 0, QZMDictionary{{"_fxs", "psm"}})) {
    event->setRealtime(true);
    writeEventOnWorkerQueue(*event);
  }
}

void QZMMeasurement::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
  std::int64_t count = 1;
  if (auto database = this->database()) {
    if (auto stored = database->userAttributeWithName(name); stored.ok() && *stored) {
      count = (*stored)->value.int64Value() + 1;
    }
  }
  if (auto attribute = QZMUserAttribute::initWithOrigin(kOrigin, name, QZMValue::initWithInt64(count),
                                                        foundation::now())) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
}

void QZMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  auto database = this->database();
  if (!database) return;
  double now = foundation::now();

  bool rowExisted = false;
  if (auto row = database->ODMValueWithName(kODM1ValueRow); row.ok() && !row->empty()) {
    rowExisted = true;
    auto setAt = row->find("set_timestamp");
    if (setAt != row->end() && std::fabs(now - setAt->second.doubleValue()) >= kPSMValueLifetime) {
      if (auto deleted = database->deleteODMValueWithName(kODM1ValueRow); !deleted.ok()) {
        monitor()->logWithLevel(4, 23289, "Failed to delete ODM value. Error", deleted.error());
      }
    }
  }

  auto stored = database->userAttributeWithName(kPSMValueProperty);
  if (!stored.ok() || !*stored) return;
  const QZMStoredUserAttribute& property = **stored;
  if (std::fabs(now - property.setTimestamp) >= kPSMValueLifetime) {
    auto remove = [&](const QZMStoredUserAttribute& row) {
      if (auto attribute = QZMUserAttribute::fromStored(row)) removeUserAttributeOnWorkerQueue(*attribute);
    };
    remove(property);
    for (const char* name : kPSMCountProperties) {
      if (auto count = database->userAttributeWithName(name); count.ok() && *count) remove(**count);
    }
    return;
  }
  if (!rowExisted) {
    // The row keeps up with the property it belongs to.
    (void)database->updateODMValue(property.value.description(), kODM1ValueRow, property.setTimestamp);
  }
}

// ---- The conversion service ----

bool QZMMeasurement::isAdsOnDeviceConversionLinked() {
  return QZMUtilities::shared()->classExists(kODCConversionServiceClassName);
}

std::shared_ptr<ODCConversionServiceProtocol> QZMMeasurement::conversionServiceFromReflection() {
  if (!isAdsOnDeviceConversionLinked()) return nullptr;
  std::any object = QZMUtilities::classObject(kODCConversionServiceClassName);
  auto* serviceClass = std::any_cast<QZMConversionServiceClass>(&object);
  if (!serviceClass || !serviceClass->sharedInstance) return nullptr;
  return serviceClass->sharedInstance();
}

bool QZMMeasurement::isAlphaAppAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionService_ ? conversionService_ : conversionServiceFromReflection();
  return service && service->versionNumber() <= kAlphaServiceVersionLimit;
}

bool QZMMeasurement::isDralixAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionService_ ? conversionService_ : conversionServiceFromReflection();
  return service && service->versionNumber() > kAlphaServiceVersionLimit;
}

bool QZMMeasurement::isAdsOnDeviceConversionEnabled() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto monitor = ::monitor();
  auto config = remoteConfigInstance();
  if (!config) config = QZMRemoteConfig::defaultInstance();
  if (!config->adsOnDeviceConversionFeatureEnabled()) {
    monitor->logWithLevel(7, 23275,
                          "Conversion service disabled. Remote config disabled. Check ads account linked to Dralix "
                          "Analytics.");
    return false;
  }
  if (QZMConsentSettingsUtil::isAdStorageDenied()) {
    monitor->logWithLevel(7, 23276, "Conversion service disabled. Ad storage consent is denied.");
    return false;
  }
  monitor->logWithLevel(7, 23277, "Conversion service enabled");
  return true;
}

std::optional<foundation::Date> QZMMeasurement::firstLaunchDate() {
  std::int64_t milliseconds = persistedConfig_->firstOpenTimestampMilliseconds();
  if (milliseconds == 0) return std::nullopt;
  return foundation::Date{static_cast<double>(milliseconds) / 1000};
}

void QZMMeasurement::checkODM2DependencyOnWorkerQueue() {
  auto monitor = ::monitor();
  if (isAdsOnDeviceConversionLinked()) {
    if (isDralixAdsOnDeviceConversionLinked() && isQZMPrivateSetMembershipClientLinked()) {
      // Said loudly, but the app keeps running: the lookups work with either
      // component.
      monitor->logWithLevel(1, 23298,
                            "MeasurementDeprecatedOnDeviceConversionException: DralixKestrometerOnDeviceConversion "
                            "(deprecated) framework and DralixAdsOnDeviceConversion framework are both linked into "
                            "the app. Remove the DralixKestrometerOnDeviceConversion (deprecated) framework, which "
                            "is no longer recommended for new development.");
    }
    monitor->logWithLevel(7, 23278, "Conversion service DralixAdsOnDeviceConversion framework is linked");
  } else {
    monitor->logWithLevel(7, 23279,
                          "Conversion service disabled. DralixAdsOnDeviceConversion framework is not linked.");
    if (isQZMPrivateSetMembershipClientLinked()) {
      monitor->logWithLevel(4, 23292,
                            "DralixKestrometerOnDeviceConversion (deprecated) framework is linked. Use the "
                            "DralixAdsOnDeviceConversion framework instead.");
    }
  }
  if (auto config = remoteConfigInstance(); config && !config->isExpired()) {
    monitor->logWithLevel(7, 23280, "Conversion service will not attempt a fetch");
  }
}

void QZMMeasurement::updateAdsOnDeviceConversionMeasurement() {
  if (!isAdsOnDeviceConversionEnabled()) {
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  if (!conversionService_) conversionService_ = conversionServiceFromReflection();
  if (!conversionService_) {
    monitor()->logWithLevel(1, 23268, "Failed to get the compatible conversion service.");
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  conversionService_->setFirstLaunchTime(firstLaunchDate());
  conversionService_->fetchMeasurementInfoForInteraction(
      ODCInteractionTypeInstallation,
      [weakScheduler = std::weak_ptr<QZMScheduler>(scheduler_), weak = weak_from_this()](
          const std::optional<std::string>& value, const std::optional<foundation::Error>& error) {
        auto scheduler = weakScheduler.lock();
        if (!scheduler) return;
        scheduler->scheduleOnWorkerQueueBlockID("QZMMeasurement:186", [weak, value, error] {
          if (auto self = weak.lock()) self->handleAdsOnDeviceConversionValue(value, error);
        });
      });
}

void QZMMeasurement::handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                                      const std::optional<foundation::Error>& error) {
  auto monitor = ::monitor();
  if (error) {
    monitor->logWithLevel(1, 23269, "Conversion service failed to fetch measurement info.", *error);
    return;
  }
  auto database = this->database();
  std::optional<QZMStoredUserAttribute> current;
  if (database) {
    if (auto stored = database->userAttributeWithName(kODM2ValueProperty); stored.ok()) current = *stored;
  }
  if (!value || value->empty()) {
    if (current) {
      if (auto attribute = QZMUserAttribute::fromStored(*current)) removeUserAttributeOnWorkerQueue(*attribute);
    }
    if (database) (void)database->deleteODMValueWithName(kODM2ValueRow);
    monitor->logWithLevel(7, 23281, "Conversion service returned empty value");
    return;
  }
  if (current && current->value.string() && *current->value.string() == *value) {
    monitor->logWithLevel(7, 23282, "Conversion service returned the same value", std::string(kODM2ValueProperty),
                          *value);
    return;
  }
  double now = foundation::now();
  if (database) {
    if (auto written = database->updateODMValue(*value, kODM2ValueRow, now); !written.ok()) {
      monitor->logWithLevel(1, 23290, "Failed to update ODM value. Error", written.error());
    }
  }
  if (auto text = QZMValue::initWithString(*value)) {
    if (auto attribute = QZMUserAttribute::initWithOrigin(kOrigin, kODM2ValueProperty, *text, now)) {
      setUserAttributeOnWorkerQueue(*attribute);
    }
  }
  if (auto event = QZMEvent::initWithOrigin(kOrigin, false, "_fx", now, 0, QZMDictionary{{"_fxs", "psm_dxds"}})) {
    event->setRealtime(true);
    writeEventOnWorkerQueue(*event);
  }
}
