#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/engine/reporters/QZMSearchAdReporter.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/store/AdServices.h"
#include "platform/utilities/Endpoints.h"
#include "testing/TlsServer.h"

namespace {

bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

testkit::Answer json(std::string body, int status = 200) {
  return {.status = status, .headers = {{"Content-Type", "application/json"}}, .body = std::move(body)};
}

const char* kAttributed = R"({"attribution": true, "orgId": 40669820, "campaignId": 542370539, "adId": 1234,
                              "keywordId": "87675432", "conversionType": "Download"})";
const char* kTestAnswer =
    R"({"attribution": true, "campaignId": 1234567890, "adId": 1234567890, "keywordId": 12323222})";

class SearchAdReporting : public testkit::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    // The engine's own reporter finds no attribution service and stays idle.
    configureWithRecordingEngine();
    settleEngine();
    clearMonitorLines();
    utilities::Endpoints::setOverride(utilities::kEndpointSearchAds, server.baseURL());
    utilities::Endpoints::setCABundleOverride(server.caBundlePath());
    service = std::make_shared<store::AAFixedAttribution>(std::string("token-of-the-install"));
    store::AAAttribution::install(service);
    settings = QZMPersistedConfig::sharedInstance();
    worker = dispatch::Queue::create("search-ad test worker");
  }
  void TearDown() override {
    if (reporter) onWorker([&] { reporter.reset(); });
    store::AAAttribution::install(nullptr);
    utilities::Endpoints::reset();
    FacadeTest::TearDown();
  }

  void onWorker(const std::function<void()>& block) { ASSERT_TRUE(worker->sync(block).ok()); }

  // A reporter as the engine makes it at start: switched on, then started.
  void startReporter() {
    reporter = QZMSearchAdReporter::initWithWorkerQueue(worker, settings);
    ASSERT_TRUE(reporter);
    onWorker([&] {
      reporter->setSearchAdReporterEnabled(true);
      reporter->start();
    });
  }

  std::size_t requestCount() const { return server.requests().size(); }
  // Waits until n requests were made and the last answer was handled: it
  // either ended the reporter's scheduling or found the next attempt
  // already scheduled (logged for the rescheduledLines-th time).
  void waitForAttempt(std::size_t n, std::size_t rescheduledLines = SIZE_MAX) {
    ASSERT_TRUE(eventually([&] { return requestCount() >= n; }));
    ASSERT_TRUE(eventually([&] {
      bool ended = false;
      onWorker([&] { ended = !reporter->searchAdReporterAlarm(); });
      return ended || linesWithCode(32005).size() >= rescheduledLines;
    }));
    settleEngine();
  }

  std::vector<testkit::HandedEvent> campaigns() const {
    std::vector<testkit::HandedEvent> found;
    for (auto& event : recorder->events()) {
      if (event.name == "_cmp") found.push_back(event);
    }
    return found;
  }

  double pendingDelay() {
    double delay = -1;
    onWorker([&] {
      auto alarm = reporter->searchAdReporterAlarm();
      if (alarm && alarm->scheduledTimestamp()) delay = alarm->scheduledTimestamp()->secondsSince1970 - clock->now();
    });
    return delay;
  }

  testkit::TlsServer server;
  std::shared_ptr<store::AAFixedAttribution> service;
  std::shared_ptr<QZMPersistedConfig> settings;
  std::shared_ptr<dispatch::Queue> worker;
  std::shared_ptr<QZMSearchAdReporter> reporter;
};

TEST_F(SearchAdReporting, AnAttributedInstallLogsOneCampaignEvent) {
  settings->setFirstOpenTimestampMilliseconds(1'700'000'000'123);
  server.answer("POST", "/api/v1/", json(kAttributed));
  // Never asked before: the first attempt goes out at once.
  startReporter();
  waitForAttempt(1);

  auto request = server.requests().at(0);
  EXPECT_EQ(request.body, "token-of-the-install");
  EXPECT_EQ(request.header("Content-Type"), "text/plain");
  EXPECT_EQ(request.header("cache-control"), "no-cache");

  auto events = campaigns();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].parameters, (QZMDictionary{{"source", "Apple"},
                                                 {"medium", "search"},
                                                 {"campaign", "542370539"},
                                                 {"term", "87675432"},
                                                 {"click_timestamp", std::int64_t{1'700'000'000'122}}}));
  EXPECT_EQ(settings->searchAdCampaignValue(), foundation::Object(true));
  EXPECT_EQ(settings->searchAdRetryCount(), 1);
  EXPECT_EQ(settings->lastSearchAdLookUpTimestamp(), clock->now());
  EXPECT_FALSE(reporter->searchAdReporterAlarm());

  // A late second answer is not a second campaign.
  onWorker([&] { reporter->logCampaignEventWithSearchAdCampaign(true, "1", "2"); });
  EXPECT_EQ(linesWithCode(32008).size(), 1u);
  // The next launch asks nothing.
  EXPECT_FALSE(QZMSearchAdReporter::initWithWorkerQueue(worker, settings));
  EXPECT_EQ(linesWithCode(32002).size(), 1u);
  settleEngine();
  EXPECT_EQ(campaigns().size(), 1u);
}

