#include "measurement/config/runtime/QZMPFunctionValue.h"

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/QZMPValueInternals.h"

QZMPFunctionValue::QZMPFunctionValue(QZMPRef<QZMPStringValue> functionName,
                                     std::vector<QZMPRef<QZMPStringValue>> parameterNames,
                                     std::vector<QZMPRuntimeValue> statements, QZMPRef<QZMPScope> definingScope)
    : functionName_(functionName ? std::move(functionName) : QZMPStringValue::empty()),
      parameterNames_(std::move(parameterNames)),
      statements_(std::move(statements)),
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
  for (std::size_t i = 0; i < parameterNames_.size(); ++i) {
    scope->addValue(i < arguments.size() ? arguments[i] : QZMPRuntimeValue(), *parameterNames_[i]);
  }
  return QZMPRegistrarOf(*scope).runFunctionBody(statements_, *scope, error);
}

QZMPRuntimeValue QZMPFunctionValue::applyWithName(std::u16string_view name, QZMPArguments arguments,
                                                  QZMPScope& scope, QZMPError& error) {
  return QZMPApplyWithProperties(QZMPRuntimeValue(this), properties_, name, arguments, scope, error);
}

void QZMPFunctionValue::traceReferences(QZMPMarker& marker) {
  properties_.traceReferences(marker);
  // Statements hold no containers; the defining scope brings its whole chain.
  marker.mark(definingScope_.get());
}

void QZMPFunctionValue::clearForCollection() {
  std::vector<QZMPRuntimeValue> statements;
  statements.swap(statements_);
  QZMPRef<QZMPScope> scope = std::move(definingScope_);
  properties_.clear();
}
