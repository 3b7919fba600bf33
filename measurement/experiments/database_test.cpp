#include <gtest/gtest.h>
#include <sqlite3.h>

#include "measurement/experiments/ExperimentsTestKit.h"
#include "measurement/experiments/QZMEDatabase.h"
#include "platform/foundation/Files.h"

namespace {

using experimentskit::flagValue;
using experimentskit::ids;
using experimentskit::snapshot;
using foundation::Object;

class ExperimentsDatabase : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    path = QZMApplicationSupportFilePath(kQZMEDatabaseFileName);
  }

  std::shared_ptr<QZMEDatabase> open() {
    auto database = QZMEDatabase::initWithPath(path);
    EXPECT_TRUE(database);
    return database;
  }

  static std::optional<QZMESnapshot> find(const foundation::Result<std::vector<QZMESnapshot>>& all,
                                          const std::string& SDKName) {
    EXPECT_TRUE(all.ok());
    if (!all.ok()) return std::nullopt;
    for (const auto& snapshot : *all)
      if (snapshot.SDKName() == SDKName) return snapshot;
    return std::nullopt;
  }

  // Writes through a connection of its own, as damage from outside would.
  void exec(const std::string& sql) {
    ASSERT_TRUE(foundation::createDirectory(foundation::deletingLastPathComponent(path)));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }

  std::string path;
};

TEST_F(ExperimentsDatabase, ActivatedAndLaunchedSnapshotsOutliveReopening) {
  double fetched = clock->now();
  {
    auto database = open();
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots(
        {snapshot("kestro_meter", {{0, {{"rollout", 1}}}, {7, {{"customer_type_enabled", 0}, {"ratio", 0.25}}}})}));
    clock->advance(30);
    auto pending = find(database->fetchAllPendingSnapshots(), "kestro_meter");
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->timestamp(), fetched);
    ASSERT_TRUE(database->activateSnapshot(&*pending, clock->now()));
  }

  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_TRUE(database->fetchAllPendingSnapshots()->empty());
  auto activated = find(database->fetchAllActivatedSnapshots(), "kestro_meter");
  auto launched = find(database->fetchAllLaunchedSnapshots(), "kestro_meter");
  ASSERT_TRUE(activated && launched);
  EXPECT_EQ(ids(activated), std::vector<std::int32_t>{7});
  EXPECT_EQ(ids(launched), std::vector<std::int32_t>{0});
  EXPECT_EQ(activated->timestamp(), fetched + 30);
  EXPECT_EQ(launched->timestamp(), fetched + 30);
  EXPECT_FALSE(activated->manuallyActivated());
  EXPECT_EQ(flagValue(activated, "ratio"), Object(0.25));
  EXPECT_EQ(flagValue(activated, "customer_type_enabled"), Object(0));
  EXPECT_EQ(flagValue(launched, "rollout"), Object(1));
}

TEST_F(ExperimentsDatabase, ActivationWithoutExperimentsEndsTheStoredOnes) {
  auto database = open();
  ASSERT_TRUE(database);
  auto first = snapshot("sdk", {{0, {{"a", 1}}}, {5, {{"b", 2}}}});
  ASSERT_TRUE(database->activateSnapshot(&first, clock->now()));

  // Only a launched experiment: the launched row changes, the activated row goes.
  auto onlyLaunched = snapshot("sdk", {{0, {{"a", 3}}}});
  ASSERT_TRUE(database->activateSnapshot(&onlyLaunched, clock->now()));
  EXPECT_FALSE(find(database->fetchAllActivatedSnapshots(), "sdk"));
  EXPECT_EQ(flagValue(find(database->fetchAllLaunchedSnapshots(), "sdk"), "a"), Object(3));

  auto nothing = database->activateSnapshot(nullptr, clock->now());
  ASSERT_FALSE(nothing);
  EXPECT_EQ(nothing.error().domain, kQZMEErrorDomain);
  EXPECT_EQ(nothing.error().code, 1);
}

TEST_F(ExperimentsDatabase, ActivationKeepsAPendingRowFetchedAfterIt) {
  auto database = open();
  ASSERT_TRUE(database);
  double activationTime = clock->now();
  auto older = snapshot("sdk", {{3, {{"a", 1}}}});
  clock->advance(5);
  auto newer = snapshot("sdk", {{4, {{"a", 2}}}});
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({newer}));
  ASSERT_TRUE(database->activateSnapshot(&older, activationTime));
  EXPECT_EQ(ids(find(database->fetchAllPendingSnapshots(), "sdk")), std::vector<std::int32_t>{4});
}

TEST_F(ExperimentsDatabase, AFetchForTheSameSDKReplacesItsPendingRow) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({snapshot("sdk", {{1, {{"a", 1}}}}), snapshot("other", {})}));
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({snapshot("sdk", {{2, {{"a", 2}}}})}));
  auto pending = database->fetchAllPendingSnapshots();
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->size(), 2u);
  EXPECT_EQ(ids(find(pending, "sdk")), std::vector<std::int32_t>{2});
}

