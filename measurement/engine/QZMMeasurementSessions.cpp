#include "measurement/engine/QZMMeasurement.h"

// Sessions are not tracked yet: there is no timeout to change.

void QZMMeasurement::setSessionTimeoutInterval(double /*seconds*/) {}
