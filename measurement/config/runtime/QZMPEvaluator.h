// The entry points every command and value uses to run program code; each
// statement goes to the command registrar of the scope's runtime.
#pragma once

#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPArrayValue;
class QZMPScope;
class QZMPStatementValue;

class QZMPEvaluator {
 public:
  static QZMPRuntimeValue evaluateStatement(const QZMPRuntimeValue& statement, QZMPScope& scope, QZMPError& error);
  // Evaluates in order in one scope: an error gives undefined, a control
  // value stops the run and is the result; else the last value (undefined
  // for none).
  static QZMPRuntimeValue executeStatements(QZMPArguments statements, QZMPScope& scope, QZMPError& error);
  // The same over an array's elements (a statement list), as they are when
  // the run starts: statements that change the list do not change the run.
  static QZMPRuntimeValue executeStatements(const QZMPArrayValue& statements, QZMPScope& scope, QZMPError& error);
  // Evaluates each argument in order into values, stopping at the first
  // error (false).
  static bool evaluateArguments(QZMPArguments arguments, QZMPScope& scope, QZMPValueList& values, QZMPError& error);
};

// Statements whose name no command owns call the script function of that
// name in scope; a name bound to anything else gives undefined.
class QZMPFunctionEvaluator {
 public:
  static QZMPRuntimeValue evaluateCommand(const QZMPStatementValue& statement, QZMPScope& scope, QZMPError& error);
};
