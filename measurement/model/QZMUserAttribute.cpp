#include "measurement/model/QZMUserAttribute.h"

#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/proto/NANOFieldAccess.h"

const QZMNameMap& QZMInternalUserPropertyNameMap() {
  static const auto* map = new QZMNameMap{
      {"zarnholt_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"qvz_session_id", "_sid"},
      {"qvz_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  };
  return *map;
}

std::optional<QZMUserAttribute> QZMUserAttribute::initWithOrigin(std::string origin, std::string name,
                                                                 QZMValue value, double lastSetTimestamp) {
  if (!QZMDataTypeValidator::isValidInternalUserAttributeName(name) ||
      !QZMDataTypeValidator::isValidInternalUserAttributeValue(value, name)) {
    return std::nullopt;
  }
  return QZMUserAttribute(std::move(origin), std::move(name), std::move(value), lastSetTimestamp);
}

bool QZMUserAttribute::isPublic() const { return !name_.empty() && name_.front() != '_'; }

std::unique_ptr<QZMPBUserAttribute> QZMUserAttribute::protoUserAttribute() const {
  std::unique_ptr<QZMPBUserAttribute> message = QZMPBUserAttribute::initWithMessageInfo(nullptr);
  if (!message) return nullptr;
  NANOSetString(message.get(), QZMPBUserAttribute::kName, name_);
  if (value_.isDouble()) {
    NANOSetDouble(message.get(), QZMPBUserAttribute::kDoubleValue, value_.doubleValue());
  } else if (value_.isInt64()) {
    NANOSetInt64(message.get(), QZMPBUserAttribute::kIntValue, value_.int64Value());
  } else if (const std::string* text = value_.stringValue()) {
    NANOSetString(message.get(), QZMPBUserAttribute::kStringValue, *text);
  }
  NANOSetInt64(message.get(), QZMPBUserAttribute::kSetTimestampMillis, QZMMillisecondsFromSeconds(lastSetTimestamp_));
  return message;
}

foundation::Object QZMStoredObjectFromValue(const QZMValue& value) {
  if (const std::string* text = value.stringValue()) return *text;
  if (value.isDouble()) return value.doubleValue();
  if (value.isArray()) return QZMObject(value).plainObject();
  return value.int64Value();
}

QZMStoredUserAttribute QZMUserAttribute::stored() const {
  return {origin_, name_, QZMStoredObjectFromValue(value_), lastSetTimestamp_};
}

std::optional<QZMUserAttribute> QZMUserAttribute::fromStored(const QZMStoredUserAttribute& stored) {
  QZMObject object(stored.value);
  auto value = QZMValue::valueFromObject(&object);
  if (!value) return std::nullopt;
  return initWithOrigin(stored.origin, stored.name, std::move(*value), stored.setTimestamp);
}

foundation::Result<std::vector<QZMUserAttribute>> QZMUserAttributesIncludingInternal(QZMDatabase& database,
                                                                                      bool includingInternal) {
  auto stored = database.allUserAttributes();
  if (!stored) return stored.error();
  std::vector<QZMUserAttribute> attributes;
  for (const auto& row : *stored) {
    if (!includingInternal) {
      std::string_view name = row.name;
      if (name.starts_with("_") || QZMDataTypeValidator::hasReservedPrefixes(name) ||
          QZMInternalUserPropertyNameMap().contains(name)) {
        continue;
      }
    }
    if (auto attribute = QZMUserAttribute::fromStored(row)) attributes.push_back(std::move(*attribute));
  }
  return attributes;
}

foundation::Result<std::vector<QZMUserAttribute>> QZMAllLifetimeValueUserAttributes(QZMDatabase& database) {
  auto stored = database.allLifetimeValueUserAttributes();
  if (!stored) return stored.error();
  std::vector<QZMUserAttribute> attributes;
  for (const auto& row : *stored) {
    auto attribute = QZMUserAttribute::fromStored(row);
    if (!attribute) return qzm_errorWithCode(3, "Received lifetime value user property that does not convert");
    attributes.push_back(std::move(*attribute));
  }
  return attributes;
}
