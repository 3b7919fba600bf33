#include "platform/foundation/NotificationCenter.h"

#include <atomic>

namespace foundation {

struct NotificationCenter::Entry {
  Token token;
  std::string name;
  const void* object;
  Executor executor;
  Observer block;
  std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter;
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserverForName(std::string name, const void* object,
                                                                 Executor executor, Observer block) {
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->object = object;
  entry->executor = std::move(executor);
  entry->block = std::move(block);
  std::lock_guard lock(mutex_);
  entry->token = next_++;
  entries_.push_back(entry);
  return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->token == token) {
      (*it)->active = false;
      entries_.erase(it);
      return;
    }
  }
}

void NotificationCenter::postNotificationName(std::string name, const void* object, Dictionary userInfo) {
  postNotification(Notification{std::move(name), object, std::move(userInfo)});
}

void NotificationCenter::postNotification(const Notification& notification) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
      if ((e->name.empty() || e->name == notification.name) && (!e->object || e->object == notification.object))
        matching.push_back(e);
    }
  }
  for (const auto& e : matching) {
    if (!e->block || !e->active) continue;
    if (e->executor) {
      e->executor([e, notification] {
        if (e->active) e->block(notification);
      });
    } else {
      e->block(notification);
    }
  }
}

}  // namespace foundation
