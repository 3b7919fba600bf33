#include "platform/installations/ZNHInstallations.h"

#include <absl/strings/escaping.h>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Random.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char* kSuite = "com.zarnholt.installations";
constexpr const char* kKey = "installation_id";

}  // namespace

std::shared_ptr<ZNHInstallations> ZNHInstallations::installations() {
  static auto* instance = new std::shared_ptr<ZNHInstallations>(new ZNHInstallations);
  return *instance;
}

foundation::Result<std::string> ZNHInstallations::identifier() {
  std::lock_guard lock(mutex_);
  auto suite = foundation::UserDefaults::suite(kSuite);
  if (auto stored = suite->stringForKey(kKey); stored && stored->size() == 22) return *stored;
  auto bytes = foundation::secureRandomBytes(16);
  if (!bytes) return bytes.error();
  std::string id = absl::WebSafeBase64Escape(absl::string_view(reinterpret_cast<const char*>(bytes->data()), 16));
  if (auto saved = suite->setObject(id, kKey); !saved) return saved.error();
  foundation::NotificationCenter::defaultCenter().postNotificationName(ZNHInstallationIDDidChangeNotification);
  return id;
}

void ZNHInstallations::installationIDWithCompletion(IDCompletion completion) {
  if (!completion) return;
  dispatch::Queue::global()->async([this, completion = std::move(completion)] {
    auto id = identifier();
    if (id) {
      completion(*id, std::nullopt);
    } else {
      completion(std::nullopt, id.error());
    }
  });
}

void ZNHInstallations::deleteWithCompletion(std::function<void(const std::optional<foundation::Error>&)> completion) {
  dispatch::Queue::global()->async([this, completion = std::move(completion)] {
    foundation::Status removed;
    bool existed;
    {
      std::lock_guard lock(mutex_);
      auto suite = foundation::UserDefaults::suite(kSuite);
      existed = suite->objectForKey(kKey).has_value();
      removed = suite->removeObjectForKey(kKey);
    }
    if (existed && removed) {
      foundation::NotificationCenter::defaultCenter().postNotificationName(ZNHInstallationIDDidChangeNotification);
    }
    if (completion) completion(removed ? std::nullopt : std::optional<foundation::Error>(removed.error()));
  });
}
