// Maps: named properties only. Their method calls reach a function stored
// under the method's name, "hasOwnProperty", or "toString".
#pragma once

#include <vector>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPPropertyMap.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPMapValue : public QZMPContainer {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::map;

  QZMPMapValue() = default;

  bool hasProperty(const QZMPStringValue& name) const {
    chargeName(name);
    return properties_.hasName(name);
  }
  void setValue(QZMPRuntimeValue value, const QZMPStringValue& forProperty) {
    chargeName(forProperty);
    properties_.setValue(std::move(value), forProperty);
  }
  QZMPRuntimeValue valueForProperty(const QZMPStringValue& name) const {
    chargeName(name);
    return properties_.valueForName(name);
  }
  void removeValueForProperty(const QZMPStringValue& name) {
    chargeName(name);
    properties_.removeValueForName(name);
  }
  std::vector<QZMPRef<QZMPStringValue>> allPropertyNames() const { return properties_.allNames(); }
  QZMPPropertyMap& propertyMap() { return properties_; }
  const QZMPPropertyMap& propertyMap() const { return properties_; }

  // Maps with methods of their own (natives) override this.
  virtual QZMPRuntimeValue applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                         QZMPError& error);

  void traceReferences(QZMPMarker& marker) override;
  void clearForCollection() override;

 private:
  QZMPPropertyMap properties_;
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
