#include "measurement/config/runtime/QZMPCommandSupport.h"

#include <algorithm>
#include <cmath>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"

void QZMPChargeTextWork(QZMPScope& scope, std::size_t units) {
  if (units < kQZMPCodeUnitsPerInstruction) return;
  if (QZMPRuntime* runtime = scope.runtime()) runtime->chargeInstructions(units / kQZMPCodeUnitsPerInstruction);
}

void QZMPChargeNewText(QZMPScope& scope, std::size_t units) {
  const std::size_t instructions = QZMPFreshMemoryInstructions(units * sizeof(char16_t));
  if (instructions == 0) return;
  if (QZMPRuntime* runtime = scope.runtime()) runtime->chargeInstructions(instructions);
}

bool QZMPChargeParameters(QZMPRuntime* runtime, std::size_t count, QZMPError& error) {
  // Each name is a table entry (made from its element, or bound in the
  // call's scope), which takes a few memory accesses: one instruction.
  constexpr std::size_t kFreeParameters = 8;
  if (runtime == nullptr || count <= kFreeParameters) return true;
  return runtime->chargeInstructions(count, error);
}

double QZMPConvertedNumberOperand(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error) {
  if (value.isNumber()) return value.asNumber();
  if (const QZMPStringValue* string = value.asString()) {
    QZMPChargeTextWork(scope, string->length());
    return QZMPStringToNumber(string->view());
  }
  if (value.isArray()) {
    const QZMPRef<QZMPStringValue> text = value.stringValueOrError(error);
    if (error) return NAN;
    QZMPChargeTextWork(scope, text->length());
    return QZMPStringToNumber(text->view());
  }
  return value.doubleValueOrError(error);
}

QZMPRef<QZMPStringValue> QZMPTextOperand(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPStringValue> text = value.stringValueOrError(error);
  if (!error) QZMPChargeTextWork(scope, text->length());
  return text;
}

void QZMPChargeElements(QZMPScope& scope, std::size_t elements) {
  if (elements < kQZMPElementsPerInstruction) return;
  if (QZMPRuntime* runtime = scope.runtime()) runtime->chargeInstructions(elements / kQZMPElementsPerInstruction);
}

QZMPValueList QZMPStatementsOf(const QZMPArrayValue& list, QZMPScope& scope) {
  // Long lists pay for the copy even when their first statement ends the run.
  QZMPChargeElements(scope, list.count());
  return list.allElements();
}

double QZMPWideRemainder(double x, double y) {
  constexpr double kExact = 9007199254740992.0;  // 2^53
  if (std::fabs(x) < kExact && std::fabs(y) < kExact && y != 0) {
    const auto a = static_cast<std::int64_t>(x);
    const auto b = static_cast<std::int64_t>(y);
    if (static_cast<double>(a) == x && static_cast<double>(b) == y) {
      const std::int64_t r = a % b;
      return r == 0 && std::signbit(x) ? -0.0 : static_cast<double>(r);
    }
  }
  return std::fmod(x, y);
}

std::int64_t QZMPClampedInteger(double value) {
  constexpr double kLimit = 9007199254740992.0;  // 2^53
  return static_cast<std::int64_t>(std::clamp(QZMPIntegerPart(value), -kLimit, kLimit));
}

namespace {

// Undefined and null; numbers and Booleans; strings; everything else.
int equalityKind(const QZMPRuntimeValue& value) {
  switch (value.kind()) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::null:
    case QZMPValueKind::hole:
      return 0;
    case QZMPValueKind::boolean:
    case QZMPValueKind::number:
      return 1;
    case QZMPValueKind::string:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

bool QZMPLooseEquals(const QZMPRuntimeValue& first, const QZMPRuntimeValue& second, QZMPScope& scope,
                     QZMPError& error) {
  const bool swapped = equalityKind(second) < equalityKind(first);
  const QZMPRuntimeValue& a = swapped ? second : first;
  const QZMPRuntimeValue& b = swapped ? first : second;
  switch (equalityKind(a)) {
    case 0:
      return equalityKind(b) == 0;
    case 1: {
      const double x = a.isBoolean() ? (a.asBoolean() ? 1 : 0) : a.asNumber();
      const double y = QZMPNumberOperand(b, scope, error);
      return !error && x == y;
    }
    case 2: {
      const QZMPRef<QZMPStringValue> y = QZMPTextOperand(b, scope, error);
      return !error && a.asString()->equals(*y);
    }
    default:
      return a.kind() == b.kind() && a.object() == b.object();
  }
}
