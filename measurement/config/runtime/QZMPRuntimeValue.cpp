#include "measurement/config/runtime/QZMPRuntimeValue.h"

#include <cmath>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/QZMPValueInternals.h"

const QZMPCommandRegistrar& QZMPRegistrarOf(const QZMPScope& scope) {
  return scope.runtime() ? scope.runtime()->registrar() : QZMPCommandRegistrar::sharedInstance();
}

QZMPRef<QZMPStringValue> QZMPStringValueAtDepth(const QZMPRuntimeValue& value, int depth, QZMPError& error) {
  switch (value.kind()) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::hole:
      return QZMPStringValue::withASCII("undefined");
    case QZMPValueKind::null:
      return QZMPStringValue::withASCII("null");
    case QZMPValueKind::boolean:
      return QZMPStringValue::withASCII(value.asBoolean() ? "true" : "false");
    case QZMPValueKind::number:
      return QZMPStringValue::withASCII(QZMPNumberToString(value.asNumber()));
    case QZMPValueKind::string:
      return QZMPRef<QZMPStringValue>(value.asString());
    case QZMPValueKind::array:
      return QZMPJoinArray(*value.asArray(), u",", depth, error);
    case QZMPValueKind::map:
      return QZMPStringValue::withASCII("[object Object]");
    case QZMPValueKind::function:
      return QZMPRef<QZMPStringValue>(const_cast<QZMPStringValue*>(&value.asFunction()->functionName()));
    case QZMPValueKind::breakControl:
    case QZMPValueKind::continueControl:
    case QZMPValueKind::returnControl:
    case QZMPValueKind::statement:
      break;
  }
  error.set(QZMPGlintErrorNoStringConversion);
  return QZMPStringValue::empty();
}

QZMPRef<QZMPStringValue> QZMPRuntimeValue::stringValueOrError(QZMPError& error) const {
  return QZMPStringValueAtDepth(*this, 0, error);
}

double QZMPRuntimeValue::doubleValueOrError(QZMPError& error) const {
  switch (kind_) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::hole:
    case QZMPValueKind::map:
    case QZMPValueKind::function:
      return NAN;
    case QZMPValueKind::null:
      return 0;
    case QZMPValueKind::boolean:
      return boolean_ ? 1 : 0;
    case QZMPValueKind::number:
      return number_;
    case QZMPValueKind::string:
      return QZMPStringToNumber(asString()->view());
    case QZMPValueKind::array: {
      const QZMPRef<QZMPStringValue> joined = stringValueOrError(error);
      return error ? NAN : QZMPStringToNumber(joined->view());
    }
    case QZMPValueKind::breakControl:
    case QZMPValueKind::continueControl:
    case QZMPValueKind::returnControl:
    case QZMPValueKind::statement:
      break;
  }
  error.set(QZMPGlintErrorNoNumberConversion);
  return NAN;
}

bool QZMPRuntimeValue::booleanValueOrError(QZMPError& error) const {
  switch (kind_) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::hole:
    case QZMPValueKind::null:
      return false;
    case QZMPValueKind::boolean:
      return boolean_;
    case QZMPValueKind::number:
      return number_ != 0 && !std::isnan(number_);
    case QZMPValueKind::string:
      return asString()->length() != 0;
    case QZMPValueKind::array:
    case QZMPValueKind::map:
    case QZMPValueKind::function:
      return true;
    case QZMPValueKind::breakControl:
    case QZMPValueKind::continueControl:
    case QZMPValueKind::returnControl:
    case QZMPValueKind::statement:
      break;
  }
  error.set(QZMPGlintErrorNoBooleanConversion);
  return false;
}

