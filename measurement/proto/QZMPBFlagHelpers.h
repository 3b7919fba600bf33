// Building and reading the experiment flag message, for the experiment
// manager's default flags and flag values.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Object.h"

// A flag named `name` holding `value`: a string value goes to the string
// field, a floating number to the double field, any other number (Booleans
// too) to the int64 field. nullptr after a logged refusal: no name (code
// 850000), a name that is not a string (850001), a value that is neither a
// number nor a string (850002).
std::unique_ptr<QZMPBFlag> QZMPBFlagCreate(const std::optional<foundation::Object>& name,
                                           const std::optional<foundation::Object>& value);

// The flag's value: the first present of the int64, double, string and bool
// fields, in that order; nullopt for no flag or no value.
std::optional<foundation::Object> QZMPBFlagGetValue(const QZMPBFlag* flag);

// Where the flag helpers' refusals go: the experiments monitor, once the
// experiments code installs it. The contexts are those the monitor's
// logWithLevel:messageCode:message:context: call takes (none or one).
using QZMPBFlagLogHook = std::function<void(int64_t level, int64_t messageCode, std::string_view message,
                                            const foundation::Array& contexts)>;
// Installs the hook for every later refusal; an empty hook restores the
// default, a line on the system log. Answers the hook it replaced.
QZMPBFlagLogHook QZMPBSetFlagLogHook(QZMPBFlagLogHook hook);
