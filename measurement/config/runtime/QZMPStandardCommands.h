// The command families and method tables every runtime gets.
#pragma once

#include <span>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"

void QZMPRegisterStandardCommands(QZMPCommandRegistrar& registrar);

// The methods of string values.
std::span<const QZMPMethod> QZMPStringMethods();
