#include "measurement/experiments/QZMETaskManager.h"

#include <exception>

#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/Clock.h"
#include "platform/utilities/Endpoints.h"

using foundation::Status;

std::shared_ptr<QZMETaskManager> QZMETaskManager::init() {
  auto queue = dispatch::Queue::create(kQZMEWorkerQueueLabel);
  auto alarm = QZMAlarm::initWithDispatchQueue(queue, kQZMEAlarmName);
  auto network = std::make_shared<DRKNetwork>(utilities::Endpoints::baseURL(utilities::kEndpointExperiments));
  network->setTimeoutInterval(kQZMEFetchTimeout);
  auto suite = QZMUserDefaults::initWithSuiteName(std::string(kQZMExperimentSuiteName));
  return initWithQueue(std::move(queue), std::move(alarm), std::move(network), std::move(suite),
                       QZMApplicationSupportFilePath(kQZMEDatabaseFileName), foundation::now());
}

std::shared_ptr<QZMETaskManager> QZMETaskManager::initWithQueue(std::shared_ptr<dispatch::Queue> queue,
                                                                std::shared_ptr<QZMAlarm> alarm,
                                                                std::shared_ptr<DRKNetwork> network,
                                                                std::shared_ptr<QZMConfigStore> persistedStorage,
                                                                std::string databasePath, double initTimestamp) {
  return std::make_shared<QZMETaskManager>(Token{}, std::move(queue), std::move(alarm), std::move(network),
                                           std::move(persistedStorage), std::move(databasePath), initTimestamp);
}

QZMETaskManager::QZMETaskManager(Token, std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<QZMAlarm> alarm,
                                 std::shared_ptr<DRKNetwork> network, std::shared_ptr<QZMConfigStore> persistedStorage,
                                 std::string databasePath, double initTimestamp)
    : workerQueue_(std::move(queue)),
      alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      databasePath_(std::move(databasePath)),
      initializationTimestamp_(initTimestamp) {}

QZMETaskManager::~QZMETaskManager() {
  alarm_->cancel();
  if (fetchTimeout_) fetchTimeout_->cancel();
}

std::shared_ptr<QZMETaskManagerDelegate> QZMETaskManager::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

void QZMETaskManager::setDelegate(std::weak_ptr<QZMETaskManagerDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

void QZMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      QZMEMonitor::shared()->logWithLevel(1, 820026, "Exception on async worker queue",
                                          QZMException::fromCurrentException());
    }
  });
}

void QZMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  std::exception_ptr thrown;
  auto guarded = [&] {
    try {
      block();
    } catch (...) {
      QZMEMonitor::shared()->logWithLevel(1, 820027, "Exception on sync worker queue",
                                          QZMException::fromCurrentException());
      thrown = std::current_exception();
    }
  };
  // Already on the queue: waiting for it would wait for ourselves.
  if (workerQueue_->isCurrent()) {
    guarded();
  } else {
    (void)workerQueue_->sync(guarded);
  }
  if (thrown) std::rethrow_exception(thrown);
}

foundation::Result<QZMEDatabase*> QZMETaskManager::openDatabase() const {
  if (!database_ || !database_->isOpen()) return qzm_errorWithCode(2, "The experiments database is not open");
  return database_.get();
}

// ---- Start ----

void QZMETaskManager::startTaskManager() {
  dispatchAsyncOnWorkerQueue([self = shared_from_this()] { self->startTaskManagerOnWorkerQueue(); });
}

