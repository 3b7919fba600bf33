#include "measurement/config/runtime/QZMPStandardCommands.h"

#include "measurement/config/runtime/QZMPCommandRegistrar.h"

void QZMPRegisterStandardCommands(QZMPCommandRegistrar& registrar) {
  // Families register here, each from its own file.
  registrar.registerStringMethods(QZMPStringMethods());
}
