#include "measurement/config/runtime/QZMPStandardCommands.h"

#include <utility>

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
  // What these operators give for two numbers, without their calls.
  using O = QZMPNumberOperator;
  const std::pair<int, O> operators[] = {
      {0, O::add},           {37, O::subtract},    {26, O::multiply},     {10, O::divide},  {25, O::remainder},
      {23, O::less},         {24, O::lessOrEqual}, {18, O::greater},      {19, O::greaterOrEqual},
      {20, O::strictEquals}, {21, O::strictNotEquals},
  };
  for (const auto& [opcode, numberOperator] : operators) registrar.computeNumbersDirectly(opcode, numberOperator);
  registrar.readNamesDirectly(15);
  registrar.assignNamesDirectly(3);
  registrar.returnsDirectly(36);
  registrar.callsMethodsDirectly(2, 7);
  registrar.branchesDirectly(22, 46);
}
