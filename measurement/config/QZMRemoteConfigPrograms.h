// The event-editing program of a configuration, loaded with the modules the
// configuration offers programs: "internal.remoteConfig" (the settings as
// the server sent them), "internal.appMetadata" and "internal.logger".
#pragma once

#include <memory>

#include "measurement/config/QZMMeasurementSettings.h"

class QZMPBProgram;
class QZMPEventEditing;

// The loaded program; nullptr, logged, when it does not load. The program
// runs its top level here, so call it on the worker queue.
std::shared_ptr<QZMPEventEditing> QZMRemoteConfigLoadProgram(const QZMPBProgram& program,
                                                             std::shared_ptr<const QZMMeasurementSettings> settings);
