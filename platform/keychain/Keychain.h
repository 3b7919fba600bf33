// Generic-password items kept in one property-list file in the keychain
// folder (outside the app-data home, so deleting the app's data keeps them),
// readable by the user only (file 0600, folder 0700).
//
// An item is found by its attributes: service, account and generic attribute.
// Attributes are objects, normally strings; items written by older versions
// may hold data instead. As in the platform's keychain, an attribute is its
// bytes: a query with a string finds an item that holds the same bytes as
// data, and the item is returned with the kind it was written with.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace keychain {

inline constexpr const char* kKeychainErrorDomain = "keychain";
// Status codes as the platform numbers them.
enum KeychainError : std::int64_t {
  kErrorParam = -50,
  kErrorIO = -36,
  kErrorDuplicateItem = -25299,
  kErrorItemNotFound = -25300,
};

inline constexpr const char* kAccessibleAlwaysThisDeviceOnly = "dku";

struct Item {
  foundation::Object service;
  foundation::Object account;
  foundation::Object generic;
  std::string accessibility;
  foundation::Data valueData;
};

// Attributes a search must match; an absent one matches anything.
struct Query {
  std::optional<foundation::Object> service;
  std::optional<foundation::Object> account;
  std::optional<foundation::Object> generic;
};

// What an update changes; absent fields are kept.
struct Changes {
  std::optional<foundation::Object> account = std::nullopt;
  std::optional<foundation::Object> generic = std::nullopt;
  std::optional<std::string> accessibility = std::nullopt;
  std::optional<foundation::Data> valueData = std::nullopt;
};

class Keychain {
 public:
  // The keychain at <Paths::keychainDirectory()>/keychain.plist.
  static Keychain& shared();
  explicit Keychain(std::string path) : path_(std::move(path)) {}
  // The shared keychain's file, as the current roots place it.
  static std::string defaultPath();

  // Adds an item; an item with the same service and account already there is
  // kErrorDuplicateItem.
  foundation::Status add(const Item& item);
  // Up to limit matching items in the order they were added; none is
  // kErrorItemNotFound.
  foundation::Result<std::vector<Item>> copyMatching(const Query& query, std::size_t limit = 1) const;
  // Changes every matching item; none is kErrorItemNotFound.
  foundation::Status update(const Query& query, const Changes& changes);
  // Deletes every matching item; none is kErrorItemNotFound.
  foundation::Status deleteItems(const Query& query);

 private:
  std::string path() const;
  foundation::Result<std::vector<Item>> load() const;
  foundation::Status save(const std::vector<Item>& items);

  const std::string path_;  // empty: the shared keychain, placed by the current roots
  mutable std::mutex mutex_;
};

}  // namespace keychain
