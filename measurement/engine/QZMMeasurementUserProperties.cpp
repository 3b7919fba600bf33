#include <memory>
#include <string>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMEventParameters.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Strings.h"

namespace {

// Beside the public limit, each origin may keep this many properties.
constexpr std::int64_t kMaxUserPropertiesPerOrigin = 25;

constexpr const char* kDefaultAllowAdPersonalizationKey = "DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
constexpr const char* kRegistrationWithAdNetworkKey = "DRALIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";

std::int64_t integerOf(const QZMValue& value) {
  if (value.isInt64()) return value.int64Value();
  if (value.isDouble()) return QZMSaturatingCast<std::int64_t>(value.doubleValue());
  return 0;
}

}  // namespace

// ---- Any thread ----

void QZMMeasurement::setUserAttribute(const QZMUserAttribute& attribute) {
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:2976", [weak = weak_from_this(), attribute] {
    if (auto self = weak.lock()) self->setUserAttributeOnWorkerQueue(attribute);
  });
}

void QZMMeasurement::removeUserAttribute(const QZMUserAttribute& attribute) {
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:2931", [weak = weak_from_this(), attribute] {
    if (auto self = weak.lock()) self->removeUserAttributeOnWorkerQueue(attribute);
  });
}

void QZMMeasurement::userAttributeWithName(const std::string& name,
                                           std::function<void(const std::optional<QZMUserAttribute>&)> callback) {
  if (!callback) {
    monitor()->logWithLevel(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:3117", [weak = weak_from_this(), name, callback] {
    auto self = weak.lock();
    if (!self) return;
    std::optional<QZMUserAttribute> attribute;
    if (auto db = self->database()) {
      auto stored = db->userAttributeWithName(name);
      if (!stored) {
        monitor()->logWithLevel(1, 23089, "Unable to get user attribute by name. Name",
                                QZMUserPropertyNameForLogging(name));
      } else if (*stored) {
        attribute = QZMUserAttribute::fromStored(**stored);
      }
    }
    dispatch::Queue::global()->async([callback, attribute] { callback(attribute); });
  });
}

void QZMMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(const foundation::Dictionary&)> callback) {
  if (!callback) {
    monitor()->logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  scheduler()->scheduleOnWorkerQueueBlockID("QZMMeasurement:3172", [weak = weak_from_this(), includeInternal,
                                                                    callback] {
    auto self = weak.lock();
    if (!self) return;
    foundation::Dictionary properties;
    auto db = self->database();
    auto attributes = db ? QZMUserAttributesIncludingInternal(*db, includeInternal)
                         : foundation::Result<std::vector<QZMUserAttribute>>(std::vector<QZMUserAttribute>());
    if (!attributes) {
      monitor()->logWithLevel(1, 23091, "Unable to retrieve user properties. Error", attributes.error());
    } else {
      for (const QZMUserAttribute& attribute : *attributes) {
        const QZMValue& value = attribute.value();
        if (attribute.name().empty()) {
          monitor()->logWithLevel(3, 23092, "Cannot add invalid public user property name or value.");
        } else if (value.isString()) {
          properties.insert_or_assign(attribute.name(), foundation::Object(*value.stringValue()));
        } else if (value.isDouble()) {
          properties.insert_or_assign(attribute.name(), foundation::Object(value.doubleValue()));
        } else if (value.isInt64()) {
          properties.insert_or_assign(attribute.name(), foundation::Object(value.int64Value()));
        }
      }
    }
    dispatch::Queue::global()->async([callback, properties = std::move(properties)] { callback(properties); });
  });
}

void QZMMeasurement::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(std::int32_t)> callback) {
  if (origin.empty()) {
    monitor()->logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor()->logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  dispatch::Queue::global()->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
}

// ---- Worker queue ----

void QZMMeasurement::setUserAttributeOnWorkerQueue(const QZMUserAttribute& attribute) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!isEnabled()) {
    monitor()->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

void QZMMeasurement::removeUserAttributeOnWorkerQueue(const QZMUserAttribute& attribute) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  auto monitor = QZMMeasurement::monitor();
  if (!isEnabled()) {
    monitor->logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  const std::string& name = attribute.name();
  if (name == "_id") {
    if (auto currentIdentity = identity()) currentIdentity->resetSessionStitchingToken();
  }
  auto db = database();
  foundation::Status deleted = db ? db->deleteUserAttributeWithName(name)
                                  : foundation::Status(foundation::Error("QZMMeasurement", 2, "Database not open"));
  if (!deleted) {
    monitor->logWithLevel(1, 23077, "Unable to remove user property. Name, error", QZMUserPropertyNameForLogging(name),
                          deleted.error());
    return;
  }
  monitor->logWithLevel(7, 23078, "User property removed. Name", QZMUserPropertyNameForLogging(name));
}

bool QZMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const QZMUserAttribute& attribute) {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  auto monitor = QZMMeasurement::monitor();
  const std::string& name = attribute.name();
  const std::string displayName = QZMUserPropertyNameForLogging(name);
  auto db = database();
  if (!db) {
    monitor->logWithLevel(1, 23085, "Unable to set user property. Name, value, error", displayName,
                          attribute.value().description(), "Database not open");
    return false;
  }

  auto exists = db->containsUserAttributeWithName(name);
  if (!exists) {
    monitor->logWithLevel(1, 23082, "Unable to query existence of user property. Name, error", displayName,
                          exists.error());
    return false;
  }
  if (name == "_id" && *exists) {
    auto stored = db->userAttributeWithName(name);
    std::optional<QZMUserAttribute> previous =
        stored && *stored ? QZMUserAttribute::fromStored(**stored) : std::nullopt;
    if (!previous || previous->value().description() != attribute.value().description()) {
      if (auto currentIdentity = identity()) currentIdentity->resetSessionStitchingToken();
      (void)db->deleteUserAttributeWithName("_lair");
    }
  }
  if (name == "_npa") updateAdPersonalizationConsentFromNPAValue(integerOf(attribute.value()));

  if (!*exists) {
    auto count = attribute.isPublic() ? db->publicUserAttributeCount() : db->userAttributeCountForOrigin(attribute.origin());
    if (!count) {
      monitor->logWithLevel(1, 23083, "Unable to query user property count. Origin, error", attribute.origin(),
                            count.error());
      return false;
    }
    const std::int64_t limit =
        attribute.isPublic() ? std::int64_t{remoteConfig()->maxPublicUserProperties()} : kMaxUserPropertiesPerOrigin;
    if (*count >= limit) {
      monitor->logWithLevel(3, 23084,
                            "Unable to set user property. Reached limit on set user properties for origin. Origin, "
                            "name, value",
                            attribute.origin(), displayName, attribute.value().description());
      QZMLogErrorEvent(9);
      return false;
    }
  }

  if (foundation::Status updated = db->updateUserAttribute(attribute.stored()); !updated) {
    monitor->logWithLevel(1, 23085, "Unable to set user property. Name, value, error", displayName,
                          attribute.value().description(), updated.error());
    return false;
  }
  monitor->logWithLevel(7, 23087, "User property set. Name, value", displayName, attribute.value().description());
  return true;
}

