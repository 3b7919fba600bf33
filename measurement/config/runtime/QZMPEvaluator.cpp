#include "measurement/config/runtime/QZMPEvaluator.h"

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/QZMPValueInternals.h"

QZMPRuntimeValue QZMPEvaluator::evaluateStatement(const QZMPRuntimeValue& statement, QZMPScope& scope,
                                                  QZMPError& error) {
  const QZMPRuntime* runtime = scope.runtime();
  const QZMPCommandRegistrar& registrar = runtime ? runtime->registrar() : QZMPCommandRegistrar::sharedInstance();
  return registrar.evaluateStatement(statement, scope, error);
}

QZMPRuntimeValue QZMPEvaluator::executeStatements(QZMPArguments statements, QZMPScope& scope, QZMPError& error) {
  const QZMPCommandRegistrar& registrar = QZMPRegistrarOf(scope);
  QZMPRuntimeValue last;
  for (const QZMPRuntimeValue& statement : statements) {
    QZMPRuntimeValue value = registrar.evaluateStatement(statement, scope, error);
    if (error) return QZMPRuntimeValue();
    if (value.isControl()) return value;
    last = std::move(value);
  }
  return last;
}

QZMPRuntimeValue QZMPEvaluator::executeStatements(const QZMPArrayValue& statements, QZMPScope& scope,
                                                  QZMPError& error) {
  const QZMPValueList copy = QZMPStatementsOf(statements, scope);
  return executeStatements(copy, scope, error);
}

bool QZMPEvaluator::evaluateArguments(QZMPArguments arguments, QZMPScope& scope, QZMPValueList& values,
                                      QZMPError& error) {
  QZMPRuntime* runtime = scope.runtime();
  if (runtime != nullptr) return runtime->registrar().evaluateArguments(arguments, *runtime, scope, values, error);
  // Outside a runtime every evaluation fails for want of a budget.
  const QZMPCommandRegistrar& registrar = QZMPCommandRegistrar::sharedInstance();
  for (const QZMPRuntimeValue& argument : arguments) {
    QZMPRuntimeValue value = registrar.evaluateStatement(argument, scope, error);
    if (error) return false;
    values.push_back(std::move(value));
  }
  return true;
}

QZMPRuntimeValue QZMPFunctionEvaluator::evaluateCommand(const QZMPStatementValue& statement, QZMPScope& scope,
                                                        QZMPError& error) {
  const QZMPRuntimeValue callee = scope.valueForName(statement.functionName(), statement.nameSlot());
  if (QZMPFunctionValue* function = callee.asFunction()) {
    return function->invokeWithArguments(statement.arguments(), scope, error);
  }
  return QZMPRuntimeValue();
}
