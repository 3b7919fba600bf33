// The typed key-value protocol of the SDK's small stores. Keys are non-empty
// UTF-8 strings; values are property-list objects. A missing value, or one of
// another type, reads as the type's empty value (nullopt, 0, 0.0, false); a
// typed reader never converts between strings and numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

class QZMConfigStore {
 public:
  virtual ~QZMConfigStore() = default;

  virtual std::optional<foundation::Object> objectForKey(std::string_view key) const = 0;
  // A null value removes the key. Invalid keys and values are refused with a
  // log line and change nothing.
  virtual void setObject(const foundation::Object& value, std::string_view key) = 0;
  virtual void clearAllData() = 0;
  virtual void synchronize() = 0;

  std::optional<foundation::Array> arrayForKey(std::string_view key) const;
  std::optional<foundation::Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  // The stored number as it is (Boolean, integer or floating).
  std::optional<foundation::Object> numberForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;

  void setFloat(float value, std::string_view key) { setObject(foundation::Object(value), key); }
  void setDouble(double value, std::string_view key) { setObject(foundation::Object(value), key); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(foundation::Object(value), key); }
  void setBool(bool value, std::string_view key) { setObject(foundation::Object(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(foundation::Object(), key); }

  // Whether a key may be stored: non-empty, valid UTF-8.
  static bool isValidKey(std::string_view key);
  // Whether a value may be stored: a property-list object that encodes.
  static bool isValidValue(const foundation::Object& value);
};
