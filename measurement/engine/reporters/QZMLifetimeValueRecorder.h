// Keeps, per currency, the user's lifetime purchase value as the internal
// user property "_ltv_" + the currency code, in micros. The engine calls it
// inside the transaction that writes an event, so a failure here rolls the
// write back.
#pragma once

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMEvent.h"

class QZMLifetimeValueRecorder {
 public:
  // false only when the database failed or the amount does not fit; an
  // event that is no purchase, or has no usable currency or value, leaves
  // the properties alone and answers true.
  static bool recordLifetimeValueToDatabase(QZMDatabase& database, const QZMEvent& event);
  // "_iap", or an e-commerce purchase.
  static bool isPurchaseEvent(const QZMEvent& event);
  // "ecommerce_purchase", "purchase" or "refund".
  static bool isEcommercePurchaseEvent(const QZMEvent& event);
};
