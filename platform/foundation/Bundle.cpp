#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>

#include "platform/foundation/Files.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace foundation {
namespace {

// Never destroyed: workers may still read the bundle while the program ends.
std::mutex& mainMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<Bundle>& mainBundle() {
  static auto* b = new std::shared_ptr<Bundle>;
  return *b;
}
std::optional<std::string>& setDefaultIdentifier() {
  static auto* identifier = new std::optional<std::string>;
  return *identifier;
}

// The running executable's file name, in the characters an identifier may
// hold (letters, digits, '-' and '.').
std::string executableNameForIdentifier() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string name = n > 0 ? lastPathComponent(std::string(buffer, static_cast<std::size_t>(n)))
                           : std::string(program_invocation_short_name);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '-';
  }
  return name.empty() ? "host" : name;
}

std::string stringValue(const Bundle& b, std::string_view key) {
  const Object* o = b.objectForInfoDictionaryKey(key);
  return o && o->isString() ? *o->string() : "";
}

}  // namespace

std::shared_ptr<Bundle> Bundle::main() {
  std::lock_guard lock(mainMutex());
  if (!mainBundle()) mainBundle() = atPath(Paths::resourcesDirectory());
  return mainBundle();
}

void Bundle::setMain(std::shared_ptr<Bundle> bundle) {
  std::lock_guard lock(mainMutex());
  mainBundle() = std::move(bundle);
}

std::shared_ptr<Bundle> Bundle::atPath(const std::string& path) {
  std::string infoPath = appendingPathComponent(path, "Info.plist");
  Dictionary info;
  if (fileExists(infoPath)) {
    auto read = readPropertyListDictionary(infoPath);
    if (read) {
      info = std::move(*read);
    } else {
      logLine("Bundle: ignoring unreadable Info.plist: " + read.error().description);
    }
  }
  return std::make_shared<Bundle>(path, std::move(info));
}

std::string Bundle::defaultBundleIdentifier() {
  {
    std::lock_guard lock(mainMutex());
    if (setDefaultIdentifier()) return *setDefaultIdentifier();
  }
  return kHostBundleIdentifierPrefix + executableNameForIdentifier();
}

void Bundle::setDefaultBundleIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(mainMutex());
  setDefaultIdentifier() = std::move(identifier);
}

std::string Bundle::bundleIdentifier() const {
  std::string id = stringValue(*this, "CFBundleIdentifier");
  return id.empty() ? defaultBundleIdentifier() : id;
}
std::string Bundle::shortVersionString() const { return stringValue(*this, "CFBundleShortVersionString"); }
std::string Bundle::bundleVersion() const { return stringValue(*this, "CFBundleVersion"); }

const Object* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  auto it = info_.find(key);
  return it == info_.end() ? nullptr : &it->second;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
  if (name.empty()) return std::nullopt;
  std::string file = type.empty() ? name : name + "." + type;
  std::string path = appendingPathComponent(path_, file);
  if (!fileExists(path) || isDirectory(path)) return std::nullopt;
  return path;
}

}  // namespace foundation
