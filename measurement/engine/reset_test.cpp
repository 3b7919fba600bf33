// Reset and wipe of the stored data, at the host's request and at start-up,
// and the answers that read stored data: the session ID and the first-open
// time.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMPSMContext.h"
#include "measurement/engine/SeenEventsTestKit.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/Files.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr const char* kOldPlatformAppID = "1:9999:ios:old";

class Reset : public testkit::SeenEventsHost {
 protected:
  std::optional<QZMStoredUserAttribute> attribute(std::string_view name) {
    auto stored = engine()->database()->userAttributeWithName(name);
    return stored.ok() ? *stored : std::nullopt;
  }
  void storeAttribute(const std::string& name, double setTime) {
    ASSERT_TRUE(engine()->database()->updateUserAttribute({"app", name, Object("v"), setTime}).ok());
  }
};

TEST_F(Reset, AnEmptyAppInstanceIDIsRefusedUnlessAnalyticsStorageIsDenied) {
  ASSERT_TRUE(configure().ok());
  storeAttribute("plan", clock->now());
  EXPECT_FALSE(engine()->resetAnalyticsDataWithAppInstanceID(std::nullopt));
  EXPECT_EQ(linesWithCode(23167).size(), 1u);
  EXPECT_TRUE(attribute("plan")) << "nothing was wiped";

  QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"analytics_storage", "denied"}});
  ASSERT_TRUE(QZMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID(std::nullopt));
  EXPECT_EQ(linesWithCode(23218).size(), 1u);
  EXPECT_FALSE(attribute("plan"));
}

TEST_F(Reset, TheHostsResetWipesTheDataAndReportsANewFirstOpenAtOnce) {
  ASSERT_TRUE(configure().ok());
  settle();
  storeAttribute("plan", clock->now());
  engine()->persistedConfig()->setSessionNumber(5);
  auto lookups = std::make_shared<QZMPSMContext>();
  onWorkerQueue([&] { engine()->setODM1Context(lookups); });
  clock->advance(600);
  forgetSeenEvents();

  QZMAnalytics::resetAnalyticsData();
  settle();
  EXPECT_EQ(linesWithCode(23168).size(), 1u);
  std::shared_ptr<QZMPSMContext> afterReset;
  onWorkerQueue([&] { afterReset = engine()->ODM1Context(); });
  EXPECT_TRUE(afterReset && afterReset != lookups) << "the membership lookups start afresh";
  EXPECT_FALSE(attribute("plan"));
  EXPECT_EQ(engine()->persistedConfig()->sessionNumber(), 0);
  EXPECT_EQ(QZMAnalytics::resetRetryCount(), 0);
  EXPECT_EQ(engine()->persistedConfig()->appInstanceID(), QZMIdentity::sharedInstance()->appInstanceID());

  auto firstOpens = eventsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  // The first open before the reset counts as an earlier one; the platform
  // app ID of the data wiped goes with the new one once.
  EXPECT_EQ(firstOpens[0].parameters,
            (Dictionary{{"_pfo", 1}, {"_uwa", 0}, {"_pgmp", std::string(testkit::kTestAppID)}}));
  EXPECT_EQ(firstOpens[0].timestamp, clock->now());
  EXPECT_EQ(attribute("_fi")->value, Object(1));
}

// ---- The wipe at start-up ----

struct StartupWipeCase {
  const char* name;
  const char* persistedPlatformAppID;
  std::int64_t retryCount;
  bool wiped;
};

class StartupWipe : public testkit::SeenEventsHost, public ::testing::WithParamInterface<StartupWipeCase> {};

TEST_P(StartupWipe, DataOfAnotherAppOrAnUnfinishedResetIsWipedBeforeTheDatabaseOpens) {
  const StartupWipeCase& c = GetParam();
  // What an earlier run left: its database, settings and bookkeeping.
  auto config = QZMPersistedConfig::sharedInstance();
  {
    auto database = QZMDatabase::initWithDatabaseName(kQZMDatabaseFileName, config);
    ASSERT_TRUE(database.ok());
    ASSERT_TRUE((*database)->updateUserAttribute({"app", "plan", Object("old"), 1}).ok());
  }
  config->setAppIDFromDXV(c.persistedPlatformAppID);
  config->setSessionNumber(7);
  QZMAnalytics::setResetRetryCount(c.retryCount);

  ASSERT_TRUE(configure().ok());
  settle();
  auto plan = engine()->database()->userAttributeWithName("plan");
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->has_value(), !c.wiped);
  EXPECT_EQ(config->sessionNumber(), c.wiped ? 0 : 7);
  EXPECT_EQ(QZMAnalytics::resetRetryCount(), c.wiped ? 0 : c.retryCount);
  auto firstOpens = eventsNamed("_f");
  if (c.wiped) {
    ASSERT_EQ(firstOpens.size(), 1u);
    EXPECT_EQ(firstOpens[0].parameters.at("_pgmp"), Object(c.persistedPlatformAppID));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupWipe,
    ::testing::Values(StartupWipeCase{"PlatformAppIDChanged", kOldPlatformAppID, 0, true},
                      StartupWipeCase{"UnfinishedReset", testkit::kTestAppID, 3, true},
                      StartupWipeCase{"LastOfTheRetries", testkit::kTestAppID, 9, true},
                      StartupWipeCase{"RetriesSpent", testkit::kTestAppID, 10, false},
                      StartupWipeCase{"NothingToDo", testkit::kTestAppID, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// An engine whose database never opens, as before start-up makes it.
class EngineWithoutDatabase : public QZMMeasurement {
 public:
  static std::shared_ptr<EngineWithoutDatabase> make() {
    auto scheduler = QZMScheduler::initWithWorkerQueueLabel(kQZMWorkerQueueLabel);
    std::shared_ptr<EngineWithoutDatabase> engine(new EngineWithoutDatabase(scheduler));
    engine->finishInitialization();
    return engine;
  }
  foundation::Status wipe() {
    foundation::Status status;
    scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] { status = wipeoutAnalyticsDataAndResetComponents(); });
    return status;
  }

 protected:
  foundation::Result<std::shared_ptr<QZMDatabase>> makeDatabase() override {
    return foundation::Error("SQLite", 14, "unable to open database file");
  }

 private:
  explicit EngineWithoutDatabase(std::shared_ptr<QZMScheduler> scheduler)
      : QZMMeasurement(kQZMDatabaseFileName, QZMPersistedConfig::sharedInstance(), nullptr, scheduler,
                       QZMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQZMMeasurementTimerName),
                       testkit::kTestAppID, true, false, std::nullopt, nullptr) {}
};

