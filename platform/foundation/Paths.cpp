#include "platform/foundation/Paths.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/foundation/Files.h"

namespace foundation {
namespace {

struct Roots {
  std::mutex mutex;
  std::string home, keychain, resources;
};
// Never destroyed: workers may still look up paths while the program ends.
Roots& roots() {
  static auto* r = new Roots;
  return *r;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string defaultHome() {
  if (auto home = environment("TOLV_HOME"); !home.empty()) return home;
  if (auto xdg = environment("XDG_DATA_HOME"); !xdg.empty()) return appendingPathComponent(xdg, "tolv");
  std::string user = environment("HOME");
  return appendingPathComponent(user.empty() ? "/tmp" : user, ".local/share/tolv");
}

std::string executableDirectory() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  return deletingLastPathComponent(std::string(buffer, static_cast<std::size_t>(n)));
}

}  // namespace

std::string Paths::home() {
  std::lock_guard lock(roots().mutex);
  return roots().home.empty() ? defaultHome() : roots().home;
}

std::string Paths::libraryDirectory() { return appendingPathComponent(home(), "Library"); }
std::string Paths::applicationSupportDirectory() {
  return appendingPathComponent(libraryDirectory(), "Application Support");
}
std::string Paths::preferencesDirectory() { return appendingPathComponent(libraryDirectory(), "Preferences"); }
std::string Paths::cachesDirectory() { return appendingPathComponent(libraryDirectory(), "Caches"); }
std::string Paths::documentsDirectory() { return appendingPathComponent(home(), "Documents"); }
std::string Paths::temporaryDirectory() { return appendingPathComponent(home(), "tmp"); }

std::string Paths::keychainDirectory() {
  {
    std::lock_guard lock(roots().mutex);
    if (!roots().keychain.empty()) return roots().keychain;
  }
  if (auto dir = environment("TOLV_KEYCHAIN_HOME"); !dir.empty()) return dir;
  std::string h = home();
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  return h + "-keychain";
}

std::string Paths::resourcesDirectory() {
  {
    std::lock_guard lock(roots().mutex);
    if (!roots().resources.empty()) return roots().resources;
  }
  if (auto dir = environment("TOLV_RESOURCES"); !dir.empty()) return dir;
  return executableDirectory();
}

void Paths::setHome(const std::string& path) {
  std::lock_guard lock(roots().mutex);
  roots().home = path;
}
void Paths::setKeychainDirectory(const std::string& path) {
  std::lock_guard lock(roots().mutex);
  roots().keychain = path;
}
void Paths::setResourcesDirectory(const std::string& path) {
  std::lock_guard lock(roots().mutex);
  roots().resources = path;
}

}  // namespace foundation
