// Objects another library attaches to a window or a view controller under a
// key of its own, living as long as the object they are attached to. A value
// of a type the reader does not expect is the reader's to handle.
#pragma once

#include <any>
#include <map>
#include <mutex>
#include <string>

namespace ui {

class AssociatedObjects {
 public:
  // Empty when nothing is attached under the key.
  std::any get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(key);
    return it == objects_.end() ? std::any() : it->second;
  }
  // An empty value detaches.
  void set(const std::string& key, std::any value) {
    std::lock_guard lock(mutex_);
    if (value.has_value()) objects_.insert_or_assign(key, std::move(value));
    else objects_.erase(key);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::any> objects_;
};

}  // namespace ui
