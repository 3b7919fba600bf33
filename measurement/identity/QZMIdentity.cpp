#include "measurement/identity/QZMIdentity.h"

#include <charconv>
#include <limits>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Random.h"

namespace {

constexpr const char* kAppIDHelpLink = "https://dralix.example/analytics/app-id";
constexpr double kSessionStitchingTokenLifetime = 86400;
constexpr std::size_t kDiversionKeyLength = 5;

struct Shared {
  std::mutex mutex;
  bool made = false;
  std::shared_ptr<QZMIdentity> identity;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

void log(std::int64_t level, std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message);
}

}  // namespace

// ---- creation ----

std::shared_ptr<QZMIdentity> QZMIdentity::sharedInstance() {
  Shared& s = shared();
  std::shared_ptr<QZMIdentity> identity;
  {
    std::lock_guard lock(s.mutex);
    if (!s.made) {
      s.identity = initWithPersistedConfig(QZMPersistedConfig::sharedInstance());
      s.made = true;
    }
    identity = s.identity;
  }
  if (!identity) log(2, 20003, "Identity's shared instance is nil");
  return identity;
}

void QZMIdentity::setSharedInstance(std::shared_ptr<QZMIdentity> identity) {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  s.made = identity != nullptr;
  s.identity = std::move(identity);
}

std::shared_ptr<QZMIdentity> QZMIdentity::initWithPersistedConfig(std::shared_ptr<QZMPersistedConfig> persistedConfig) {
  if (!persistedConfig) {
    log(2, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  auto identity = std::make_shared<QZMIdentity>(Token{}, std::move(persistedConfig));
  identity->scheduleVendorIdentifierRead();
  return identity;
}

QZMIdentity::QZMIdentity(Token, std::shared_ptr<QZMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)), queue_(dispatch::Queue::create("QZMIdentityWorkerQueue")) {
  if (auto service = QZMDralixServiceFileUtil::dictionaryFromDralixServiceInfoPlist(); service && !service->empty()) {
    auto it = service->find("DRALIX_APP_ID");
    if (it != service->end() && it->second.isString()) appIDFromDXV_ = *it->second.string();
  }
  if (QZMUtilities::shared()->classExists("ZNHAnalytics") && appIDFromDXV_.value_or("").empty()) {
    log(0, 20006,
        std::string("Dralix App ID from DralixService-Info.plist is empty. Please, define DRALIX_APP_ID in "
                    "DralixService-Info.plist for Analytics to work reliably. See ") +
            kAppIDHelpLink);
  }

  auto bundle = foundation::Bundle::main();
  if (const foundation::Object* idfv = bundle->objectForInfoDictionaryKey(kQZMIDFVCollectionEnabledKey);
      idfv && idfv->isNumber()) {
    isIDFVCollectionEnabled_ = idfv->boolValue();
    log(7, 20009, std::string(kQZMIDFVCollectionEnabledKey) + " = " + (*isIDFVCollectionEnabled_ ? "YES" : "NO"));
  }

  appID_ = bundle->bundleIdentifier();
  if (const foundation::Object* version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
      version && version->isString()) {
    appVersion_ = *version->string();
  }
  const std::vector<std::int32_t> fields = numericFieldsFromAppVersionNumeric(bundle->bundleVersion());
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];

  if (!persistedConfig_->appInstanceID() && !QZMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    if (auto fresh = randomAppInstanceID()) persistedConfig_->setAppInstanceID(fresh);
  }
}

// ---- class helpers ----

std::int64_t QZMIdentity::kestrometerLibraryVersion() {
  return QZMLibraryVersionFromBuildString(kQZMLibraryBuildString);
}

std::optional<std::string> QZMIdentity::randomAppInstanceID() {
  auto uuid = foundation::UUID::random();
  if (!uuid) return std::nullopt;
  std::string text;
  for (char c : uuid->uuidString())
    if (c != '-') text += c;
  return text;
}

