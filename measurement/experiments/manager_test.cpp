#include <gtest/gtest.h>

#include "measurement/experiments/ExperimentsTestKit.h"
#include "platform/foundation/Files.h"

namespace {

using experimentskit::ExperimentsTest;
using experimentskit::flagValue;
using experimentskit::ids;
using experimentskit::RecordingObserver;
using experimentskit::snapshot;
using foundation::Object;

constexpr const char* kSDK = "kestro_meter";

class ExperimentsManager : public ExperimentsTest {
 protected:
  void SetUp() override {
    ExperimentsTest::SetUp();
    startManager();
  }

  std::shared_ptr<QZMEClient> registerClient(const std::string& name, foundation::Dictionary defaults = {},
                                             std::optional<std::string> diversionKey = "abcde") {
    auto client = manager->registerSDKProperty(property(name, std::move(diversionKey)), defaults);
    EXPECT_TRUE(client) << name;
    return client;
  }

  // A fetch that brought these snapshots, as the task manager reports it.
  void fetched(std::vector<QZMESnapshot> snapshots, std::optional<QZMESnapshotErrors> errors = std::nullopt) {
    manager->taskManagerDidFinishFetching(*taskManager, std::move(snapshots), std::move(errors));
    flush();
  }

  // Drops the manager and task manager and starts new ones over the same files.
  void relaunch() {
    flush();
    manager.reset();
    makeTaskManager();
    startManager();
  }

  foundation::Result<std::vector<QZMESnapshot>> stored(const char* table) {
    foundation::Result<std::vector<QZMESnapshot>> rows = foundation::Error();
    onWorker([&] {
      auto& database = *taskManager->database();
      rows = std::string(table) == kQZMEPendingSnapshotTable     ? database.fetchAllPendingSnapshots()
             : std::string(table) == kQZMEActivatedSnapshotTable ? database.fetchAllActivatedSnapshots()
                                                                 : database.fetchAllLaunchedSnapshots();
    });
    return rows;
  }
};

TEST_F(ExperimentsManager, FlagsComeFromTheActivatedThenTheLaunchedSnapshotThenTheDefaults) {
  auto client = registerClient(kSDK, {{"both", "default"}, {"launchedOnly", "default"}, {"defaultOnly", 5}});
  fetched({snapshot(kSDK, {{0, {{"both", "launched"}, {"launchedOnly", "launched"}}},
                           {7, {{"both", "activated"}, {"activatedOnly", 1.5}}}})});
  EXPECT_EQ(client->valueForFlag("both"), Object("default")) << "a pending snapshot is not in force";

  auto activated = client->activateLatestSnapshot();
  ASSERT_TRUE(activated.ok());
  EXPECT_TRUE(*activated);
  EXPECT_EQ(ids(manager->activatedSnapshotOfSDKName(kSDK)), std::vector<std::int32_t>{7});
  EXPECT_EQ(ids(manager->launchedSnapshotOfSDKName(kSDK)), std::vector<std::int32_t>{0});
  EXPECT_FALSE(manager->pendingSnapshotOfSDKName(kSDK));

  struct Case {
    const char* flag;
    std::optional<Object> value;
  } cases[] = {
      {"both", Object("activated")}, {"activatedOnly", Object(1.5)}, {"launchedOnly", Object("launched")},
      {"defaultOnly", Object(5)},    {"nowhere", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client->valueForFlag(c.flag), c.value) << c.flag;
    EXPECT_EQ(client->objectForKeyedSubscript(Object(c.flag)), c.value) << c.flag;
  }

  EXPECT_FALSE(manager->flagValueForFlagName("both", "unregistered"));
  EXPECT_EQ(linesWithCode(800012).size(), 1u);
  EXPECT_FALSE(client->valueForFlag(""));
  EXPECT_FALSE(client->objectForKeyedSubscript(Object(3)));
  EXPECT_EQ(linesWithCode(830002).size(), 1u);
  EXPECT_EQ(linesWithCode(830003).size(), 1u);
}

TEST_F(ExperimentsManager, ActivationNeedsANameAndAPendingSnapshot) {
  registerClient(kSDK);
  for (auto name : {std::optional<std::string_view>(), std::optional<std::string_view>("")}) {
    auto refused = manager->activateSnapshotOfSDK(name);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().domain, kQZMEErrorDomain);
    EXPECT_EQ(refused.error().code, 1);
  }
  EXPECT_EQ(linesWithCode(800021).size(), 1u);
  EXPECT_EQ(linesWithCode(800022).size(), 1u);

  auto nothing = manager->activateSnapshotOfSDK(kSDK);
  ASSERT_TRUE(nothing.ok());
  EXPECT_FALSE(*nothing);
  EXPECT_EQ(linesWithCode(800023).size(), 1u);
}

