#include "measurement/engine/QZMMeasurement.h"

#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Queue.h"

// User properties are not stored yet: none is set, none can be read, and
// every origin may set the same number of them.

void QZMMeasurement::setUserAttribute(const QZMUserAttribute& /*attribute*/) {}

void QZMMeasurement::removeUserAttribute(const QZMUserAttribute& /*attribute*/) {}

std::optional<std::int64_t> QZMMeasurement::shouldDisableAdPersonalization() { return std::nullopt; }

void QZMMeasurement::userPropertiesIncludingInternal(bool /*includeInternal*/,
                                                     std::function<void(const foundation::Dictionary&)> callback) {
  if (callback) dispatch::Queue::global()->async([callback] { callback({}); });
}

void QZMMeasurement::maxUserPropertiesForOrigin(const std::string& /*origin*/,
                                                std::function<void(std::int32_t)> callback) {
  if (callback) dispatch::Queue::global()->async([callback] { callback(25); });
}
