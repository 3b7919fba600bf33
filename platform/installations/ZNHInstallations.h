// The installation identifier: a random 22-character web-safe text made on
// first request and kept in the data home, so it stays the same for the
// installation until deleted.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

// Posted on the default notification centre (no sender) whenever the stored
// identifier changes: when one is made and when it is deleted.
inline constexpr const char* ZNHInstallationIDDidChangeNotification = "ZNHInstallationIDDidChangeNotification";

class ZNHInstallations {
 public:
  using IDCompletion =
      std::function<void(const std::optional<std::string>& identifier, const std::optional<foundation::Error>& error)>;

  // The default installations object.
  static std::shared_ptr<ZNHInstallations> installations();

  // Calls the completion once, on the global queue, with the identifier or an error.
  void installationIDWithCompletion(IDCompletion completion);
  // Forgets the identifier; the next request makes a new one.
  void deleteWithCompletion(std::function<void(const std::optional<foundation::Error>&)> completion);

 private:
  foundation::Result<std::string> identifier();
  std::mutex mutex_;
};
