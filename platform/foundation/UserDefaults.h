// User-defaults domains: the application's own (named by the main bundle's
// identifier) and named suites. Each domain is one property-list file,
// <preferences>/<name>.plist, held in memory and written through on every
// change (temporary file, then rename). Thread-safe; every handle to the same
// name shares one domain, so a value written through one is seen by all.
//
// A file that cannot be parsed is moved aside to <file>.corrupt (or
// <file>.corrupt.2 and so on, never over an earlier one), logged, and the
// domain starts empty; a file that exists but cannot be read (or is longer
// than a property list may be) is logged and never overwritten (writes then
// report an error and stay in memory).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace foundation {

inline constexpr const char* kUserDefaultsErrorDomain = "UserDefaults";
enum UserDefaultsError {
  kUserDefaultsInvalidKey = 1,    // empty key
  kUserDefaultsInvalidValue = 2,  // not a property-list value
  kUserDefaultsNotWritten = 3,    // kept in memory, the file could not be written
};

class UserDefaults {
 public:
  // The application's own domain.
  static std::shared_ptr<UserDefaults> standard();
  // A named suite; an empty name is the application's own domain.
  static std::shared_ptr<UserDefaults> suite(const std::string& name);
  // Forgets every domain held in memory, so the next use reads the files
  // again (a new home, or a test's simulated relaunch).
  static void resetAll();
  // Forgets one suite held in memory without touching its file.
  static void forgetSuite(const std::string& name);
  // Writes every domain held in memory that has changes not yet on disk (a
  // write that failed), for a program about to end. Every domain is tried;
  // the first failure is returned.
  static Status synchronizeAll();

  const std::string& name() const { return name_; }
  const std::string& filePath() const { return path_; }

  std::optional<Object> objectForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;
  // Numbers convert between kinds; a decimal string is parsed; anything else,
  // or no value, gives 0, 0.0 or false.
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;

  // A null value removes the key. The value is kept in memory even when the
  // file cannot be written; the error says so, and the next change or
  // synchronize writes again.
  Status setObject(const Object& value, std::string_view key);
  Status setInteger(std::int64_t value, std::string_view key) { return setObject(Object(value), key); }
  Status setFloat(float value, std::string_view key) { return setObject(Object(value), key); }
  Status setDouble(double value, std::string_view key) { return setObject(Object(value), key); }
  Status setBool(bool value, std::string_view key) { return setObject(Object(value), key); }
  Status removeObjectForKey(std::string_view key) { return setObject(Object(), key); }
  Status removeAllObjects();

  Dictionary dictionaryRepresentation() const;
  std::vector<std::string> keys() const;
  // Writes what is not yet on disk; succeeds at once when nothing is pending.
  Status synchronize();

  UserDefaults(std::string name, std::string path);

 private:
  void loadLocked() const;
  Status persistLocked();

  const std::string name_;
  const std::string path_;
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable bool unreadable_ = false;
  mutable Dictionary values_;
  bool dirty_ = false;
};

}  // namespace foundation