std::vector<std::int32_t> QZMIdentity::numericFieldsFromAppVersionNumeric(std::string_view version) {
  std::vector<std::int32_t> fields;
  std::size_t start = 0;
  while (start <= version.size()) {
    std::size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    const std::string_view part = version.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string digits;
    for (char c : part)
      if (c >= '0' && c <= '9') digits += c;
    if (digits.size() != part.size()) log(5, 20002, "app version numeric has non-numeric characters");
    // Read as the platform reads a 32-bit integer: too many digits saturate.
    std::int64_t value = 0;
    for (char c : digits) {
      value = value * 10 + (c - '0');
      if (value > std::numeric_limits<std::int32_t>::max()) {
        value = std::numeric_limits<std::int32_t>::max();
        break;
      }
    }
    fields.push_back(static_cast<std::int32_t>(value));
  }
  return fields;
}

bool QZMIdentity::iOS14OrAbove() { return QZMDefaultIdentitySupport::iOS14OrAbove(); }

void QZMIdentity::syncOnQueue(const std::function<void()>& block) {
  if (queue_->isCurrent()) {
    block();
    return;
  }
  (void)queue_->sync(block);
}

// ---- identifier refresh ----

void QZMIdentity::updateIdentifiers() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->refreshOnQueue();
  });
}

void QZMIdentity::updateIdentifiersAndWait() {
  updateIdentifiers();
  syncOnQueue([] {});
}

