#include "platform/store/AdSupport.h"

#include <mutex>

namespace store {
namespace {

struct Services {
  std::mutex mutex;
  std::shared_ptr<AdvertisingIdentifierManager> identifierManager;
  std::shared_ptr<TrackingManager> trackingManager;
};
Services& services() {
  static auto* s = new Services;
  return *s;
}

}  // namespace

std::shared_ptr<AdvertisingIdentifierManager> sharedAdvertisingIdentifierManager() {
  std::lock_guard lock(services().mutex);
  return services().identifierManager;
}

std::shared_ptr<TrackingManager> trackingManager() {
  std::lock_guard lock(services().mutex);
  return services().trackingManager;
}

void setSharedAdvertisingIdentifierManager(std::shared_ptr<AdvertisingIdentifierManager> manager) {
  std::lock_guard lock(services().mutex);
  services().identifierManager = std::move(manager);
}

void setTrackingManager(std::shared_ptr<TrackingManager> manager) {
  std::lock_guard lock(services().mutex);
  services().trackingManager = std::move(manager);
}

}  // namespace store
