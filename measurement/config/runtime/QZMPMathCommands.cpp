// Arithmetic: addition (text when either side is object-like), the other
// IEEE operations, negation and the pass-through commands. Nothing here
// fails on a value range: overflow gives infinity, invalid operations NaN.
#include <cmath>
#include <cstdint>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

V add(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V& a = arguments[0];
  const V& b = arguments[1];
  if (a.isNumber() && b.isNumber()) return V::number(a.asNumber() + b.asNumber());
  if (!a.isObjectLike() && !b.isObjectLike()) {
    const double x = a.doubleValueOrError(error);
    const double y = b.doubleValueOrError(error);
    return error ? V() : V::number(x + y);
  }
  const QZMPRef<QZMPStringValue> x = QZMPTextOperand(a, scope, error);
  if (error) return V();
  const QZMPRef<QZMPStringValue> y = QZMPTextOperand(b, scope, error);
  if (error) return V();
  QZMPRef<QZMPStringValue> joined = QZMPStringValue::concatenate(x->view(), y->view(), error);
  if (error) return V();
  QZMPChargeNewText(scope, joined->length());
  return V(std::move(joined));
}

// Both operands as numbers, the first failure kept.
template <class Operation>
V binary(QZMPArguments arguments, QZMPScope& scope, QZMPError& error, Operation operation) {
  const double x = QZMPNumberOperand(arguments[0], scope, error);
  if (error) return V();
  const double y = QZMPNumberOperand(arguments[1], scope, error);
  if (error) return V();
  return V::number(operation(x, y));
}

V subtract(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](double x, double y) { return x - y; });
}

V multiply(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](double x, double y) { return x * y; });
}

V divide(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](double x, double y) { return x / y; });
}

V remainder(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  // Called rather than passed: a helper always inlined has no address an
  // optimising build can call through.
  return binary(arguments, scope, error, [](double x, double y) { return QZMPRemainder(x, y); });
}

V negate(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const double x = QZMPNumberOperand(arguments[0], scope, error);
  return error ? V() : V::number(-x);
}

V first(QZMPArguments arguments, QZMPScope&, QZMPError&) { return arguments[0]; }

}  // namespace

QZMPCommandEvaluator QZMPMathCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  return QZMPCommandEvaluator("math", {
      {0, &add, D::evaluated, A::exactly(2)},
      {10, &divide, D::evaluated, A::exactly(2)},
      {25, &remainder, D::evaluated, A::exactly(2)},
      {26, &multiply, D::evaluated, A::exactly(2)},
      {27, &negate, D::evaluated, A::exactly(1)},
      {32, &first, D::evaluated, A::exactly(2)},
      {33, &first, D::evaluated, A::exactly(2)},
      {34, &first, D::evaluated, A::exactly(1)},
      {35, &first, D::evaluated, A::exactly(1)},
      {37, &subtract, D::evaluated, A::exactly(2)},
  });
}
