// Statement structure: statement lists and blocks, branching, the sequence
// and conditional expressions, switch, break, continue and return, function
// definitions and method calls. Most handlers take their arguments raw and
// evaluate only what the construct runs. Lists run from a copy taken before
// they start, so a statement that rewrites its own list cannot change what
// runs or make the run read past the list.
#include <optional>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"
#include "measurement/config/runtime/QZMPStatementValue.h"

namespace {

using V = QZMPRuntimeValue;

V runList(const QZMPArrayValue& list, QZMPScope& scope, QZMPError& error) {
  const QZMPValueList statements = QZMPStatementsOf(list, scope);
  return QZMPEvaluator::executeStatements(statements, scope, error);
}

V statementList(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  if (arguments.size() > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return V();
  }
  return QZMPObjectManager::arrayValueWithArray(arguments, scope);
}

V block(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPScope> inner = scope.createChildScope();
  return QZMPEvaluator::executeStatements(arguments, *inner, error);
}

V run(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const QZMPArrayValue* list = arguments[0].asArray();
  if (list == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return V();
  }
  return runList(*list, scope, error);
}

V sequence(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  V last;
  for (const V& argument : arguments) {
    last = QZMPEvaluator::evaluateStatement(argument, scope, error);
    if (error) return V();
    if (last.isControl()) {
      error.set(QZMPGlintErrorArgumentKind);
      return V();
    }
  }
  return last;
}

// A branch written as a list statement runs that statement's arguments in
// place: the run, the count and the charges are those of making the list
// value and running it, without the array. Only where the list opcode is
// this family's, since a runtime's registrar may give it to another.
bool runsAsWrittenList(const V& branch, QZMPScope& scope, V* result, QZMPError& error) {
  const QZMPStatementValue* list = branch.asStatement();
  QZMPRuntime* runtime = scope.runtime();
  if (list == nullptr || runtime == nullptr) return false;
  const QZMPCommand* command = runtime->registrar().commandForOpcode(list->opcode());
  if (command == nullptr || command->handler != &statementList) return false;
  if (!runtime->countInstruction(error) || !runtime->enterEvaluation(error)) {
    *result = V();
    return true;
  }
  runtime->leaveEvaluation();
  const std::size_t count = list->arguments().size();
  if (count > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    *result = V();
    return true;
  }
  runtime->chargeInstructions((count + kQZMPElementsPerInstruction - 1) / kQZMPElementsPerInstruction);
  QZMPChargeElements(scope, count);
  *result = QZMPEvaluator::executeStatements(list->arguments(), scope, error);
  return true;
}

V branch(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const bool condition = QZMPEvaluator::evaluateStatement(arguments[0], scope, error).booleanValueOrError(error);
  if (error) return V();
  const std::size_t chosen = condition ? 1 : 2;
  if (chosen >= arguments.size()) return V();
  V result;
  if (runsAsWrittenList(arguments[chosen], scope, &result, error)) return result;
  const V value = QZMPEvaluator::evaluateStatement(arguments[chosen], scope, error);
  if (error) return V();
  // A list branch runs here, so its break, continue or return comes out.
  if (const QZMPArrayValue* list = value.asArray()) return runList(*list, scope, error);
  return value;
}

V conditional(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const bool condition = QZMPEvaluator::evaluateStatement(arguments[0], scope, error).booleanValueOrError(error);
  if (error) return V();
  return QZMPEvaluator::evaluateStatement(arguments[condition ? 1 : 2], scope, error);
}

V switchCases(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V& discriminant = arguments[0];
  const QZMPArrayValue* caseList = arguments[1].asArray();
  const QZMPArrayValue* bodyList = arguments[2].asArray();
  if (caseList == nullptr || bodyList == nullptr) {
    error.set(QZMPGlintErrorArgumentCount);
    return V();
  }
  const QZMPValueList cases = QZMPStatementsOf(*caseList, scope);
  const QZMPValueList bodies = QZMPStatementsOf(*bodyList, scope);

  // The result of one body: nullopt to go on, else what the switch yields.
  auto runBody = [&](std::size_t i) -> std::optional<V> {
    // Fewer bodies than cases: the missing ones are empty.
    if (i >= bodies.size()) return std::nullopt;
    V result = QZMPEvaluator::evaluateStatement(bodies[i], scope, error);
    if (error) return V();
    if (result.isBreak()) return V();
    if (result.isControl()) return result;
    return std::nullopt;
  };

  bool matched = false;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!matched) {
      const V candidate = QZMPEvaluator::evaluateStatement(cases[i], scope, error);
      if (error) return V();
      QZMPChargeStrictComparison(candidate, discriminant, scope);
      matched = QZMPStrictEquals(candidate, discriminant);
    }
    if (matched) {
      if (std::optional<V> outcome = runBody(i)) return error ? V() : *outcome;
    }
  }
  if (bodies.size() == cases.size() + 1) {
    if (std::optional<V> outcome = runBody(cases.size())) return error ? V() : *outcome;
  }
  return V();
}

