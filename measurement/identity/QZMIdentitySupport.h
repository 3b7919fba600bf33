// Where the advertising identifier and the tracking-authorisation status come
// from. The platform's advertising services are optional: the SDK reaches
// them through an identity-support provider found by class name at run time,
// and answers neutrally (NO, nil, all bits set) without one.
//
// The provider, QZMPlatformIdentitySupport, counts as linked when the process
// offers a class of its name (QZMUtilities::classExists); a host that wants
// it announces it with QZMUtilities::registerClassName. By default a desktop
// build has none.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/store/AdSupport.h"

inline constexpr const char* kQZMPlatformIdentitySupportClassName = "QZMPlatformIdentitySupport";
// The advertising identifier of a user who limits tracking.
inline constexpr const char* kQZMZeroUUID = "00000000-0000-0000-0000-000000000000";
// What an unknown tracking-authorisation status reads as.
inline constexpr std::uint64_t kQZMUnknownAppDataConsentStatus = ~std::uint64_t{0};

class QZMIdentitySupport {
 public:
  virtual ~QZMIdentitySupport() = default;
  virtual bool hasAppDataConsentStatus() = 0;
  virtual std::uint64_t appDataConsentStatus() = 0;
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  virtual std::optional<std::string> resettableDeviceID() = 0;
};

// The provider over the platform's advertising services.
class QZMPlatformIdentitySupport final : public QZMIdentitySupport {
 public:
  // Made once over the services the platform offers at that moment.
  static std::shared_ptr<QZMPlatformIdentitySupport> sharedInstance();
  QZMPlatformIdentitySupport(std::shared_ptr<store::TrackingManager> trackingManager,
                             std::shared_ptr<store::AdvertisingIdentifierManager> identifierManager);

  // A tracking manager exists.
  bool hasAppDataConsentStatus() override;
  std::uint64_t appDataConsentStatus() override;
  // An identifier manager exists.
  bool hasLimitedAdTracking() override;
  bool limitedAdTracking() override;
  std::optional<std::string> resettableDeviceID() override;

 private:
  const std::shared_ptr<store::TrackingManager> trackingManager_;
  const std::shared_ptr<store::AdvertisingIdentifierManager> identifierManager_;
};

// What the rest of the SDK asks: the provider's answers, with a bounded wait
// for the advertising identifier.
class QZMDefaultIdentitySupport final : public QZMIdentitySupport,
                                        public std::enable_shared_from_this<QZMDefaultIdentitySupport> {
 public:
  // Made once by init on first use.
  static std::shared_ptr<QZMDefaultIdentitySupport> sharedInstance();
  // Tests install their own; nullptr makes the next use look the provider up again.
  static void setSharedInstance(std::shared_ptr<QZMDefaultIdentitySupport> support);
  // Looks the provider up by class name and logs whether it is linked.
  static std::shared_ptr<QZMDefaultIdentitySupport> init();
  // Over the given provider (nullptr: none), logging as init does.
  static std::shared_ptr<QZMDefaultIdentitySupport> initWithPlatformIdentitySupport(
      std::shared_ptr<QZMIdentitySupport> platformIdentitySupport);

  bool hasAppDataConsentStatus() override;
  std::uint64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // From iOS 14 on: no identifier or the zero UUID; before, the provider's answer.
  bool limitedAdTracking() override;
  // The provider's answer if it comes within 10 ms, else the last one fetched.
  std::optional<std::string> resettableDeviceID() override;

  // Whether the system version is at least 14.0.
  static bool iOS14OrAbove();

  const std::shared_ptr<QZMIdentitySupport>& platformIdentitySupport() const { return platformIdentitySupport_; }

  struct Token {};
  QZMDefaultIdentitySupport(Token, std::shared_ptr<QZMIdentitySupport> platformIdentitySupport);

 private:
  const std::shared_ptr<QZMIdentitySupport> platformIdentitySupport_;
  const std::shared_ptr<dispatch::Queue> queue_;
  std::mutex lock_;  // guards resettableDeviceID_
  std::optional<std::string> resettableDeviceID_;
};
