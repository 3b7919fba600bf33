#include "platform/store/AdServices.h"

namespace store {
namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<AAAttribution> service;
};
Installed& installed() {
  static auto* i = new Installed;
  return *i;
}

}  // namespace

std::shared_ptr<AAAttribution> AAAttribution::lookUp() {
  std::lock_guard lock(installed().mutex);
  return installed().service;
}

void AAAttribution::install(std::shared_ptr<AAAttribution> service) {
  std::lock_guard lock(installed().mutex);
  installed().service = std::move(service);
}

foundation::Result<std::string> AAFixedAttribution::attributionTokenWithError() {
  std::lock_guard lock(mutex_);
  ++requests_;
  return answer_;
}

int AAFixedAttribution::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace store
