#include "measurement/model/QZMValue.h"

#include <cmath>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Strings.h"

namespace {

void logLine(std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(0, code, message);
}

void logLine(std::int64_t code, std::string_view message, const QZMObject* object) {
  QZMMeasurementBase::monitor()->logWithLevel(0, code, message, QZMLogContextForObject(object));
}

bool sameDouble(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

std::string arrayDescription(const QZMArray& array) {
  std::string out = "(";
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i > 0) out += ", ";
    out += array[i].description();
  }
  return out + ")";
}

}  // namespace

// ---- QZMValue ----

std::optional<QZMValue> QZMValue::valueFromObject(const QZMObject* object) { return valueFromObject(object, false); }

std::optional<QZMValue> QZMValue::valueFromObject(const QZMObject* object, bool allowArray) {
  if (object == nullptr) {
    logLine(35000, "Cannot create Value type with nil value");
    return std::nullopt;
  }
  if (const QZMValue* value = object->value()) return *value;
  if (const std::string* text = object->validString()) return QZMValue(QZMValueType::kString, *text);
  if (object->isNumber()) {
    const foundation::Object& number = *object->plain();
    if (number.isFloating()) return initWithDouble(number.doubleValue());
    return initWithInt64(number.int64Value());
  }
  if (allowArray && object->array() != nullptr) return initWithArray(*object->array());
  logLine(35001,
          "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString or NSArray (if "
          "supported). Value",
          object);
  return std::nullopt;
}

QZMValue QZMValue::initWithDouble(double value) { return QZMValue(QZMValueType::kDouble, value); }

QZMValue QZMValue::initWithInt64(std::int64_t value) { return QZMValue(QZMValueType::kInt64, value); }

std::optional<QZMValue> QZMValue::initWithString(std::string_view text) {
  QZMObject object{text};
  return initWithString(&object);
}

std::optional<QZMValue> QZMValue::initWithString(const QZMObject* object) {
  if (object == nullptr) {
    logLine(35002, "Cannot create String value with nil");
    return std::nullopt;
  }
  const std::string* text = object->validString();
  if (text == nullptr) {
    logLine(35003, "Cannot create String value with non-string value. Value", object);
    return std::nullopt;
  }
  return QZMValue(QZMValueType::kString, *text);
}

QZMValue QZMValue::initWithArray(QZMArray items) {
  return QZMValue(QZMValueType::kArray, std::make_shared<const QZMArray>(std::move(items)));
}

std::optional<QZMValue> QZMValue::initWithArray(const QZMObject* object) {
  if (object == nullptr) {
    logLine(35004, "Cannot create Array value with nil");
    return std::nullopt;
  }
  if (object->array() == nullptr) {
    logLine(35005, "Cannot create Array value with non-array value. Value", object);
    return std::nullopt;
  }
  return initWithArray(*object->array());
}

QZMValue QZMValue::initWithValueType(QZMValueType valueType, Storage value) {
  if (auto* array = std::get_if<std::shared_ptr<const QZMArray>>(&value); array && !*array) {
    *array = std::make_shared<const QZMArray>();
  }
  return QZMValue(valueType, std::move(value));
}

double QZMValue::doubleValue() const {
  if (!isDouble()) return 0.0;
  if (const double* d = std::get_if<double>(&value_)) return *d;
  if (const std::int64_t* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
  return 0.0;
}

std::int64_t QZMValue::int64Value() const {
  if (!isInt64()) return 0;
  if (const std::int64_t* i = std::get_if<std::int64_t>(&value_)) return *i;
  if (const double* d = std::get_if<double>(&value_)) return foundation::Object(*d).int64Value();
  return 0;
}

const std::string* QZMValue::stringValue() const { return isString() ? std::get_if<std::string>(&value_) : nullptr; }

const QZMArray* QZMValue::arrayValue() const {
  if (!isArray()) return nullptr;
  const auto* array = std::get_if<std::shared_ptr<const QZMArray>>(&value_);
  return array ? array->get() : nullptr;
}

std::string QZMValue::description() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return foundation::formatDouble(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return foundation::isValidUTF8(v) ? v : "<invalid UTF-8, " + std::to_string(v.size()) + " bytes>";
        } else {
          return arrayDescription(*v);
        }
      },
      value_);
}

