#include "measurement/config/runtime/QZMPCommandRegistrar.h"

#include <cassert>

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
    assert(command.opcode >= 0 && command.opcode < kQZMPOpcodeCapacity && command.handler);
    if (command.opcode < 0 || command.opcode >= kQZMPOpcodeCapacity || !command.handler) continue;
    commands_[command.opcode] = Slot{command, owned.get()};
  }
  evaluators_.push_back(std::move(owned));
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
  if (error) return QZMPRuntimeValue();
  return result;
}

QZMPRuntimeValue QZMPCommandRegistrar::evaluateCommand(const QZMPStatementValue& statement, QZMPRuntime& runtime,
                                                       QZMPScope& scope, QZMPError& error) const {
  const int opcode = statement.opcode();
  if (opcode < 0 || commands_[opcode].evaluator == nullptr) {
    return QZMPFunctionEvaluator::evaluateCommand(statement, scope, error);
  }
  const QZMPCommand* command = &commands_[opcode].command;
  const QZMPArguments arguments = statement.arguments();
  if (command->dispatch == QZMPDispatch::raw || command->arity.checkFirst) {
    return dispatch(*command, arguments, scope, error);
  }

  // Evaluated commands, the bulk of every program, take their arguments
  // here: each is counted, literals are their own value, and a nested
  // statement recurses straight into this function. The same steps as
  // evaluateStatement, without a call per argument.
  QZMPValueList values;
  values.reserve(arguments.size());
  for (const QZMPRuntimeValue& argument : arguments) {
    if (!runtime.countInstruction(error)) return QZMPRuntimeValue();
    const QZMPStatementValue* nested = argument.asStatement();
    if (nested == nullptr) {
      values.push_back(argument.isHole() ? QZMPRuntimeValue() : argument);
      continue;
    }
    if (!runtime.enterEvaluation(error)) return QZMPRuntimeValue();
    QZMPRuntimeValue value = evaluateCommand(*nested, runtime, scope, error);
    runtime.leaveEvaluation();
    if (error) return QZMPRuntimeValue();
    values.push_back(std::move(value));
  }
  if (!command->arity.accepts(values.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  return command->handler(values, scope, error);
}

QZMPRuntimeValue QZMPCommandRegistrar::dispatch(const QZMPCommand& command, QZMPArguments arguments, QZMPScope& scope,
                                                QZMPError& error) {
  if (command.dispatch == QZMPDispatch::raw || command.arity.checkFirst) {
    if (!command.arity.accepts(arguments.size())) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    if (command.dispatch == QZMPDispatch::raw) return command.handler(arguments, scope, error);
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
