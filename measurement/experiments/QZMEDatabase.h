// The experiments' own SQLite file: per SDK name, the pending snapshot (fetched,
// not yet activated), the activated snapshot in force and the launched
// snapshot (experiments with ID 0), each one row of its table. It also keeps
// the start-up rules: activated rows expire after three days, and pending rows
// that no client activates itself are activated at the next start.
//
// Used only on the experiments worker queue. A database whose file could not
// be opened has no store: every operation then fails with code 2.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/QZMESnapshot.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "platform/foundation/Error.h"

inline constexpr const char* kQZMEDatabaseFileName = "dralix_experimentation_database.sql";
inline constexpr const char* kQZMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kQZMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kQZMELaunchedSnapshotTable = "launched_snapshot_table";
// Activated snapshots older than this are dropped at start.
inline constexpr double kQZMEActivatedSnapshotLifetime = 259200;
// Errors of the experiments' own making.
inline constexpr const char* kQZMEErrorDomain = "com.dralix.dxv.measurement.experiment.ErrorDomain";

class QZMEDatabase {
 public:
  // nullptr, logged, for an empty path or a file that cannot be opened with
  // its tables.
  static std::shared_ptr<QZMEDatabase> initWithPath(const std::optional<std::string>& path);

  // Opens the store and ensures the tables; a file whose tables cannot be
  // made right is moved aside (QZMSqliteStore::moveDatabaseFilesAside). The
  // context names the occasion in log lines.
  bool initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath);
  foundation::Status ensureAllTables();
  bool isOpen() const { return sqliteStore_ != nullptr; }
  const std::string& databasePath() const { return databasePath_; }

  void closeAndDelete();
  // Deletes the file and starts an empty one at the same path.
  void reset();
  // The block's false rolls back.
  foundation::Status performTransaction(const std::function<bool()>& block);

  // Rows in storage order. A row that cannot become a snapshot is logged and
  // left out; the others still load.
  foundation::Result<std::vector<QZMESnapshot>> fetchAllActivatedSnapshots();
  foundation::Result<std::vector<QZMESnapshot>> fetchAllPendingSnapshots();
  foundation::Result<std::vector<QZMESnapshot>> fetchAllLaunchedSnapshots();

  // Each with its own timestamp and activation flag; stops at the first failure.
  foundation::Status upsertPendingExperimentSnapshots(const std::vector<QZMESnapshot>& snapshots);
  // Replaces the SDK's row of the table.
  foundation::Status upsertSnapshot(const QZMPBSnapshot& snapshot, std::string_view intoTableName, double timestamp,
                                    std::optional<bool> manuallyActivated);
  // Moves the snapshot to the launched (ID 0) and activated (other IDs) rows
  // at time T and drops the SDK's pending rows fetched no later than T.
  // Without experiments of other IDs the SDK's activated row is removed.
  foundation::Status activateSnapshot(const QZMESnapshot* snapshot, double timestamp);
  foundation::Status deleteStaleActivatedSnapshots();
  foundation::Status activatePendingSnapshotsAutomatically();

  foundation::Status deleteActivatedExperimentsOfSDKName(std::string_view SDKName);
  foundation::Status deletePendingExperimentsOfSDKName(std::string_view SDKName);
  foundation::Status deleteLaunchedExperimentSDKName(std::string_view SDKName);
  foundation::Status deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view fromTableName);

  // Raw rows (row id included), in storage order.
  foundation::Result<std::vector<QZMSqliteStore::Record>> allDataTypesFromTableWithName(std::string_view table,
                                                                                        std::int64_t tableLimit);

  ~QZMEDatabase();

 private:
  QZMEDatabase() = default;
  foundation::Result<std::vector<QZMESnapshot>> fetchAllSnapshotsFromTable(std::string_view table);
  // The store, or a code-2 error when the file is not open.
  foundation::Result<QZMSqliteStore*> store();

  std::shared_ptr<QZMSqliteStore> sqliteStore_;
  std::string databasePath_;
};

// The snapshot a stored row holds, with the row's time and activation flag;
// nullopt when the row's bytes are not a snapshot.
std::optional<QZMESnapshot> QZMESnapshotFromRow(const QZMSqliteStore::Record& row);
