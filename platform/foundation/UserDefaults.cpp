#include "platform/foundation/UserDefaults.h"

#include <charconv>
#include <map>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"

namespace foundation {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<UserDefaults>> domains;
};
// Never destroyed: workers may still read and write suites while the
// program ends.
Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

std::optional<double> parseDecimal(const std::string& text) {
  double v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

UserDefaults::UserDefaults(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

std::shared_ptr<UserDefaults> UserDefaults::standard() { return suite(""); }

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& requested) {
  std::string name = requested.empty() ? Bundle::main()->bundleIdentifier() : requested;
  std::lock_guard lock(registry().mutex);
  auto& slot = registry().domains[name];
  if (!slot) {
    std::string file = appendingPathComponent(Paths::preferencesDirectory(), name + ".plist");
    slot = std::make_shared<UserDefaults>(name, file);
  }
  return slot;
}

void UserDefaults::resetAll() {
  std::lock_guard lock(registry().mutex);
  registry().domains.clear();
}

void UserDefaults::forgetSuite(const std::string& name) {
  std::lock_guard lock(registry().mutex);
  registry().domains.erase(name);
}

Status UserDefaults::synchronizeAll() {
  std::vector<std::shared_ptr<UserDefaults>> domains;
  {
    std::lock_guard lock(registry().mutex);
    for (const auto& [name, domain] : registry().domains) domains.push_back(domain);
  }
  Status first;
  for (const auto& domain : domains) {
    if (Status written = domain->synchronize(); !written && first) first = written;
  }
  return first;
}

void UserDefaults::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  if (!fileExists(path_)) return;
  // A file too long to read is kept like one that cannot be read now.
  auto bytes = readFile(path_, kPropertyListMaxLength);
  if (!bytes) {
    unreadable_ = true;
    logLine("UserDefaults: cannot read " + path_ + " (" + bytes.error().description +
            "); the suite starts empty and the file is left untouched");
    return;
  }
  auto object = decodePropertyList(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (object && object->isDictionary()) {
    values_ = std::move(*object->dictionary());
    return;
  }
  std::string reason = object ? "the root is not a dictionary" : object.error().description;
  // Moved, not copied, so that a later damaged file gets a name of its own
  // and no earlier copy is written over.
  auto kept = moveAside(path_, ".corrupt");
  if (kept) {
    logLine("UserDefaults: " + path_ + " is corrupt (" + reason + "); kept as " + *kept + ", the suite starts empty");
  } else {
    // Without a copy, the only one left must not be overwritten.
    unreadable_ = true;
    logLine("UserDefaults: " + path_ + " is corrupt (" + reason + ") and cannot be moved aside (" +
            kept.error().description + "); the suite starts empty and the file is left untouched");
  }
}

Status UserDefaults::persistLocked() {
  if (unreadable_) {
    return Error(kUserDefaultsErrorDomain, kUserDefaultsNotWritten,
                 "not written: " + path_ + " holds data that could not be read");
  }
  auto written = writePropertyListFile(path_, Object(values_));
  if (!written) {
    return Error(kUserDefaultsErrorDomain, kUserDefaultsNotWritten,
                 "kept in memory only: " + written.error().description);
  }
  dirty_ = false;
  return {};
}

std::optional<Object> UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o || !o->isString()) return std::nullopt;
  return *o->string();
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o || !o->isArray()) return std::nullopt;
  return *o->array();
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o || !o->isDictionary()) return std::nullopt;
  return *o->dictionary();
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o || !o->isData()) return std::nullopt;
  return *o->data();
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o) return 0;
  if (o->isNumber()) return o->int64Value();
  if (o->isString()) {
    std::int64_t v = 0;
    const std::string& s = *o->string();
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (!s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size()) return v;
    if (auto d = parseDecimal(s)) return Object(*d).int64Value();
  }
  return 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o) return 0;
  if (o->isNumber()) return o->doubleValue();
  if (o->isString()) return parseDecimal(*o->string()).value_or(0);
  return 0;
}

float UserDefaults::floatForKey(std::string_view key) const { return static_cast<float>(doubleForKey(key)); }

bool UserDefaults::boolForKey(std::string_view key) const {
  auto o = objectForKey(key);
  if (!o) return false;
  if (o->isNumber()) return o->boolValue();
  if (o->isString()) {
    const std::string& s = *o->string();
    if (equalsIgnoringCase(s, "yes") || equalsIgnoringCase(s, "true")) return true;
    if (auto d = parseDecimal(s)) return *d != 0;
  }
  return false;
}

Status UserDefaults::setObject(const Object& value, std::string_view key) {
  if (key.empty()) return Error(kUserDefaultsErrorDomain, kUserDefaultsInvalidKey, "empty user-defaults key");
  // Only a value that encodes is kept: one that cannot (null, text that is
  // not UTF-8 or a date out of range, at any depth) would fail every later
  // write of the whole suite.
  if (!value.isNull()) {
    if (auto encoded = encodePropertyList(value); !encoded) {
      return Error(kUserDefaultsErrorDomain, kUserDefaultsInvalidValue,
                   "not a property-list value: " + encoded.error().description);
    }
  }
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  if (value.isNull()) {
    if (it == values_.end()) return dirty_ ? persistLocked() : Status();
    values_.erase(it);
  } else if (it != values_.end()) {
    if (it->second == value && !dirty_) return {};
    it->second = value;
  } else {
    values_.emplace(std::string(key), value);
  }
  dirty_ = true;
  return persistLocked();
}

Status UserDefaults::removeAllObjects() {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (values_.empty() && !dirty_) return {};
  values_.clear();
  dirty_ = true;
  return persistLocked();
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  loadLocked();
  return values_;
}

std::vector<std::string> UserDefaults::keys() const {
  std::lock_guard lock(mutex_);
  loadLocked();
  std::vector<std::string> out;
  for (const auto& [key, value] : values_) out.push_back(key);
  return out;
}

Status UserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  loadLocked();
  return dirty_ ? persistLocked() : Status();
}

}  // namespace foundation
