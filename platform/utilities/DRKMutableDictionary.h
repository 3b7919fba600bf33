// A dictionary that serialises its own accesses, for reading and writing from
// several queues; dictionary() hands out a snapshot.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

class DRKMutableDictionary {
 public:
  std::optional<foundation::Object> objectForKey(std::string_view key) const;
  // A null object removes the key.
  void setObject(foundation::Object object, std::string_view key);
  void removeObjectForKey(std::string_view key);
  void removeAllObjects();
  std::size_t count() const;
  foundation::Dictionary dictionary() const;

 private:
  mutable std::mutex mutex_;
  foundation::Dictionary values_;
};
