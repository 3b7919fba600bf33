#include "measurement/foundation/QZMMeasurementBase.h"

#include <charconv>
#include <mutex>
#include <utility>

#include "measurement/foundation/QZMMonitor.h"

namespace {

struct Globals {
  // Guards the monitor slot; held while the monitor is made, so it is made once.
  std::mutex monitorMutex;
  std::shared_ptr<QZMMonitor> monitor;
  // The engine's global lock around its shared instance.
  std::mutex instanceMutex;
  std::shared_ptr<QZMMeasurementBase> instance;
  bool creationAttempted = false;
  std::mutex previewHeadersMutex;
  std::optional<foundation::Dictionary> previewHeaders;
};
// Never destroyed: components log from destructors at exit.
Globals& globals() {
  static auto* g = new Globals;
  return *g;
}

}  // namespace

std::int64_t QZMLibraryVersionFromBuildString(std::string_view build) {
  if (build.size() < 4) return 0;
  std::string_view digits = build.substr(0, build.size() - 3);
  std::int64_t version = 0;
  auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), version);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) return 0;
  return version;
}

std::shared_ptr<QZMMonitor> QZMMeasurementBase::monitor() {
  Globals& g = globals();
  std::lock_guard lock(g.monitorMutex);
  if (!g.monitor) g.monitor = QZMMonitor::initWithLibraryVersion(QZMLibraryVersionFromBuildString(kQZMLibraryBuildString));
  return g.monitor;
}

void QZMMeasurementBase::setMonitor(std::shared_ptr<QZMMonitor> monitor) {
  Globals& g = globals();
  std::lock_guard lock(g.monitorMutex);
  g.monitor = std::move(monitor);
}

bool QZMMeasurementBase::hasSharedInstance() {
  Globals& g = globals();
  std::lock_guard lock(g.instanceMutex);
  return g.instance != nullptr;
}

std::shared_ptr<QZMMeasurementBase> QZMMeasurementBase::sharedInstance() {
  Globals& g = globals();
  std::lock_guard lock(g.instanceMutex);
  return g.instance;
}

void QZMMeasurementBase::setSharedInstance(std::shared_ptr<QZMMeasurementBase> instance) {
  Globals& g = globals();
  std::shared_ptr<QZMMeasurementBase> replaced;
  {
    std::lock_guard lock(g.instanceMutex);
    g.creationAttempted = instance != nullptr;
    replaced = std::exchange(g.instance, std::move(instance));
  }
  // Released outside the lock: an engine's teardown may ask for the instance.
}

bool QZMMeasurementBase::createSharedInstanceOnce(const std::function<std::shared_ptr<QZMMeasurementBase>()>& make) {
  Globals& g = globals();
  std::lock_guard lock(g.instanceMutex);
  if (g.creationAttempted) return false;
  g.creationAttempted = true;
  g.instance = make();
  return true;
}

bool QZMMeasurementBase::wasSharedInstanceCreationAttempted() {
  Globals& g = globals();
  std::lock_guard lock(g.instanceMutex);
  return g.creationAttempted;
}

std::optional<foundation::Dictionary> QZMMeasurementBase::KRPXPreviewHeaders() {
  Globals& g = globals();
  std::lock_guard lock(g.previewHeadersMutex);
  return g.previewHeaders;
}

void QZMMeasurementBase::setKRPXPreviewHeaders(std::optional<foundation::Dictionary> headers) {
  Globals& g = globals();
  std::lock_guard lock(g.previewHeadersMutex);
  g.previewHeaders = std::move(headers);
}
