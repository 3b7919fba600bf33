// Conversions that follow nested values, with the depth they were reached at.
#pragma once

#include <string_view>

#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPArrayValue;
class QZMPCommandRegistrar;
class QZMPScope;

// How deep string conversion, equality and host conversion follow nested
// values.
inline constexpr int kQZMPMaxConversionDepth = 128;

QZMPRef<QZMPStringValue> QZMPStringValueAtDepth(const QZMPRuntimeValue& value, int depth, QZMPError& error);
QZMPRef<QZMPStringValue> QZMPJoinArray(const QZMPArrayValue& array, std::u16string_view separator, int depth,
                                       QZMPError& error);

// The registrar of the scope's runtime (the shared one outside a runtime).
const QZMPCommandRegistrar& QZMPRegistrarOf(const QZMPScope& scope);
