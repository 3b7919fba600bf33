#include "measurement/experiments/QZMEManager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "measurement/experiments/QZMEExperimentRequestBuilder.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/proto/QZMPBFlagHelpers.h"
#include "platform/foundation/Clock.h"

namespace {

using foundation::Object;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

struct SharedSlot {
  std::mutex mutex;
  std::shared_ptr<QZMEManager> manager;
};

// Never destroyed: workers may reach the manager while the program ends.
SharedSlot& sharedSlot() {
  static auto* slot = new SharedSlot;
  return *slot;
}

// A snapshot as log lines show it.
QZMLogContext describe(const std::optional<QZMESnapshot>& snapshot) {
  if (!snapshot) return QZMLogContext();
  std::string text = "snapshot of " + snapshot->SDKName() + ", experiments";
  for (const auto& [id, experiment] : snapshot->experimentsByExperimentID()) text += " " + std::to_string(id);
  return QZMLogContext::describing(std::move(text));
}

QZMLogContext describe(const QZMEFlag& flag) {
  if (!flag) return QZMLogContext();
  std::optional<Object> value = QZMPBFlagGetValue(flag.get());
  return QZMLogContext::describing(QZMEFlagName(flag).value_or("") + " = " +
                                   (value ? value->description() : std::string("(nil)")));
}

}  // namespace

// ---- Shared instance ----

std::shared_ptr<QZMEManager> QZMEManager::sharedInstance() {
  std::shared_ptr<QZMEManager> made;
  {
    SharedSlot& slot = sharedSlot();
    std::lock_guard lock(slot.mutex);
    if (slot.manager) return slot.manager;
    slot.manager = made = init();
  }
  made->taskManager()->startTaskManager();
  return made;
}

void QZMEManager::setSharedInstance(std::shared_ptr<QZMEManager> manager) {
  SharedSlot& slot = sharedSlot();
  std::lock_guard lock(slot.mutex);
  slot.manager = std::move(manager);
}

std::shared_ptr<QZMEMonitor> QZMEManager::monitor() { return QZMEMonitor::shared(); }

std::int64_t QZMEManager::version() { return QZMLibraryVersionFromBuildString(kQZMEBuildString); }

std::shared_ptr<QZMEManager> QZMEManager::init() { return initWithTaskManager(QZMETaskManager::init()); }

std::shared_ptr<QZMEManager> QZMEManager::initWithTaskManager(std::shared_ptr<QZMETaskManager> taskManager) {
  auto manager = std::make_shared<QZMEManager>(std::move(taskManager));
  manager->taskManager_->setDelegate(std::static_pointer_cast<QZMETaskManagerDelegate>(manager));
  return manager;
}

QZMEManager::QZMEManager(std::shared_ptr<QZMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)), queue_(dispatch::Queue::create(kQZMEManagerQueueLabel)) {
  // The flag helpers log through the experiments monitor from now on.
  monitor();
}

// ---- Queue ----

void QZMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  queue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      monitor()->logWithLevel(1, 800017, "Exception on async Experimentation serial queue",
                              QZMException::fromCurrentException());
    }
  });
}

void QZMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  auto guarded = [&] {
    try {
      block();
    } catch (...) {
      monitor()->logWithLevel(1, 800018, "Exception on sync Experimentation serial queue",
                              QZMException::fromCurrentException());
    }
  };
  // From the queue itself (a delegate called back): the queue is ours already.
  if (queue_->isCurrent()) {
    guarded();
  } else {
    (void)queue_->sync(guarded);
  }
}

std::shared_ptr<QZMEClient> QZMEManager::registeredClient(std::string_view SDKName) const {
  std::lock_guard lock(mutex_);
  auto found = registeredClientsBySDKName_.find(SDKName);
  return found == registeredClientsBySDKName_.end() ? nullptr : found->second;
}

std::optional<QZMESnapshot> QZMEManager::snapshotIn(const SnapshotMap& map, std::string_view SDKName) {
  std::optional<QZMESnapshot> snapshot;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard lock(mutex_);
    if (auto found = map.find(SDKName); found != map.end()) snapshot = found->second;
  });
  return snapshot;
}

std::optional<QZMESnapshot> QZMEManager::activatedSnapshotOfSDKName(std::string_view SDKName) {
  return snapshotIn(activatedSnapshotsBySDKName_, SDKName);
}

std::optional<QZMESnapshot> QZMEManager::pendingSnapshotOfSDKName(std::string_view SDKName) {
  return snapshotIn(pendingSnapshotsBySDKName_, SDKName);
}

