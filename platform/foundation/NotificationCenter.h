// Notifications by name, with an optional sender and a user-info dictionary.
// Observers are blocks; each runs on the posting thread or through the
// executor it was added with (for example a dispatch queue's async).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace foundation {

struct Notification {
  std::string name;
  // The sender, compared by identity only.
  const void* object = nullptr;
  Dictionary userInfo;
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Executor = std::function<void(std::function<void()>)>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  // An empty name observes every name; a null object every sender; a null
  // executor runs the block on the posting thread before post returns.
  Token addObserverForName(std::string name, const void* object, Executor executor, Observer block);
  // After this returns the block is not started again (a run already handed
  // to an executor is skipped).
  void removeObserver(Token token);
  void postNotificationName(std::string name, const void* object = nullptr, Dictionary userInfo = {});
  void postNotification(const Notification& notification);

 private:
  struct Entry;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  Token next_ = 1;
};

}  // namespace foundation
