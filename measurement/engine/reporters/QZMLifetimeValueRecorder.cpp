#include "measurement/engine/reporters/QZMLifetimeValueRecorder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Strings.h"

namespace {

const QZMValue* parameter(const QZMEvent& event, const char* name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : &found->second;
}

// The value's amount in micros; nullopt when it does not fit an int64.
std::optional<std::int64_t> amountInMicros(const QZMEvent& event, const QZMValue& value) {
  std::int64_t amount = 0;
  if (QZMLifetimeValueRecorder::isEcommercePurchaseEvent(event)) {
    if (value.isInt64()) {
      if (__builtin_mul_overflow(value.int64Value(), std::int64_t{1'000'000}, &amount)) return std::nullopt;
    } else {
      double micros = std::round(value.doubleValue() * 1'000'000.0);
      if (!std::isfinite(micros) || micros >= 9223372036854775808.0 || micros < -9223372036854775808.0) {
        return std::nullopt;
      }
      amount = QZMSaturatingCast<std::int64_t>(micros);
    }
    if (event.name() == "refund" && __builtin_sub_overflow(std::int64_t{0}, amount, &amount)) return std::nullopt;
    return amount;
  }
  // "_iap" carries micros already.
  if (value.isInt64()) return value.int64Value();
  double micros = std::trunc(value.doubleValue());
  if (!std::isfinite(micros) || micros >= 9223372036854775808.0 || micros < -9223372036854775808.0) {
    return std::nullopt;
  }
  return QZMSaturatingCast<std::int64_t>(micros);
}

}  // namespace

bool QZMLifetimeValueRecorder::isEcommercePurchaseEvent(const QZMEvent& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool QZMLifetimeValueRecorder::isPurchaseEvent(const QZMEvent& event) {
  return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool QZMLifetimeValueRecorder::recordLifetimeValueToDatabase(QZMDatabase& database, const QZMEvent& event) {
  if (!isPurchaseEvent(event)) return true;
  auto monitor = QZMMeasurement::monitor();
  const QZMValue* currency = parameter(event, "currency");
  if (!currency || !currency->isString() || foundation::utf16Length(*currency->stringValue()) != 3) {
    monitor->logWithLevel(1, 22000, "Cannot record transaction with invalid currency code");
    return true;
  }
  const QZMValue* value = parameter(event, "value");
  if (!value || !(value->isDouble() || value->isInt64())) {
    monitor->logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value");
    return true;
  }
  std::optional<std::int64_t> amount = amountInMicros(event, *value);
  if (!amount) {
    monitor->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
    return false;
  }

  const std::string name = "_ltv_" + foundation::uppercased(*currency->stringValue(), "en_US_POSIX");
  auto attributes = QZMAllLifetimeValueUserAttributes(database);
  if (!attributes.ok()) {
    monitor->logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error", attributes.error());
    return false;
  }
  std::int64_t total = *amount;
  auto existing = std::find_if(attributes->begin(), attributes->end(),
                               [&](const QZMUserAttribute& attribute) { return attribute.name() == name; });
  if (existing != attributes->end()) {
    // A sum past the int64 range would wrap into a wrong value of the
    // opposite sign.
    if (__builtin_add_overflow(existing->value().int64Value(), *amount, &total)) {
      monitor->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
  } else if (static_cast<std::int64_t>(attributes->size()) >= QZMMeasurement::remoteConfig()->maxTrackedCurrencies()) {
    const std::string& oldest = attributes->back().name();
    if (auto deleted = database.deleteUserAttributeWithName(oldest); !deleted.ok()) {
      monitor->logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error", oldest,
                            deleted.error());
      return false;
    }
  }

  QZMStoredUserAttribute attribute{"auto", name, foundation::Object(total), foundation::now()};
  if (auto updated = database.updateUserAttribute(attribute); !updated.ok()) {
    monitor->logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error", name,
                          updated.error());
    return false;
  }
  monitor->logWithLevel(7, 22006, "Lifetime value has been updated in database");
  return true;
}