TEST_F(Reset, AWipeThatCannotDeleteTheDatabaseFileFailsAndLeavesNothingHalfDone) {
  const std::string path = QZMApplicationSupportFilePath(kQZMDatabaseFileName);
  const std::string folder = foundation::deletingLastPathComponent(path);
  ASSERT_TRUE(foundation::createDirectory(folder).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string("old data")).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path + "-journal", std::string("old journal")).ok());
  auto measurement = EngineWithoutDatabase::make();
  settleEngine();
  for (int i = 0; i < 3; ++i) testkit::settle(measurement->scheduler()->workerQueue());
  ASSERT_FALSE(measurement->database());

  if (!QZMSetFileImmutable(folder, true).ok() || !QZMIsFileImmutable(folder).valueOr(false)) {
    GTEST_SKIP() << "no immutable flag here";
  }
  foundation::Status failed = measurement->wipe();
  ASSERT_TRUE(QZMSetFileImmutable(folder, false).ok());
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(linesWithCode(23014).size(), 1u);
  EXPECT_EQ(foundation::readFile(path).value(), foundation::Data({'o', 'l', 'd', ' ', 'd', 'a', 't', 'a'}));

  EXPECT_TRUE(measurement->wipe().ok());
  EXPECT_FALSE(foundation::fileExists(path));
  EXPECT_FALSE(foundation::fileExists(path + "-journal")) << "a journal would be played into the next file";
  for (int i = 0; i < 3; ++i) testkit::settle(measurement->scheduler()->workerQueue());
}

// ---- Answers from the stored data ----

TEST_F(Reset, TheSessionIDIsAnsweredOnlyForALiveSession) {
  ASSERT_TRUE(configure().ok());
  settle();
  struct Case {
    bool enabled;
    double sinceActivity;
    std::optional<std::int64_t> storedID;
    std::int64_t answer;
    std::optional<std::string> error;
  } cases[] = {
      {true, 10, 1'700'000'000, 1'700'000'000, std::nullopt},
      {true, 10, std::nullopt, 0, "Session ID not found"},
      {true, 4 * 3600, 1'700'000'000, 0, "Session expired"},
      {false, 10, 1'700'000'000, 0, "Analytics disabled"},
  };
  for (const auto& c : cases) {
    engine()->setEnabled(c.enabled);
    settle();
    engine()->persistedConfig()->setLastSessionActivityClockTime(clock->now() - c.sinceActivity);
    if (c.storedID) {
      ASSERT_TRUE(engine()->database()->updateUserAttribute({"auto", "_sid", Object(*c.storedID), 1}).ok());
    } else {
      ASSERT_TRUE(engine()->database()->deleteUserAttributeWithName("_sid").ok());
    }
    std::mutex mutex;
    int answers = 0;
    std::int64_t answer = -1;
    std::optional<foundation::Error> error;
    engine()->sessionIDWithCompletion([&](std::int64_t sessionID, const std::optional<foundation::Error>& failure) {
      std::lock_guard lock(mutex);
      ++answers;
      answer = sessionID;
      error = failure;
    });
    settle();
    std::lock_guard lock(mutex);
    ASSERT_EQ(answers, 1);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(error ? std::optional<std::string>(error->description) : std::nullopt, c.error);
    if (error) {
      EXPECT_EQ(error->code, 13);
    }
  }
}

TEST_F(Reset, TheFirstOpenTimeIsTheFirstOpenPropertysElseTheOldestProperty) {
  ASSERT_TRUE(configure().ok());
  settle();
  double firstOpen = attribute("_fot")->setTimestamp;
  storeAttribute("plan", firstOpen - 100);
  double answer = 0;
  auto ask = [&] { onWorkerQueue([&] { answer = engine()->firstOpenTimestamp(); }); };
  ask();
  EXPECT_EQ(answer, firstOpen);

  ASSERT_TRUE(engine()->database()->deleteUserAttributeWithName("_fot").ok());
  ask();
  EXPECT_EQ(answer, firstOpen - 100);

  auto all = engine()->database()->allUserAttributes();
  ASSERT_TRUE(all.ok());
  for (const auto& stored : *all) ASSERT_TRUE(engine()->database()->deleteUserAttributeWithName(stored.name).ok());
  ask();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(linesWithCode(23124).size(), 1u);
}

}  // namespace
