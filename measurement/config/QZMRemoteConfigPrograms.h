// The event-editing program of a configuration, loaded with the modules the
// configuration offers programs: "internal.remoteConfig" (the settings as
// the server sent them), "internal.appMetadata" and "internal.logger".
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "measurement/config/QZMMeasurementSettings.h"

class QZMPBMeasurementConfig;
class QZMPBProgram;
class QZMPEventEditing;

// The loaded program; nullptr, logged, when it does not load. The program
// runs its top level here, so call it on the worker queue.
std::shared_ptr<QZMPEventEditing> QZMRemoteConfigLoadProgram(const QZMPBProgram& program,
                                                             std::shared_ptr<const QZMMeasurementSettings> settings);

// A fetched configuration. One that decodes only once its event-editing
// programs are left out (a program nested deeper than any decode takes) is
// kept without them, logged as a program that failed to load, so that the
// rest of it stays in force. nullptr when it does not decode even so.
std::unique_ptr<QZMPBMeasurementConfig> QZMRemoteConfigDecode(std::span<const std::uint8_t> data);