void QZMIdentity::refreshOnQueue() {
  QZMPersistedConfig& config = *persistedConfig_;
  std::optional<std::string> appInstanceID = config.appInstanceID();
  const double now = foundation::now();
  auto remoteConfig = QZMRemoteConfig::current();
  if (appInstanceID && lastAppInstanceIDUpdateTimestamp_ && *lastAppInstanceIDUpdateTimestamp_ <= now &&
      now - *lastAppInstanceIDUpdateTimestamp_ < remoteConfig->adIDCacheTime()) {
    return;
  }

  auto support = QZMDefaultIdentitySupport::sharedInstance();
  const std::optional<std::string> storedHash = config.hashedResettableDeviceID();
  std::optional<std::string> cachedIdentifier = resettableDeviceID_;
  const bool limitedAdTracking = support->limitedAdTracking();
  bool changed = !appInstanceID;
  const bool adStorageDenied = QZMConsentSettingsUtil::isAdStorageDenied();

  std::uint64_t status = kQZMAppleConsentStatusUnsupported;
  bool authorized = false;
  if (iOS14OrAbove() && support->hasLimitedAdTracking()) {
    const std::uint64_t platformStatus =
        support->hasAppDataConsentStatus() ? support->appDataConsentStatus() : kQZMUnknownAppDataConsentStatus;
    if (platformStatus > 3) {
      status = kQZMAppleConsentStatusUnavailable;
    } else if (platformStatus == 0) {
      status = kQZMAppleConsentStatusNotDetermined;
    } else {
      status = platformStatus;
      authorized = platformStatus == kQZMAppleConsentStatusAuthorized;
    }
  }
  std::optional<std::string> identifier;
  if (adStorageDenied) {
    cachedIdentifier.reset();
  } else if (authorized || !remoteConfig->gateIDFAOnATTMASEnabled()) {
    identifier = support->resettableDeviceID();
  }

  std::optional<std::string> hashToStore;
  if (identifier && !identifier->empty() && *identifier != kQZMZeroUUID) {
    const std::optional<std::string> hash = qzm_MD5String(*identifier);
    if (hash && hash != storedHash) {
      if (storedHash) {
        appInstanceID = randomAppInstanceID();
        config.setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      changed = true;
      hashToStore = hash;
    }
    cachedIdentifier = identifier;
  } else if (identifier == kQZMZeroUUID) {
    cachedIdentifier.reset();
  }

  if (changed) {
    if (!QZMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      if (!appInstanceID) appInstanceID = randomAppInstanceID();
      if (appInstanceID) config.setAppInstanceID(appInstanceID);
    }
    if (!adStorageDenied && hashToStore) config.setHashedResettableDeviceID(hashToStore);
  }

  lastAppInstanceIDUpdateTimestamp_ = now;
  limitedAdTracking_ = limitedAdTracking;
  resettableDeviceID_ = std::move(cachedIdentifier);
  appleConsentStatus_ = status;
}

// ---- getters and setters ----

QZMIdentity::Snapshot QZMIdentity::snapshot() {
  const bool analyticsStorageDenied = QZMConsentSettingsUtil::isAnalyticsStorageDenied();
  Snapshot out;
  std::optional<std::string> vendor;
  syncOnQueue([&] {
    refreshOnQueue();
    out.appleConsentStatus = appleConsentStatus_;
    out.hasLimitedAdTracking = QZMDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking();
    out.limitedAdTracking = limitedAdTracking_;
    out.resettableDeviceID = resettableDeviceID_;
    if (!analyticsStorageDenied) out.appInstanceID = persistedConfig_->appInstanceID();
    out.appIDFromDXV = appIDFromDXV_;
    out.shouldSetLastAdvertisingIDResetUserProperty = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty();
    vendor = identifierForVendorString_;
  });
  if (!out.resettableDeviceID || out.resettableDeviceID->empty()) {
    out.identifierForVendor = identifierForVendorFromCache(std::move(vendor));
  }
  return out;
}

std::optional<std::string> QZMIdentity::appInstanceID() {
  if (QZMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> out;
  syncOnQueue([&] {
    refreshOnQueue();
    out = persistedConfig_->appInstanceID();
  });
  return out;
}

void QZMIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  queue_->async([config = persistedConfig_, appInstanceID] { config->setAppInstanceID(appInstanceID); });
}

std::optional<std::string> QZMIdentity::hashedResettableDeviceID() {
  if (QZMConsentSettingsUtil::isAdStorageDenied()) return std::nullopt;
  std::optional<std::string> out;
  syncOnQueue([&] {
    refreshOnQueue();
    out = persistedConfig_->hashedResettableDeviceID();
  });
  return out;
}

std::optional<std::string> QZMIdentity::resettableDeviceID() {
  std::optional<std::string> out;
  syncOnQueue([&] {
    refreshOnQueue();
    out = resettableDeviceID_;
  });
  return out;
}

std::uint64_t QZMIdentity::appleConsentStatus() {
  std::uint64_t out = 0;
  syncOnQueue([&] {
    refreshOnQueue();
    out = appleConsentStatus_;
  });
  return out;
}

bool QZMIdentity::limitedAdTracking() {
  bool out = false;
  syncOnQueue([&] {
    refreshOnQueue();
    out = limitedAdTracking_;
  });
  return out;
}

bool QZMIdentity::hasLimitedAdTracking() {
  bool out = false;
  syncOnQueue([&] {
    refreshOnQueue();
    out = QZMDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking();
  });
  return out;
}

std::optional<double> QZMIdentity::lastAppInstanceIDUpdateTimestamp() {
  std::optional<double> out;
  syncOnQueue([&] { out = lastAppInstanceIDUpdateTimestamp_; });
  return out;
}

std::optional<std::string> QZMIdentity::appIDFromDXV() {
  std::optional<std::string> out;
  syncOnQueue([&] { out = appIDFromDXV_; });
  return out;
}

void QZMIdentity::setAppIDFromDXV(std::string_view appID) {
  if (appID.empty()) {
    log(2, 20005, "Cannot set empty Dralix App ID");
    return;
  }
  if (appIDFromDXVSet_.exchange(true)) return;
  queue_->async([weak = weak_from_this(), id = std::string(appID)] {
    if (auto self = weak.lock()) self->appIDFromDXV_ = id;
  });
}

std::optional<std::string> QZMIdentity::identifierForVendor() {
  if (auto advertising = resettableDeviceID(); advertising && !advertising->empty()) return std::nullopt;
  std::optional<std::string> cached;
  syncOnQueue([&] { cached = identifierForVendorString_; });
  return identifierForVendorFromCache(std::move(cached));
}

std::optional<std::string> QZMIdentity::identifierForVendorFromCache(std::optional<std::string> cached) {
  if (isIDFVCollectionEnabled_ && !*isIDFVCollectionEnabled_) return std::nullopt;
  if (QZMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (cached) return cached;
  if (!dispatch::isMainThread()) {
    scheduleVendorIdentifierRead();
    return std::nullopt;
  }
  std::string read = foundation::Device::identifierForVendor();
  if (read.empty()) return std::nullopt;
  queue_->async([weak = weak_from_this(), read] {
    if (auto self = weak.lock()) self->identifierForVendorString_ = read;
  });
  return read;
}

void QZMIdentity::scheduleVendorIdentifierRead() {
  // The platform answers the vendor identifier on the main thread; waiting
  // for it there could deadlock a main thread that waits on the caller.
  if (vendorIdentifierReadPending_.exchange(true)) return;
  dispatch::Queue::main()->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    std::string read = foundation::Device::identifierForVendor();
    self->queue_->async([self, read = std::move(read)] {
      if (!read.empty() && !self->identifierForVendorString_) self->identifierForVendorString_ = read;
      self->vendorIdentifierReadPending_ = false;
    });
  });
}

