#include "measurement/config/runtime/QZMPMapValue.h"

#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"

QZMPRuntimeValue QZMPApplyBaseMethod(const QZMPRuntimeValue& receiver, std::u16string_view name, QZMPError& error) {
  if (name == u"toString") {
    QZMPRef<QZMPStringValue> text = receiver.stringValueOrError(error);
    return error ? QZMPRuntimeValue() : QZMPRuntimeValue(std::move(text));
  }
  error.set(QZMPGlintErrorNoSuchMethod);
  return QZMPRuntimeValue();
}

QZMPRuntimeValue QZMPApplyWithProperties(const QZMPRuntimeValue& receiver, const QZMPPropertyMap& properties,
                                         std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                         QZMPError& error) {
  if (const QZMPRuntimeValue* property = properties.find(name)) {
    const QZMPRuntimeValue function = *property;  // held while it runs
    if (!function.isFunction()) {
      error.set(QZMPGlintErrorNoSuchMethod);
      return QZMPRuntimeValue();
    }
    return function.asFunction()->invokeWithArguments(arguments, scope, error);
  }
  if (name == u"hasOwnProperty") {
    QZMPValueList values;
    if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
    if (values.size() != 1) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    const QZMPRef<QZMPStringValue> key = QZMPTextOperand(values[0], scope, error);
    if (error) return QZMPRuntimeValue();
    return QZMPRuntimeValue::boolean(properties.hasName(*key));
  }
  return QZMPApplyBaseMethod(receiver, name, error);
}

QZMPRuntimeValue QZMPMapValue::applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                             QZMPError& error) {
  return QZMPApplyWithProperties(QZMPRuntimeValue(this), properties_, name, arguments, scope, error);
}

void QZMPMapValue::traceReferences(QZMPMarker& marker) {
  marker.countObject(sizeof(QZMPMapValue));
  properties_.traceReferences(marker);
}

void QZMPMapValue::clearForCollection() { properties_.clear(); }
