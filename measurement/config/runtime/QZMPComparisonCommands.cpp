// Equality and ordering. Loose equality compares across kinds by number or
// by text; strict equality never converts. The orderings compare two
// object-like operands as text (code-unit order, no locale) and anything
// else as numbers, NaN making every ordering false.
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

V looseEquals(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const bool equal = QZMPLooseEquals(arguments[0], arguments[1], scope, error);
  return error ? V() : V::boolean(equal);
}

V looseNotEquals(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const bool equal = QZMPLooseEquals(arguments[0], arguments[1], scope, error);
  return error ? V() : V::boolean(!equal);
}

V strictEquals(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  QZMPChargeStrictComparison(arguments[0], arguments[1], scope);
  return V::boolean(QZMPStrictEquals(arguments[0], arguments[1]));
}

V strictNotEquals(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  QZMPChargeStrictComparison(arguments[0], arguments[1], scope);
  return V::boolean(!QZMPStrictEquals(arguments[0], arguments[1]));
}

// -1, 0 or 1 for x before, with or after y; 1 when unordered (NaN) or on
// a failed conversion.
int compare(const V& x, const V& y, QZMPScope& scope, QZMPError& error) {
  if (x.isNumber() && y.isNumber()) {
    const double a = x.asNumber();
    const double b = y.asNumber();
    return a < b ? -1 : (a == b ? 0 : 1);
  }
  if (x.isObjectLike() && y.isObjectLike()) {
    const QZMPRef<QZMPStringValue> a = QZMPTextOperand(x, scope, error);
    if (error) return 1;
    const QZMPRef<QZMPStringValue> b = QZMPTextOperand(y, scope, error);
    if (error) return 1;
    const int order = a->view().compare(b->view());
    return order < 0 ? -1 : (order == 0 ? 0 : 1);
  }
  const double a = QZMPNumberOperand(x, scope, error);
  if (error) return 1;
  const double b = QZMPNumberOperand(y, scope, error);
  if (error) return 1;
  return a < b ? -1 : (a == b ? 0 : 1);
}

V less(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const int order = compare(arguments[0], arguments[1], scope, error);
  return error ? V() : V::boolean(order < 0);
}

V lessOrEqual(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const int order = compare(arguments[0], arguments[1], scope, error);
  return error ? V() : V::boolean(order <= 0);
}

V greater(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const int order = compare(arguments[1], arguments[0], scope, error);
  return error ? V() : V::boolean(order < 0);
}

V greaterOrEqual(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const int order = compare(arguments[1], arguments[0], scope, error);
  return error ? V() : V::boolean(order <= 0);
}

}  // namespace

QZMPCommandEvaluator QZMPComparisonCommandEvaluator() {
  using D = QZMPDispatch;
  constexpr QZMPArity two = QZMPArity::exactly(2).checkedFirst();
  return QZMPCommandEvaluator("comparison", {
      {12, &looseEquals, D::evaluated, two},
      {18, &greater, D::evaluated, two},
      {19, &greaterOrEqual, D::evaluated, two},
      {20, &strictEquals, D::evaluated, two},
      {21, &strictNotEquals, D::evaluated, two},
      {23, &less, D::evaluated, two},
      {24, &lessOrEqual, D::evaluated, two},
      {29, &looseNotEquals, D::evaluated, two},
  });
}
