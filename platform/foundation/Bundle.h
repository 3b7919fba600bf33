// The main bundle: the resources folder with its Info.plist (identifier,
// versions, switches) and the resource files beside it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace foundation {

// The toy's identifier, which its program sets as its default.
inline constexpr const char* kToyBundleIdentifier = "com.tolv.fluid";
// Prefix of the identifier a program gets from its executable's name.
inline constexpr const char* kHostBundleIdentifierPrefix = "com.tolv.host.";

class Bundle {
 public:
  // The bundle at Paths::resourcesDirectory(), read once, unless one was set.
  static std::shared_ptr<Bundle> main();
  // Replaces the main bundle; nullptr reads it again from the resources folder.
  static void setMain(std::shared_ptr<Bundle> bundle);
  // Reads <path>/Info.plist; a missing file gives an empty dictionary, an
  // unreadable one the same with a log line.
  static std::shared_ptr<Bundle> atPath(const std::string& path);

  Bundle(std::string path, Dictionary info) : path_(std::move(path)), info_(std::move(info)) {}

  // The identifier used when the Info.plist names none: the one the program
  // set, else kHostBundleIdentifierPrefix and the executable's name
  // ("host_example" gives "com.tolv.host.host-example"). nullopt forgets a set one.
  static std::string defaultBundleIdentifier();
  static void setDefaultBundleIdentifier(std::optional<std::string> identifier);

  const std::string& bundlePath() const { return path_; }
  std::string bundleIdentifier() const;           // CFBundleIdentifier, else the default
  std::string shortVersionString() const;         // CFBundleShortVersionString, "" when absent
  std::string bundleVersion() const;              // CFBundleVersion, "" when absent
  const Dictionary& infoDictionary() const { return info_; }
  const Object* objectForInfoDictionaryKey(std::string_view key) const;
  // <bundle>/<name>.<type> when that file exists.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;

 private:
  std::string path_;
  Dictionary info_;
};

}  // namespace foundation
