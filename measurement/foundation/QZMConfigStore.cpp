#include "measurement/foundation/QZMConfigStore.h"

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"

std::optional<foundation::Array> QZMConfigStore::arrayForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isArray()) return std::nullopt;
  return *value->array();
}

std::optional<foundation::Dictionary> QZMConfigStore::dictionaryForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->dictionary();
}

std::optional<std::string> QZMConfigStore::stringForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->string();
}

std::optional<foundation::Object> QZMConfigStore::numberForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  return value;
}

std::int64_t QZMConfigStore::integerForKey(std::string_view key) const {
  auto value = numberForKey(key);
  return value ? value->int64Value() : 0;
}

float QZMConfigStore::floatForKey(std::string_view key) const {
  auto value = numberForKey(key);
  return value ? value->floatValue() : 0.0f;
}

double QZMConfigStore::doubleForKey(std::string_view key) const {
  auto value = numberForKey(key);
  return value ? value->doubleValue() : 0.0;
}

bool QZMConfigStore::boolForKey(std::string_view key) const {
  auto value = numberForKey(key);
  return value && value->boolValue();
}

bool QZMConfigStore::isValidKey(std::string_view key) { return !key.empty() && foundation::isValidUTF8(key); }

bool QZMConfigStore::isValidValue(const foundation::Object& value) {
  // Encoding is the one full test: it refuses null anywhere inside, text that
  // is not UTF-8 and dates a property list cannot hold. A value that passed
  // here can never make a later file write fail.
  return !value.isNull() && foundation::encodePropertyList(value).ok();
}
