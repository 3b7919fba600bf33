#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMAnalyticsState.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventParameters.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Strings.h"

namespace {

constexpr const char* kUserIDPropertyName = "_id";
constexpr const char* kLastAdvertisingIDResetPropertyName = "_lair";
constexpr const char* kNonPersonalizedAdsPropertyName = "_npa";

void logErrorEvent(QZMEventErrorCode code, const std::string& name, const QZMObject* value) {
  QZMLogErrorEventWithName(static_cast<std::int64_t>(code), name, kQZMMaxUserPropertyNameLength, value);
}

// Whether the public rules accept the name; a refusal becomes an error event.
bool checkPublicUserPropertyName(const std::string& name) {
  QZMValidationFailureCode failure = QZMValidationFailureCode::kNone;
  if (QZMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return true;
  QZMObject value(name);
  logErrorEvent(failure == QZMValidationFailureCode::kReserved ? QZMEventErrorCode::kUserPropertyNameIsReserved
                                                               : QZMEventErrorCode::kInvalidUserPropertyName,
                name, &value);
  return false;
}

bool analyticsEnabled() { return QZMAnalytics::analyticsEnabled(); }

// The facade's own property: it switches personalised ads and sets "_npa".
void setAllowPersonalizedAds(const std::optional<QZMObject>& value) {
  QZMAnalytics::queueOperationWithBlock([value] {
    auto monitor = QZMAnalyticsMonitor();
    if (!analyticsEnabled()) {
      monitor->logWithLevel(7, 25033, "Personalized Ads property changed while Analytics is disabled");
    }
    std::optional<foundation::Object> allow;
    if (value) {
      const std::string* text = value->string();
      allow = foundation::Object(text ? foundation::textBoolValue(*text) : value->plainObject().boolValue());
    }
    QZMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(allow);
    if (!value && QZMConsentSettingsUtil::adPersonalization()) QZMConsentSettingsUtil::unsetAdPersonalization();
    if (!analyticsEnabled()) return;
    auto engine = QZMAnalyticsEngineForCall("setUserProperty");
    if (!engine) return;
    std::optional<std::int64_t> npa = engine->shouldDisableAdPersonalization();
    auto attribute = QZMUserAttribute::initWithOrigin(kQZMOriginAuto, kNonPersonalizedAdsPropertyName,
                                                      QZMValue::initWithInt64(npa.value_or(0)), foundation::now());
    if (!attribute) return;
    if (npa) {
      engine->setUserAttribute(*attribute);
    } else {
      engine->removeUserAttribute(*attribute);
    }
  });
}

}  // namespace

void QZMAnalytics::setUserPropertyString(const std::optional<QZMObject>& value, const std::string& name) {
  if (name == kQZMAllowPersonalizedAdsPropertyName) {
    setAllowPersonalizedAds(value);
    return;
  }
  if (!value) {
    removeUserAttributeForName(name);
    return;
  }
  if (!checkPublicUserPropertyName(name)) return;
  const std::string* text = value->validString();
  if (!text) {
    QZMAnalyticsMonitor()->logWithLevel(0, 25003, "User property must be NSString. Value",
                                        QZMLogContextForObject(&*value));
    return;
  }
  auto typed = QZMValue::initWithString(*text);
  if (!typed) return;
  QZMValidationFailureCode failure = QZMValidationFailureCode::kNone;
  if (QZMDataTypeValidator::isValidPublicUserAttributeValue(*typed, &failure)) {
    sharedInstance()->setInternalUserProperty(QZMObject(*typed), name, kQZMOriginApp);
  } else if (failure == QZMValidationFailureCode::kTooLong) {
    logErrorEvent(QZMEventErrorCode::kUserPropertyValueTooLong, name, &*value);
  }
}

void QZMAnalytics::setUserID(const std::optional<QZMObject>& userID) {
  if (!userID) {
    removeInternalUserAttributeForName(kUserIDPropertyName);
    removeInternalUserAttributeForName(kLastAdvertisingIDResetPropertyName);
    return;
  }
  if (!userID->validString()) {
    QZMAnalyticsMonitor()->logWithLevel(0, 25004, "User ID must be NSString. User ID",
                                        QZMLogContextForObject(&*userID));
    return;
  }
  sharedInstance()->setInternalUserProperty(userID, kUserIDPropertyName, kQZMOriginApp);
}

void QZMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (QZMDataTypeValidator::isValidPublicUserAttributeName(name)) removeInternalUserAttributeForName(name);
}

