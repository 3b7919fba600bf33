// Small string values kept as generic-password items of the platform
// keychain, so they outlive the app's data (and its reinstallation on the
// same device). An item is found by its app ID (the service) and its
// identifier (the account and the generic attribute).
//
// A keychain that cannot be read is a failure, never "no item": an item is
// neither reported missing nor overwritten because of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/keychain/Keychain.h"

class QZMKeychainWrapper {
 public:
  // nullopt when either string is empty.
  static std::optional<keychain::Query> searchDirectoryForIdentifier(std::string_view identifier,
                                                                     std::string_view appID);
  // The item's data; nullopt without a query or an item.
  static foundation::Result<std::optional<foundation::Data>> keychainDataWithIdentifier(std::string_view identifier,
                                                                                        std::string_view appID);
  // The item's data as UTF-8; nullopt when there is none, it is empty or it
  // is no UTF-8. The first read of the process migrates its item first.
  static foundation::Result<std::optional<std::string>> keychainValueWithIdentifier(std::string_view identifier,
                                                                                    std::string_view appID);
  // Adds or replaces the item; the value must be a non-empty string.
  static foundation::Status upsertKeychainValue(const foundation::Object& value, std::string_view identifier,
                                                std::string_view appID);
  static void deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID);

  // Items of older versions may hold the account or generic attribute as
  // something other than a string.
  static bool isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID);
  // Rewrites such an item's attributes as strings; its value stays.
  static void migrateKeychainDataToStringWithIdentifier(std::string_view identifier, std::string_view appID);
  // The next read migrates again, as the first read of a new process does.
  static void resetMigrationGuard();
};
