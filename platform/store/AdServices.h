// The platform's ad attribution service as programs find it at run time: a
// class looked up by name that hands out this installation's attribution
// token. A desktop has none, so the lookup answers nullptr unless a host (or
// a test) installed one.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Error.h"

namespace store {

inline constexpr const char* kAdServicesErrorDomain = "AAAttributionErrorDomain";

class AAAttribution {
 public:
  virtual ~AAAttribution() = default;
  virtual foundation::Result<std::string> attributionTokenWithError() = 0;

  // The installed service, or nullptr.
  static std::shared_ptr<AAAttribution> lookUp();
  // nullptr removes it again.
  static void install(std::shared_ptr<AAAttribution> service);
};

// A service that answers a fixed token, or a fixed error, and counts the
// requests.
class AAFixedAttribution final : public AAAttribution {
 public:
  explicit AAFixedAttribution(foundation::Result<std::string> answer) : answer_(std::move(answer)) {}
  foundation::Result<std::string> attributionTokenWithError() override;
  int requestCount() const;

 private:
  const foundation::Result<std::string> answer_;
  mutable std::mutex mutex_;
  int requests_ = 0;
};

}  // namespace store
