// The 32-bit operators. Operands go through the modular 32-bit conversions
// and shifts take their count modulo 32; the bit work is done unsigned so
// that no shift or overflow is undefined.
#include <cstdint>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

template <class Operation>
V binary(QZMPArguments arguments, QZMPScope& scope, QZMPError& error, Operation operation) {
  const double x = QZMPNumberOperand(arguments[0], scope, error);
  if (error) return V();
  const double y = QZMPNumberOperand(arguments[1], scope, error);
  if (error) return V();
  return V::number(operation(QZMPToUint32(x), QZMPToUint32(y)));
}

double asSigned(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

V bitAnd(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](std::uint32_t x, std::uint32_t y) { return asSigned(x & y); });
}

V bitOr(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](std::uint32_t x, std::uint32_t y) { return asSigned(x | y); });
}

V bitXor(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](std::uint32_t x, std::uint32_t y) { return asSigned(x ^ y); });
}

V shiftLeft(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](std::uint32_t x, std::uint32_t y) { return asSigned(x << (y & 31)); });
}

V shiftRight(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error, [](std::uint32_t x, std::uint32_t y) {
    return static_cast<double>(static_cast<std::int32_t>(x) >> (y & 31));
  });
}

V shiftRightUnsigned(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  return binary(arguments, scope, error,
                [](std::uint32_t x, std::uint32_t y) { return static_cast<double>(x >> (y & 31)); });
}

V bitNot(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const double x = QZMPNumberOperand(arguments[0], scope, error);
  return error ? V() : V::number(asSigned(~QZMPToUint32(x)));
}

}  // namespace

QZMPCommandEvaluator QZMPBitwiseCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  return QZMPCommandEvaluator("bitwise", {
      {56, &bitAnd, D::evaluated, A::exactly(2)},
      {57, &shiftLeft, D::evaluated, A::exactly(2)},
      {58, &bitNot, D::evaluated, A::exactly(1)},
      {59, &bitOr, D::evaluated, A::exactly(2)},
      {60, &shiftRight, D::evaluated, A::exactly(2)},
      {61, &shiftRightUnsigned, D::evaluated, A::exactly(2)},
      {62, &bitXor, D::evaluated, A::exactly(2)},
  });
}