TEST_F(ExperimentsManager, AnActivationWithoutExperimentsEndsThemInMemoryAndAfterARestart) {
  auto client = registerClient(kSDK, {{"feature", "default"}});
  fetched({snapshot(kSDK, {{7, {{"feature", "experiment"}}}})});
  ASSERT_TRUE(*client->activateLatestSnapshot());
  EXPECT_EQ(client->valueForFlag("feature"), Object("experiment"));

  // The server ended experiment 7 and launched a flag instead.
  fetched({snapshot(kSDK, {{0, {{"launched", 1}}}})});
  ASSERT_TRUE(*client->activateLatestSnapshot());
  EXPECT_EQ(client->valueForFlag("feature"), Object("default"));
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName(kSDK), kQZMESnapshotStatusNone);

  relaunch();
  client = registerClient(kSDK, {{"feature", "default"}});
  EXPECT_EQ(client->valueForFlag("feature"), Object("default"));
  EXPECT_EQ(client->valueForFlag("launched"), Object(1));
}

TEST_F(ExperimentsManager, SnapshotsLoadedAtStartKeepTheirActivationTime) {
  auto client = registerClient(kSDK);
  fetched({snapshot(kSDK, {{7, {{"f", 1}}}})});
  ASSERT_TRUE(*client->activateLatestSnapshot());

  clock->advance(2 * 86400);
  relaunch();
  client = registerClient(kSDK);
  flush();
  EXPECT_EQ(client->valueForFlag("f"), Object(1));
  EXPECT_FALSE(client->hasStaleSnapshot());
  clock->advance(86400 + 1);
  EXPECT_TRUE(client->hasStaleSnapshot()) << "three days after its activation, not after the load";
}

TEST_F(ExperimentsManager, StatusFollowsTheAgeOfTheActivation) {
  for (const char* name : {"fresh", "stale", "none"}) registerClient(name);
  double now = clock->now();
  auto fresh = snapshot("fresh", {{1, {}}});
  fresh.setTimestamp(now - kQZMEActivatedSnapshotLifetime);
  auto stale = snapshot("stale", {{1, {}}});
  stale.setTimestamp(now - kQZMEActivatedSnapshotLifetime - 1);
  manager->taskManagerDidStart(*taskManager, {fresh, stale}, {}, {});
  flush();

  struct Case {
    const char* SDKName;
    std::int64_t status;
  } cases[] = {
      {"fresh", kQZMESnapshotStatusFresh},   {"stale", kQZMESnapshotStatusStale},
      {"none", kQZMESnapshotStatusNone},     {"unregistered", kQZMESnapshotStatusUnregistered},
      {"", kQZMESnapshotStatusUnregistered},
  };
  for (const Case& c : cases) EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName(c.SDKName), c.status) << c.SDKName;
}

TEST_F(ExperimentsManager, RegistrationRefusesBadInputAndASecondOneReplacesTheDefaults) {
  EXPECT_FALSE(manager->registerSDKProperty(nullptr, {}));
  EXPECT_FALSE(manager->registerSDKProperty(property(""), {}));
  EXPECT_FALSE(manager->registerSDKProperty(property(kSDK), {{"when", Object(foundation::Date{5})}}));
  EXPECT_EQ(linesWithCode(800000).size(), 1u);
  EXPECT_EQ(linesWithCode(800001).size(), 1u);
  EXPECT_EQ(linesWithCode(800002).size(), 1u);
  EXPECT_FALSE(manager->clientForSDKName(kSDK)) << "a refused registration leaves nothing behind";

  registerClient(kSDK, {{"f", 1}, {"g", 2}});
  auto second = registerClient(kSDK, {{"f", 3}});
  EXPECT_EQ(manager->clientForSDKName(kSDK), second);
  EXPECT_EQ(second->valueForFlag("f"), Object(3));
  EXPECT_FALSE(second->valueForFlag("g"));
  EXPECT_EQ(linesWithCode(800003).size(), 1u);
}

TEST_F(ExperimentsManager, ExperimentIDsAreSortedAndLeaveOutSDKsWithTheirOwnDiversionKey) {
  registerClient("a", {}, std::nullopt);
  registerClient("b", {}, std::nullopt);
  registerClient("own", {}, "abcde");
  manager->taskManagerDidStart(
      *taskManager, {snapshot("a", {{12, {}}, {3, {}}}), snapshot("b", {{7, {}}}), snapshot("own", {{1, {}}})}, {}, {});
  EXPECT_EQ(manager->experimentIDs(), (std::vector<std::int32_t>{3, 7, 12}));
}

