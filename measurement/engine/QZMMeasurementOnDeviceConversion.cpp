#include "measurement/engine/QZMMeasurement.h"

// On-device conversion is not measured yet: the user's identifier is not kept.

void QZMMeasurement::setUserData(const foundation::Dictionary& /*userData*/) {}