V breakCommand(QZMPArguments, QZMPScope&, QZMPError&) { return V::breakValue(); }

V continueCommand(QZMPArguments, QZMPScope&, QZMPError&) { return V::continueValue(); }

V returnCommand(QZMPArguments arguments, QZMPScope&, QZMPError&) {
  return QZMPControlValue::returnValueWithData(arguments.empty() ? V() : arguments[0]);
}

// A function value from (name, parameter array, body...), defined in scope.
// The body is the definition's own statements, shared by every function it
// makes.
QZMPRef<QZMPFunctionValue> makeFunction(const QZMPStatementValue& definition, QZMPScope& scope, QZMPError& error) {
  const QZMPArguments arguments = definition.arguments();
  // The name is taken as written, never evaluated.
  QZMPRef<QZMPStringValue> name = arguments[0].stringValueOrError(error);
  if (error) return nullptr;
  const V parameterList = QZMPEvaluator::evaluateStatement(arguments[1], scope, error);
  if (error) return nullptr;
  const QZMPArrayValue* parameters = parameterList.asArray();
  if (parameters == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return nullptr;
  }
  if (!QZMPChargeParameters(scope.runtime(), parameters->count(), error)) return nullptr;
  // Names that are not strings are made as text, at a second charge each.
  std::size_t made = 0;
  for (std::size_t i = 0; i < parameters->count(); ++i) made += !parameters->slotAt(i).isString();
  if (!QZMPChargeParameters(scope.runtime(), made, error)) return nullptr;
  std::vector<QZMPRef<QZMPStringValue>> parameterNames;
  parameterNames.reserve(parameters->count());
  for (std::size_t i = 0; i < parameters->count(); ++i) {
    parameterNames.push_back(parameters->elementAt(i).stringValueOrError(error));
    if (error) return nullptr;
  }
  return QZMPObjectManager::functionValueWithBody(std::move(name), std::move(parameterNames),
                                                  {QZMPRef<const QZMPStatementValue>(&definition), 2},
                                                  QZMPRef<QZMPScope>(&scope));
}

V functionExpression(const QZMPStatementValue& definition, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPFunctionValue> function = makeFunction(definition, scope, error);
  return error ? V() : V(std::move(function));
}

V functionDeclaration(const QZMPStatementValue& definition, QZMPScope& scope, QZMPError& error) {
  QZMPRef<QZMPFunctionValue> function = makeFunction(definition, scope, error);
  if (error) return V();
  scope.setValue(V(function), function->functionName());
  return V(std::move(function));
}

V methodCall(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) {
  const V& receiver = arguments[0];
  const QZMPStringValue* name = arguments[1].asString();
  const QZMPArrayValue* list = arguments[2].asArray();
  if (name == nullptr || list == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return V();
  }
  // The method may change the array its arguments came from.
  const QZMPValueList methodArguments = list->allElements();
  QZMPChargeElements(scope, methodArguments.size());
  // The name is hashed and compared whole to find the method.
  QZMPChargeTextWork(scope, name->length());
  return receiver.applyWithName(name->view(), methodArguments, scope, error);
}

}  // namespace

QZMPCommandEvaluator QZMPControlCommandEvaluator() {
  using D = QZMPDispatch;
  using A = QZMPArity;
  return QZMPCommandEvaluator("control", {
      {2, &methodCall, D::evaluated, A::exactly(3)},
      {4, &breakCommand, D::raw, A::exactly(0)},
      {5, &run, D::evaluated, A::exactly(1)},
      {6, &continueCommand, D::raw, A::exactly(0)},
      {9, &run, D::evaluated, A::exactly(1)},
      {13, &sequence, D::raw, A::atLeast(1)},
      {22, &branch, D::raw, A::between(1, 3)},
      {36, &returnCommand, D::evaluated, A::atMost(1)},
      {38, &switchCases, D::evaluated, A::exactly(3)},
      {39, &conditional, D::raw, A::exactly(3)},
      {46, &statementList, D::raw, A::any()},
      {50, nullptr, D::statement, A::atLeast(2), &functionDeclaration},
      {51, nullptr, D::statement, A::atLeast(2), &functionExpression},
      {53, &block, D::raw, A::any()},
  });
}
