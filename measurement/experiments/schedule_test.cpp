#include <gtest/gtest.h>

#include "measurement/experiments/ExperimentsTestKit.h"
#include "platform/foundation/Files.h"

namespace {

using experimentskit::ExperimentsTest;
using experimentskit::ids;
using experimentskit::responseBytes;
using experimentskit::SDKAnswer;
using experimentskit::snapshot;

class ExperimentsSchedule : public ExperimentsTest {
 protected:
  // The fetch the alarm would have started gets this answer.
  void answer(std::int64_t status, std::optional<foundation::Data> body = std::nullopt) {
    taskManager->alarm()->cancel();
    DRKHTTPURLResponse response;
    response.statusCode = status;
    onWorker([&] { taskManager->handleFetchingExperimentsResponse(response, body, std::nullopt); });
  }

  // Moves the calendar to the armed fetch without letting it fire.
  void moveToAlarm() {
    double due = alarmTime();
    ASSERT_NE(due, 0);
    taskManager->alarm()->cancel();
    clock->setNow(due);
  }
};

TEST_F(ExperimentsSchedule, NextFetchTime) {
  const double now = clock->now();
  struct Case {
    const char* name;
    bool firstOfRun;
    double success;
    double failure;
    double expected;
  } cases[] = {
      {"first launch ever", true, 0, 0, now + 10},
      {"success an hour ago", true, now - 3600, 0, now + 3 * 3600},
      {"overdue", true, now - 20000, 0, now + 10},
      {"first schedule ignores failures", true, now - 3600, now - 60, now + 3 * 3600},
      {"success stamped in the future", false, now + 1000, 0, now - 1000 + 14400},
      {"no failure", false, now - 3600, 0, now + 3 * 3600},
      {"first retry", false, now - 20000, now - 20000 + 14400, now - 20000 + 14400 + 1800},
      {"second retry", false, now - 20000, now - 20000 + 16200, now - 20000 + 14400 + 5400},
      {"last retry", false, now - 200000, now - 200000 + 14400 + 55800, now - 200000 + 14400 + 113400},
      {"retries spent", false, now - 200000, now - 200000 + 14400 + 113400, 0},
      {"no success yet", false, 0, now + 100, now + 1800},
      {"no success yet, retries spent", false, 0, now + 113400, 0},
  };
  for (const Case& c : cases) {
    makeTaskManager();
    if (!c.firstOfRun) (void)taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0);
    EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(c.success, c.failure), c.expected) << c.name;
    EXPECT_TRUE(taskManager->hasMadeInitialFetch());
  }
}

TEST_F(ExperimentsSchedule, FailuresRetryAtDoublingIntervalsUntilTheRetriesAreSpent) {
  const double success = clock->now() - 100;
  suite->setDouble(success, kQZMEFetchSuccessTimestampKey);
  startManager();
  EXPECT_EQ(alarmTime(), success + 14400);

  for (double offset : {1800, 5400, 12600, 27000, 55800, 113400}) {
    moveToAlarm();
    answer(500);
    EXPECT_EQ(alarmTime(), success + 14400 + offset);
  }
  moveToAlarm();
  answer(500);
  EXPECT_EQ(alarmTime(), 0);
  EXPECT_EQ(linesWithCode(820024).size(), 1u);
  EXPECT_FALSE(suite->objectForKey(kQZMEFetchSuccessTimestampKey));
  EXPECT_EQ(linesWithCode(820002).size(), 7u);
}

TEST_F(ExperimentsSchedule, AnOverloadedServerGetsTwelveHoursOfQuiet) {
  struct Case {
    std::int64_t status;
    bool backsOff;
  } cases[] = {{500, false}, {404, false}, {0, false}, {503, true}, {429, true}};
  for (const Case& c : cases) {
    makeTaskManager();
    suite->clearAllData();
    const double now = clock->now();
    onWorker([&] { (void)taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0); });
    answer(c.status);
    EXPECT_EQ(suite->doubleForKey(kQZMEFetchFailureTimestampKey), now) << c.status;
    EXPECT_EQ(suite->objectForKey(kQZMEFetchBackoffTimestampKey).has_value(), c.backsOff) << c.status;
    EXPECT_EQ(alarmTime(), c.backsOff ? now + 43200 : now + 1800) << c.status;
    clock->advance(1);
  }

  // A backoff from more than twelve hours ago no longer holds the schedule back.
  makeTaskManager();
  suite->clearAllData();
  const double now = clock->now();
  suite->setDouble(now - 43201, kQZMEFetchBackoffTimestampKey);
  onWorker([&] { (void)taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0); });
  answer(500);
  EXPECT_EQ(alarmTime(), now + 1800);
}