std::optional<QZMESnapshot> QZMEManager::launchedSnapshotOfSDKName(std::string_view SDKName) {
  return snapshotIn(launchedSnapshotsBySDKName_, SDKName);
}

// ---- Registration and lookups ----

std::shared_ptr<QZMEClient> QZMEManager::registerSDKProperty(std::shared_ptr<QZMESDKProperty> property,
                                                             const foundation::Dictionary& defaultFlags) {
  auto log = monitor();
  if (!property) {
    log->logWithLevel(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  if (property->name().empty()) {
    log->logWithLevel(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::vector<QZMEFlag> flags;
  std::map<std::string, QZMEFlag, std::less<>> flagsByName;
  for (const auto& [name, value] : defaultFlags) {
    QZMEFlag flag = QZMPBFlagCreate(Object(name), value);
    if (!flag) {
      log->logWithLevel(0, 800002, "Cannot register experiment client invalid flags. Flag name, value", name, value);
      return nullptr;
    }
    flags.push_back(flag);
    flagsByName[name] = std::move(flag);
  }
  std::shared_ptr<QZMEClient> client = QZMEClient::initWithSDKProperty(property, flags, weak_from_this());
  if (!client) {
    log->logWithLevel(1, 800004, "Cannot register client. SDK name", property->name());
    return nullptr;
  }
  dispatchAsyncOnSerialQueue([self = shared_from_this(), client, property, flagsByName = std::move(flagsByName)] {
    const std::string& name = property->name();
    bool replaced;
    {
      std::lock_guard lock(self->mutex_);
      replaced = self->registeredClientsBySDKName_.contains(name);
      self->registeredClientsBySDKName_[name] = client;
      self->defaultFlagsBySDKName_[name] = flagsByName;
    }
    if (replaced) {
      monitor()->logWithLevel(3, 800003,
                              "Registered an SDK that has already registered. Default flags will be overwritten. "
                              "SDK name",
                              name);
    }
    QZMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(property);
    monitor()->logWithLevel(8, 800005, "Registered client", name);
  });
  return client;
}

std::shared_ptr<QZMEClient> QZMEManager::clientForSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<QZMEClient> client;
  dispatchSyncOnSerialQueue([&] { client = registeredClient(SDKName); });
  return client;
}

std::optional<Object> QZMEManager::flagValueForFlagName(std::string_view flagName, std::string_view SDKName) {
  auto log = monitor();
  if (SDKName.empty()) {
    log->logWithLevel(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return std::nullopt;
  }
  if (flagName.empty()) {
    log->logWithLevel(0, 800011, "Cannot retrieve flag value for empty flag name");
    return std::nullopt;
  }
  std::optional<Object> value;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard lock(mutex_);
    if (!registeredClientsBySDKName_.contains(SDKName)) {
      log->logWithLevel(3, 800012, "SDK is not registered yet", std::string(SDKName));
      return;
    }
    auto defaults = defaultFlagsBySDKName_.find(SDKName);
    if (defaults == defaultFlagsBySDKName_.end()) {
      log->logWithLevel(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name", std::string(SDKName),
                        std::string(flagName));
      return;
    }
    auto fromSnapshot = [&](const SnapshotMap& map) -> std::optional<Object> {
      auto found = map.find(SDKName);
      if (found == map.end()) return std::nullopt;
      return QZMPBFlagGetValue(found->second.flagByName(flagName).get());
    };
    auto activated = activatedSnapshotsBySDKName_.find(SDKName);
    log->logWithLevel(
        8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot", std::string(SDKName),
        std::string(flagName),
        describe(activated == activatedSnapshotsBySDKName_.end() ? std::nullopt
                                                                 : std::optional<QZMESnapshot>(activated->second)));
    if ((value = fromSnapshot(activatedSnapshotsBySDKName_))) return;
    auto launched = launchedSnapshotsBySDKName_.find(SDKName);
    log->logWithLevel(
        8, 800016, "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag",
        std::string(SDKName), std::string(flagName),
        describe(launched == launchedSnapshotsBySDKName_.end() ? QZMEFlag() : launched->second.flagByName(flagName)));
    if ((value = fromSnapshot(launchedSnapshotsBySDKName_))) return;
    auto flag = defaults->second.find(flagName);
    if (flag == defaults->second.end()) {
      log->logWithLevel(8, 800014, "No default flag value. SDK name, flag name", std::string(SDKName),
                        std::string(flagName));
      return;
    }
    log->logWithLevel(8, 800019,
                      "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag",
                      std::string(SDKName), std::string(flagName), describe(flag->second));
    value = QZMPBFlagGetValue(flag->second.get());
  });
  return value;
}

// ---- Activation and status ----

foundation::Result<bool> QZMEManager::activateSnapshotOfSDK(std::optional<std::string_view> SDKName) {
  auto log = monitor();
  if (!SDKName) {
    log->logWithLevel(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
    return foundation::Error(kQZMEErrorDomain, 1, "SDK name cannot be nil");
  }
  if (SDKName->empty()) {
    log->logWithLevel(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return foundation::Error(kQZMEErrorDomain, 1, "SDK name cannot be empty");
  }
  std::string name(*SDKName);
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    std::optional<QZMESnapshot> pending;
    double now = foundation::now();
    {
      std::lock_guard lock(mutex_);
      auto found = pendingSnapshotsBySDKName_.find(name);
      if (found != pendingSnapshotsBySDKName_.end()) {
        pending = std::move(found->second);
        pendingSnapshotsBySDKName_.erase(found);
        std::vector<QZMEExperiment> others;
        for (const auto& [id, experiment] : pending->experimentsByExperimentID()) {
          if (id == 0) {
            launchedSnapshotsBySDKName_.insert_or_assign(name, *QZMESnapshot::initWithSDKName(name, {experiment}));
          } else {
            others.push_back(experiment);
          }
        }
        // As on disk: an activation without experiments ends them all.
        if (others.empty()) {
          activatedSnapshotsBySDKName_.erase(name);
        } else {
          activatedSnapshotsBySDKName_.insert_or_assign(name, *QZMESnapshot::initWithSDKName(name, others));
        }
      }
    }
    if (!pending) {
      log->logWithLevel(3, 800023, "No pending snapshot to activate. SDK name", name);
      return;
    }
    taskManager_->activatePendingSnapshot(std::move(pending), now);
    log->logWithLevel(8, 800028, "Successfully activated a snapshot of SDK", name);
    activated = true;
  });
  return activated;
}

std::int64_t QZMEManager::activatedSnapshotStatusOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return kQZMESnapshotStatusUnregistered;
  }
  std::int64_t status = kQZMESnapshotStatusUnregistered;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard lock(mutex_);
    if (!registeredClientsBySDKName_.contains(SDKName)) return;
    auto found = activatedSnapshotsBySDKName_.find(SDKName);
    if (found == activatedSnapshotsBySDKName_.end() || found->second.timestamp() <= kEpsilon) {
      status = kQZMESnapshotStatusNone;
    } else if (std::fabs(found->second.timestamp() - foundation::now()) > kQZMEActivatedSnapshotLifetime) {
      status = kQZMESnapshotStatusStale;
    } else {
      status = kQZMESnapshotStatusFresh;
    }
  });
  return status;
}

