// What maps and functions share: named properties, read and written with
// every long name charged as text read.
#pragma once

#include <vector>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPPropertyMap.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPPropertyContainer : public QZMPContainer {
 public:
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

 protected:
  QZMPPropertyContainer() = default;

  QZMPPropertyMap properties_;
};
