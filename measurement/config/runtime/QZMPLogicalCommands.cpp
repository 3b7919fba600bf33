// Short-circuit "and" and "or", which yield an operand itself rather than
// a Boolean, and "not".
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

V logicalAnd(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  V a = QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  const bool truth = a.booleanValueOrError(error);
  if (error) return V();
  return truth ? QZMPEvaluator::evaluateStatement(arguments[1], scope, error) : a;
}

V logicalOr(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  V a = QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  const bool truth = a.booleanValueOrError(error);
  if (error) return V();
  return truth ? a : QZMPEvaluator::evaluateStatement(arguments[1], scope, error);
}

V logicalNot(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V a = QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  const bool truth = a.booleanValueOrError(error);
  return error ? V() : V::boolean(!truth);
}

}  // namespace

QZMPCommandEvaluator QZMPLogicalCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  return QZMPCommandEvaluator("logical", {
      {1, &logicalAnd, D::raw, A::exactly(2)},
      {28, &logicalNot, D::raw, A::exactly(1)},
      {30, &logicalOr, D::raw, A::exactly(2)},
  });
}
