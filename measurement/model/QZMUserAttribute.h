// One user property as the engine holds it in memory and writes it into the
// upload message, and the table of the automatically collected properties'
// public and internal names.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMValue.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Error.h"

using QZMNameMap = std::map<std::string, std::string, std::less<>>;

// Public name -> internal name of the 10 automatically collected properties
// ("first_open_time" -> "_fot", ...). Its keys are reserved for apps.
const QZMNameMap& QZMInternalUserPropertyNameMap();

class QZMUserAttribute {
 public:
  // nullopt unless the internal name and value rules accept the name and the
  // value for that name (the validator logs why). The origin is not checked.
  static std::optional<QZMUserAttribute> initWithOrigin(std::string origin, std::string name, QZMValue value,
                                                        double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const QZMValue& value() const { return value_; }
  // Seconds since 1970.
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // A name that does not begin with "_".
  bool isPublic() const;

  // The name, the value in the field of its type (none for an array) and the
  // set time in milliseconds.
  std::unique_ptr<QZMPBUserAttribute> protoUserAttribute() const;

  // The database's form of the property: the value as text, an integer or a
  // double (an array stays an array, which the database refuses).
  QZMStoredUserAttribute stored() const;
  // nullopt when the row's value is no string or number, or the rules
  // refuse its name or value.
  static std::optional<QZMUserAttribute> fromStored(const QZMStoredUserAttribute& stored);

 private:
  QZMUserAttribute(std::string origin, std::string name, QZMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

  std::string origin_;
  std::string name_;
  QZMValue value_;
  double lastSetTimestamp_;
};

// How a value is kept in a value column: text, a double, or an int64 for any
// other number; an array is kept as an array so that storing it fails.
foundation::Object QZMStoredObjectFromValue(const QZMValue& value);

// The stored user properties that convert, in row order. Without internal
// ones it also leaves out what an app could not have set itself: names
// beginning with "_", names with a reserved prefix, and the public names of
// the automatically collected properties.
foundation::Result<std::vector<QZMUserAttribute>> QZMUserAttributesIncludingInternal(QZMDatabase& database,
                                                                                      bool includingInternal);
// The "_ltv_" properties, newest set first; one that does not convert fails
// the read.
foundation::Result<std::vector<QZMUserAttribute>> QZMAllLifetimeValueUserAttributes(QZMDatabase& database);
