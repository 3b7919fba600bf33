#include "measurement/api/QZMStoredDeepLink.h"

#include <cmath>
#include <limits>
#include <optional>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMConfigStore.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr std::int64_t kHourMilliseconds = 3'600'000;

}  // namespace

void QZMStoreDeepLink(QZMConfigStore& store, const std::string& link) {
  store.setObject(foundation::Object(link), kQZMStoredDeepLinkKey);
  store.setDouble(foundation::now(), kQZMStoredDeepLinkTimestampKey);
}

void QZMClearStoredDeepLink(QZMConfigStore& store) {
  store.removeObjectForKey(kQZMStoredDeepLinkKey);
  store.removeObjectForKey(kQZMStoredDeepLinkTimestampKey);
}

bool QZMIsStoredDeepLinkOlderThan(const QZMConfigStore& store, double seconds) {
  std::optional<foundation::Object> stored = store.numberForKey(kQZMStoredDeepLinkTimestampKey);
  if (!stored) return false;
  return std::fabs(foundation::now() - stored->doubleValue()) > seconds;
}

bool QZMExpireStoredDeepLink(const QZMRemoteConfig& remoteConfig) {
  auto store = QZMUserDefaults::sharedUserDefaults();
  if (!QZMIsStoredDeepLinkOlderThan(*store, remoteConfig.attributionCacheTTLInterval())) return false;
  QZMClearStoredDeepLink(*store);
  return true;
}

std::int64_t QZMPreviousHourStartMilliseconds(std::int64_t milliseconds) {
  std::int64_t hourStart = milliseconds / kHourMilliseconds * kHourMilliseconds;
  if (hourStart < std::numeric_limits<std::int64_t>::min() + kHourMilliseconds) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return hourStart - kHourMilliseconds;
}
