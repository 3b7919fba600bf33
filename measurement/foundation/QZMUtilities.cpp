#include "measurement/foundation/QZMUtilities.h"

#include <stdlib.h>

#include <mutex>

#include "platform/foundation/Log.h"

namespace {

// Never destroyed: stores write their last lines from destructors at exit.
std::mutex& sharedMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<QZMUtilities>& sharedSlot() {
  static auto* slot = new std::shared_ptr<QZMUtilities>(std::make_shared<QZMUtilities>());
  return *slot;
}

}  // namespace

void QZMUtilities::osLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                              std::string_view messageCode, std::string_view message) {
  (void)subsystem;
  if (!force && !isLoggableLevel(level)) return;
  std::string line;
  line.reserve(category.size() + messageCode.size() + message.size() + 4);
  line.append(category).append("[").append(messageCode).append("] ").append(message);
  foundation::logLine(line);
}

void QZMUtilities::setLoggerLevel(int level) { loggerLevel_ = level; }

bool QZMUtilities::isLoggableLevel(int level) const { return level <= loggerLevel_; }

std::vector<std::string> QZMUtilities::launchArguments() const { return {}; }

bool QZMUtilities::classExists(std::string_view) const { return false; }

foundation::Result<std::uint64_t> QZMUtilities::secureRandomUInt64() {
  std::uint64_t value = 0;
  ::arc4random_buf(&value, sizeof value);
  return value;
}

std::uint32_t QZMUtilities::uniformRandom(std::uint32_t upperBound) {
  return upperBound == 0 ? 0 : ::arc4random_uniform(upperBound);
}

std::shared_ptr<QZMUtilities> QZMUtilities::shared() {
  std::lock_guard lock(sharedMutex());
  return sharedSlot();
}

void QZMUtilities::setShared(std::shared_ptr<QZMUtilities> utilities) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = utilities ? std::move(utilities) : std::make_shared<QZMUtilities>();
}
