#include "platform/keychain/Keychain.h"

#include <optional>
#include <string_view>

#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace keychain {
namespace {

using foundation::Error;
using foundation::Object;

Error keychainError(KeychainError code, const std::string& what) { return Error(kKeychainErrorDomain, code, what); }

// The keychain keeps attributes as bytes: a string and data with the same
// bytes are the same attribute, whichever kind the item was written with.
bool sameAttribute(const Object& a, const Object& b) {
  auto bytesOf = [](const Object& o) -> std::optional<std::string_view> {
    if (o.isString()) return std::string_view(*o.string());
    if (o.isData()) return std::string_view(reinterpret_cast<const char*>(o.data()->data()), o.data()->size());
    return std::nullopt;
  };
  auto x = bytesOf(a), y = bytesOf(b);
  return x && y ? *x == *y : a == b;
}

bool matches(const Query& q, const Item& item) {
  return (!q.service || sameAttribute(*q.service, item.service)) &&
         (!q.account || sameAttribute(*q.account, item.account)) &&
         (!q.generic || sameAttribute(*q.generic, item.generic));
}

bool validAttribute(const Object& o) { return o.isString() || o.isData(); }

}  // namespace

Keychain& Keychain::shared() {
  static auto* instance = new Keychain("");
  return *instance;
}

std::string Keychain::defaultPath() {
  return foundation::appendingPathComponent(foundation::Paths::keychainDirectory(), "keychain.plist");
}

std::string Keychain::path() const { return path_.empty() ? defaultPath() : path_; }

foundation::Result<std::vector<Item>> Keychain::load() const {
  std::string file = path();
  std::vector<Item> items;
  if (!foundation::fileExists(file)) return items;
  auto root = foundation::readPropertyListFile(file);
  if (!root || !root->isArray()) {
    return keychainError(kErrorIO, "keychain file unusable, left untouched: " +
                                       (root ? file + ": the root is not an array" : root.error().description));
  }
  for (const auto& entry : *root->array()) {
    auto field = [&](const char* key) -> Object {
      const Object* o = entry.find(key);
      return o ? *o : Object();
    };
    Item item;
    item.service = field("svce");
    item.account = field("acct");
    item.generic = field("gena");
    Object access = field("pdmn");
    item.accessibility = access.isString() ? *access.string() : "";
    Object value = field("v_Data");
    if (value.isData()) item.valueData = *value.data();
    items.push_back(std::move(item));
  }
  return items;
}

foundation::Status Keychain::save(const std::vector<Item>& items) {
  foundation::Array entries;
  for (const auto& item : items) {
    foundation::Dictionary d{{"pdmn", item.accessibility}, {"v_Data", item.valueData}};
    if (!item.service.isNull()) d["svce"] = item.service;
    if (!item.account.isNull()) d["acct"] = item.account;
    if (!item.generic.isNull()) d["gena"] = item.generic;
    entries.emplace_back(std::move(d));
  }
  std::string file = path();
  std::string folder = foundation::deletingLastPathComponent(file);
  if (!foundation::isDirectory(folder)) {
    if (auto made = foundation::createDirectory(folder, 0700); !made) return keychainError(kErrorIO, made.error().description);
  }
  if (auto written = foundation::writePropertyListFile(file, Object(std::move(entries)), 0600); !written)
    return keychainError(kErrorIO, written.error().description);
  return {};
}

foundation::Status Keychain::add(const Item& item) {
  if (!validAttribute(item.service) || !validAttribute(item.account) ||
      (!item.generic.isNull() && !validAttribute(item.generic)))
    return keychainError(kErrorParam, "an item needs a service and an account (string or data)");
  std::lock_guard lock(mutex_);
  auto items = load();
  if (!items) return items.error();
  for (const auto& existing : *items) {
    if (sameAttribute(existing.service, item.service) && sameAttribute(existing.account, item.account))
      return keychainError(kErrorDuplicateItem, "an item with this service and account exists");
  }
  items->push_back(item);
  return save(*items);
}

foundation::Result<std::vector<Item>> Keychain::copyMatching(const Query& query, std::size_t limit) const {
  std::lock_guard lock(mutex_);
  auto items = load();
  if (!items) return items.error();
  std::vector<Item> found;
  for (const auto& item : *items) {
    if (found.size() >= limit) break;
    if (matches(query, item)) found.push_back(item);
  }
  if (found.empty()) return keychainError(kErrorItemNotFound, "no matching item");
  return found;
}

foundation::Status Keychain::update(const Query& query, const Changes& changes) {
  if ((changes.account && !validAttribute(*changes.account)) || (changes.generic && !validAttribute(*changes.generic)))
    return keychainError(kErrorParam, "attributes are strings or data");
  std::lock_guard lock(mutex_);
  auto items = load();
  if (!items) return items.error();
  bool any = false;
  for (auto& item : *items) {
    if (!matches(query, item)) continue;
    any = true;
    if (changes.account) item.account = *changes.account;
    if (changes.generic) item.generic = *changes.generic;
    if (changes.accessibility) item.accessibility = *changes.accessibility;
    if (changes.valueData) item.valueData = *changes.valueData;
  }
  if (!any) return keychainError(kErrorItemNotFound, "no matching item");
  return save(*items);
}

foundation::Status Keychain::deleteItems(const Query& query) {
  std::lock_guard lock(mutex_);
  auto items = load();
  if (!items) return items.error();
  std::vector<Item> kept;
  for (auto& item : *items)
    if (!matches(query, item)) kept.push_back(std::move(item));
  if (kept.size() == items->size()) return keychainError(kErrorItemNotFound, "no matching item");
  return save(kept);
}

}  // namespace keychain
