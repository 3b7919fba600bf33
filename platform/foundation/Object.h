// The object model shared by the whole SDK: null, Boolean, 64-bit integer,
// double, UTF-8 string, bytes, date, array and string-keyed dictionary. A
// number remembers whether it was made as a Boolean, an integer or a floating
// value, so property lists and JSON give back the kind they were given.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace foundation {

class Object;
using Array = std::vector<Object>;
using Dictionary = std::map<std::string, Object, std::less<>>;
using Data = std::vector<std::uint8_t>;

// An instant as seconds since 1970.
struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date& other) const = default;
};

struct Null {
  bool operator==(const Null&) const = default;
};

class Object {
 public:
  enum class Kind { null, boolean, integer, floating, string, data, date, array, dictionary };

  Object() = default;
  Object(std::nullptr_t) {}
  Object(bool value) : value_(value) {}
  Object(int value) : value_(static_cast<std::int64_t>(value)) {}
  Object(long value) : value_(static_cast<std::int64_t>(value)) {}
  Object(long long value) : value_(static_cast<std::int64_t>(value)) {}
  Object(unsigned value) : value_(static_cast<std::int64_t>(value)) {}
  Object(double value) : value_(value) {}
  Object(float value) : value_(static_cast<double>(value)) {}
  Object(const char* value) : value_(std::string(value)) {}
  Object(std::string value) : value_(std::move(value)) {}
  Object(std::string_view value) : value_(std::string(value)) {}
  Object(Data value) : value_(std::move(value)) {}
  Object(Date value) : value_(value) {}
  Object(Array value) : value_(std::move(value)) {}
  Object(Dictionary value) : value_(std::move(value)) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNull() const { return kind() == Kind::null; }
  bool isBool() const { return kind() == Kind::boolean; }
  bool isInteger() const { return kind() == Kind::integer; }
  bool isFloating() const { return kind() == Kind::floating; }
  // Boolean, integer and floating values are all numbers.
  bool isNumber() const { return isBool() || isInteger() || isFloating(); }
  bool isString() const { return kind() == Kind::string; }
  bool isData() const { return kind() == Kind::data; }
  bool isDate() const { return kind() == Kind::date; }
  bool isArray() const { return kind() == Kind::array; }
  bool isDictionary() const { return kind() == Kind::dictionary; }

  // Numeric views of any number: a Boolean is 0 or 1; a floating value is
  // truncated toward zero and clamped to the int64 range (NaN gives 0).
  // Non-numbers give 0, 0.0 and false.
  std::int64_t int64Value() const;
  double doubleValue() const;
  float floatValue() const { return static_cast<float>(doubleValue()); }
  bool boolValue() const;

  // Typed access; nullptr when the object is of another kind.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const Data* data() const { return std::get_if<Data>(&value_); }
  const Date* date() const { return std::get_if<Date>(&value_); }
  const Array* array() const { return std::get_if<Array>(&value_); }
  const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
  std::string* string() { return std::get_if<std::string>(&value_); }
  Data* data() { return std::get_if<Data>(&value_); }
  Array* array() { return std::get_if<Array>(&value_); }
  Dictionary* dictionary() { return std::get_if<Dictionary>(&value_); }

  // A dictionary's value under key, or nullptr.
  const Object* find(std::string_view key) const;

  // Whether every value inside is a property-list kind (no null anywhere).
  bool isPropertyList() const;

  // Readable text: strings as they are, numbers in their shortest form
  // (Booleans as 1 and 0), collections in a bracketed form for log lines.
  std::string description() const;

  // Same kind and same value; NaN equals NaN so that stored values compare stably.
  bool operator==(const Object& other) const;

 private:
  std::variant<Null, bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary> value_;
};

// Shortest text that reads back as the same double ("1.5", "1e+21", "nan").
std::string formatDouble(double value);

}  // namespace foundation