TEST_F(ExperimentsManager, NewSnapshotsGoToClientsThatActivateThemselves) {
  auto observer = std::make_shared<RecordingObserver>();
  auto onMain = std::make_shared<RecordingObserver>();
  onMain->noticeQueue = nullptr;
  auto quiet = std::make_shared<RecordingObserver>();
  quiet->notices = false;
  registerClient(kSDK)->setDelegate(observer);
  registerClient("main")->setDelegate(onMain);
  registerClient("quiet")->setDelegate(quiet);

  fetched({snapshot(kSDK, {{7, {{"f", 1}}}}), snapshot("main", {{8, {}}}), snapshot("quiet", {{9, {}}}),
           snapshot("stranger", {{10, {}}})},
          QZMESnapshotErrors{{kSDK, foundation::Error(kQZMEErrorDomain, -3, "refused")}});
  testkit::settle(observer->noticeQueue);
  dispatch::drainMainQueue();

  EXPECT_EQ(observer->received(), std::vector<std::string>{kSDK});
  EXPECT_EQ(observer->noticeQueues, std::vector<std::string>{"com.tolv.test.observer"});
  EXPECT_EQ(onMain->noticeQueues, std::vector<std::string>{dispatch::kMainQueueLabel});
  EXPECT_TRUE(quiet->received().empty());
  ASSERT_EQ(observer->fetchErrors.size(), 1u);
  EXPECT_EQ(observer->fetchErrors[0].second.code, -3);
  EXPECT_EQ(observer->valuesReadInCallback.size(), 1u) << "a delegate may call back into the manager";

  EXPECT_TRUE(manager->pendingSnapshotOfSDKName(kSDK)->manuallyActivated());
  EXPECT_FALSE(manager->pendingSnapshotOfSDKName("quiet")->manuallyActivated());
  auto pending = stored(kQZMEPendingSnapshotTable);
  ASSERT_TRUE(pending);
  std::vector<std::string> marked;
  for (const auto& row : *pending)
    if (row.manuallyActivated()) marked.push_back(row.SDKName());
  EXPECT_EQ(marked, (std::vector<std::string>{kSDK, "main"}));

  fetched({});
  EXPECT_EQ(linesWithCode(800020).size(), 1u);
}

TEST_F(ExperimentsManager, FetchingIsWantedWhileOneClientWantsIt) {
  EXPECT_FALSE(manager->taskManagerShouldFetchExperiments(*taskManager)) << "no clients";
  auto unwilling = std::make_shared<RecordingObserver>();
  unwilling->answersShouldFetch = false;
  registerClient("unwilling")->setDelegate(unwilling);
  flush();
  EXPECT_FALSE(manager->taskManagerShouldFetchExperiments(*taskManager));

  auto silent = std::make_shared<RecordingObserver>();
  registerClient("silent")->setDelegate(silent);
  flush();
  EXPECT_TRUE(manager->taskManagerShouldFetchExperiments(*taskManager)) << "a delegate that does not say";
}

TEST_F(ExperimentsManager, ResetForgetsEverySnapshotButKeepsTheClients) {
  auto client = registerClient(kSDK, {{"f", "default"}});
  fetched({snapshot(kSDK, {{0, {{"f", "launched"}}}, {7, {{"g", 1}}}})});
  ASSERT_TRUE(*client->activateLatestSnapshot());
  fetched({snapshot(kSDK, {{8, {}}})});

  client->resetToDefaults();
  flush();
  EXPECT_FALSE(manager->activatedSnapshotOfSDKName(kSDK));
  EXPECT_EQ(client->valueForFlag("f"), Object("launched")) << "launched flags survive a reset to defaults";
  EXPECT_TRUE(stored(kQZMEActivatedSnapshotTable)->empty());
  client->resetToDefaults();
  flush();
  EXPECT_EQ(linesWithCode(800026).size(), 1u);

  manager->reset();
  flush();
  EXPECT_FALSE(manager->launchedSnapshotOfSDKName(kSDK));
  EXPECT_FALSE(manager->pendingSnapshotOfSDKName(kSDK));
  EXPECT_EQ(client->valueForFlag("f"), Object("default"));
  EXPECT_EQ(manager->clientForSDKName(kSDK), client);
  EXPECT_TRUE(stored(kQZMELaunchedSnapshotTable)->empty());
  EXPECT_TRUE(stored(kQZMEPendingSnapshotTable)->empty());

  manager->clearAndDelete();
  flush();
  EXPECT_FALSE(foundation::fileExists(databasePath));
  EXPECT_EQ(alarmTime(), 0) << "nothing is fetched any more";
}

TEST_F(ExperimentsManager, TheSharedManagerStartsOverTheSDKFolderOnce) {
  auto shared = QZMEManager::sharedInstance();
  ASSERT_TRUE(shared);
  EXPECT_EQ(QZMEManager::sharedInstance(), shared);
  shared->taskManager()->dispatchSyncOnWorkerQueue([] {});
  EXPECT_EQ(shared->taskManager()->databasePath(), databasePath);
  EXPECT_TRUE(foundation::fileExists(databasePath));
  auto armed = shared->taskManager()->alarm()->scheduledTimestamp();
  ASSERT_TRUE(armed);
  EXPECT_EQ(armed->secondsSince1970, clock->now() + kQZMEFirstFetchDelay);
  EXPECT_EQ(QZMEManager::version(), 10000);
}

}  // namespace