std::vector<std::int32_t> QZMEManager::experimentIDs() {
  std::vector<std::int32_t> ids;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      std::optional<std::string> key = client->SDKProperty()->diversionKey();
      if (key && !key->empty()) continue;
      auto activated = activatedSnapshotsBySDKName_.find(name);
      if (activated == activatedSnapshotsBySDKName_.end()) continue;
      for (const auto& [id, experiment] : activated->second.experimentsByExperimentID()) ids.push_back(id);
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

void QZMEManager::resetToDefaultsOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchAsyncOnSerialQueue([self = shared_from_this(), name = std::string(SDKName)] {
    bool removed;
    {
      std::lock_guard lock(self->mutex_);
      removed = self->activatedSnapshotsBySDKName_.erase(name) > 0;
    }
    if (!removed) {
      monitor()->logWithLevel(0, 800026, "Cannot reset to defaults for unregistered SDK name", name);
      return;
    }
    self->taskManager_->resetToDefaultsForSDKName(name);
    monitor()->logWithLevel(8, 800027, "Reset all experiments to default. SDK name", name);
  });
}

void QZMEManager::reset() {
  dispatchAsyncOnSerialQueue([self = shared_from_this()] {
    self->taskManager_->reset();
    std::lock_guard lock(self->mutex_);
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

void QZMEManager::clearAndDelete() {
  dispatchAsyncOnSerialQueue([self = shared_from_this()] {
    self->taskManager_->clearAndDelete();
    std::lock_guard lock(self->mutex_);
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

// ---- Task manager callbacks ----

bool QZMEManager::taskManagerShouldFetchExperiments(QZMETaskManager&) {
  std::vector<std::shared_ptr<QZMEClient>> clients;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
  }
  for (const auto& client : clients) {
    auto delegate = client->delegate();
    if (!delegate || !delegate->implementsShouldFetchExperimentsForClient()) return true;
    if (delegate->shouldFetchExperimentsForClient(client)) return true;
  }
  return false;
}

void QZMEManager::taskManagerDidStart(QZMETaskManager&, std::vector<QZMESnapshot> activatedSnapshots,
                                      std::vector<QZMESnapshot> pendingSnapshots,
                                      std::vector<QZMESnapshot> launchedSnapshots) {
  dispatchAsyncOnSerialQueue([self = shared_from_this(), activated = std::move(activatedSnapshots),
                              pending = std::move(pendingSnapshots), launched = std::move(launchedSnapshots)] {
    std::set<std::string> loaded;
    std::vector<std::shared_ptr<QZMEClient>> registeredEarlier;
    {
      std::lock_guard lock(self->mutex_);
      // Loaded snapshots keep their times: a load is no fresh activation.
      for (const auto& snapshot : activated)
        self->activatedSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
      for (const auto& snapshot : pending)
        self->pendingSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
      for (const auto& snapshot : launched)
        self->launchedSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
      for (const auto* list : {&activated, &pending, &launched}) {
        for (const auto& snapshot : *list) loaded.insert(snapshot.SDKName());
      }
      for (const auto& name : loaded) {
        if (auto found = self->registeredClientsBySDKName_.find(name); found != self->registeredClientsBySDKName_.end())
          registeredEarlier.push_back(found->second);
      }
    }
    // A client that registered before the load read no stored snapshot then.
    for (const auto& client : registeredEarlier) {
      auto delegate = client->delegate();
      if (!delegate || !delegate->implementsClientDidLoadStoredSnapshots()) continue;
      std::shared_ptr<dispatch::Queue> queue = delegate->queue();
      if (!queue) queue = dispatch::Queue::main();
      queue->async([client, weak = std::weak_ptr<QZMEExperimentObserverDelegate>(delegate)] {
        if (auto delegate = weak.lock()) delegate->clientDidLoadStoredSnapshots(client);
      });
    }
  });
}

void QZMEManager::taskManagerDidFinishFetching(QZMETaskManager&, std::optional<std::vector<QZMESnapshot>> snapshots,
                                               std::optional<QZMESnapshotErrors> errors) {
  bool hasSnapshots = snapshots && !snapshots->empty();
  bool hasErrors = errors && !errors->empty();
  if (!hasSnapshots && !hasErrors) {
    monitor()->logWithLevel(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  dispatchAsyncOnSerialQueue([self = shared_from_this(), snapshots = snapshots.value_or(std::vector<QZMESnapshot>()),
                              errors = errors.value_or(QZMESnapshotErrors()), hasSnapshots] {
    std::vector<QZMESnapshot> collected;
    for (QZMESnapshot snapshot : snapshots) {
      auto client = self->registeredClient(snapshot.SDKName());
      auto delegate = client ? client->delegate() : nullptr;
      if (delegate && delegate->implementsClientDidReceiveNewSnapshot()) {
        // The client activates it itself; the next start must not.
        snapshot.setManuallyActivated(true);
        collected.push_back(snapshot);
      }
      std::lock_guard lock(self->mutex_);
      self->pendingSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), std::move(snapshot));
    }
    for (const auto& [name, error] : errors) {
      auto client = self->registeredClient(name);
      auto delegate = client ? client->delegate() : nullptr;
      if (delegate && delegate->implementsClientDidReceiveFetchError())
        delegate->clientDidReceiveFetchError(client, error);
    }
    if (hasSnapshots) self->taskManager_->upsertPendingSnapshots(std::move(collected));
  });
}

void QZMEManager::taskManagerDidUpsertPendingSnapshots(QZMETaskManager&, const std::vector<QZMESnapshot>& snapshots) {
  for (const auto& snapshot : snapshots) {
    auto client = registeredClient(snapshot.SDKName());
    if (!client) continue;
    auto delegate = client->delegate();
    if (!delegate || !delegate->implementsClientDidReceiveNewSnapshot()) {
      monitor()->logWithLevel(0, 800021,
                              "Cannot notify new snapshot for SDK because the delegate does not implement "
                              "-clientDidReceiveNewSnapshot:",
                              snapshot.SDKName());
      continue;
    }
    std::shared_ptr<dispatch::Queue> queue = delegate->queue();
    if (!queue) queue = dispatch::Queue::main();
    queue->async([client, weak = std::weak_ptr<QZMEExperimentObserverDelegate>(delegate)] {
      if (auto delegate = weak.lock()) delegate->clientDidReceiveNewSnapshot(client);
    });
  }
}
