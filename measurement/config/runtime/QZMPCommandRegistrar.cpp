#include "measurement/config/runtime/QZMPCommandRegistrar.h"

#include <cassert>

#include <absl/base/attributes.h>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"

namespace {

int opcodeFromName(std::string_view name) {
  std::u16string units(name.begin(), name.end());
  return QZMPOpcodeFromName(units);
}

}  // namespace

QZMPCommandEvaluator::QZMPCommandEvaluator(std::string name, std::vector<QZMPCommand> commands)
    : name_(std::move(name)), commands_(std::move(commands)) {}

std::vector<std::string> QZMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::string> names;
  names.reserve(commands_.size());
  for (const QZMPCommand& command : commands_) names.push_back(std::to_string(command.opcode));
  return names;
}

QZMPRuntimeValue QZMPCommandEvaluator::evaluateCommand(std::string_view command, QZMPArguments arguments,
                                                       QZMPScope& scope, QZMPError& error) const {
  const int opcode = opcodeFromName(command);
  for (const QZMPCommand& candidate : commands_) {
    if (candidate.opcode == opcode) return QZMPCommandRegistrar::dispatch(candidate, arguments, scope, error);
  }
  return QZMPRuntimeValue();
}

const QZMPCommandRegistrar& QZMPCommandRegistrar::sharedInstance() {
  // Made once and kept for the life of the process.
  static const QZMPCommandRegistrar* const shared = [] {
    auto* registrar = new QZMPCommandRegistrar();
    QZMPRegisterStandardCommands(*registrar);
    return registrar;
  }();
  return *shared;
}

void QZMPCommandRegistrar::registerEvaluator(QZMPCommandEvaluator evaluator) {
  auto owned = std::make_unique<QZMPCommandEvaluator>(std::move(evaluator));
  for (const QZMPCommand& command : owned->commands()) {
    const bool handled =
        command.dispatch == QZMPDispatch::statement ? command.statementHandler != nullptr : command.handler != nullptr;
    assert(command.opcode >= 0 && command.opcode < kQZMPOpcodeCapacity && handled);
    if (command.opcode < 0 || command.opcode >= kQZMPOpcodeCapacity || !handled) continue;
    commands_[command.opcode] = Slot{command, owned.get()};
  }
  evaluators_.push_back(std::move(owned));
}

void QZMPCommandRegistrar::computeNumbersDirectly(int opcode, QZMPNumberOperator numberOperator) {
  assert(commandForOpcode(opcode) != nullptr);
  if (commandForOpcode(opcode) != nullptr) commands_[opcode].numberOperator = numberOperator;
}

void QZMPCommandRegistrar::readNamesDirectly(int opcode) {
  assert(commandForOpcode(opcode) != nullptr);
  // Only for a command that would take its one argument evaluated.
  const QZMPCommand* command = commandForOpcode(opcode);
  if (command != nullptr) {
    commands_[opcode].readsName = command->dispatch == QZMPDispatch::evaluated && command->arity.accepts(1);
  }
}

void QZMPCommandRegistrar::assignNamesDirectly(int opcode) {
  assert(commandForOpcode(opcode) != nullptr);
  const QZMPCommand* command = commandForOpcode(opcode);
  if (command != nullptr) {
    commands_[opcode].assignsName = command->dispatch == QZMPDispatch::evaluated && command->arity.accepts(2);
  }
}

void QZMPCommandRegistrar::returnsDirectly(int opcode) {
  assert(commandForOpcode(opcode) != nullptr);
  const QZMPCommand* command = commandForOpcode(opcode);
  if (command != nullptr) {
    commands_[opcode].returnsData =
        command->dispatch == QZMPDispatch::evaluated && command->arity.accepts(0) && command->arity.accepts(1);
  }
}

void QZMPCommandRegistrar::callsMethodsDirectly(int methodCallOpcode, int arrayLiteralOpcode) {
  assert(commandForOpcode(methodCallOpcode) != nullptr && commandForOpcode(arrayLiteralOpcode) != nullptr);
  const QZMPCommand* call = commandForOpcode(methodCallOpcode);
  const QZMPCommand* literal = commandForOpcode(arrayLiteralOpcode);
  if (call == nullptr || literal == nullptr) return;
  commands_[methodCallOpcode].callsMethods = call->dispatch == QZMPDispatch::evaluated && call->arity.accepts(3);
  commands_[arrayLiteralOpcode].buildsArrays = literal->dispatch == QZMPDispatch::evaluated;
}

