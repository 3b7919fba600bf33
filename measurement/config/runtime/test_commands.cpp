#include "test_commands.h"

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"

namespace {

QZMPRuntimeValue log(QZMPArguments arguments, QZMPScope&, QZMPError&) {
  std::string line;
  for (const QZMPRuntimeValue& argument : arguments) line += (line.empty() ? "" : " ") + QZMPDescribe(argument);
  QZMPTestLog().push_back(line);
  return arguments.empty() ? QZMPRuntimeValue() : arguments.back();
}

QZMPRuntimeValue fail(QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  error.set(static_cast<QZMPGlintErrorCode>(arguments[0].asNumber()));
  return QZMPRuntimeValue();
}

QZMPRuntimeValue repeat(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  while (!error) QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  return QZMPRuntimeValue();
}

QZMPRuntimeValue get(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  return scope.valueForName(*arguments[0].asString());
}

QZMPRuntimeValue set(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  scope.setValue(arguments[1], *arguments[0].asString());
  return arguments[1];
}

QZMPRuntimeValue declare(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  scope.addValue(arguments[1], *arguments[0].asString());
  return arguments[1];
}

QZMPRuntimeValue function(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPRuntimeValue name = QZMPEvaluator::evaluateStatement(arguments[0], scope, error);
  const QZMPRuntimeValue parameters = QZMPEvaluator::evaluateStatement(arguments[1], scope, error);
  if (error) return QZMPRuntimeValue();
  std::vector<QZMPRef<QZMPStringValue>> names;
  std::u16string_view list = parameters.asString()->view();
  while (!list.empty()) {
    const std::size_t comma = list.find(u',');
    names.push_back(QZMPStringValue::withUTF16(list.substr(0, comma)));
    list = comma == std::u16string_view::npos ? std::u16string_view() : list.substr(comma + 1);
  }
  return QZMPObjectManager::functionValueWithFunctionName(
      QZMPRef<QZMPStringValue>(name.asString()), std::move(names),
      std::vector<QZMPRuntimeValue>(arguments.begin() + 2, arguments.end()), QZMPRef<QZMPScope>(&scope));
}

QZMPRuntimeValue returnValue(QZMPArguments arguments, QZMPScope&, QZMPError&) {
  return QZMPControlValue::returnValueWithData(arguments.empty() ? QZMPRuntimeValue() : arguments[0]);
}

QZMPRuntimeValue add(QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const double a = arguments[0].doubleValueOrError(error);
  const double b = arguments[1].doubleValueOrError(error);
  return error ? QZMPRuntimeValue() : QZMPRuntimeValue::number(a + b);
}

QZMPRuntimeValue map(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(scope);
  for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) {
    map->setValue(arguments[i + 1], *arguments[i].stringValueOrError(error));
  }
  return map;
}

QZMPRuntimeValue first(QZMPArguments arguments, QZMPScope&, QZMPError&) { return arguments[0]; }

QZMPRuntimeValue array(QZMPArguments arguments, QZMPScope& scope, QZMPError&) {
  return QZMPObjectManager::arrayValueWithArray(arguments, scope);
}

QZMPRuntimeValue less(QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const double a = arguments[0].doubleValueOrError(error);
  const double b = arguments[1].doubleValueOrError(error);
  return QZMPRuntimeValue::boolean(a < b);
}

QZMPRuntimeValue branch(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const bool condition = QZMPEvaluator::evaluateStatement(arguments[0], scope, error).booleanValueOrError(error);
  if (error) return QZMPRuntimeValue();
  if (condition) return QZMPEvaluator::evaluateStatement(arguments[1], scope, error);
  return arguments.size() > 2 ? QZMPEvaluator::evaluateStatement(arguments[2], scope, error) : QZMPRuntimeValue();
}

QZMPRuntimeValue arrayFirst(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope&, QZMPError&) {
  return receiver.asArray()->elementAt(0);
}

QZMPRuntimeValue stringSize(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope&, QZMPError&) {
  return QZMPRuntimeValue::number(static_cast<double>(receiver.asString()->length()));
}

constexpr QZMPMethod kArrayMethods[] = {{u"first", &arrayFirst, QZMPArity::exactly(0)}};
constexpr QZMPMethod kStringMethods[] = {{u"size", &stringSize, QZMPArity::atMost(1)}};

}  // namespace

std::vector<std::string>& QZMPTestLog() {
  static std::vector<std::string> lines;
  return lines;
}

const QZMPCommandRegistrar& QZMPTestRegistrar() {
  static const QZMPCommandRegistrar* const registrar = [] {
    auto* made = new QZMPCommandRegistrar();
    using D = QZMPDispatch;
    using A = QZMPArity;
    made->registerEvaluator(QZMPCommandEvaluator("test", {
        {100, &log, D::evaluated, A::any()},
        {101, &fail, D::evaluated, A::exactly(1)},
        {102, &repeat, D::raw, A::exactly(1)},
        {103, &get, D::evaluated, A::exactly(1)},
        {104, &set, D::evaluated, A::exactly(2)},
        {105, &declare, D::evaluated, A::exactly(2)},
        {106, &function, D::raw, A::atLeast(2)},
        {107, &returnValue, D::evaluated, A::atMost(1)},
        {108, &add, D::evaluated, A::exactly(2)},
        {109, &map, D::evaluated, A::any()},
        {110, &first, D::evaluated, A::exactly(2).checkedFirst()},
        {111, &first, D::raw, A::atLeast(1)},
        {112, &array, D::evaluated, A::any()},
        {113, &less, D::evaluated, A::exactly(2)},
        {114, &branch, D::raw, A::between(2, 3)},
    }));
    made->registerArrayMethods(kArrayMethods);
    made->registerStringMethods(kStringMethods);
    return made;
  }();
  return *registrar;
}
