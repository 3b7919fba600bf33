#include "measurement/identity/QZMIdentifiers.h"

#include <functional>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/identity/QZMIdentity.h"

namespace {

void log(std::int64_t code, std::string_view message) { QZMMeasurementBase::monitor()->logWithLevel(2, code, message); }

using Getter = std::function<std::optional<std::string>(QZMIdentity&)>;

// The running engine's identity answers when there is one, else the shared
// identity; a missing answer is logged with the code of the one asked.
std::optional<std::string> fromIdentity(const Getter& getter, std::int64_t engineCode, std::string_view engineMessage,
                                        std::int64_t sharedCode, std::string_view sharedMessage) {
  if (auto engine = QZMMeasurementBase::sharedInstance()) {
    if (auto identity = engine->identity()) {
      auto value = getter(*identity);
      if (!value) log(engineCode, engineMessage);
      return value;
    }
  }
  auto identity = QZMIdentity::sharedInstance();
  std::optional<std::string> value = identity ? getter(*identity) : std::nullopt;
  if (!value) log(sharedCode, sharedMessage);
  return value;
}

std::atomic<std::int64_t>& adEventCounter() {
  static auto* counter = new std::atomic<std::int64_t>(QZMNumericUtil::randomInt64());
  return *counter;
}

}  // namespace

std::shared_ptr<QZMIdentifiers> QZMIdentifiers::sharedInstance() {
  static const auto* instance = new std::shared_ptr<QZMIdentifiers>(std::make_shared<QZMIdentifiers>());
  return *instance;
}

std::optional<std::string> QZMIdentifiers::dralixAppID() const {
  return fromIdentity([](QZMIdentity& identity) { return identity.appIDFromDXV(); }, 37000,
                      "Unable to fetch Dralix App ID from identity", 37001,
                      "Unable to fetch Dralix App ID from default options");
}

std::optional<std::string> QZMIdentifiers::analyticsAppID() const {
  auto identity = QZMMeasurementBase::sharedInstance() ? QZMMeasurementBase::sharedInstance()->identity() : nullptr;
  if (!identity) identity = QZMIdentity::sharedInstance();
  std::optional<std::string> appID = identity ? identity->appIDFromDXV() : std::nullopt;
  if (!appID || appID->empty()) {
    log(37005, "Unable to fetch effective App ID from identity");
    return std::nullopt;
  }
  return appID;
}

std::optional<std::string> QZMIdentifiers::appInstanceID() const {
  return fromIdentity([](QZMIdentity& identity) { return identity.appInstanceID(); }, 37002,
                      "Unable to fetch App Instance ID from identity", 37003,
                      "Unable to fetch App Instance ID from identity shared instance");
}

std::string QZMIdentifiers::adEventID() { return std::to_string(adEventCounter().fetch_add(1)); }

std::string QZMIdentifiers::libraryVersion() const { return std::to_string(QZMIdentity::kestrometerLibraryVersion()); }

std::optional<std::string> QZMIdentifiers::origin() const {
  std::lock_guard lock(mutex_);
  return origin_;
}

void QZMIdentifiers::setOrigin(std::string_view origin) {
  if (origin.empty()) {
    log(37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard lock(mutex_);
  origin_ = std::string(origin);
}
