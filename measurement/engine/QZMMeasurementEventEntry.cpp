#include "measurement/engine/QZMMeasurement.h"

// Events are not handled yet: what the facade hands over is dropped here.

void QZMMeasurement::logEventWithOrigin(const std::string& /*origin*/, bool /*isPublicEvent*/,
                                        const std::string& /*name*/, const QZMDictionary& /*parameters*/,
                                        double /*timestamp*/, bool /*enabled*/, bool /*ignoreEnabled*/,
                                        bool /*ignoreInterceptor*/, QZMLogEventInterceptor /*interceptor*/,
                                        const QZMDictionary& /*addedScreenParameters*/) {}

void QZMMeasurement::setDefaultEventParameters(const std::optional<QZMDictionary>& /*parameters*/) {}
