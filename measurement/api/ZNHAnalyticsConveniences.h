// Conveniences over the public API for host code: the store's own
// description of a transaction, and a screen view logged when a view appears.
// Both only translate into calls of ZNHAnalytics.
#pragma once

#include <cstdint>
#include <string>

#include "measurement/api/ZNHAnalytics.h"
#include "platform/store/StoreKit.h"

// The purchase type ZNHAnalytics::logTransactionWithProductID expects: 0
// non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable
// subscription; anything else 0.
std::int64_t productTypeCode(store::ProductType type);

// What a logged screen reports when it appears (see panel/LoggedScreen.h for
// the view that carries it).
struct LoggedAnalyticsModifier {
  std::string screenName;
  std::string screenClass;
  ZNHAnalytics::Parameters extraParameters;

  // The appearance action: a "screen_view" event with the extra parameters,
  // whose "screen_name" and "screen_class" are this modifier's.
  void logScreenView() const;
};
