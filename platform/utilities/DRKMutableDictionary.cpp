#include "platform/utilities/DRKMutableDictionary.h"

std::optional<foundation::Object> DRKMutableDictionary::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void DRKMutableDictionary::setObject(foundation::Object object, std::string_view key) {
  std::lock_guard lock(mutex_);
  if (object.isNull()) {
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
    return;
  }
  values_.insert_or_assign(std::string(key), std::move(object));
}

void DRKMutableDictionary::removeObjectForKey(std::string_view key) { setObject(foundation::Object(), key); }

void DRKMutableDictionary::removeAllObjects() {
  std::lock_guard lock(mutex_);
  values_.clear();
}

std::size_t DRKMutableDictionary::count() const {
  std::lock_guard lock(mutex_);
  return values_.size();
}

foundation::Dictionary DRKMutableDictionary::dictionary() const {
  std::lock_guard lock(mutex_);
  return values_;
}
