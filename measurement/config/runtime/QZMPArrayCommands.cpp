// The methods a program calls on arrays. Callbacks may change the receiver
// while a method walks it: walks take the count once and test each index
// for presence when its turn comes, and values handed to callbacks are
// copies, never the array's live slots.
#include <cmath>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

QZMPArrayValue& arrayOf(const V& receiver) { return *receiver.asArray(); }

QZMPFunctionValue* callbackOf(const V& value, QZMPError& error) {
  QZMPFunctionValue* function = value.asFunction();
  if (function == nullptr) error.set(QZMPGlintErrorArgumentKind);
  return function;
}

V call(QZMPFunctionValue& callback, std::initializer_list<V> arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPFunctionValue> pinned(&callback);
  return pinned->invokeWithArguments(std::span<const V>(arguments.begin(), arguments.size()), scope, error);
}

// What a visit does with one callback result: false ends the visit.
enum class Visit { forEach, every, some, filter, map };

template <Visit visit>
V visitElements(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPFunctionValue* callback = callbackOf(arguments[0], error);
  if (callback == nullptr) return V();
  const QZMPArrayValue& array = arrayOf(receiver);
  QZMPRef<QZMPArrayValue> made;
  if constexpr (visit == Visit::filter || visit == Visit::map) made = QZMPObjectManager::arrayValueWithScope(scope);
  const std::size_t count = array.count();
  for (std::size_t i = 0; i < count; ++i) {
    if (!array.isPresent(i)) continue;
    const V element = array.elementAt(i);
    const V index = V::number(static_cast<double>(i));
    const V result = call(*callback, {element, index, receiver}, scope, error);
    if (error) return V();
    if constexpr (visit == Visit::map) {
      made->setValue(result, index, error);
      if (error) return V();
    } else if constexpr (visit != Visit::forEach) {
      const bool truth = result.booleanValueOrError(error);
      if (error) return V();
      if constexpr (visit == Visit::every) {
        if (!truth) return V::boolean(false);
      } else if constexpr (visit == Visit::some) {
        if (truth) return V::boolean(true);
      } else {
        if (truth) {
          made->appendElements(std::span<const V>(&element, 1), error);
          if (error) return V();
        }
      }
    }
  }
  if constexpr (visit == Visit::every) return V::boolean(true);
  if constexpr (visit == Visit::some) return V::boolean(false);
  if constexpr (visit == Visit::filter || visit == Visit::map) return V(std::move(made));
  return V();
}

template <bool fromTheRight>
V reduce(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPFunctionValue* callback = callbackOf(arguments[0], error);
  if (callback == nullptr) return V();
  if (arguments.size() > 1 && arguments[1].isControl()) {
    error.set(QZMPGlintErrorArgumentKind);
    return V();
  }
  const QZMPArrayValue& array = arrayOf(receiver);
  const auto count = static_cast<std::int64_t>(array.count());
  const std::int64_t step = fromTheRight ? -1 : 1;
  std::int64_t i = fromTheRight ? count - 1 : 0;
  auto inRange = [&](std::int64_t index) { return index >= 0 && index < count; };

  V accumulator;
  if (arguments.size() > 1) {
    accumulator = arguments[1];
  } else {
    while (inRange(i) && !array.isPresent(static_cast<std::size_t>(i))) i += step;
    if (!inRange(i)) {
      error.set(QZMPGlintErrorReduceOfEmpty);
      return V();
    }
    accumulator = array.elementAt(static_cast<std::size_t>(i));
    i += step;
  }
  for (; inRange(i); i += step) {
    if (!array.isPresent(static_cast<std::size_t>(i))) continue;
    const V element = array.elementAt(static_cast<std::size_t>(i));
    accumulator = call(*callback, {accumulator, element, V::number(static_cast<double>(i)), receiver}, scope, error);
    if (error) return V();
  }
  return accumulator;
}

