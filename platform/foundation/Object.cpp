#include "platform/foundation/Object.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace foundation {

std::int64_t Object::int64Value() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(value_) ? 1 : 0;
    case Kind::integer: return std::get<std::int64_t>(value_);
    case Kind::floating: {
      double d = std::get<double>(value_);
      if (std::isnan(d)) return 0;
      if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
      if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(d);
    }
    default: return 0;
  }
}

double Object::doubleValue() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(value_) ? 1.0 : 0.0;
    case Kind::integer: return static_cast<double>(std::get<std::int64_t>(value_));
    case Kind::floating: return std::get<double>(value_);
    default: return 0.0;
  }
}

bool Object::boolValue() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(value_);
    case Kind::integer: return std::get<std::int64_t>(value_) != 0;
    case Kind::floating: return std::get<double>(value_) != 0.0;
    default: return false;
  }
}

const Object* Object::find(std::string_view key) const {
  const Dictionary* d = dictionary();
  if (!d) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

bool Object::isPropertyList() const {
  switch (kind()) {
    case Kind::null: return false;
    case Kind::array:
      for (const auto& item : *array())
        if (!item.isPropertyList()) return false;
      return true;
    case Kind::dictionary:
      for (const auto& [key, item] : *dictionary())
        if (!item.isPropertyList()) return false;
      return true;
    default: return true;
  }
}

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string Object::description() const {
  switch (kind()) {
    case Kind::null: return "<null>";
    case Kind::boolean: return std::get<bool>(value_) ? "1" : "0";
    case Kind::integer: return std::to_string(std::get<std::int64_t>(value_));
    case Kind::floating: return formatDouble(std::get<double>(value_));
    case Kind::string: return std::get<std::string>(value_);
    case Kind::data: {
      static const char* hex = "0123456789abcdef";
      std::string out = "<";
      const Data& bytes = std::get<Data>(value_);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
      }
      return out + ">";
    }
    case Kind::date: return formatDouble(std::get<Date>(value_).secondsSince1970);
    case Kind::array: {
      std::string out = "(";
      bool first = true;
      for (const auto& item : std::get<Array>(value_)) {
        out += first ? "" : ", ";
        out += item.description();
        first = false;
      }
      return out + ")";
    }
    case Kind::dictionary: {
      std::string out = "{";
      bool first = true;
      for (const auto& [key, item] : std::get<Dictionary>(value_)) {
        out += first ? "" : "; ";
        out += key + " = " + item.description();
        first = false;
      }
      return out + "}";
    }
  }
  return {};
}

bool Object::operator==(const Object& other) const {
  if (kind() != other.kind()) return false;
  if (kind() == Kind::floating) {
    double a = std::get<double>(value_), b = std::get<double>(other.value_);
    return a == b || (std::isnan(a) && std::isnan(b));
  }
  if (kind() == Kind::date) {
    double a = std::get<Date>(value_).secondsSince1970, b = std::get<Date>(other.value_).secondsSince1970;
    return a == b || (std::isnan(a) && std::isnan(b));
  }
  return value_ == other.value_;
}

}  // namespace foundation
