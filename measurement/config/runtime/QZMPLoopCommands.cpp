// Loops: while and do-while, the counting loop whose names get a fresh
// binding in every iteration, and the key and value loops in their three
// binding kinds. A body is copied before the first iteration and runs as a
// statement list; break ends the loop, a return leaves it with the return
// value, continue goes on. Loops have no limit of their own: every
// iteration evaluates statements, and the instruction limit bounds those.
#include <optional>
#include <string>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

// Runs the body once; false when the loop ends, with what it yields in
// *result (undefined after an error or a break, the return value after a
// return).
bool runBody(QZMPArguments body, QZMPScope& scope, QZMPError& error, V* result) {
  V outcome = QZMPEvaluator::executeStatements(body, scope, error);
  if (error || outcome.isBreak()) {
    *result = V();
    return false;
  }
  if (outcome.isReturn()) {
    *result = std::move(outcome);
    return false;
  }
  return true;
}

// The statements of a body argument's value; nullopt with code 10 when it
// is no array.
std::optional<QZMPValueList> bodyOf(const V& value, QZMPScope& scope, QZMPError& error) {
  const QZMPArrayValue* list = value.asArray();
  if (list == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return std::nullopt;
  }
  return QZMPStatementsOf(*list, scope);
}

bool truthOf(const V& statement, QZMPScope& scope, QZMPError& error) {
  const V value = QZMPEvaluator::evaluateStatement(statement, scope, error);
  if (error) return false;
  return value.booleanValueOrError(error);
}

V whileLoop(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V& condition = arguments[0];
  const V& update = arguments[1];
  const bool doFirst = truthOf(arguments[2], scope, error);
  if (error) return V();
  const V bodyValue = QZMPEvaluator::evaluateStatement(arguments[3], scope, error);
  if (error) return V();
  const std::optional<QZMPValueList> body = bodyOf(bodyValue, scope, error);
  if (!body) return V();

  V result;
  if (doFirst && !runBody(*body, scope, error, &result)) return result;
  for (;;) {
    const bool go = truthOf(condition, scope, error);
    if (error || !go) return V();
    if (!runBody(*body, scope, error, &result)) return result;
    QZMPEvaluator::evaluateStatement(update, scope, error);
    if (error) return V();
  }
}

// A scope that only this loop holds and that holds nothing but the loop's
// names can serve the next iteration as it is: a fresh copy of it would be
// indistinguishable. Anything that kept it (a closure, a block still alive)
// or a name the body declared there needs the fresh copy.
bool canServeNextIteration(const QZMPScope& scope, const std::vector<QZMPRef<QZMPStringValue>>& names) {
  if (scope.refCount() != 1 || scope.isImmutable() || scope.contents().count() != names.size()) return false;
  if (!scope.contents().hasConstants()) return true;
  for (const QZMPRef<QZMPStringValue>& name : names) {
    if (scope.contents().isConstant(*name)) return false;
  }
  return true;
}

V countingLoop(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V nameValue = QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return V();
  const QZMPArrayValue* nameList = nameValue.asArray();
  if (nameList == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return V();
  }
  const V& condition = arguments[1];
  const V& update = arguments[2];
  const V bodyValue = QZMPEvaluator::evaluateStatement(arguments[3], scope, error);
  if (error) return V();
  const std::optional<QZMPValueList> body = bodyOf(bodyValue, scope, error);
  if (!body) return V();

  std::vector<QZMPRef<QZMPStringValue>> names;
  names.reserve(nameList->count());
  for (const V& element : nameList->allElements()) {
    names.push_back(element.stringValueOrError(error));
    if (error) return V();
  }
  auto iterationScope = [&](const QZMPScope& from) {
    QZMPRef<QZMPScope> made = scope.createChildScope();
    for (const QZMPRef<QZMPStringValue>& name : names) made->addValue(from.valueForName(*name), *name);
    return made;
  };

  QZMPRef<QZMPScope> iteration = iterationScope(scope);
  bool go = truthOf(condition, *iteration, error);
  V result;
  while (go && !error) {
    if (!runBody(*body, *iteration, error, &result)) return result;
    if (!canServeNextIteration(*iteration, names)) iteration = iterationScope(*iteration);
    QZMPEvaluator::evaluateStatement(update, *iteration, error);
    if (error) return V();
    go = truthOf(condition, *iteration, error);
  }
  return V();
}

enum class Binding { assign, constant, variable };

