// Typed values of event parameters and user properties, and the loosely
// typed objects they are made from.
//
// A QZMValue is an immutable box around a double, a 64-bit integer, a string
// or an array. Callers hand in parameter dictionaries whose entries are
// either plain objects (strings, numbers, arrays of dictionaries, ...) or
// values already typed; QZMObject holds either, so the cleaning code can tell
// a value it must still check from one that was typed before.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "measurement/foundation/QZMLogContext.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "platform/foundation/Object.h"

class QZMObject;
using QZMArray = std::vector<QZMObject>;
using QZMDictionary = std::map<std::string, QZMObject, std::less<>>;

// The kind of a QZMValue; stored values keep these numbers.
enum class QZMValueType : std::int64_t { kDouble = 0, kInt64 = 1, kString = 2, kArray = 3 };

class QZMValue {
 public:
  // What a value wraps. An array is shared between copies: values never change.
  using Storage = std::variant<double, std::int64_t, std::string, std::shared_ptr<const QZMArray>>;

  // Arrays not allowed.
  static std::optional<QZMValue> valueFromObject(const QZMObject* object);
  // nullptr is nil (code 35000). A value comes back as it is; a string, a
  // number (floating storage gives a double, every other number, Booleans
  // too, an int64) and, when allowed, an array are wrapped; anything else is
  // refused with code 35001. Text that is not UTF-8 is not a string.
  static std::optional<QZMValue> valueFromObject(const QZMObject* object, bool allowArray);

  static QZMValue initWithDouble(double value);
  static QZMValue initWithInt64(std::int64_t value);
  // nullopt for invalid UTF-8 (code 35003).
  static std::optional<QZMValue> initWithString(std::string_view text);
  // nil (35002) or an object that is not a string (35003) give nullopt.
  static std::optional<QZMValue> initWithString(const QZMObject* object);
  static QZMValue initWithArray(QZMArray items);
  // nil (35004) or an object that is not an array (35005) give nullopt.
  static std::optional<QZMValue> initWithArray(const QZMObject* object);
  // Stores both as given, without checking that they agree.
  static QZMValue initWithValueType(QZMValueType valueType, Storage value);

  QZMValueType valueType() const { return valueType_; }
  bool isDouble() const { return valueType_ == QZMValueType::kDouble; }
  bool isInt64() const { return valueType_ == QZMValueType::kInt64; }
  bool isString() const { return valueType_ == QZMValueType::kString; }
  bool isArray() const { return valueType_ == QZMValueType::kArray; }

  // Each gives its kind's content only for a value of that type; a double is
  // never read as an integer or the reverse.
  double doubleValue() const;
  std::int64_t int64Value() const;
  const std::string* stringValue() const;
  const QZMArray* arrayValue() const;
  const Storage& storage() const { return value_; }

  // The wrapped object's text.
  std::string description() const;
  // Same type and equal wrapped objects (NaN equals NaN).
  bool operator==(const QZMValue& other) const;
  std::size_t hash() const;

 private:
  QZMValue(QZMValueType valueType, Storage value) : valueType_(valueType), value_(std::move(value)) {}

  QZMValueType valueType_;
  Storage value_;
};

// A parameter or attribute object as a caller may hand it over: a plain
// object (string, number, null, data or date), a typed value, an array or a
// dictionary. Arrays and dictionaries of plain objects become QZMArray and
// QZMDictionary, so typed values may sit at any depth.
class QZMObject {
 public:
  QZMObject() = default;  // a plain null
  template <class T>
    requires std::constructible_from<foundation::Object, T&&>
  QZMObject(T&& value) : QZMObject(Plain{}, foundation::Object(std::forward<T>(value))) {}
  QZMObject(QZMValue value) : value_(std::move(value)) {}
  QZMObject(QZMArray array) : value_(std::move(array)) {}
  QZMObject(QZMDictionary dictionary) : value_(std::move(dictionary)) {}

  const QZMValue* value() const { return std::get_if<QZMValue>(&value_); }
  const QZMArray* array() const { return std::get_if<QZMArray>(&value_); }
  const QZMDictionary* dictionary() const { return std::get_if<QZMDictionary>(&value_); }
  // A plain object other than an array or a dictionary, or nullptr.
  const foundation::Object* plain() const { return std::get_if<foundation::Object>(&value_); }
  // Plain text, valid UTF-8 or not; nullptr for anything else.
  const std::string* string() const;
  // Plain text that is valid UTF-8: the only text the checks accept as a string.
  const std::string* validString() const;
  bool isNumber() const;

  // The object's type for log lines: "QZMValue", "NSString", "NSNumber",
  // "NSArray", "NSDictionary", "NSNull", "NSData", "NSDate", or
  // "InvalidUTF8String" for text that is not UTF-8.
  std::string className() const;
  std::string description() const;
  // A plain copy: values give their wrapped objects.
  foundation::Object plainObject() const;

  bool operator==(const QZMObject& other) const;

 private:
  struct Plain {};
  QZMObject(Plain, foundation::Object object);

  std::variant<foundation::Object, QZMValue, QZMArray, QZMDictionary> value_;
};

// Event parameters once cleaned: every entry a typed value.
using QZMParameters = std::map<std::string, QZMValue, std::less<>>;
QZMDictionary QZMDictionaryFromParameters(const QZMParameters& parameters);

// A monitor context for an object: text and numbers as they are, anything
// else by its description.
QZMLogContext QZMLogContextForObject(const QZMObject* object);

template <>
struct std::hash<QZMValue> {
  std::size_t operator()(const QZMValue& value) const { return value.hash(); }
};