bool QZMValue::operator==(const QZMValue& other) const {
  if (valueType_ != other.valueType_ || value_.index() != other.value_.index()) return false;
  if (const double* d = std::get_if<double>(&value_)) return sameDouble(*d, std::get<double>(other.value_));
  if (const auto* array = std::get_if<std::shared_ptr<const QZMArray>>(&value_)) {
    const auto& theirs = std::get<std::shared_ptr<const QZMArray>>(other.value_);
    return *array == theirs || **array == *theirs;
  }
  return value_ == other.value_;
}

std::size_t QZMValue::hash() const {
  std::size_t wrapped = std::visit(
      [](const auto& v) -> std::size_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return std::isnan(v) ? 0x7ff8 : std::hash<double>{}(v);
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::string>) {
          return std::hash<T>{}(v);
        } else {
          return v->size();  // equal arrays have equal sizes
        }
      },
      value_);
  return wrapped ^ static_cast<std::size_t>(static_cast<std::int64_t>(valueType_) * 31);
}

// ---- QZMObject ----

QZMObject::QZMObject(Plain, foundation::Object object) {
  if (const foundation::Array* items = object.array()) {
    QZMArray array;
    array.reserve(items->size());
    for (const foundation::Object& item : *items) array.emplace_back(item);
    value_ = std::move(array);
  } else if (const foundation::Dictionary* entries = object.dictionary()) {
    QZMDictionary dictionary;
    for (const auto& [key, item] : *entries) dictionary.emplace(key, QZMObject(item));
    value_ = std::move(dictionary);
  } else {
    value_ = std::move(object);
  }
}

const std::string* QZMObject::string() const {
  const foundation::Object* object = plain();
  return object ? object->string() : nullptr;
}

const std::string* QZMObject::validString() const {
  const std::string* text = string();
  return text && foundation::isValidUTF8(*text) ? text : nullptr;
}

bool QZMObject::isNumber() const {
  const foundation::Object* object = plain();
  return object && object->isNumber();
}

std::string QZMObject::className() const {
  if (value()) return "QZMValue";
  if (array()) return "NSArray";
  if (dictionary()) return "NSDictionary";
  const foundation::Object& object = *plain();
  switch (object.kind()) {
    case foundation::Object::Kind::null: return "NSNull";
    case foundation::Object::Kind::boolean:
    case foundation::Object::Kind::integer:
    case foundation::Object::Kind::floating: return "NSNumber";
    case foundation::Object::Kind::string: return validString() ? "NSString" : "InvalidUTF8String";
    case foundation::Object::Kind::data: return "NSData";
    case foundation::Object::Kind::date: return "NSDate";
    default: return "NSObject";
  }
}

std::string QZMObject::description() const {
  if (const QZMValue* v = value()) return v->description();
  if (const QZMArray* items = array()) return arrayDescription(*items);
  if (const QZMDictionary* entries = dictionary()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : *entries) {
      out += first ? "" : "; ";
      out += key + " = " + item.description();
      first = false;
    }
    return out + "}";
  }
  if (string() && !validString()) return "<invalid UTF-8, " + std::to_string(string()->size()) + " bytes>";
  return plain()->description();
}

foundation::Object QZMObject::plainObject() const {
  if (const QZMValue* v = value()) {
    return std::visit(
        [](const auto& wrapped) -> foundation::Object {
          using T = std::decay_t<decltype(wrapped)>;
          if constexpr (std::is_same_v<T, std::shared_ptr<const QZMArray>>) {
            return QZMObject(*wrapped).plainObject();
          } else {
            return foundation::Object(wrapped);
          }
        },
        v->storage());
  }
  if (const QZMArray* items = array()) {
    foundation::Array out;
    out.reserve(items->size());
    for (const QZMObject& item : *items) out.push_back(item.plainObject());
    return out;
  }
  if (const QZMDictionary* entries = dictionary()) {
    foundation::Dictionary out;
    for (const auto& [key, item] : *entries) out.emplace(key, item.plainObject());
    return out;
  }
  return *plain();
}

bool QZMObject::operator==(const QZMObject& other) const { return value_ == other.value_; }

QZMDictionary QZMDictionaryFromParameters(const QZMParameters& parameters) {
  QZMDictionary out;
  for (const auto& [name, value] : parameters) out.emplace(name, value);
  return out;
}

QZMLogContext QZMLogContextForObject(const QZMObject* object) {
  if (object == nullptr) return {};
  if (const std::string* text = object->validString()) return *text;
  if (object->isNumber()) return *object->plain();
  return QZMLogContext::describing(object->description());
}