void QZMETaskManager::startTaskManagerOnWorkerQueue() {
  if (!QZMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue")) return;
  database_ = QZMEDatabase::initWithPath(databasePath_);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void QZMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  if (!QZMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue")) return;
  auto monitor = QZMEMonitor::shared();
  auto database = openDatabase();
  Status started = database ? (*database)->performTransaction([&] {
    if (Status deleted = (*database)->deleteStaleActivatedSnapshots(); !deleted) {
      monitor->logWithLevel(1, 820006, "Cannot delete stale activated snapshots. Error", deleted.error());
      return false;
    }
    if (Status activated = (*database)->activatePendingSnapshotsAutomatically(); !activated) {
      monitor->logWithLevel(1, 820007, "Cannot activate pending snapshots automatically. Error", activated.error());
      return false;
    }
    return true;
  })
                            : Status(database.error());
  if (!started) {
    monitor->logWithLevel(2, 820008, "Failed to start the task manager");
    return;
  }
  monitor->logWithLevel(8, 820009, "Successfully start the task manager");
  auto delegate = this->delegate();
  if (!delegate) return;
  auto read = [&](foundation::Result<std::vector<QZMESnapshot>> snapshots, std::int64_t code, const char* message) {
    if (snapshots) return std::move(*snapshots);
    monitor->logWithLevel(2, code, message, snapshots.error());
    return std::vector<QZMESnapshot>();
  };
  auto activated =
      read((*database)->fetchAllActivatedSnapshots(), 820010, "Error in fetching all activated snapshots. Error");
  auto pending =
      read((*database)->fetchAllPendingSnapshots(), 820011, "Error in fetching all pending snapshots. Error");
  auto launched =
      read((*database)->fetchAllLaunchedSnapshots(), 820012, "Error in fetching all launched snapshots. Error");
  delegate->taskManagerDidStart(*this, std::move(activated), std::move(pending), std::move(launched));
}

// ---- Storage requests ----

void QZMETaskManager::activatePendingSnapshot(std::optional<QZMESnapshot> snapshot, double timestamp) {
  dispatchAsyncOnWorkerQueue([self = shared_from_this(), snapshot = std::move(snapshot), timestamp] {
    auto monitor = QZMEMonitor::shared();
    if (!snapshot) {
      monitor->logWithLevel(0, 820013, "Cannot activate an empty snapshot");
      return;
    }
    auto failed = [&](const foundation::Error& error) {
      monitor->logWithLevel(1, 820014, "Cannot activate snapshot for SDK Name. Error", snapshot->SDKName(), error);
    };
    auto database = self->openDatabase();
    if (!database) return failed(database.error());
    (void)(*database)->performTransaction([&] {
      Status activated = (*database)->activateSnapshot(&*snapshot, timestamp);
      if (!activated) failed(activated.error());
      return activated.ok();
    });
  });
}

void QZMETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
  dispatchAsyncOnWorkerQueue([self = shared_from_this(), SDKName = std::move(SDKName)] {
    auto monitor = QZMEMonitor::shared();
    if (SDKName.empty()) {
      monitor->logWithLevel(1, 820018, "Cannot reset to defaults for empty SDK name");
      return;
    }
    auto database = self->openDatabase();
    Status deleted = database ? (*database)->deleteActivatedExperimentsOfSDKName(SDKName) : Status(database.error());
    if (!deleted) {
      monitor->logWithLevel(1, 820019, "Cannot reset to defaults in the database. SDK Name, error", SDKName,
                            deleted.error());
    }
  });
}

void QZMETaskManager::upsertPendingSnapshots(std::vector<QZMESnapshot> snapshots) {
  dispatchAsyncOnWorkerQueue([self = shared_from_this(), snapshots = std::move(snapshots)] {
    auto monitor = QZMEMonitor::shared();
    if (snapshots.empty()) {
      monitor->logWithLevel(2, 820020, "Cannot upsert empty pending snapshot list");
      return;
    }
    auto database = self->openDatabase();
    Status stored = database ? (*database)->upsertPendingExperimentSnapshots(snapshots) : Status(database.error());
    if (!stored) {
      monitor->logWithLevel(1, 820021, "Cannot upsert pending snapshots into the database. Error", stored.error());
      return;
    }
    if (auto delegate = self->delegate()) delegate->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
  });
}

void QZMETaskManager::removeFetchTimes() {
  persistedStorage_->removeObjectForKey(kQZMEFetchBackoffTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchSuccessTimestampKey);
}

void QZMETaskManager::reset() {
  dispatchAsyncOnWorkerQueue([self = shared_from_this()] {
    if (self->database_) {
      self->database_->reset();
    } else {
      // The file could not be opened at start; it may open now.
      self->database_ = QZMEDatabase::initWithPath(self->databasePath_);
    }
    self->removeFetchTimes();
    if (self->openDatabase()) self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void QZMETaskManager::clearAndDelete() {
  dispatchAsyncOnWorkerQueue([self = shared_from_this()] {
    if (self->database_) {
      self->database_->closeAndDelete();
    } else if (Status deleted = QZMSqliteStore::deleteDatabaseFilesAtPath(self->databasePath_); !deleted) {
      QZMEMonitor::shared()->logWithLevel(4, 810005, "Failed to delete database data");
    }
    self->removeFetchTimes();
    // Neither an armed fetch nor the answer of one in flight may start
    // the schedule again.
    self->alarm_->cancel();
    self->fetchInFlight_ = false;
    ++self->fetchNumber_;
    if (self->fetchTimeout_) self->fetchTimeout_->cancel();
  });
}
