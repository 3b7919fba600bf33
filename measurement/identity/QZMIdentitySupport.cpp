#include "measurement/identity/QZMIdentitySupport.h"

#include <charconv>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUtilities.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

constexpr const char* kAdSupportHelpLink = "https://dralix.example/analytics/identity-support";
constexpr double kResettableDeviceIDWait = 0.010;

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMDefaultIdentitySupport> defaultSupport;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

}  // namespace

// ---- QZMPlatformIdentitySupport ----

std::shared_ptr<QZMPlatformIdentitySupport> QZMPlatformIdentitySupport::sharedInstance() {
  static const auto* instance =
      new std::shared_ptr<QZMPlatformIdentitySupport>(std::make_shared<QZMPlatformIdentitySupport>(
          store::trackingManager(), store::sharedAdvertisingIdentifierManager()));
  return *instance;
}

QZMPlatformIdentitySupport::QZMPlatformIdentitySupport(
    std::shared_ptr<store::TrackingManager> trackingManager,
    std::shared_ptr<store::AdvertisingIdentifierManager> identifierManager)
    : trackingManager_(std::move(trackingManager)), identifierManager_(std::move(identifierManager)) {}

bool QZMPlatformIdentitySupport::hasAppDataConsentStatus() { return trackingManager_ != nullptr; }

std::uint64_t QZMPlatformIdentitySupport::appDataConsentStatus() {
  if (!trackingManager_) return kQZMUnknownAppDataConsentStatus;
  return trackingManager_->trackingAuthorizationStatus().value_or(kQZMUnknownAppDataConsentStatus);
}

bool QZMPlatformIdentitySupport::hasLimitedAdTracking() { return identifierManager_ != nullptr; }

bool QZMPlatformIdentitySupport::limitedAdTracking() {
  if (!identifierManager_) return false;
  auto enabled = identifierManager_->isAdvertisingTrackingEnabled();
  return enabled ? !*enabled : false;
}

std::optional<std::string> QZMPlatformIdentitySupport::resettableDeviceID() {
  if (!identifierManager_) return std::nullopt;
  return identifierManager_->advertisingIdentifier();
}

// ---- QZMDefaultIdentitySupport ----

std::shared_ptr<QZMDefaultIdentitySupport> QZMDefaultIdentitySupport::sharedInstance() {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.defaultSupport) s.defaultSupport = init();
  return s.defaultSupport;
}

void QZMDefaultIdentitySupport::setSharedInstance(std::shared_ptr<QZMDefaultIdentitySupport> support) {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  s.defaultSupport = std::move(support);
}

std::shared_ptr<QZMDefaultIdentitySupport> QZMDefaultIdentitySupport::init() {
  std::shared_ptr<QZMIdentitySupport> provider;
  if (QZMUtilities::shared()->classExists(kQZMPlatformIdentitySupportClassName))
    provider = QZMPlatformIdentitySupport::sharedInstance();
  return initWithPlatformIdentitySupport(std::move(provider));
}

std::shared_ptr<QZMDefaultIdentitySupport> QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(
    std::shared_ptr<QZMIdentitySupport> platformIdentitySupport) {
  auto monitor = QZMMeasurementBase::monitor();
  if (platformIdentitySupport) {
    monitor->logWithLevel(7, 44000, "DralixKestrometerIdentitySupport dependency is linked.");
    if (platformIdentitySupport->hasLimitedAdTracking()) {
      monitor->logWithLevel(7, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor->logWithLevel(4, 44002,
                            std::string("The AdSupport Framework is not currently linked. Some features will not "
                                        "function properly. Learn more at ") +
                                kAdSupportHelpLink);
    }
  } else {
    monitor->logWithLevel(
        4, 44003, "DralixKestrometerIdentitySupport dependency is not currently linked. IDFA will not be accessible.");
  }
  return std::make_shared<QZMDefaultIdentitySupport>(Token{}, std::move(platformIdentitySupport));
}

QZMDefaultIdentitySupport::QZMDefaultIdentitySupport(Token, std::shared_ptr<QZMIdentitySupport> platformIdentitySupport)
    : platformIdentitySupport_(std::move(platformIdentitySupport)),
      queue_(dispatch::Queue::create("QZMDefaultIdentitySupport")) {}

bool QZMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

std::uint64_t QZMDefaultIdentitySupport::appDataConsentStatus() {
  return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus() : kQZMUnknownAppDataConsentStatus;
}

bool QZMDefaultIdentitySupport::hasLimitedAdTracking() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool QZMDefaultIdentitySupport::limitedAdTracking() {
  if (iOS14OrAbove()) {
    auto identifier = resettableDeviceID();
    return !identifier || *identifier == kQZMZeroUUID;
  }
  return platformIdentitySupport_ && platformIdentitySupport_->limitedAdTracking();
}

std::optional<std::string> QZMDefaultIdentitySupport::resettableDeviceID() {
  if (!platformIdentitySupport_) return std::nullopt;
  // A slow platform answer must not hold the caller: after the wait the
  // answer lands for a later call.
  auto answered = std::make_shared<dispatch::Semaphore>(0);
  queue_->async([self = shared_from_this(), answered] {
    auto identifier = self->platformIdentitySupport_->resettableDeviceID();
    {
      std::lock_guard lock(self->lock_);
      self->resettableDeviceID_ = std::move(identifier);
    }
    answered->signal();
  });
  (void)answered->wait(kResettableDeviceIDWait);
  std::lock_guard lock(lock_);
  return resettableDeviceID_;
}

bool QZMDefaultIdentitySupport::iOS14OrAbove() {
  const std::string version = foundation::Device::systemVersion();
  int major = 0;
  auto parsed = std::from_chars(version.data(), version.data() + version.size(), major);
  return parsed.ec == std::errc() && major >= 14;
}