bool QZMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool out = false;
  syncOnQueue([&] { out = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return out;
}

void QZMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  queue_->async([config = persistedConfig_, value] { config->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

std::optional<std::string> QZMIdentity::sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber,
                                                                               bool sessionExpired,
                                                                               bool userIDAvailable) {
  if (QZMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> out;
  syncOnQueue([&] {
    const bool sameSession = sessionNumber == lastSessionNumber_ && sessionExpired == lastIsSessionExpired_;
    // The first request after an expired one opens the session that follows it.
    const bool resumedSession = sessionNumber == lastSessionNumber_ + 1 && lastIsSessionExpired_ && !sessionExpired;
    if (!sameSession && !resumedSession) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    lastSessionNumber_ = sessionNumber;
    lastIsSessionExpired_ = sessionExpired;
    const double now = foundation::now();
    if (!userIDAvailable && sessionStitchingTokenExpirationTime_ && *sessionStitchingTokenExpirationTime_ <= now) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    if (!sessionStitchingToken_) {
      sessionStitchingToken_ = randomAppInstanceID();
      if (!userIDAvailable) sessionStitchingTokenExpirationTime_ = now + kSessionStitchingTokenLifetime;
    }
    out = sessionStitchingToken_;
  });
  return out;
}

void QZMIdentity::resetSessionStitchingToken() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->resetSessionStitchingTokenOnWorkerQueue();
  });
}

void QZMIdentity::resetSessionStitchingTokenOnWorkerQueue() {
  sessionStitchingToken_.reset();
  sessionStitchingTokenExpirationTime_.reset();
}

std::optional<std::string> QZMIdentity::diversionKey() {
  std::optional<std::string> out;
  syncOnQueue([&] {
    out = persistedConfig_->diversionKey();
    if (out && out->size() == kDiversionKeyLength) return;
    auto fresh = randomAppInstanceID();
    if (!fresh) return;
    out = fresh->substr(0, kDiversionKeyLength);
    persistedConfig_->setDiversionKey(out);
  });
  return out;
}

std::optional<std::string> QZMIdentity::ephemeralAppInstanceID() {
  std::optional<std::string> out;
  syncOnQueue([&] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    out = ephemeralAppInstanceID_;
  });
  return out;
}

void QZMIdentity::resetEphemeralAppInstanceID() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->resetEphemeralAppInstanceIDOnWorkerQueue();
  });
}

void QZMIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() { ephemeralAppInstanceID_.reset(); }

std::optional<std::string> QZMIdentity::zarnholtInstallationID() const {
  std::lock_guard lock(installationIDMutex_);
  return zarnholtInstallationID_;
}

void QZMIdentity::setZarnholtInstallationID(const std::optional<std::string>& installationID) {
  std::lock_guard lock(installationIDMutex_);
  zarnholtInstallationID_ = installationID;
}