V concat(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPArrayValue> made = QZMPObjectManager::arrayValueWithScope(scope);
  if (!made->concat(receiver, error)) return V();
  for (const V& argument : arguments) {
    if (!made->concat(argument, error)) return V();
  }
  return made;
}

V hasOwnProperty(const V& receiver, QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  if (!arguments[0].isNumber()) {
    const QZMPRef<QZMPStringValue> name = arguments[0].stringValueOrError(error);
    if (error) return V();
    if (name->equals(u"length")) return V::boolean(true);
  }
  const bool present = arrayOf(receiver).hasProperty(arguments[0], error);
  return error ? V() : V::boolean(present);
}

// The searched value, charging comparisons of long strings by their text.
const V& needleOf(QZMPArguments arguments, const QZMPArrayValue& array, QZMPScope& scope) {
  // Never destroyed: a program may still run while the process ends.
  static const V& undefined = *new V;
  if (arguments.empty()) return undefined;
  if (const QZMPStringValue* text = arguments[0].asString()) {
    if (text->length() >= kQZMPCodeUnitsPerInstruction) QZMPChargeTextWork(scope, array.count() * text->length());
  }
  return arguments[0];
}

V indexOf(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPArrayValue& array = arrayOf(receiver);
  const auto count = static_cast<std::int64_t>(array.count());
  std::int64_t start = 0;
  if (arguments.size() > 1) {
    start = QZMPClampedInteger(QZMPNumberOperand(arguments[1], scope, error));
    if (error) return V();
  }
  if (start >= count) return V::number(-1);
  if (start < 0) start = std::max<std::int64_t>(start + count, 0);
  const std::int64_t found = array.indexOfValue(needleOf(arguments, array, scope), start, error);
  return error ? V() : V::number(static_cast<double>(found));
}

V lastIndexOf(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPArrayValue& array = arrayOf(receiver);
  const auto count = static_cast<std::int64_t>(array.count());
  std::int64_t start = count - 1;
  if (arguments.size() > 1) {
    const double number = QZMPNumberOperand(arguments[1], scope, error);
    if (error) return V();
    if (!std::isnan(number)) {
      start = QZMPClampedInteger(number);
      if (start < 0) start += count;
    }
  }
  if (start < 0) return V::number(-1);
  start = std::min(start, count - 1);
  const std::int64_t found = array.lastIndexOfValue(needleOf(arguments, array, scope), start, error);
  return error ? V() : V::number(static_cast<double>(found));
}

V joined(const QZMPArrayValue& array, std::u16string_view separator, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPStringValue> text = array.stringValueWithSeparator(separator, error);
  if (error) return V();
  QZMPChargeTextWork(scope, text->length());
  QZMPChargeNewText(scope, text->length());
  return V(std::move(text));
}

V join(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  if (arguments.empty()) return joined(arrayOf(receiver), u",", scope, error);
  if (arguments[0].isUndefinedOrNull()) return joined(arrayOf(receiver), u"", scope, error);
  const QZMPRef<QZMPStringValue> separator = QZMPTextOperand(arguments[0], scope, error);
  if (error) return V();
  return joined(arrayOf(receiver), separator->view(), scope, error);
}

V toString(const V& receiver, QZMPArguments, QZMPScope& scope, QZMPError& error) {
  return joined(arrayOf(receiver), u",", scope, error);
}

// An argument's integer part as a position: negative counts from the end,
// then clamped to 0...count.
bool positionOf(const V& argument, std::int64_t count, QZMPScope& scope, QZMPError& error, std::int64_t* position) {
  std::int64_t value = QZMPClampedInteger(QZMPNumberOperand(argument, scope, error));
  if (error) return false;
  if (value < 0) value += count;
  *position = std::clamp<std::int64_t>(value, 0, count);
  return true;
}