namespace {

bool equalAtDepth(const QZMPRuntimeValue& a, const QZMPRuntimeValue& b, int depth, QZMPError& error) {
  if (a.isHeapObject() && a.object() == b.object()) return true;
  if (a.kind() != b.kind()) return false;
  if (depth >= kQZMPMaxConversionDepth) {
    error.set(QZMPGlintErrorTooDeep);
    return false;
  }
  switch (a.kind()) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::null:
    case QZMPValueKind::hole:
    case QZMPValueKind::breakControl:
    case QZMPValueKind::continueControl:
      return true;
    case QZMPValueKind::boolean:
      return a.asBoolean() == b.asBoolean();
    case QZMPValueKind::number:
      return a.asNumber() == b.asNumber() || (std::isnan(a.asNumber()) && std::isnan(b.asNumber()));
    case QZMPValueKind::string:
      return a.asString()->equals(*b.asString());
    case QZMPValueKind::array: {
      const QZMPArrayValue& x = *a.asArray();
      const QZMPArrayValue& y = *b.asArray();
      if (x.count() != y.count()) return false;
      for (std::size_t i = 0; i < x.count(); ++i) {
        if (!equalAtDepth(x.slotAt(i), y.slotAt(i), depth + 1, error)) return false;
      }
      return true;
    }
    case QZMPValueKind::map: {
      const QZMPPropertyMap& x = a.asMap()->propertyMap();
      const QZMPPropertyMap& y = b.asMap()->propertyMap();
      if (x.count() != y.count()) return false;
      bool equal = true;
      x.forEach([&](const QZMPStringValue& name, const QZMPRuntimeValue& value) {
        if (!equal) return;
        const QZMPRuntimeValue* other = y.find(name);
        equal = other && equalAtDepth(value, *other, depth + 1, error);
      });
      return equal;
    }
    case QZMPValueKind::function: {
      const QZMPStringValue& name = a.asFunction()->functionName();
      return name.length() != 0 && name.equals(b.asFunction()->functionName());
    }
    case QZMPValueKind::returnControl:
      return equalAtDepth(a.asReturn()->data(), b.asReturn()->data(), depth + 1, error);
    case QZMPValueKind::statement: {
      const QZMPStatementValue& x = *a.asStatement();
      const QZMPStatementValue& y = *b.asStatement();
      if (!x.functionName().equals(y.functionName()) || x.arguments().size() != y.arguments().size()) return false;
      for (std::size_t i = 0; i < x.arguments().size(); ++i) {
        if (!equalAtDepth(x.arguments()[i], y.arguments()[i], depth + 1, error)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

bool QZMPRuntimeValue::isEqualToRuntimeValue(const QZMPRuntimeValue& other, QZMPError& error) const {
  return equalAtDepth(*this, other, 0, error);
}

std::string_view QZMPRuntimeValue::typeName() const {
  switch (kind_) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::hole:
      return "undefined";
    case QZMPValueKind::boolean:
      return "boolean";
    case QZMPValueKind::number:
      return "number";
    case QZMPValueKind::string:
      return "string";
    case QZMPValueKind::function:
      return "function";
    default:
      return "object";
  }
}

QZMPRuntimeValue QZMPRuntimeValue::applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                                 QZMPError& error) const {
  switch (kind_) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::null:
    case QZMPValueKind::hole:
      error.set(QZMPGlintErrorMethodOfNothing);
      return QZMPRuntimeValue();
    case QZMPValueKind::string:
      return QZMPRegistrarOf(scope).evaluateStringMethod(name, *this, arguments, scope, error);
    case QZMPValueKind::array: {
      if (const QZMPPropertyMap* properties = asArray()->propertyMap()) {
        if (const QZMPRuntimeValue* property = properties->find(name)) {
          const QZMPRuntimeValue function = *property;
          if (!function.isFunction()) {
            error.set(QZMPGlintErrorNoSuchMethod);
            return QZMPRuntimeValue();
          }
          return function.asFunction()->invokeWithArguments(arguments, scope, error);
        }
      }
      return QZMPRegistrarOf(scope).evaluateArrayMethod(name, *this, arguments, scope, error);
    }
    case QZMPValueKind::map: {
      const QZMPRef<QZMPMapValue> map(asMap());
      return map->applyWithName(name, arguments, scope, error);
    }
    case QZMPValueKind::function: {
      const QZMPRef<QZMPFunctionValue> function(asFunction());
      return function->applyWithName(name, arguments, scope, error);
    }
    default:
      return QZMPApplyBaseMethod(*this, name, error);
  }
}

bool QZMPStrictEquals(const QZMPRuntimeValue& a, const QZMPRuntimeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case QZMPValueKind::number:
      return a.asNumber() == b.asNumber();
    case QZMPValueKind::boolean:
      return a.asBoolean() == b.asBoolean();
    case QZMPValueKind::string:
      return a.asString()->equals(*b.asString());
    default:
      return a.object() == b.object();
  }
}

bool QZMPIsValidArrayIndex(const QZMPRuntimeValue& value, double* index) {
  double number;
  if (value.isNumber()) {
    number = value.asNumber();
  } else if (value.isString()) {
    // A blank key is a name, not index 0.
    if (value.asString()->isBlank()) return false;
    number = QZMPStringToNumber(value.asString()->view());
  } else {
    return false;
  }
  if (!std::isfinite(number) || number < 0 || number != std::trunc(number)) return false;
  *index = number;
  return true;
}