void QZMAnalytics::setUserAttributeNumber(const QZMObject& number, const std::string& name) {
  if (!checkPublicUserPropertyName(name)) return;
  if (!number.isNumber()) return;
  const foundation::Object* plain = number.plain();
  QZMValue value = plain && plain->isFloating() ? QZMValue::initWithDouble(plain->doubleValue())
                   : plain                      ? QZMValue::initWithInt64(plain->int64Value())
                                                : *number.value();
  sharedInstance()->setInternalUserProperty(QZMObject(value), name, kQZMOriginAuto);
}

void QZMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = QZMUserAttribute::initWithOrigin("", name, QZMValue::initWithDouble(0.0), foundation::now());
  if (!attribute) return;
  queueOperationWithBlock([attribute = *attribute] {
    if (auto engine = QZMAnalyticsEngineForCall("removeUserProperty")) engine->removeUserAttribute(attribute);
  });
}

void QZMAnalytics::setInternalUserProperty(const std::optional<QZMObject>& value, const std::string& name,
                                           const std::string& origin) {
  QZMObject nameObject(name);
  if (!QZMDataTypeValidator::isValidInternalUserAttributeName(name)) {
    logErrorEvent(QZMEventErrorCode::kInvalidUserPropertyName, name, &nameObject);
    return;
  }
  std::size_t originLength = foundation::isValidUTF8(origin) ? foundation::codePointCount(origin) : 0;
  if (originLength < 1 || originLength > static_cast<std::size_t>(kQZMMaxEventOriginLength)) {
    QZMAnalyticsMonitor()->logWithLevel(2, 25005, "Unable to set user property. Origin is invalid. Origin, name",
                                        QZMLogContext(origin), QZMLogContext(name));
    return;
  }
  if (!value) {
    removeInternalUserAttributeForName(name);
    return;
  }
  auto typed = QZMValue::valueFromObject(&*value);
  if (!typed) return;
  QZMValidationFailureCode failure = QZMValidationFailureCode::kNone;
  if (QZMDataTypeValidator::isValidInternalUserAttributeValue(*typed, name, &failure)) {
    auto attribute = QZMUserAttribute::initWithOrigin(origin, name, *typed, foundation::now());
    if (!attribute) return;
    queueOperationWithBlock([attribute = *attribute] {
      if (auto engine = QZMAnalyticsEngineForCall("setUserProperty")) engine->setUserAttribute(attribute);
    });
  } else if (failure == QZMValidationFailureCode::kTooLong) {
    std::optional<QZMObject> shown;
    if (const std::string* text = typed->stringValue()) {
      shown = QZMObject(*text);
    } else if (value->isNumber()) {
      shown = QZMObject(typed->description());
    }
    logErrorEvent(QZMEventErrorCode::kUserPropertyValueTooLong, name, shown ? &*shown : nullptr);
  }
}

void QZMAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> queue,
                                                   std::function<void(const Dictionary&)> callback) {
  queueOperationWithBlock([includeInternal, queue, callback] {
    auto monitor = QZMAnalyticsMonitor();
    if (!callback) {
      monitor->logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      monitor->logWithLevel(2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      dispatch::Queue::main()->async([callback] { callback({}); });
      return;
    }
    if (!analyticsEnabled()) {
      monitor->logWithLevel(5, 25008, "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback({}); });
      return;
    }
    auto engine = QZMAnalyticsEngineForCall("userProperties");
    if (!engine) {
      queue->async([callback] { callback({}); });
      return;
    }
    engine->userPropertiesIncludingInternal(includeInternal, [queue, callback](const Dictionary& properties) {
      queue->async([callback, properties] { callback(properties); });
    });
  });
}

void QZMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> queue,
                                              std::function<void(std::int32_t)> callback) {
  auto monitor = QZMAnalyticsMonitor();
  if (origin.empty()) {
    monitor->logWithLevel(2, 25009,
                          "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    monitor->logWithLevel(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
                          QZMLogContext(origin));
    return;
  }
  if (!callback) {
    monitor->logWithLevel(
        2, 25011, "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin",
        QZMLogContext(origin));
    return;
  }
  queueOperationWithBlock([origin, queue, callback] {
    auto engine = QZMAnalyticsEngineForCall("maxUserProperties");
    if (!engine) {
      queue->async([callback] { callback(0); });
      return;
    }
    engine->maxUserPropertiesForOrigin(origin, [queue, callback](std::int32_t count) {
      queue->async([callback, count] { callback(count); });
    });
  });
}