TEST_F(SearchAdReporting, AnInstallNotFromAnAdIsRememberedWithoutAnEvent) {
  server.answer("POST", "/api/v1/", json(R"({"attribution": false})"));
  startReporter();
  waitForAttempt(1);
  EXPECT_EQ(settings->searchAdCampaignValue(), foundation::Object(false));
  EXPECT_TRUE(campaigns().empty());
  EXPECT_FALSE(reporter->searchAdReporterAlarm());
  EXPECT_FALSE(QZMSearchAdReporter::initWithWorkerQueue(worker, settings));
}

// Every answer that is not a usable one is asked again a day later, and the
// attempt counts.
TEST_F(SearchAdReporting, UnusableAnswersAreRetriedADayLater) {
  struct Case {
    const char* what;
    testkit::Answer answer;
    std::int64_t loggedCode;  // 0: none
  };
  const Case cases[] = {
      {"not found", json(kAttributed, 404), 32015},
      {"server error", json(kAttributed, 500), 32015},
      {"connection dropped", {.status = 200, .headers = {}, .body = kAttributed, .dropConnection = true}, 32015},
      {"not JSON", json("<html>"), 32017},
      {"JSON but no object", json("[1]"), 32017},
      {"empty object", json("{}"), 0},
      {"the service's test answer", json(kTestAnswer), 32016},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    settings->setSearchAdRetryCount(0);
    settings->setLastSearchAdLookUpTimestamp(0);
    clearMonitorLines();
    std::size_t before = requestCount();
    server.answerInTurn("POST", "/api/v1/", {c.answer, json(kAttributed)});
    startReporter();
    waitForAttempt(before + 1, 1);

    EXPECT_FALSE(settings->searchAdCampaignValue());
    EXPECT_TRUE(campaigns().empty());
    EXPECT_EQ(settings->searchAdRetryCount(), 1);
    if (c.loggedCode) {
      EXPECT_EQ(linesWithCode(c.loggedCode).size(), 1u);
    }
    EXPECT_DOUBLE_EQ(pendingDelay(), 86400);

    // A day later the second attempt gets an answer.
    clock->advance(86400);
    waitForAttempt(before + 2);
    EXPECT_EQ(settings->searchAdRetryCount(), 2);
    EXPECT_EQ(campaigns().size(), 1u);

    onWorker([&] { reporter.reset(); });
    settings->clearValues();
    settleEngine();
    recorder->clearEvents();
  }
}

