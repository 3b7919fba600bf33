#include "measurement/config/runtime/QZMPStandardCommands.h"

#include "measurement/config/runtime/QZMPCommandRegistrar.h"

void QZMPRegisterStandardCommands(QZMPCommandRegistrar& registrar) {
  // Families register here, each from its own file.
  registrar.registerEvaluator(QZMPBitwiseCommandEvaluator());
  registrar.registerEvaluator(QZMPComparisonCommandEvaluator());
  registrar.registerEvaluator(QZMPControlCommandEvaluator());
  registrar.registerEvaluator(QZMPLogicalCommandEvaluator());
  registrar.registerEvaluator(QZMPLoopCommandEvaluator());
  registrar.registerEvaluator(QZMPMathCommandEvaluator());
  registrar.registerEvaluator(QZMPVariableCommandEvaluator());
  registrar.registerArrayMethods(QZMPArrayMethods());
  registrar.registerStringMethods(QZMPStringMethods());
}
