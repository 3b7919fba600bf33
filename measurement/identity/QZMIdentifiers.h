// A small read-only front over the identity for components that only need
// the app ID, the app instance ID, an ad event ID or the library version:
// it asks the running engine's identity, else the shared one.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class QZMIdentifiers {
 public:
  static std::shared_ptr<QZMIdentifiers> sharedInstance();

  // The app ID of the service property list.
  std::optional<std::string> dralixAppID() const;
  // The same, nullopt (logged) when empty.
  std::optional<std::string> analyticsAppID() const;
  std::optional<std::string> appInstanceID() const;
  // Consecutive decimal numbers from a random start, one per call.
  std::string adEventID();
  std::string libraryVersion() const;

  std::optional<std::string> origin() const;
  // An empty origin is refused (logged) and the old one kept.
  void setOrigin(std::string_view origin);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> origin_;
};
