// Maps: named properties only. Their method calls reach a function stored
// under the method's name, "hasOwnProperty", or "toString".
#pragma once

#include <vector>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPPropertyContainer.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPMapValue : public QZMPPropertyContainer {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::map;

  QZMPMapValue() = default;

  // Maps with methods of their own (natives) override this.
  virtual QZMPRuntimeValue applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                         QZMPError& error);

  void traceReferences(QZMPMarker& marker) override;
  void clearForCollection() override;
};

inline QZMPMapValue* QZMPRuntimeValue::asMap() const {
  return isMap() ? static_cast<QZMPMapValue*>(object_) : nullptr;
}

// Method calls on a value with named properties (maps and functions): a
// function stored under the name is invoked; "hasOwnProperty" tests a name;
// anything else is the base behaviour ("toString", else code 17).
QZMPRuntimeValue QZMPApplyWithProperties(const QZMPRuntimeValue& receiver, const QZMPPropertyMap& properties,
                                         std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                         QZMPError& error);
// The base behaviour of every value: "toString" gives the string value; any
// other name sets code 17.
QZMPRuntimeValue QZMPApplyBaseMethod(const QZMPRuntimeValue& receiver, std::u16string_view name, QZMPError& error);
