// The main bundle: the resources folder with its Info.plist (identifier,
// versions, switches) and the resource files beside it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace foundation {

// The identifier used when the bundle has no Info.plist or names none.
inline constexpr const char* kDefaultBundleIdentifier = "com.tolv.fluid";

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

  const std::string& bundlePath() const { return path_; }
  std::string bundleIdentifier() const;           // CFBundleIdentifier
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
