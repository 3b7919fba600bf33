#include "measurement/foundation/QZMUtilities.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Random.h"
#include "platform/utilities/DRKLogger.h"

namespace {

struct Globals {
  std::mutex mutex;
  std::shared_ptr<QZMUtilities> shared = std::make_shared<QZMUtilities>();
  // The core framework's classes are there whenever the SDK is.
  std::vector<std::string> classNames = {"ZNHApp", "ZNHOptions", "ZNHAnalyticsConfiguration"};
  std::map<std::pair<std::string, std::string>, std::function<void()>, std::less<>> classMethods;
  std::map<std::string, std::any, std::less<>> classObjects;
};
// Never destroyed: stores write their last lines from destructors at exit.
Globals& globals() {
  static auto* g = new Globals;
  return *g;
}

}  // namespace

void QZMUtilities::osLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                              std::string_view messageCode, std::string_view message) {
  DRKOSLogBasic(level, subsystem, category, force, messageCode, message);
}

void QZMUtilities::setLoggerLevel(int level) { DRKSetLoggerLevel(level); }

bool QZMUtilities::isLoggableLevel(int level) const { return DRKIsLoggableLevel(level); }

std::vector<std::string> QZMUtilities::launchArguments() const { return foundation::ProcessInfo::arguments(); }

bool QZMUtilities::classExists(std::string_view className) const {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  return std::find(g.classNames.begin(), g.classNames.end(), className) != g.classNames.end();
}

void QZMUtilities::registerClassName(std::string className) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  if (std::find(g.classNames.begin(), g.classNames.end(), className) == g.classNames.end())
    g.classNames.push_back(std::move(className));
}

void QZMUtilities::registerClassMethod(std::string className, std::string selector,
                                       std::function<void()> implementation) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  auto key = std::make_pair(std::move(className), std::move(selector));
  if (implementation) {
    g.classMethods[std::move(key)] = std::move(implementation);
  } else {
    g.classMethods.erase(key);
  }
}

std::function<void()> QZMUtilities::classMethod(std::string_view className, std::string_view selector) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  auto it = g.classMethods.find(std::make_pair(std::string(className), std::string(selector)));
  return it == g.classMethods.end() ? nullptr : it->second;
}

void QZMUtilities::registerClassObject(std::string className, std::any object) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  if (object.has_value()) {
    g.classObjects[std::move(className)] = std::move(object);
  } else {
    g.classObjects.erase(className);
  }
}

std::any QZMUtilities::classObject(std::string_view className) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  auto it = g.classObjects.find(className);
  return it == g.classObjects.end() ? std::any() : it->second;
}

foundation::Result<std::uint64_t> QZMUtilities::secureRandomUInt64() { return foundation::secureRandomUInt64(); }

std::uint32_t QZMUtilities::uniformRandom(std::uint32_t upperBound) {
  if (upperBound < 2) return 0;
  // Draws below the largest multiple of the bound are uniform after the
  // remainder; the rest are drawn again.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % upperBound;
  for (int attempt = 0; attempt < 64; ++attempt) {
    auto drawn = foundation::secureRandomUInt64();
    if (!drawn) break;
    if (*drawn < limit) return static_cast<std::uint32_t>(*drawn % upperBound);
  }
  return 0;
}

std::shared_ptr<QZMUtilities> QZMUtilities::shared() {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  return g.shared;
}

void QZMUtilities::setShared(std::shared_ptr<QZMUtilities> utilities) {
  Globals& g = globals();
  std::lock_guard lock(g.mutex);
  g.shared = utilities ? std::move(utilities) : std::make_shared<QZMUtilities>();
}