void QZMPCommandRegistrar::branchesDirectly(int branchOpcode, int statementListOpcode) {
  assert(commandForOpcode(branchOpcode) != nullptr && commandForOpcode(statementListOpcode) != nullptr);
  const QZMPCommand* branch = commandForOpcode(branchOpcode);
  const QZMPCommand* list = commandForOpcode(statementListOpcode);
  if (branch == nullptr || list == nullptr) return;
  commands_[branchOpcode].branches = branch->dispatch == QZMPDispatch::raw;
  commands_[statementListOpcode].listsStatements = list->dispatch == QZMPDispatch::raw;
}

void QZMPCommandRegistrar::registerArrayMethods(std::span<const QZMPMethod> methods) {
  for (const QZMPMethod& method : methods) arrayMethods_[std::u16string(method.name)] = method;
}

void QZMPCommandRegistrar::registerStringMethods(std::span<const QZMPMethod> methods) {
  for (const QZMPMethod& method : methods) stringMethods_[std::u16string(method.name)] = method;
}

const QZMPCommandEvaluator* QZMPCommandRegistrar::evaluatorForCommand(std::string_view command) const {
  const int opcode = opcodeFromName(command);
  return opcode < 0 ? nullptr : commands_[opcode].evaluator;
}

std::size_t QZMPCommandRegistrar::MethodKey::operator()(std::u16string_view name) const {
  return QZMPHashUTF16(name);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateStatement(const QZMPRuntimeValue& statement, QZMPScope& scope,
                                                         QZMPError& error) const {
  QZMPRuntime* runtime = scope.runtime();
  if (runtime == nullptr) {
    // A scope outside every runtime has no budget to run under.
    error.set(QZMPGlintErrorInstructionLimit);
    return QZMPRuntimeValue();
  }
  if (!runtime->countInstruction(error)) return QZMPRuntimeValue();
  const QZMPStatementValue* command = statement.asStatement();
  if (command == nullptr) return statement.isHole() ? QZMPRuntimeValue() : statement;
  if (!runtime->enterEvaluation(error)) return QZMPRuntimeValue();
  QZMPRuntimeValue result = evaluateCommand(*command, *runtime, scope, error);
  runtime->leaveEvaluation();
  if (error) result = QZMPRuntimeValue();
  return result;
}

namespace {

QZMP_HOT_INLINE QZMPRuntimeValue numbersOperated(QZMPNumberOperator numberOperator, double x, double y) {
  switch (numberOperator) {
    case QZMPNumberOperator::add: return QZMPRuntimeValue::number(x + y);
    case QZMPNumberOperator::subtract: return QZMPRuntimeValue::number(x - y);
    case QZMPNumberOperator::multiply: return QZMPRuntimeValue::number(x * y);
    case QZMPNumberOperator::divide: return QZMPRuntimeValue::number(x / y);
    case QZMPNumberOperator::remainder: return QZMPRuntimeValue::number(QZMPRemainder(x, y));
    case QZMPNumberOperator::less: return QZMPRuntimeValue::boolean(x < y);
    case QZMPNumberOperator::lessOrEqual: return QZMPRuntimeValue::boolean(x <= y);
    case QZMPNumberOperator::greater: return QZMPRuntimeValue::boolean(x > y);
    case QZMPNumberOperator::greaterOrEqual: return QZMPRuntimeValue::boolean(x >= y);
    case QZMPNumberOperator::strictEquals: return QZMPRuntimeValue::boolean(x == y);
    case QZMPNumberOperator::strictNotEquals: return QZMPRuntimeValue::boolean(x != y);
    case QZMPNumberOperator::none: break;
  }
  return QZMPRuntimeValue();
}

// Evaluated commands with at most this many arguments keep them in place.
constexpr std::size_t kFewArguments = 3;

}  // namespace

QZMP_HOT_INLINE bool QZMPCommandRegistrar::readName(const QZMPStatementValue& statement, QZMPRuntime& runtime,
                                                    QZMPScope& scope, QZMPRuntimeValue& value, QZMPError& error) {
  if (!runtime.countInstruction(error)) return false;
  value = scope.valueForName(*statement.arguments()[0].asString(), statement.nameSlot());
  return true;
}

namespace {

bool namesLiteral(const QZMPStatementValue& statement) {
  const QZMPArguments arguments = statement.arguments();
  return arguments.size() == 1 && arguments[0].isString();
}

}  // namespace

QZMP_HOT_INLINE bool QZMPCommandRegistrar::evaluateArgument(const QZMPRuntimeValue& argument, QZMPRuntime& runtime,
                                                            QZMPScope& scope, QZMPRuntimeValue& value,
                                                            QZMPError& error) const {
  if (!runtime.countInstruction(error)) return false;
  const QZMPStatementValue* nested = argument.asStatement();
  if (nested == nullptr) {
    value = argument.isHole() ? QZMPRuntimeValue() : argument;
    return true;
  }
  if (!runtime.enterEvaluation(error)) return false;
  // Reading a variable, the commonest operand, is done here rather than in
  // a call of its own.
  const int opcode = nested->opcode();
  bool done;
  if (opcode >= 0 && commands_[opcode].readsName && namesLiteral(*nested)) {
    done = readName(*nested, runtime, scope, value, error);
  } else {
    value = evaluateCommand(*nested, runtime, scope, error);
    done = !error;
  }
  runtime.leaveEvaluation();
  return done;
}

QZMP_HOT_INLINE QZMPRuntimeValue QZMPCommandRegistrar::evaluateOperator(const Slot& slot, QZMPArguments arguments,
                                                                        QZMPRuntime& runtime, QZMPScope& scope,
                                                                        QZMPError& error) const {
  QZMPRuntimeValue values[2];
  if (!evaluateArgument(arguments[0], runtime, scope, values[0], error) ||
      !evaluateArgument(arguments[1], runtime, scope, values[1], error)) {
    return QZMPRuntimeValue();
  }
  if (!slot.command.arity.accepts(2)) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  if (values[0].isNumber() && values[1].isNumber()) {
    return numbersOperated(slot.numberOperator, values[0].asNumber(), values[1].asNumber());
  }
  return slot.command.handler({values, 2}, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateAssignment(const QZMPStatementValue& statement, QZMPRuntime& runtime,
                                                          QZMPScope& scope, QZMPError& error) const {
  const QZMPArguments arguments = statement.arguments();
  // The name is a literal: its evaluation is its count.
  if (!runtime.countInstruction(error)) return QZMPRuntimeValue();
  QZMPRuntimeValue value;
  if (!evaluateArgument(arguments[1], runtime, scope, value, error)) return QZMPRuntimeValue();
  if (!scope.assignDeclared(value, *arguments[0].asString(), statement.nameSlot())) {
    error.set(QZMPGlintErrorUndeclaredName);
    return QZMPRuntimeValue();
  }
  return value;
}

bool QZMPCommandRegistrar::isArrayLiteral(const QZMPRuntimeValue& argument) const {
  const QZMPStatementValue* list = argument.asStatement();
  const int opcode = list ? list->opcode() : -1;
  if (opcode < 0 || !commands_[opcode].buildsArrays) return false;
  const QZMPArity arity = commands_[opcode].command.arity;
  return arity.accepts(list->arguments().size()) && list->arguments().size() <= kQZMPMaxArrayLength;
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateMethodCall(QZMPArguments arguments, QZMPRuntime& runtime,
                                                          QZMPScope& scope, QZMPError& error) const {
  QZMPRuntimeValue receiver, name;
  if (!evaluateArgument(arguments[0], runtime, scope, receiver, error) ||
      !evaluateArgument(arguments[1], runtime, scope, name, error)) {
    return QZMPRuntimeValue();
  }
  // The literal's own count, depth and elements, and the charge for the
  // array it would have made.
  if (!runtime.countInstruction(error) || !runtime.enterEvaluation(error)) return QZMPRuntimeValue();
  const QZMPArguments elements = arguments[2].asStatement()->arguments();
  QZMPValueList values;
  values.reserve(elements.size());
  for (const QZMPRuntimeValue& element : elements) {
    if (!evaluateArgument(element, runtime, scope, values.emplace_back(), error)) {
      runtime.leaveEvaluation();
      return QZMPRuntimeValue();
    }
  }
  runtime.chargeInstructions((values.size() + kQZMPElementsPerInstruction - 1) / kQZMPElementsPerInstruction);
  runtime.leaveEvaluation();

  const QZMPStringValue* method = name.asString();
  if (method == nullptr) {
    error.set(QZMPGlintErrorArgumentKind);
    return QZMPRuntimeValue();
  }
  QZMPChargeElements(scope, values.size());
  QZMPChargeTextWork(scope, method->length());
  return receiver.applyWithName(method->view(), values, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateBranch(const Slot& slot, QZMPArguments arguments, QZMPRuntime& runtime,
                                                      QZMPScope& scope, QZMPError& error) const {
  if (!slot.command.arity.accepts(arguments.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  const bool condition = evaluateStatement(arguments[0], scope, error).booleanValueOrError(error);
  if (error) return QZMPRuntimeValue();
  const std::size_t chosen = condition ? 1 : 2;
  if (chosen >= arguments.size()) return QZMPRuntimeValue();
  const QZMPRuntimeValue& branch = arguments[chosen];
  // A list written in place: the count, depth and charges of making the
  // list value, then its statements run as the list would have run them.
  const QZMPStatementValue* list = branch.asStatement();
  if (list != nullptr && list->opcode() >= 0 && commands_[list->opcode()].listsStatements) {
    if (!runtime.countInstruction(error) || !runtime.enterEvaluation(error)) return QZMPRuntimeValue();
    runtime.leaveEvaluation();
    const std::size_t count = list->arguments().size();
    if (count > kQZMPMaxArrayLength) {
      error.set(QZMPGlintErrorTooLarge);
      return QZMPRuntimeValue();
    }
    runtime.chargeInstructions((count + kQZMPElementsPerInstruction - 1) / kQZMPElementsPerInstruction);
    QZMPChargeElements(scope, count);
    return QZMPEvaluator::executeStatements(list->arguments(), scope, error);
  }
  QZMPRuntimeValue value = evaluateStatement(branch, scope, error);
  if (error) return QZMPRuntimeValue();
  if (const QZMPArrayValue* statements = value.asArray()) {
    const QZMPValueList copy = QZMPStatementsOf(*statements, scope);
    return QZMPEvaluator::executeStatements(copy, scope, error);
  }
  return value;
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateCommand(const QZMPStatementValue& statement, QZMPRuntime& runtime,
                                                       QZMPScope& scope, QZMPError& error) const {
  const int opcode = statement.opcode();
  if (opcode < 0 || commands_[opcode].evaluator == nullptr) {
    return QZMPFunctionEvaluator::evaluateCommand(statement, scope, error);
  }
  const Slot& slot = commands_[opcode];
  const QZMPCommand* command = &slot.command;
  const QZMPArguments arguments = statement.arguments();
  if (command->dispatch == QZMPDispatch::raw) {
    if (slot.branches) return evaluateBranch(slot, arguments, runtime, scope, error);
    return dispatch(*command, arguments, scope, error);
  }
  if (command->dispatch == QZMPDispatch::statement) {
    if (!command->arity.accepts(arguments.size())) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    return command->statementHandler(statement, scope, error);
  }
  if (command->arity.checkFirst && !command->arity.accepts(arguments.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }

  // Evaluated commands, the bulk of every program, take their arguments
  // here: each is counted, literals are their own value, and a nested
  // statement recurses straight into this function. The same steps as
  // evaluateStatement, without a call per argument; short argument lists
  // stay in place, and the operators on two numbers need no call at all.
  const std::size_t count = arguments.size();
  if (slot.readsName && count == 1 && arguments[0].isString()) {
    QZMPRuntimeValue value;
    readName(statement, runtime, scope, value, error);
    return value;
  }
  if (count == 2) {
    if (slot.numberOperator != QZMPNumberOperator::none) {
      return evaluateOperator(slot, arguments, runtime, scope, error);
    }
    if (slot.assignsName && arguments[0].isString() && command->arity.accepts(2)) {
      return evaluateAssignment(statement, runtime, scope, error);
    }
  }
  if (count == 3 && slot.callsMethods && isArrayLiteral(arguments[2])) {
    return evaluateMethodCall(arguments, runtime, scope, error);
  }
  if (count <= kFewArguments) {
    QZMPRuntimeValue values[kFewArguments];
    for (std::size_t i = 0; i < count; ++i) {
      if (!evaluateArgument(arguments[i], runtime, scope, values[i], error)) return QZMPRuntimeValue();
    }
    if (!command->arity.accepts(count)) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    if (slot.numberOperator != QZMPNumberOperator::none && values[0].isNumber() && values[1].isNumber()) {
      return numbersOperated(slot.numberOperator, values[0].asNumber(), values[1].asNumber());
    }
    return command->handler({values, count}, scope, error);
  }
  return evaluateLongCommand(*command, arguments, runtime, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateLongCommand(const QZMPCommand& command, QZMPArguments arguments,
                                                           QZMPRuntime& runtime, QZMPScope& scope,
                                                           QZMPError& error) const {
  QZMPValueList values;
  values.reserve(arguments.size());
  for (const QZMPRuntimeValue& argument : arguments) {
    if (!evaluateArgument(argument, runtime, scope, values.emplace_back(), error)) return QZMPRuntimeValue();
  }
  if (!command.arity.accepts(values.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  return command.handler(values, scope, error);
}

bool QZMPCommandRegistrar::evaluateArguments(QZMPArguments arguments, QZMPRuntime& runtime, QZMPScope& scope,
                                             QZMPValueList& values, QZMPError& error) const {
  values.reserve(values.size() + arguments.size());
  for (const QZMPRuntimeValue& argument : arguments) {
    if (!evaluateArgument(argument, runtime, scope, values.emplace_back(), error)) return false;
  }
  return true;
}

QZMPRuntimeValue QZMPCommandRegistrar::runFunctionBody(QZMPArguments statements, QZMPScope& scope,
                                                       QZMPError& error) const {
  QZMPRuntime* runtime = scope.runtime();
  QZMPRuntimeValue last;
  for (const QZMPRuntimeValue& statement : statements) {
    // A return written in the body: the counts and the evaluation of
    // evaluateStatement, with the data kept as it is rather than wrapped in
    // a return value only to be unwrapped below.
    const QZMPStatementValue* command = statement.asStatement();
    const int opcode = command ? command->opcode() : -1;
    if (runtime != nullptr && opcode >= 0 && commands_[opcode].returnsData && command->arguments().size() <= 1) {
      if (!runtime->countInstruction(error) || !runtime->enterEvaluation(error)) return QZMPRuntimeValue();
      QZMPRuntimeValue data;
      const bool done =
          command->arguments().empty() || evaluateArgument(command->arguments()[0], *runtime, scope, data, error);
      runtime->leaveEvaluation();
      return done ? data : QZMPRuntimeValue();
    }
    QZMPRuntimeValue value = evaluateStatement(statement, scope, error);
    if (error) return QZMPRuntimeValue();
    if (value.isControl()) {
      if (const QZMPControlValue* control = value.asReturn()) return control->data();
      return value;
    }
    last = std::move(value);
  }
  return last;
}

QZMPRuntimeValue QZMPCommandRegistrar::dispatch(const QZMPCommand& command, QZMPArguments arguments, QZMPScope& scope,
                                                QZMPError& error) {
  if (command.dispatch != QZMPDispatch::evaluated || command.arity.checkFirst) {
    if (!command.arity.accepts(arguments.size())) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    if (command.dispatch == QZMPDispatch::raw) return command.handler(arguments, scope, error);
    if (command.dispatch == QZMPDispatch::statement) {
      const QZMPRef<QZMPStatementValue> statement = QZMPStatementValue::withFunctionName(
          QZMPStringValue::withASCII(std::to_string(command.opcode)),
          std::vector<QZMPRuntimeValue>(arguments.begin(), arguments.end()));
      return command.statementHandler(*statement, scope, error);
    }
  }
  QZMPValueList values;
  if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
  if (!command.arity.accepts(values.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  return command.handler(values, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateMethod(const MethodTable& table, std::u16string_view name,
                                                      const QZMPRuntimeValue& receiver, QZMPArguments arguments,
                                                      QZMPScope& scope, QZMPError& error) {
  const auto found = table.find(name);
  if (found == table.end()) {
    error.set(QZMPGlintErrorNoSuchMethod);
    return QZMPRuntimeValue();
  }
  const QZMPMethod method = found->second;
  QZMPValueList values;
  if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
  if (!method.arity.accepts(values.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  const QZMPRuntimeValue pinned = receiver;
  return method.handler(pinned, values, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateArrayMethod(std::u16string_view name, const QZMPRuntimeValue& array,
                                                           QZMPArguments arguments, QZMPScope& scope,
                                                           QZMPError& error) const {
  return evaluateMethod(arrayMethods_, name, array, arguments, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateStringMethod(std::u16string_view name, const QZMPRuntimeValue& string,
                                                            QZMPArguments arguments, QZMPScope& scope,
                                                            QZMPError& error) const {
  return evaluateMethod(stringMethods_, name, string, arguments, scope, error);
}
