#include "measurement/config/runtime/QZMPFunctionValue.h"

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/QZMPValueInternals.h"

QZMPFunctionBody QZMPFunctionBody::of(std::vector<QZMPRuntimeValue> statements) {
  return {QZMPStatementValue::withFunctionName(nullptr, std::move(statements)), 0};
}

QZMPFunctionValue::QZMPFunctionValue(QZMPRef<QZMPStringValue> functionName,
                                     std::vector<QZMPRef<QZMPStringValue>> parameterNames, QZMPFunctionBody body,
                                     QZMPRef<QZMPScope> definingScope)
    : functionName_(functionName ? std::move(functionName) : QZMPStringValue::empty()),
      parameterNames_(std::move(parameterNames)),
      body_(std::move(body)),
      definingScope_(std::move(definingScope)) {}

QZMPFunctionValue::QZMPFunctionValue(QZMPRef<QZMPStringValue> functionName)
    : QZMPFunctionValue(std::move(functionName), {}, {}, nullptr) {}

QZMPRuntimeValue QZMPFunctionValue::invokeWithArguments(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPValueList values;
  if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
  return invokeWithEvaluatedArguments(values, error);
}

QZMPRuntimeValue QZMPFunctionValue::invokeWithEvaluatedArguments(QZMPArguments arguments, QZMPError& error) {
  // Nothing to run for a native without a body or a function the collector
  // emptied.
  if (!definingScope_) return QZMPRuntimeValue();
  const QZMPRef<QZMPFunctionValue> self(this);  // the body may drop every other reference
  const QZMPRef<QZMPScope> scope = definingScope_->createChildScope();
  if (!QZMPChargeParameters(scope->runtime(), parameterNames_.size(), error)) return QZMPRuntimeValue();
  scope->reserveNames(parameterNames_.size());
  for (std::size_t i = 0; i < parameterNames_.size(); ++i) {
    scope->addValue(i < arguments.size() ? arguments[i] : QZMPRuntimeValue(), *parameterNames_[i]);
  }
  return QZMPRegistrarOf(*scope).runFunctionBody(body_.statements(), *scope, error);
}

QZMPRuntimeValue QZMPFunctionValue::applyWithName(std::u16string_view name, QZMPArguments arguments,
                                                  QZMPScope& scope, QZMPError& error) {
  return QZMPApplyWithProperties(QZMPRuntimeValue(this), properties_, name, arguments, scope, error);
}

void QZMPFunctionValue::traceReferences(QZMPMarker& marker) {
  marker.countObject(sizeof(QZMPFunctionValue));
  marker.countString(*functionName_);
  marker.countBytes(parameterNames_.capacity() * sizeof(QZMPRef<QZMPStringValue>));
  for (const QZMPRef<QZMPStringValue>& name : parameterNames_) marker.countString(*name);
  // Statements hold no containers, only their own memory; the defining
  // scope brings its whole chain.
  marker.countStatement(body_.holder.get());
  properties_.traceReferences(marker);
  marker.mark(definingScope_.get());
}

void QZMPFunctionValue::clearForCollection() {
  QZMPFunctionBody body = std::exchange(body_, {});
  QZMPRef<QZMPScope> scope = std::move(definingScope_);
  properties_.clear();
}
