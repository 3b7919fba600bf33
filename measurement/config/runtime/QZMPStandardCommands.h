// The command families and method tables every runtime gets.
#pragma once

class QZMPCommandRegistrar;

void QZMPRegisterStandardCommands(QZMPCommandRegistrar& registrar);