TEST_F(ExperimentsDatabase, StartUpExpiresOldActivationsAndActivatesUnclaimedPendingSnapshots) {
  auto database = open();
  ASSERT_TRUE(database);
  double now = clock->now();
  struct Row {
    const char* table;
    const char* SDKName;
    double timestamp;
    std::optional<bool> manuallyActivated;
  } rows[] = {
      {kQZMEActivatedSnapshotTable, "expired", now - kQZMEActivatedSnapshotLifetime, false},
      {kQZMEActivatedSnapshotTable, "young", now - kQZMEActivatedSnapshotLifetime + 1, false},
      {kQZMELaunchedSnapshotTable, "expired", now - 10 * kQZMEActivatedSnapshotLifetime, false},
      {kQZMEPendingSnapshotTable, "claimed", now - 100, true},
      {kQZMEPendingSnapshotTable, "unclaimed", now - 100, false},
  };
  for (const Row& row : rows) {
    auto message = snapshot(row.SDKName, {{9, {{"f", 1}}}}).proto();
    ASSERT_TRUE(database->upsertSnapshot(*message, row.table, row.timestamp, row.manuallyActivated));
  }

  ASSERT_TRUE(database->performTransaction([&] {
    return database->deleteStaleActivatedSnapshots().ok() && database->activatePendingSnapshotsAutomatically().ok();
  }));

  auto activated = database->fetchAllActivatedSnapshots();
  EXPECT_FALSE(find(activated, "expired"));
  EXPECT_TRUE(find(activated, "young"));
  EXPECT_TRUE(find(database->fetchAllLaunchedSnapshots(), "expired")) << "launched rows do not expire";
  auto unclaimed = find(activated, "unclaimed");
  ASSERT_TRUE(unclaimed);
  EXPECT_EQ(unclaimed->timestamp(), now - 100) << "activated with its fetch time";
  auto pending = database->fetchAllPendingSnapshots();
  EXPECT_FALSE(find(pending, "unclaimed"));
  auto claimed = find(pending, "claimed");
  ASSERT_TRUE(claimed);
  EXPECT_TRUE(claimed->manuallyActivated());
  EXPECT_FALSE(find(activated, "claimed"));
}

TEST_F(ExperimentsDatabase, ARowThatCannotBeReadIsSkippedAndTheRestStillLoads) {
  {
    auto database = open();
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots({snapshot("good", {{1, {{"a", 1}}}})}));
  }
  exec("INSERT INTO pending_snapshot_table VALUES ('broken', x'ffffff', 1, 0)");
  clearMonitorLines();

  auto database = open();
  ASSERT_TRUE(database);
  auto pending = database->fetchAllPendingSnapshots();
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->size(), 1u);
  EXPECT_TRUE(find(pending, "good"));
  ASSERT_EQ(linesWithCode(810008).size(), 1u);
  EXPECT_EQ(linesWithCode(810008)[0].contexts, (std::vector<std::string>{kQZMEPendingSnapshotTable, "broken"}));

  // Nor does it hold up the automatic activation of the others.
  ASSERT_TRUE(database->activatePendingSnapshotsAutomatically());
  EXPECT_TRUE(find(database->fetchAllActivatedSnapshots(), "good"));
}

TEST_F(ExperimentsDatabase, TablesThatCannotBeMadeRightMoveTheFileAside) {
  exec("CREATE TABLE pending_snapshot_table (sdk_name TEXT, stray INTEGER NOT NULL)");
  ASSERT_TRUE(foundation::fileExists(path));

  EXPECT_FALSE(QZMEDatabase::initWithPath(path));
  EXPECT_EQ(linesWithCode(810002).size(), 1u);
  EXPECT_FALSE(foundation::fileExists(path));
  EXPECT_TRUE(foundation::fileExists(path + ".corrupt"));
  EXPECT_TRUE(open()) << "the next start begins with an empty file";
}

TEST_F(ExperimentsDatabase, WithoutAPathOrAfterDeletionEveryOperationFails) {
  EXPECT_FALSE(QZMEDatabase::initWithPath(std::nullopt));
  EXPECT_FALSE(QZMEDatabase::initWithPath(std::string()));
  EXPECT_EQ(linesWithCode(810000).size(), 2u);

  auto database = open();
  ASSERT_TRUE(database);
  database->closeAndDelete();
  EXPECT_FALSE(foundation::fileExists(path));
  auto item = snapshot("sdk", {{1, {{"a", 1}}}});
  EXPECT_EQ(database->upsertPendingExperimentSnapshots({item}).error().code, 2);
  EXPECT_EQ(database->activateSnapshot(&item, 1).error().code, 2);
  EXPECT_EQ(database->fetchAllActivatedSnapshots().error().code, 2);
  EXPECT_EQ(database->performTransaction([] { return true; }).error().code, 2);

  database->reset();
  ASSERT_TRUE(database->isOpen());
  EXPECT_TRUE(database->upsertPendingExperimentSnapshots({item}));
}

}  // namespace