// What a key or value loop walks, taken before the first iteration. Items
// are made one at a time, so a long string or array costs no more memory
// than its walk needs.
class Items {
 public:
  static Items keysOf(const V& collection, QZMPScope& scope) {
    Items items;
    items.collection_ = collection;
    if (const QZMPStringValue* string = collection.asString()) {
      items.kind_ = Kind::indexesOfString;
      items.count_ = string->length();
    } else if (const QZMPArrayValue* array = collection.asArray()) {
      if (const QZMPPropertyMap* properties = array->propertyMap()) items.names_ = properties->allNames();
      for (std::size_t i = 0; i < array->count(); ++i) {
        if (array->isPresent(i)) items.indexes_.push_back(static_cast<std::uint32_t>(i));
      }
      QZMPChargeElements(scope, array->count());
      items.kind_ = Kind::namesThenIndexes;
      items.count_ = items.names_.size() + items.indexes_.size();
    } else if (const QZMPMapValue* map = collection.asMap()) {
      items.names_ = map->allPropertyNames();
      items.kind_ = Kind::namesThenIndexes;
      items.count_ = items.names_.size();
    } else if (const QZMPFunctionValue* function = collection.asFunction()) {
      items.names_ = function->allPropertyNames();
      items.kind_ = Kind::namesThenIndexes;
      items.count_ = items.names_.size();
    }
    // The names are copied before the walk, however soon it ends.
    QZMPChargeElements(scope, items.names_.size());
    return items;
  }

  // nullopt for a collection that has no values to walk.
  static std::optional<Items> valuesOf(const V& collection, QZMPScope& scope) {
    Items items;
    items.collection_ = collection;
    if (const QZMPStringValue* string = collection.asString()) {
      items.kind_ = Kind::unitsOfString;
      items.count_ = string->length();
    } else if (const QZMPArrayValue* array = collection.asArray()) {
      QZMPChargeElements(scope, array->count());
      QZMPValueList elements = array->allElements();
      items.values_.assign(std::make_move_iterator(elements.begin()), std::make_move_iterator(elements.end()));
      items.kind_ = Kind::values;
      items.count_ = items.values_.size();
    } else {
      return std::nullopt;
    }
    return items;
  }

  std::size_t size() const { return count_; }

  V at(std::size_t i) const {
    switch (kind_) {
      case Kind::indexesOfString:
        return V(QZMPStringValue::withASCII(std::to_string(i)));
      case Kind::unitsOfString:
        return V::string(collection_.asString()->view().substr(i, 1));
      case Kind::namesThenIndexes:
        if (i < names_.size()) return V(names_[i]);
        return V(QZMPStringValue::withASCII(std::to_string(indexes_[i - names_.size()])));
      case Kind::values:
        return values_[i];
      case Kind::none:
        break;
    }
    return V();
  }

 private:
  enum class Kind { none, indexesOfString, unitsOfString, namesThenIndexes, values };

  Kind kind_ = Kind::none;
  V collection_;  // held so that the walk outlives any change to the names
  std::size_t count_ = 0;
  std::vector<QZMPRef<QZMPStringValue>> names_;
  std::vector<std::uint32_t> indexes_;
  std::vector<V> values_;
};

template <Binding binding>
V walk(const Items& items, const QZMPStringValue& name, QZMPArguments body, QZMPScope& scope, QZMPError& error) {
  V result;
  for (std::size_t i = 0; i < items.size(); ++i) {
    V item = items.at(i);
    if constexpr (binding == Binding::assign) {
      scope.setValue(std::move(item), name);
      if (!runBody(body, scope, error, &result)) return result;
    } else {
      const QZMPRef<QZMPScope> iteration = scope.createChildScope();
      if constexpr (binding == Binding::constant) {
        iteration->addImmutableValue(std::move(item), name);
      } else {
        iteration->addValue(std::move(item), name);
      }
      if (!runBody(body, *iteration, error, &result)) return result;
    }
  }
  return V();
}

template <Binding binding>
V keyLoop(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPStringValue> name = arguments[0].stringValueOrError(error);
  if (error) return V();
  const Items items = Items::keysOf(arguments[1], scope);
  const std::optional<QZMPValueList> body = bodyOf(arguments[2], scope, error);
  if (!body) return V();
  return walk<binding>(items, *name, *body, scope, error);
}

template <Binding binding>
V valueLoop(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPStringValue> name = arguments[0].stringValueOrError(error);
  if (error) return V();
  const std::optional<Items> items = Items::valuesOf(arguments[1], scope);
  if (!items) {
    error.set(QZMPGlintErrorNotIterable);
    return V();
  }
  const std::optional<QZMPValueList> body = bodyOf(arguments[2], scope, error);
  if (!body) return V();
  return walk<binding>(*items, *name, *body, scope, error);
}

}  // namespace

QZMPCommandEvaluator QZMPLoopCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  using B = Binding;
  return QZMPCommandEvaluator("loop", {
      {42, &whileLoop, D::raw, A::exactly(4)},
      {47, &keyLoop<B::assign>, D::evaluated, A::exactly(3)},
      {54, &keyLoop<B::constant>, D::evaluated, A::exactly(3)},
      {55, &keyLoop<B::variable>, D::evaluated, A::exactly(3)},
      {63, &countingLoop, D::raw, A::exactly(4)},
      {64, &valueLoop<B::assign>, D::evaluated, A::exactly(3)},
      {65, &valueLoop<B::constant>, D::evaluated, A::exactly(3)},
      {66, &valueLoop<B::variable>, D::evaluated, A::exactly(3)},
  });
}