V slice(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPArrayValue& array = arrayOf(receiver);
  const auto count = static_cast<std::int64_t>(array.count());
  std::int64_t start = 0;
  std::int64_t end = count;
  if (!arguments.empty() && !positionOf(arguments[0], count, scope, error, &start)) return V();
  if (arguments.size() > 1 && !positionOf(arguments[1], count, scope, error, &end)) return V();
  end = std::max(end, start);
  return QZMPObjectManager::subarrayWithArray(array, start, end - start, scope);
}

V splice(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPArrayValue& array = arrayOf(receiver);
  if (arguments.empty()) return QZMPObjectManager::arrayValueWithScope(scope);
  const auto count = static_cast<std::int64_t>(array.count());
  std::int64_t start;
  if (!positionOf(arguments[0], count, scope, error, &start)) return V();
  std::int64_t deleteCount = count - start;
  if (arguments.size() > 1) {
    const double number = QZMPNumberOperand(arguments[1], scope, error);
    if (error) return V();
    deleteCount = std::clamp<std::int64_t>(QZMPClampedInteger(number), 0, count - start);
  }
  const QZMPArguments added = arguments.size() > 2 ? arguments.subspan(2) : QZMPArguments();
  const std::vector<V> removed = array.spliceFrom(start, deleteCount, added, error);
  if (error) return V();
  return QZMPObjectManager::arrayValueWithArray(removed, scope);
}

V sort(const V& receiver, QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPArrayValue& array = arrayOf(receiver);
  if (array.count() < 2) return receiver;
  QZMPFunctionValue* comparator = nullptr;
  if (!arguments.empty()) {
    comparator = callbackOf(arguments[0], error);
    if (comparator == nullptr) return V();
  }
  array.sortUsingFunctionValue(comparator, scope, error);
  return error ? V() : receiver;
}

V pop(const V& receiver, QZMPArguments, QZMPScope&, QZMPError&) { return arrayOf(receiver).removeLastElement(); }

V shift(const V& receiver, QZMPArguments, QZMPScope&, QZMPError&) { return arrayOf(receiver).removeFirstElement(); }

V push(const V& receiver, QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const std::size_t count = arrayOf(receiver).appendElements(arguments, error);
  return error ? V() : V::number(static_cast<double>(count));
}

V unshift(const V& receiver, QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const std::size_t count = arrayOf(receiver).prependElements(arguments, error);
  return error ? V() : V::number(static_cast<double>(count));
}

V reverse(const V& receiver, QZMPArguments, QZMPScope&, QZMPError&) {
  arrayOf(receiver).reverse();
  return receiver;
}

using A = QZMPArity;

constexpr QZMPMethod kArrayMethods[] = {
    {u"concat", &concat, A::any()},
    {u"every", &visitElements<Visit::every>, A::exactly(1)},
    {u"filter", &visitElements<Visit::filter>, A::exactly(1)},
    {u"forEach", &visitElements<Visit::forEach>, A::exactly(1)},
    {u"hasOwnProperty", &hasOwnProperty, A::exactly(1)},
    {u"indexOf", &indexOf, A::atMost(2)},
    {u"join", &join, A::atMost(1)},
    {u"lastIndexOf", &lastIndexOf, A::atMost(2)},
    {u"map", &visitElements<Visit::map>, A::exactly(1)},
    {u"pop", &pop, A::exactly(0)},
    {u"push", &push, A::any()},
    {u"reduce", &reduce<false>, A::between(1, 2)},
    {u"reduceRight", &reduce<true>, A::between(1, 2)},
    {u"reverse", &reverse, A::exactly(0)},
    {u"shift", &shift, A::exactly(0)},
    {u"slice", &slice, A::atMost(2)},
    {u"some", &visitElements<Visit::some>, A::exactly(1)},
    {u"sort", &sort, A::atMost(1)},
    {u"splice", &splice, A::any()},
    {u"toString", &toString, A::exactly(0)},
    {u"unshift", &unshift, A::any()},
};

}  // namespace

std::span<const QZMPMethod> QZMPArrayMethods() { return kArrayMethods; }
