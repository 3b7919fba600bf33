// The command families and method tables every runtime gets.
#pragma once

#include <span>

class QZMPCommandEvaluator;
class QZMPCommandRegistrar;
struct QZMPMethod;

void QZMPRegisterStandardCommands(QZMPCommandRegistrar& registrar);

QZMPCommandEvaluator QZMPBitwiseCommandEvaluator();
QZMPCommandEvaluator QZMPComparisonCommandEvaluator();
QZMPCommandEvaluator QZMPControlCommandEvaluator();
QZMPCommandEvaluator QZMPLogicalCommandEvaluator();
QZMPCommandEvaluator QZMPLoopCommandEvaluator();
QZMPCommandEvaluator QZMPMathCommandEvaluator();
QZMPCommandEvaluator QZMPVariableCommandEvaluator();

std::span<const QZMPMethod> QZMPArrayMethods();
std::span<const QZMPMethod> QZMPStringMethods();