TEST_F(ExperimentsSchedule, AnEarlierArmedFetchIsKept) {
  startManager();
  const double first = alarmTime();
  ASSERT_EQ(first, clock->now() + 10);
  suite->setDouble(clock->now(), kQZMEFetchSuccessTimestampKey);
  onWorker([&] { taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_EQ(alarmTime(), first);
  EXPECT_EQ(linesWithCode(820017).size(), 1u);
}

TEST_F(ExperimentsSchedule, WithoutAClientThatWantsExperimentsTheFetchIsPostponed) {
  suite->setDouble(clock->now(), kQZMEFetchFailureTimestampKey);
  startManager();
  const double due = alarmTime();
  clock->advance(due - clock->now());
  testkit::settle(taskManager->workerQueue());
  EXPECT_EQ(suite->doubleForKey(kQZMEFetchSuccessTimestampKey), due);
  EXPECT_FALSE(suite->objectForKey(kQZMEFetchFailureTimestampKey));
  EXPECT_EQ(alarmTime(), due + 14400);
  EXPECT_TRUE(linesWithCode(820001).empty()) << "no request was made";
}

TEST_F(ExperimentsSchedule, ASuccessfulAnswerStoresItsSnapshotsAndWaitsAWholeInterval) {
  startManager();
  taskManager->alarm()->cancel();
  auto client = manager->registerSDKProperty(property("kestro_meter"), {});
  flush();
  suite->setDouble(clock->now() - 10, kQZMEFetchFailureTimestampKey);
  suite->setDouble(clock->now() - 10, kQZMEFetchBackoffTimestampKey);
  // Only SDKs registered in this process keep what the server sends.
  auto body = responseBytes({snapshot("kestro_meter", {{0, {{"a", 1}}}, {4, {{"b", 2}}}}),
                             snapshot("stranger", {{5, {}}}), snapshot("other stranger", {{6, {}}})});
  answer(200, body);
  flush();
  auto dropped = linesWithCode(820028);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].contexts, std::vector<std::string>{"2"});
  EXPECT_FALSE(manager->pendingSnapshotOfSDKName("stranger"));

  EXPECT_EQ(suite->doubleForKey(kQZMEFetchSuccessTimestampKey), clock->now());
  EXPECT_FALSE(suite->objectForKey(kQZMEFetchFailureTimestampKey));
  EXPECT_FALSE(suite->objectForKey(kQZMEFetchBackoffTimestampKey));
  EXPECT_EQ(alarmTime(), clock->now() + 14400);
  EXPECT_EQ(ids(manager->pendingSnapshotOfSDKName("kestro_meter")), (std::vector<std::int32_t>{0, 4}));
  foundation::Result<std::vector<QZMESnapshot>> pending = foundation::Error();
  onWorker([&] { pending = taskManager->database()->fetchAllPendingSnapshots(); });
  ASSERT_TRUE(pending);
  ASSERT_EQ(pending->size(), 1u);
  EXPECT_FALSE((*pending)[0].manuallyActivated()) << "no client activates it itself: the next start will";

  // An answer that does not decode still counts as a success.
  answer(200, foundation::Data{0xff, 0xff});
  EXPECT_EQ(linesWithCode(820015).size(), 1u);
  EXPECT_EQ(alarmTime(), clock->now() + 14400);
}

TEST_F(ExperimentsSchedule, AnAnswerWithMoreSnapshotsThanSDKsCouldAskForIsNotRead) {
  startManager();
  taskManager->alarm()->cancel();
  manager->registerSDKProperty(property("kestro_meter"), {});
  flush();
  foundation::Data mine = responseBytes({snapshot("kestro_meter", {{4, {{"b", 2}}}})});
  struct Case {
    std::size_t emptySnapshots;
    bool read;
  } cases[] = {{1000, false}, {999, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.emptySnapshots);
    clearMonitorLines();
    foundation::Data body = mine;
    for (std::size_t i = 0; i < c.emptySnapshots; ++i) body.insert(body.end(), {0x0a, 0x00});
    answer(200, body);
    flush();
    EXPECT_EQ(linesWithCode(820029).size(), c.read ? 0u : 1u);
    EXPECT_EQ(linesWithCode(820016).size(), c.read ? c.emptySnapshots : 0u);
    EXPECT_EQ(ids(manager->pendingSnapshotOfSDKName("kestro_meter")),
              c.read ? std::vector<std::int32_t>{4} : std::vector<std::int32_t>{});
    EXPECT_EQ(suite->doubleForKey(kQZMEFetchSuccessTimestampKey), clock->now()) << "an answer all the same";
    clock->advance(1);
  }
}

