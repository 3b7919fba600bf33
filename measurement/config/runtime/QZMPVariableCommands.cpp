// Names and properties: declaring, reading and assigning names, reading and
// writing properties by the receiver's kind, the array and map literals,
// the type name and the undefined and null literals. Every argument arrives
// evaluated.
#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

using V = QZMPRuntimeValue;

// The name a string value holds; nullptr with code 10 for any other value.
const QZMPStringValue* nameOf(const V& value, QZMPError& error) {
  const QZMPStringValue* name = value.asString();
  if (name == nullptr) error.set(QZMPGlintErrorArgumentKind);
  return name;
}

V assign(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPStringValue* name = nameOf(arguments[0], error);
  if (name == nullptr) return V();
  if (!scope.assignDeclared(arguments[1], *name)) {
    error.set(QZMPGlintErrorUndeclaredName);
    return V();
  }
  return arguments[1];
}

V declare(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  for (const V& argument : arguments) {
    const QZMPStringValue* name = nameOf(argument, error);
    if (name == nullptr) return V();
    scope.addValue(V(), *name);
  }
  return V();
}

V declareConstants(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  if (arguments.size() % 2 != 0) {
    error.set(QZMPGlintErrorArgumentCount);
    return V();
  }
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const QZMPStringValue* name = nameOf(arguments[i], error);
    if (name == nullptr) return V();
    scope.addImmutableValue(arguments[i + 1], *name);
  }
  return V();
}

V read(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPStringValue* name = nameOf(arguments[0], error);
  return name ? scope.valueForName(*name) : V();
}

// One code unit of a string by index, its length, or undefined.
V stringProperty(const QZMPStringValue& string, const V& key, QZMPError& error) {
  double index;
  if (QZMPIsValidArrayIndex(key, &index)) {
    if (index >= static_cast<double>(string.length())) return V();
    return V::string(string.view().substr(static_cast<std::size_t>(index), 1));
  }
  const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
  if (error) return V();
  return name->equals(u"length") ? V::number(static_cast<double>(string.length())) : V();
}

V readProperty(QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const V& object = arguments[0];
  const V& key = arguments[1];
  switch (object.kind()) {
    case QZMPValueKind::array:
      return object.asArray()->valueForProperty(key, error);
    case QZMPValueKind::map:
    case QZMPValueKind::function: {
      const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
      if (error) return V();
      return object.isMap() ? object.asMap()->valueForProperty(*name) : object.asFunction()->valueForProperty(*name);
    }
    case QZMPValueKind::string:
      return stringProperty(*object.asString(), key, error);
    default:
      return V();
  }
}

V writeProperty(QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const V& object = arguments[0];
  const V& key = arguments[1];
  const V& value = arguments[2];
  switch (object.kind()) {
    case QZMPValueKind::undefined:
    case QZMPValueKind::null:
      error.set(QZMPGlintErrorPropertyOfNothing);
      return V();
    case QZMPValueKind::array:
      object.asArray()->setValue(value, key, error);
      break;
    case QZMPValueKind::map:
    case QZMPValueKind::function: {
      const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
      if (error) return V();
      if (object.isMap()) {
        object.asMap()->setValue(value, *name);
      } else {
        object.asFunction()->setValue(value, *name);
      }
      break;
    }
    default:
      // Numbers, Booleans and strings keep no properties.
      break;
  }
  return error ? V() : value;
}

V arrayLiteral(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  if (arguments.size() > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return V();
  }
  return QZMPObjectManager::arrayValueWithArray(arguments, scope);
}

V mapLiteral(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  if (arguments.size() % 2 != 0) {
    error.set(QZMPGlintErrorArgumentCount);
    return V();
  }
  QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(scope);
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const QZMPRef<QZMPStringValue> key = arguments[i].stringValueOrError(error);
    if (error) return V();
    map->setValue(arguments[i + 1], *key);
  }
  return map;
}

V typeName(QZMPArguments arguments, QZMPScope&, QZMPError&) {
  return V(QZMPStringValue::withASCII(arguments[0].typeName()));
}

V undefinedLiteral(QZMPArguments, QZMPScope&, QZMPError&) { return V(); }

V nullLiteral(QZMPArguments, QZMPScope&, QZMPError&) { return V::null(); }

}  // namespace

QZMPCommandEvaluator QZMPVariableCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  return QZMPCommandEvaluator("variable", {
      {3, &assign, D::evaluated, A::exactly(2)},
      {7, &arrayLiteral, D::evaluated, A::any()},
      {8, &mapLiteral, D::evaluated, A::any()},
      {15, &read, D::evaluated, A::exactly(1)},
      {16, &readProperty, D::evaluated, A::exactly(2)},
      {17, &readProperty, D::evaluated, A::exactly(2)},
      {40, &typeName, D::evaluated, A::exactly(1)},
      {41, &declare, D::evaluated, A::any()},
      {43, &writeProperty, D::evaluated, A::exactly(3)},
      {44, &undefinedLiteral, D::evaluated, A::any()},
      {45, &nullLiteral, D::evaluated, A::any()},
      {52, &declareConstants, D::evaluated, A::any()},
  });
}