std::optional<std::int64_t> QZMMeasurement::shouldDisableAdPersonalization() {
  if (auto allowed = persistedConfig()->allowPersonalizedAds(); allowed && allowed->isNumber()) {
    return allowed->boolValue() ? 0 : 1;
  }
  if (auto settings = QZMConsentSettingsUtil::consentSettings();
      settings && settings->contains(kQZMConsentTypeAdPersonalization)) {
    if (auto personalization = QZMConsentSettingsUtil::adPersonalization()) return *personalization ? 0 : 1;
  }
  if (const foundation::Object* plist =
          foundation::Bundle::main()->objectForInfoDictionaryKey(kDefaultAllowAdPersonalizationKey)) {
    if (!plist->isNumber()) return 0;
    foundAdPersonalizationPlistFlag_ = true;
    return plist->boolValue() ? 0 : 1;
  }
  if (auto defaults = QZMConsentSettingsUtil::defaultSettings()) {
    if (auto value = defaults->find(kQZMConsentTypeAdPersonalization);
        value != defaults->end() && value->second.isString()) {
      std::string state = foundation::lowercased(*value->second.string());
      if (state == kQZMConsentDenied) return 1;
      if (state == kQZMConsentGranted) return 0;
    }
  }
  return std::nullopt;
}

bool QZMMeasurement::shouldAllowAdNetworkRegistration() {
  const foundation::Object* value = foundation::Bundle::main()->objectForInfoDictionaryKey(kRegistrationWithAdNetworkKey);
  return value && value->isNumber() ? value->boolValue() : true;
}

void QZMMeasurement::updateAdPersonalizationConsentFromNPAValue(std::int64_t npaValue) {
  const bool disable = npaValue != 0;
  // Consent that already agrees (granted against NPA 0, denied against 1) stays.
  if (auto current = QZMConsentSettingsUtil::adPersonalization(); current && *current != disable) return;
  QZMConsentSettingsUtil::updateSettings(
      {{kQZMConsentTypeAdPersonalization, foundation::Object(disable ? kQZMConsentDenied : kQZMConsentGranted)}});
  if (auto allowed = persistedConfig()->allowPersonalizedAds(); allowed) {
    QZMConsentSettingsUtil::setDiagnosticSource(5, kQZMConsentTypeAdPersonalization);
  } else if (foundAdPersonalizationPlistFlag()) {
    QZMConsentSettingsUtil::setDiagnosticSource(3, kQZMConsentTypeAdPersonalization);
  } else if (auto defaults = QZMConsentSettingsUtil::defaultSettings();
             defaults && defaults->contains(kQZMConsentTypeAdPersonalization)) {
    QZMConsentSettingsUtil::setDiagnosticSource(1, kQZMConsentTypeAdPersonalization);
  }
}

void QZMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
  auto db = database();
  if (!db) return;
  auto hasUserID = db->containsUserAttributeWithName("_id");
  if (!hasUserID || !*hasUserID) return;
  auto hasReset = db->containsUserAttributeWithName("_lair");
  if (!hasReset || *hasReset) return;
  if (auto reset = QZMUserAttribute::initWithOrigin("auto", "_lair", QZMValue::initWithInt64(1), foundation::now())) {
    setUserAttributeOnWorkerQueue(*reset);
  }
  if (auto currentIdentity = identity()) currentIdentity->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

bool QZMMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("hasUserPropertyUserIDOnWorkerQueue");
  auto db = database();
  if (!db) return false;
  auto exists = db->containsUserAttributeWithName("_id");
  return exists && *exists;
}
