#include "measurement/identity/QZMKeychainWrapper.h"

#include <atomic>

#include "platform/foundation/Strings.h"

namespace {

using foundation::Data;
using foundation::Object;

std::atomic<bool>& migrationDone() {
  static std::atomic<bool> done = false;
  return done;
}

foundation::Error parameterError(const std::string& what) {
  return foundation::Error(keychain::kKeychainErrorDomain, keychain::kErrorParam, what);
}

bool isItemNotFound(const foundation::Error& error) {
  return error.domain == keychain::kKeychainErrorDomain && error.code == keychain::kErrorItemNotFound;
}

}  // namespace

std::optional<keychain::Query> QZMKeychainWrapper::searchDirectoryForIdentifier(std::string_view identifier,
                                                                                std::string_view appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return keychain::Query{Object(appID), Object(identifier), Object(identifier)};
}

foundation::Result<std::optional<Data>> QZMKeychainWrapper::keychainDataWithIdentifier(std::string_view identifier,
                                                                                       std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::optional<Data>();
  auto found = keychain::Keychain::shared().copyMatching(*query, 1);
  if (!found) {
    if (isItemNotFound(found.error())) return std::optional<Data>();
    return found.error();
  }
  return std::optional<Data>(found->front().valueData);
}

foundation::Result<std::optional<std::string>> QZMKeychainWrapper::keychainValueWithIdentifier(
    std::string_view identifier, std::string_view appID) {
  if (!migrationDone().exchange(true)) migrateKeychainDataToStringWithIdentifier(identifier, appID);
  auto data = keychainDataWithIdentifier(identifier, appID);
  if (!data) return data.error();
  if (!*data || (*data)->empty()) return std::optional<std::string>();
  std::string text((*data)->begin(), (*data)->end());
  if (!foundation::isValidUTF8(text)) return std::optional<std::string>();
  return std::optional<std::string>(std::move(text));
}

foundation::Status QZMKeychainWrapper::upsertKeychainValue(const Object& value, std::string_view identifier,
                                                           std::string_view appID) {
  if (!value.isString() || value.string()->empty()) return parameterError("a keychain value is a non-empty string");
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return parameterError("a keychain item needs an identifier and an app ID");
  auto existing = keychainValueWithIdentifier(identifier, appID);
  if (!existing) return existing.error();
  const Data data(value.string()->begin(), value.string()->end());
  keychain::Keychain& keychain = keychain::Keychain::shared();
  if (*existing) return keychain.update(*query, {.valueData = data});

  keychain::Item item{Object(appID), Object(identifier), Object(identifier), keychain::kAccessibleAlwaysThisDeviceOnly,
                      data};
  auto added = keychain.add(item);
  if (added || added.error().code != keychain::kErrorDuplicateItem) return added;
  // The item is there but held no readable value (empty, or no UTF-8):
  // replace it rather than fail on every later write.
  keychain::Query sameItem{Object(appID), Object(identifier), std::nullopt};
  return keychain.update(sameItem, {.account = Object(identifier),
                                    .generic = Object(identifier),
                                    .accessibility = std::string(keychain::kAccessibleAlwaysThisDeviceOnly),
                                    .valueData = data});
}

void QZMKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return;
  (void)keychain::Keychain::shared().deleteItems(*query);
}

bool QZMKeychainWrapper::isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  auto found = keychain::Keychain::shared().copyMatching(*query, 1);
  if (!found) return false;
  const keychain::Item& item = found->front();
  return !item.account.isString() || !item.generic.isString();
}

void QZMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                                   std::string_view appID) {
  if (!isMigrationNeededForIdentifier(identifier, appID)) return;
  auto data = keychainDataWithIdentifier(identifier, appID);
  if (!data || !*data || (*data)->empty()) return;
  (void)keychain::Keychain::shared().update(*searchDirectoryForIdentifier(identifier, appID),
                                            {.account = Object(identifier), .generic = Object(identifier)});
}

void QZMKeychainWrapper::resetMigrationGuard() { migrationDone() = false; }
