// What the foundation needs of the measurement engine: the process-wide
// monitor, and the engine's shared instance with the parts of it that the
// foundation's callers reach. The engine, QZMMeasurement, derives from this
// base and inherits its class methods; tests install a double.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/Object.h"

class QZMDatabase;
class QZMEvent;
class QZMMonitor;
class QZMScheduler;
class QZMPersistedConfig;
class QZMRemoteConfig;
class QZMIdentity;

// The library's build text; its version number drops the last three
// characters ("111400000" is version 111400).
inline constexpr const char* kQZMLibraryBuildString = "111400000";
// 0 when the text is shorter than 4 characters or not a number.
std::int64_t QZMLibraryVersionFromBuildString(std::string_view build);

class QZMMeasurementBase {
 public:
  virtual ~QZMMeasurementBase() = default;

  // Created on first use with the library's version; never nullptr.
  static std::shared_ptr<QZMMonitor> monitor();
  // Replaces the process-wide monitor; nullptr makes the next use create one.
  static void setMonitor(std::shared_ptr<QZMMonitor> monitor);

  static bool hasSharedInstance();
  static std::shared_ptr<QZMMeasurementBase> sharedInstance();
  // Tests install a double (which counts as an attempted creation) or reset
  // with nullptr (which forgets the attempt).
  static void setSharedInstance(std::shared_ptr<QZMMeasurementBase> instance);
  // The engine's one creation per process: the first call runs make under
  // the global lock and installs what it answers (nullptr for none); every
  // later call does nothing and answers false. Readers of the shared instance
  // wait while make runs, so none sees the engine before it is whole. make
  // must not touch the shared instance itself.
  static bool createSharedInstanceOnce(const std::function<std::shared_ptr<QZMMeasurementBase>()>& make);
  static bool wasSharedInstanceCreationAttempted();

  // The preview headers of the server-side tagging upload: one process-wide
  // dictionary, none until a preview link brings some.
  static std::optional<foundation::Dictionary> KRPXPreviewHeaders();
  static void setKRPXPreviewHeaders(std::optional<foundation::Dictionary> headers);

  virtual bool isEnabled() const = 0;
  // The scheduler of the worker queue.
  virtual std::shared_ptr<QZMScheduler> scheduler() const = 0;
  virtual std::shared_ptr<QZMPersistedConfig> persistedConfig() const = 0;
  // The running configuration and identity; nullptr until the engine has them.
  virtual std::shared_ptr<QZMRemoteConfig> remoteConfigInstance() const { return nullptr; }
  virtual std::shared_ptr<QZMIdentity> identity() const { return nullptr; }
  // The measurement database; nullptr until the engine has opened it.
  virtual std::shared_ptr<QZMDatabase> database() const { return nullptr; }
  // Worker queue only. Writes the event after conditional user properties
  // have seen it, then the events they trigger. The engine implements both
  // writes; this base drops the event.
  virtual void writeEventOnWorkerQueue(const QZMEvent& event) { (void)event; }
  // Worker queue only. Writes the event as it is (blocked names dropped).
  virtual void writeFilteredEventOnWorkerQueue(const QZMEvent& event) { (void)event; }
};