TEST_F(SearchAdReporting, ATokenThatCannotBeHadCountsAsAnAttempt) {
  service = std::make_shared<store::AAFixedAttribution>(
      foundation::Error(store::kAdServicesErrorDomain, 1, "no token today"));
  store::AAAttribution::install(service);
  startReporter();
  ASSERT_TRUE(eventually([&] { return !linesWithCode(32018).empty(); }));
  EXPECT_EQ(settings->searchAdRetryCount(), 1);
  EXPECT_DOUBLE_EQ(pendingDelay(), 86400);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(SearchAdReporting, TenAttemptsAreTheMost) {
  settings->setSearchAdRetryCount(9);
  server.answer("POST", "/api/v1/", json("{}"));
  startReporter();
  waitForAttempt(1);
  // The tenth attempt was the last: nothing is scheduled after it.
  EXPECT_EQ(settings->searchAdRetryCount(), 10);
  EXPECT_EQ(linesWithCode(32007).size(), 1u);
  EXPECT_FALSE(reporter->searchAdReporterAlarm());
  // Nor at the next launch.
  EXPECT_FALSE(QZMSearchAdReporter::initWithWorkerQueue(worker, settings));
}

TEST_F(SearchAdReporting, TheNextAttemptWaitsForTheRestOfTheDay) {
  settings->setLastSearchAdLookUpTimestamp(clock->now() - 3600);
  server.answer("POST", "/api/v1/", json(kAttributed));
  startReporter();
  EXPECT_DOUBLE_EQ(pendingDelay(), 86400 - 3600);
  // Scheduling again keeps the pending attempt.
  onWorker([&] { reporter->scheduleSearchAdReport(); });
  EXPECT_EQ(linesWithCode(32005).size(), 1u);
  EXPECT_EQ(requestCount(), 0u);
  clock->advance(86400 - 3600);
  waitForAttempt(1);
  EXPECT_EQ(campaigns().size(), 1u);
}

TEST_F(SearchAdReporting, SwitchedOffNothingLeavesTheDevice) {
  settings->setLastSearchAdLookUpTimestamp(clock->now() - 3600);
  startReporter();
  ASSERT_GT(pendingDelay(), 0);
  onWorker([&] { reporter->setSearchAdReporterEnabled(false); });
  clock->advance(86400);
  // The alarm fired into a switched-off reporter: no attempt, nothing pending.
  ASSERT_TRUE(eventually([&] { return pendingDelay() < 0; }));
  EXPECT_EQ(requestCount(), 0u);
  EXPECT_EQ(settings->searchAdRetryCount(), 0);
  EXPECT_TRUE(reporter->searchAdReporterAlarm());
}

TEST_F(SearchAdReporting, WithoutTheServiceNothingIsScheduled) {
  store::AAAttribution::install(nullptr);
  startReporter();
  EXPECT_EQ(linesWithCode(32014).size(), 1u);
  EXPECT_LT(pendingDelay(), 0);
  // Nor without its parts.
  EXPECT_FALSE(QZMSearchAdReporter::initWithWorkerQueue(nullptr, settings));
  EXPECT_FALSE(QZMSearchAdReporter::initWithWorkerQueue(worker, nullptr));
  EXPECT_EQ(linesWithCode(32000).size(), 1u);
  EXPECT_EQ(linesWithCode(32001).size(), 1u);
}

TEST_F(SearchAdReporting, OnlyOneCampaignEventFromRacingAnswers) {
  // The engine's start reported a first open; forget it.
  settings->setFirstOpenTimestampMilliseconds(0);
  reporter = QZMSearchAdReporter::initWithWorkerQueue(worker, settings);
  ASSERT_TRUE(reporter);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { reporter->logCampaignEventWithSearchAdCampaign(true, "c", "t"); });
  }
  for (auto& thread : threads) thread.join();
  settleEngine();
  auto events = campaigns();
  ASSERT_EQ(events.size(), 1u);
  // No first open known: no click time.
  EXPECT_FALSE(events[0].parameters.contains("click_timestamp"));
  EXPECT_EQ(linesWithCode(32009).size(), 1u);
  EXPECT_EQ(linesWithCode(32008).size(), 7u);
}

}  // namespace

namespace {

class SearchAdEngine : public testkit::MeasurementHost {
 protected:
  void TearDown() override {
    store::AAAttribution::install(nullptr);
    utilities::Endpoints::reset();
    MeasurementHost::TearDown();
  }
  testkit::TlsServer server;
};

TEST_F(SearchAdEngine, TheEngineAsksAtItsFirstStartAndFollowsCollection) {
  utilities::Endpoints::setOverride(utilities::kEndpointSearchAds, server.baseURL());
  utilities::Endpoints::setCABundleOverride(server.caBundlePath());
  server.answer("POST", "/api/v1/", json("{}", 503));
  store::AAAttribution::install(std::make_shared<store::AAFixedAttribution>(std::string("t")));
  ASSERT_TRUE(configure().ok());
  ASSERT_TRUE(eventually([&] { return !linesWithCode(32005).empty(); }));
  auto reporter = engine()->searchAdReporter();
  ASSERT_TRUE(reporter);
  EXPECT_TRUE(reporter->isSearchAdReporterEnabled());
  EXPECT_EQ(server.requests().size(), 1u);

  engine()->setEnabled(false);
  settleEngine();
  EXPECT_FALSE(reporter->isSearchAdReporterEnabled());
  engine()->setEnabled(true);
  settleEngine();
  EXPECT_TRUE(reporter->isSearchAdReporterEnabled());
}

}  // namespace
