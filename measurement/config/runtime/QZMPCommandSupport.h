// What the command families share: operands read as numbers and text with
// their work charged to the run, statement lists copied before they run,
// and the clamped integers of the array methods.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPArrayValue;
class QZMPRuntime;
class QZMPScope;

void QZMPChargeTextWork(QZMPScope& scope, std::size_t units);
// Memory made anew in blocks this large comes fresh from the system, and
// touching it first costs more than filling it: such blocks are charged by
// their bytes, at this rate, beyond the work of filling them.
inline constexpr std::size_t kQZMPFreshMemoryBytes = std::size_t{128} << 10;
inline constexpr std::size_t kQZMPFreshBytesPerInstruction = 32;
inline constexpr std::size_t QZMPFreshMemoryInstructions(std::size_t bytes) {
  return bytes < kQZMPFreshMemoryBytes ? 0 : bytes / kQZMPFreshBytesPerInstruction;
}
// A text made anew, charged for its fresh memory.
void QZMPChargeNewText(QZMPScope& scope, std::size_t units);
// Copies of element lists, charged like the arrays' own bulk work but free
// for lists shorter than one instruction's worth.
void QZMPChargeElements(QZMPScope& scope, std::size_t elements);

// Parameter lists: their names are read when a function is made and bound
// at each call, work charged before it is done; false with code 18 when the
// charge takes the run past its budget. A few parameters are free.
bool QZMPChargeParameters(QZMPRuntime* runtime, std::size_t count, QZMPError& error);

// The number value, charging the text a string or an array is read from.
double QZMPConvertedNumberOperand(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error);
inline double QZMPNumberOperand(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error) {
  return value.isNumber() ? value.asNumber() : QZMPConvertedNumberOperand(value, scope, error);
}
// The string value, charging its length (the caller copies or scans it).
QZMPRef<QZMPStringValue> QZMPTextOperand(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error);

// A statement list's statements as they are now: the run does not see
// changes the statements make to the list.
QZMPValueList QZMPStatementsOf(const QZMPArrayValue& list, QZMPScope& scope);

// The remainder operator: fmod's answer (the dividend's sign; NaN for x % 0
// and ∞ % y), by integer division where that gives it exactly.
double QZMPWideRemainder(double x, double y);
QZMP_HOT_INLINE double QZMPRemainder(double x, double y) {
  // Loop counters and the like: small whole numbers and a positive divisor,
  // for which the narrow division is exact and much the quicker.
  if (x > -2147483648.0 && x < 2147483648.0 && y >= 1 && y < 2147483648.0) {
    const auto a = static_cast<std::int32_t>(x);
    const auto b = static_cast<std::int32_t>(y);
    if (static_cast<double>(a) == x && static_cast<double>(b) == y) {
      const std::int32_t r = a % b;
      return r == 0 && std::signbit(x) ? -0.0 : static_cast<double>(r);
    }
  }
  return QZMPWideRemainder(x, y);
}

// The integer part of a number, clamped to ±2^53 so that it fits an index.
std::int64_t QZMPClampedInteger(double value);

// Strict equality reads two texts as far as the shorter one.
inline void QZMPChargeStrictComparison(const QZMPRuntimeValue& a, const QZMPRuntimeValue& b, QZMPScope& scope) {
  if (a.isString() && b.isString()) {
    QZMPChargeTextWork(scope, std::min(a.asString()->length(), b.asString()->length()));
  }
}

// Loose equality: undefined and null alike, numbers and Booleans by number,
// strings by text, anything else by identity.
bool QZMPLooseEquals(const QZMPRuntimeValue& a, const QZMPRuntimeValue& b, QZMPScope& scope, QZMPError& error);
