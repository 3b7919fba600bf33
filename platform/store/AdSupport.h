// The platform's advertising services as programs reach them at run time:
// the advertising-identifier manager and the tracking-authorisation manager.
// A desktop has neither, so both answer nullptr unless a host (or a test)
// installed one. A manager answers nullopt for a question it does not know.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace store {

class AdvertisingIdentifierManager {
 public:
  virtual ~AdvertisingIdentifierManager() = default;
  virtual std::optional<bool> isAdvertisingTrackingEnabled() const = 0;
  // A UUID string; all zeros when the user limits tracking.
  virtual std::optional<std::string> advertisingIdentifier() const = 0;
};

// Tracking authorisation as the platform numbers it.
enum TrackingAuthorizationStatus : std::uint64_t {
  kTrackingNotDetermined = 0,
  kTrackingRestricted = 1,
  kTrackingDenied = 2,
  kTrackingAuthorized = 3,
};

class TrackingManager {
 public:
  virtual ~TrackingManager() = default;
  virtual std::optional<std::uint64_t> trackingAuthorizationStatus() const = 0;
};

std::shared_ptr<AdvertisingIdentifierManager> sharedAdvertisingIdentifierManager();
std::shared_ptr<TrackingManager> trackingManager();
// nullptr removes the service again.
void setSharedAdvertisingIdentifierManager(std::shared_ptr<AdvertisingIdentifierManager> manager);
void setTrackingManager(std::shared_ptr<TrackingManager> manager);

}  // namespace store
