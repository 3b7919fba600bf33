// Fetches experiment snapshots for every registered SDK and keeps them in the
// experiments database. One fetch about every four hours; after a failure,
// retries at doubling intervals from the last success (six at most in a
// run); twelve hours of quiet after the server says it is overloaded. Every
// step runs on the experiments worker queue; the network answers there too.
//
// The success, failure and backoff times persist in the experiments suite.
// A fetch that gets no answer within the time-out counts as failed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/QZMEDatabase.h"
#include "measurement/experiments/QZMESnapshot.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMConfigStore.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/utilities/DRKNetwork.h"

class QZMETaskManager;

inline constexpr const char* kQZMEFetchSuccessTimestampKey = "QZMExperimentFetchSuccessTimestamp";
inline constexpr const char* kQZMEFetchFailureTimestampKey = "QZMExperimentFetchFailureTimestamp";
inline constexpr const char* kQZMEFetchBackoffTimestampKey = "QZMExperimentFetchBackoffTimestamp";
inline constexpr const char* kQZMEWorkerQueueLabel = "QZMExperimentWorkerQueue";
inline constexpr const char* kQZMEAlarmName = "QZMExperimentAlarm";
inline constexpr const char* kQZMEFetchPath = "/sdk-exp";

// Seconds.
inline constexpr double kQZMEFetchInterval = 14400;
inline constexpr double kQZMEFirstFetchDelay = 10;
inline constexpr double kQZMEFirstRetryInterval = 1800;
inline constexpr int kQZMEMaxRetries = 6;
inline constexpr double kQZMEBackoffInterval = 43200;
inline constexpr double kQZMEFetchTimeout = 60;

using QZMESnapshotErrors = std::map<std::string, foundation::Error>;

class QZMETaskManagerDelegate {
 public:
  virtual ~QZMETaskManagerDelegate() = default;
  // false postpones the due fetch by a whole interval.
  virtual bool taskManagerShouldFetchExperiments(QZMETaskManager& /*taskManager*/) { return true; }
  // The stored snapshots, once expiry and automatic activation are done.
  virtual void taskManagerDidStart(QZMETaskManager& taskManager, std::vector<QZMESnapshot> activatedSnapshots,
                                   std::vector<QZMESnapshot> pendingSnapshots,
                                   std::vector<QZMESnapshot> launchedSnapshots) = 0;
  // A successful fetch: its snapshots (nullopt for none) and the errors the
  // server reported per SDK name (nullopt for none).
  virtual void taskManagerDidFinishFetching(QZMETaskManager& taskManager,
                                            std::optional<std::vector<QZMESnapshot>> snapshots,
                                            std::optional<QZMESnapshotErrors> errors) = 0;
  virtual void taskManagerDidUpsertPendingSnapshots(QZMETaskManager& taskManager,
                                                    const std::vector<QZMESnapshot>& snapshots) = 0;
};

class QZMETaskManager : public std::enable_shared_from_this<QZMETaskManager> {
 public:
  // With its own worker queue, alarm, network client, the experiments suite
  // and the database file in the SDK's folder.
  static std::shared_ptr<QZMETaskManager> init();
  static std::shared_ptr<QZMETaskManager> initWithQueue(std::shared_ptr<dispatch::Queue> queue,
                                                        std::shared_ptr<QZMAlarm> alarm,
                                                        std::shared_ptr<DRKNetwork> network,
                                                        std::shared_ptr<QZMConfigStore> persistedStorage,
                                                        std::string databasePath, double initTimestamp);
  ~QZMETaskManager();

  void startTaskManager();
  // Opens the database, loads the snapshots and schedules the first fetch;
  // without a database nothing else happens in this run.
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();

  void scheduleFetchingExperimentsOnWorkerQueue();
  // When the next fetch is due (seconds since 1970); 0 once the retries of
  // this run are spent. The first call of a run ignores failures.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp, double lastFailedTimestamp);
  void postponeFetchExperiments();
  void fetchExperiments();
  // The body is the inflated one; nullopt for none.
  void handleFetchingExperimentsResponse(const DRKHTTPURLResponse& response,
                                         const std::optional<foundation::Data>& data,
                                         const std::optional<foundation::Error>& error);

  // Storage requests; each runs later on the worker queue.
  void activatePendingSnapshot(std::optional<QZMESnapshot> snapshot, double timestamp);
  void resetToDefaultsForSDKName(std::string SDKName);
  void upsertPendingSnapshots(std::vector<QZMESnapshot> snapshots);
  // Starts an empty database, forgets the fetch times and schedules anew.
  void reset();
  // Deletes the database and the fetch times; nothing is fetched any more.
  void clearAndDelete();

  // nullopt, logged, without a response or without snapshots in it.
  static std::optional<std::vector<QZMESnapshot>> experimentSnapshotsFromExperimentResponse(
      const QZMPBExperimentResponse* response);
  static std::optional<QZMESnapshotErrors> errorsFromExperimentResponse(const QZMPBExperimentResponse* response);
  static std::optional<std::vector<QZMESnapshot>> experimentSnapshotsFromData(const foundation::Data& data);

  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

  std::shared_ptr<QZMETaskManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<QZMETaskManagerDelegate> delegate);
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }
  double initializationTimestamp() const { return initializationTimestamp_; }
  const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<QZMAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<QZMConfigStore>& persistedStorage() const { return persistedStorage_; }
  const std::string& databasePath() const { return databasePath_; }
  // Worker queue only.
  const std::shared_ptr<QZMEDatabase>& database() const { return database_; }

  struct Token {};
  QZMETaskManager(Token, std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<QZMAlarm> alarm,
                  std::shared_ptr<DRKNetwork> network, std::shared_ptr<QZMConfigStore> persistedStorage,
                  std::string databasePath, double initTimestamp);

 private:
  // The database when it is open; a code-2 error otherwise.
  foundation::Result<QZMEDatabase*> openDatabase() const;
  void fetchStep();
  // An answer (or the time-out) of the fetch with this number; later ones
  // of the same fetch are dropped.
  void finishFetch(std::uint64_t fetch, const DRKHTTPURLResponse& response, const foundation::Data& body,
                   const std::optional<foundation::Error>& error);
  void removeFetchTimes();

  const std::shared_ptr<dispatch::Queue> workerQueue_;
  const std::shared_ptr<QZMAlarm> alarm_;
  const std::shared_ptr<DRKNetwork> network_;
  const std::shared_ptr<QZMConfigStore> persistedStorage_;
  const std::string databasePath_;
  const double initializationTimestamp_;
  std::atomic<bool> hasMadeInitialFetch_{false};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<QZMETaskManagerDelegate> delegate_;

  // Worker queue only.
  std::shared_ptr<QZMEDatabase> database_;
  std::uint64_t fetchNumber_ = 0;
  bool fetchInFlight_ = false;
  std::shared_ptr<dispatch::Timer> fetchTimeout_;
};
