// The process-wide experiments manager. SDKs register with it and get a
// client; per SDK name it keeps the activated snapshot in force, the pending
// snapshot the last fetch brought and the launched snapshot (experiments
// with ID 0), and answers flag values from them (activated before launched
// before the SDK's defaults). Its task manager fetches and stores.
//
// State changes run on the manager's serial queue, in order; lookups wait
// for the queue (or run at once when called from it). Delegates are called
// with no lock of the manager held, so they may call back into it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/QZMEClient.h"
#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/experiments/QZMESDKProperty.h"
#include "measurement/experiments/QZMESnapshot.h"
#include "measurement/experiments/QZMETaskManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

inline constexpr const char* kQZMEManagerQueueLabel = "QZMEExperimentSerialQueue";
// The experiments library's build text; its version drops the last three
// characters.
inline constexpr const char* kQZMEBuildString = "10000000";

// Answers of activatedSnapshotStatusOfSDKName.
enum : std::int64_t {
  kQZMESnapshotStatusFresh = 0,
  kQZMESnapshotStatusStale = 1,
  kQZMESnapshotStatusUnregistered = -1,
  kQZMESnapshotStatusNone = -2,
};

class QZMEManager : public QZMETaskManagerDelegate, public std::enable_shared_from_this<QZMEManager> {
 public:
  // Made on first use, with its task manager started.
  static std::shared_ptr<QZMEManager> sharedInstance();
  // Tests install their own; nullptr makes the next use make one.
  static void setSharedInstance(std::shared_ptr<QZMEManager> manager);
  static std::shared_ptr<QZMEMonitor> monitor();
  static std::int64_t version();

  // Over a new task manager (not started).
  static std::shared_ptr<QZMEManager> init();
  // Becomes the task manager's delegate.
  static std::shared_ptr<QZMEManager> initWithTaskManager(std::shared_ptr<QZMETaskManager> taskManager);

  // The client at once; the registration itself happens on the queue. A
  // default flag value must be a number or a string. nullptr, logged, for
  // no property, an empty name or a bad default flag.
  std::shared_ptr<QZMEClient> registerSDKProperty(std::shared_ptr<QZMESDKProperty> property,
                                                  const foundation::Dictionary& defaultFlags);
  std::shared_ptr<QZMEClient> clientForSDKName(std::string_view SDKName);
  std::optional<foundation::Object> flagValueForFlagName(std::string_view flagName, std::string_view SDKName);
  // Makes the pending snapshot the activated one (experiments with ID 0 the
  // launched one). false without an error when nothing is pending; an error
  // for no or an empty name.
  foundation::Result<bool> activateSnapshotOfSDK(std::optional<std::string_view> SDKName);
  // One of the kQZMESnapshotStatus values.
  std::int64_t activatedSnapshotStatusOfSDKName(std::string_view SDKName);
  // Of the activated snapshots of SDKs that use the installation's diversion
  // key, ascending.
  std::vector<std::int32_t> experimentIDs();
  void resetToDefaultsOfSDKName(std::string_view SDKName);
  // Both forget every snapshot, in memory and stored; registrations stay.
  // reset starts fetching afresh, clearAndDelete stops.
  void reset();
  void clearAndDelete();

  // What the manager holds for an SDK now.
  std::optional<QZMESnapshot> activatedSnapshotOfSDKName(std::string_view SDKName);
  std::optional<QZMESnapshot> pendingSnapshotOfSDKName(std::string_view SDKName);
  std::optional<QZMESnapshot> launchedSnapshotOfSDKName(std::string_view SDKName);

  // An exception leaving a block is logged and goes no further.
  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);
  const std::shared_ptr<QZMETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  // QZMETaskManagerDelegate.
  bool taskManagerShouldFetchExperiments(QZMETaskManager& taskManager) override;
  void taskManagerDidStart(QZMETaskManager& taskManager, std::vector<QZMESnapshot> activatedSnapshots,
                           std::vector<QZMESnapshot> pendingSnapshots,
                           std::vector<QZMESnapshot> launchedSnapshots) override;
  void taskManagerDidFinishFetching(QZMETaskManager& taskManager, std::optional<std::vector<QZMESnapshot>> snapshots,
                                    std::optional<QZMESnapshotErrors> errors) override;
  void taskManagerDidUpsertPendingSnapshots(QZMETaskManager& taskManager,
                                            const std::vector<QZMESnapshot>& snapshots) override;

  explicit QZMEManager(std::shared_ptr<QZMETaskManager> taskManager);

 private:
  using SnapshotMap = std::map<std::string, QZMESnapshot, std::less<>>;
  std::optional<QZMESnapshot> snapshotIn(const SnapshotMap& map, std::string_view SDKName);
  std::shared_ptr<QZMEClient> registeredClient(std::string_view SDKName) const;

  const std::shared_ptr<QZMETaskManager> taskManager_;
  const std::shared_ptr<dispatch::Queue> queue_;
  // Guards the maps; never held while a delegate or the task manager runs.
  mutable std::mutex mutex_;
  SnapshotMap activatedSnapshotsBySDKName_;
  SnapshotMap pendingSnapshotsBySDKName_;
  SnapshotMap launchedSnapshotsBySDKName_;
  std::map<std::string, std::shared_ptr<QZMEClient>, std::less<>> registeredClientsBySDKName_;
  std::map<std::string, std::map<std::string, QZMEFlag, std::less<>>, std::less<>> defaultFlagsBySDKName_;
};