TEST_F(ExperimentsSchedule, SnapshotsAndErrorsFromAnAnswer) {
  // No snapshot list: the SDK answers' snapshots, named after their SDK.
  auto bytes = responseBytes({}, {
                                     {"kestro_meter", 2, snapshot("inner", {{5, {{"x", 1}}}})},
                                     {"other", 0, snapshot("kept", {{6, {}}})},
                                     {"", 7, std::nullopt},
                                     {"failing", 1, std::nullopt},
                                     {"broken", 9, std::nullopt},
                                     {"fine", 0, std::nullopt},
                                 });
  auto response = QZMPBExperimentResponse::initWithBuffer(bytes);
  ASSERT_TRUE(response);
  auto snapshots = QZMETaskManager::experimentSnapshotsFromExperimentResponse(response.get());
  ASSERT_TRUE(snapshots);
  ASSERT_EQ(snapshots->size(), 2u);
  EXPECT_EQ((*snapshots)[0].SDKName(), "kestro_meter");
  EXPECT_EQ(ids((*snapshots)[0]), std::vector<std::int32_t>{5});
  EXPECT_EQ((*snapshots)[1].SDKName(), "other");

  auto errors = QZMETaskManager::errorsFromExperimentResponse(response.get());
  ASSERT_TRUE(errors);
  std::map<std::string, std::int64_t> codes;
  for (const auto& [name, error] : *errors) {
    EXPECT_EQ(error.domain, kQZMEErrorDomain);
    codes[name] = error.code;
  }
  EXPECT_EQ(codes, (std::map<std::string, std::int64_t>{{"broken", -1}, {"failing", -2}, {"kestro_meter", -3}}));

  // A snapshot list wins over the SDK answers.
  auto listed = QZMETaskManager::experimentSnapshotsFromData(
      responseBytes({snapshot("listed", {})}, {{"kestro_meter", 0, snapshot("inner", {})}}));
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].SDKName(), "listed");

  EXPECT_FALSE(QZMETaskManager::errorsFromExperimentResponse(
      QZMPBExperimentResponse::initWithBuffer(responseBytes({snapshot("a", {})})).get()));
  EXPECT_FALSE(QZMETaskManager::experimentSnapshotsFromData({}));
  EXPECT_EQ(linesWithCode(820025).size(), 1u);
  EXPECT_FALSE(QZMETaskManager::experimentSnapshotsFromData({0x0a, 0x05}));
  EXPECT_EQ(linesWithCode(820015).size(), 1u);
}

TEST_F(ExperimentsSchedule, WithoutADatabaseNothingIsStoredOrFetchedUntilAResetOpensOne) {
  // A file where the database's folder should be.
  std::string blocker = home->dataHome() + "/blocker";
  ASSERT_TRUE(foundation::writeFileAtomically(blocker, "x"));
  databasePath = blocker + "/" + kQZMEDatabaseFileName;
  makeTaskManager();
  startManager();
  EXPECT_EQ(alarmTime(), 0);
  EXPECT_FALSE(taskManager->database());

  manager->registerSDKProperty(property("sdk"), {});
  flush();
  auto item = snapshot("sdk", {{1, {}}});
  taskManager->upsertPendingSnapshots({item});
  taskManager->activatePendingSnapshot(item, clock->now());
  taskManager->resetToDefaultsForSDKName("sdk");
  answer(200, responseBytes({item}));
  flush();
  for (std::int64_t code : {820021, 820014, 820019, 820022}) {
    auto lines = linesWithCode(code);
    ASSERT_EQ(lines.size(), 1u) << code;
    std::string contexts;
    for (const auto& context : lines[0].contexts) contexts += context + "; ";
    EXPECT_NE(contexts.find("not open"), std::string::npos) << code << ": " << contexts;
  }

  ASSERT_TRUE(foundation::removeItem(blocker));
  taskManager->reset();
  flush();
  ASSERT_TRUE(taskManager->database());
  EXPECT_TRUE(taskManager->database()->isOpen());
  EXPECT_NE(alarmTime(), 0);
}

}  // namespace
