#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "conversion/ODCConversionManager.h"
#include "conversion/ODCConversionService.h"
#include "conversion/ODCError.h"
#include "conversion/odc_test_kit.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace {

using foundation::Date;
using foundation::Error;
using odctest::candidatesAnswer;
using odctest::configAnswer;
using odctest::eventually;
using odctest::FakePSM;
using odctest::json;
using odctest::onQueue;
using odctest::queryValue;
using odctest::validationAnswer;

constexpr double kDay = 86400;

// What completions received, in the order they ran.
struct Answers {
  struct Answer {
    std::string who;
    std::optional<std::string> info;
    std::optional<Error> error;
    bool onServiceQueue;
  };
  std::mutex mutex;
  std::vector<Answer> received;

  ODCConversionInfoCompletion completion(const std::string& who) {
    return [this, who](const std::optional<std::string>& info, const std::optional<Error>& error) {
      std::lock_guard lock(mutex);
      received.push_back({who, info, error, dispatch::currentQueueLabel() == kODCConversionServiceQueueLabel});
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return received.size();
  }
};

class ODCServiceTest : public odctest::ODCServerTest {
 protected:
  void SetUp() override {
    ODCServerTest::SetUp();
    home.setInfoPlist({{"CFBundleIdentifier", "com.example.app"}, {"CFBundleShortVersionString", "3.1"}});
    ODCConversionService::load();
  }

  std::shared_ptr<ODCConversionService> makeService() {
    auto service = ODCConversionService::create(FakePSM::factory(psm));
    service->installationConversionService()->context()->network()->setTimeoutInterval(20);
    return service;
  }
  void answerMatch() {
    server.answer("GET", "/odm/config", configAnswer());
    server.answer("POST", "/odm/psm", candidatesAnswer({"v1", "v2"}));
    server.answer("POST", "/odm/validate", validationAnswer("measurement-1", "aggregate-1"));
  }
  // Waits until a step of the service has its retry number `retry` pending.
  bool retryPending(const std::shared_ptr<ODCConversionService>& service, const std::shared_ptr<ODCAsyncTask>& task,
                    std::int64_t retry) {
    return eventually([&] {
      bool pending = false;
      EXPECT_TRUE(service->serialQueue()
                      ->sync([&] { pending = task->pendingRetryDeadline() && task->retryCount() == retry; })
                      .ok());
      return pending;
    });
  }
  // Lets every retry of the step run, each once it is pending.
  void runRetries(const std::shared_ptr<ODCConversionService>& service, const std::shared_ptr<ODCAsyncTask>& task) {
    std::int64_t retry = 1;
    for (double delay : {60.0, 120.0, 240.0, 480.0, 960.0}) {
      ASSERT_TRUE(retryPending(service, task, retry++));
      clock->advance(delay);
    }
  }
  void sync(const std::shared_ptr<ODCConversionService>& service) { onQueue(service->serialQueue(), [] {}); }

  Answers answers;
};

TEST_F(ODCServiceTest, AMatchRunsTheThreeRequestsAndIsKeptInTheStore) {
  answerMatch();
  auto service = makeService();
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
  EXPECT_EQ(answers.received[0].info, "measurement-1");
  EXPECT_FALSE(answers.received[0].error);
  EXPECT_FALSE(answers.received[0].onServiceQueue);

  auto config = requestsTo("/odm/config");
  auto candidates = requestsTo("/odm/psm");
  auto validation = requestsTo("/odm/validate");
  ASSERT_EQ(config.size(), 1u);
  ASSERT_EQ(candidates.size(), 1u);
  ASSERT_EQ(validation.size(), 1u);
  EXPECT_EQ(config[0].method, "GET");
  EXPECT_EQ(config[0].target,
            "/odm/config?version=1.1&bundle_id=com.example.app&app_version=3.1&sdk_version=odm-sdk-i-v2.0.0"
            "&retry_count=0&odm2_count=0&source=qvz4f");
  // The first launch is the process start, 1.7e9 s: the next whole minute.
  EXPECT_EQ(queryValue(candidates[0].target, "tfo"), "1700000040");
  EXPECT_EQ(*foundation::parseJSON(candidates[0].body),
            foundation::Object(foundation::Dictionary{{"psm_request", absl::WebSafeBase64Escape("psm-request")},
                                                      {"odmed", "ext-1"}}));
  EXPECT_EQ(*foundation::parseJSON(validation[0].body),
            foundation::Object(foundation::Dictionary{{"mvs", absl::WebSafeBase64Escape("v1|v2")}, {"odmed", "ext-1"}}));
  ASSERT_EQ(psm->creations.size(), 1u);
  EXPECT_EQ(psm->creations[0].bundleID, "com.example.app");

  auto store = service->conversionStore();
  onQueue(service->serialQueue(), [&] {
    EXPECT_EQ(store->matchFoundTimestamp(), Date{clock->now()});
    EXPECT_EQ(store->measurementInfo(), "measurement-1");
    EXPECT_EQ(store->aggregateConversionInfo(), "aggregate-1");
    EXPECT_EQ(store->odm2RetryCount(), 0);
    EXPECT_FALSE(service->installationConversionService()->isMatching());
    EXPECT_FALSE(service->installationConversionService()->context()->PSMRequest()) << "run members cleared";
  });
  EXPECT_EQ(psm->liveClients, 0) << "the client is destroyed after the run";

  // Closed: later fetches are answered from the store without a request.
  service->fetchAggregateConversionInfoForInteraction(0, answers.completion("aggregate"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 2; }));
  EXPECT_EQ(answers.received[1].info, "aggregate-1");
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_TRUE(logged(8002, "Skipping aggregate fetch. Match already found."));
  EXPECT_TRUE(logged(8005, "Skip persisting PSM values. Already stored."));
}

TEST_F(ODCServiceTest, CallersArrivingDuringALookupAreAnsweredOnceAtItsEnd) {
  answerMatch();
  // The validation fails once, so the lookup is still running when the
  // other callers arrive.
  server.answerInTurn("POST", "/odm/validate",
                      {{500, {}, ""}, validationAnswer("measurement-1", "aggregate-1")});
  auto service = makeService();
  service->fetchAggregateConversionInfoForInteraction(0, answers.completion("aggregate"));
  ASSERT_TRUE(retryPending(service, service->installationConversionService()->matchValidator(), 1));
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  service->fetchAggregateConversionInfoForInteraction(0, nullptr);
  sync(service);
  EXPECT_EQ(answers.count(), 0u);
  clock->advance(60);
  ASSERT_TRUE(eventually([&] { return answers.count() == 2; }));
  sync(service);
  EXPECT_EQ(answers.count(), 2u);
  EXPECT_EQ(answers.received[0].who, "aggregate");
  EXPECT_EQ(answers.received[0].info, "aggregate-1");
  EXPECT_EQ(answers.received[1].who, "measurement");
  EXPECT_EQ(answers.received[1].info, "measurement-1");
  EXPECT_EQ(requestsTo("/odm/config").size(), 1u);
  EXPECT_EQ(requestsTo("/odm/psm").size(), 1u);
  auto validation = requestsTo("/odm/validate");
  ASSERT_EQ(validation.size(), 2u);
  EXPECT_EQ(queryValue(validation[1].target, "retry_count"), "1");
  EXPECT_EQ(queryValue(validation[1].target, "source"), "aaps") << "the source of the fetch that started the run";
  EXPECT_EQ(validation[1].body, validation[0].body) << "a retry resends the same values";
}

TEST_F(ODCServiceTest, AnEmptyConfigClosesTheLookupWithoutResults) {
  server.answer("GET", "/odm/config", {200, {}, ""});
  auto service = makeService();
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
  EXPECT_FALSE(answers.received[0].info);
  EXPECT_FALSE(answers.received[0].error);
  EXPECT_TRUE(logged(5006, "Skipping PSM. Received empty config."));
  EXPECT_EQ(server.requests().size(), 1u);
  onQueue(service->serialQueue(), [&] {
    EXPECT_TRUE(service->conversionStore()->matchFoundTimestamp());
    EXPECT_FALSE(service->conversionStore()->measurementInfo());
  });
}

TEST_F(ODCServiceTest, ALookupThatFailsEveryAttemptPersistsNothingAndTheNextFetchTriesAgain) {
  struct Case {
    const char* name;
    std::function<void(testkit::TlsServer&)> script;
    std::function<std::shared_ptr<ODCAsyncTask>(ODCInstallationConversionService&)> failingStep;
    std::int64_t code;
    const char* domain;
  } cases[] = {
      {"server error", [](auto& s) { s.answer("GET", "/odm/config", {503, {}, "busy"}); },
       [](auto& i) { return i.configFetcher(); }, 4000, kODCErrorDomain},
      {"nothing matched",
       [](auto& s) {
         s.answer("GET", "/odm/config", configAnswer());
         s.answer("POST", "/odm/psm", candidatesAnswer({}));
       },
       [](auto& i) { return i.candidateFetcher(); }, 6007, kODCErrorDomain},
      {"connection dropped",
       [](auto& s) {
         s.answer("GET", "/odm/config", configAnswer());
         s.answer("POST", "/odm/psm", candidatesAnswer({"v1"}));
         s.answer("POST", "/odm/validate", {200, {{"Content-Length", "100"}}, "", true});
       },
       [](auto& i) { return i.matchValidator(); }, 0, kDRKNetworkErrorDomain},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    (void)foundation::removeItem(ODCConversionStorePath());
    c.script(server);
    Answers caseAnswers;
    auto service = makeService();
    auto step = c.failingStep(*service->installationConversionService());
    service->fetchMeasurementInfoForInteraction(0, caseAnswers.completion("measurement"));
    runRetries(service, step);
    ASSERT_TRUE(eventually([&] { return caseAnswers.count() == 1; }));
    ASSERT_TRUE(caseAnswers.received[0].error);
    EXPECT_EQ(caseAnswers.received[0].error->domain, c.domain);
    if (c.code) {
      EXPECT_EQ(caseAnswers.received[0].error->code, c.code);
    }
    EXPECT_FALSE(caseAnswers.received[0].info);
    onQueue(service->serialQueue(), [&] {
      EXPECT_FALSE(service->conversionStore()->matchFoundTimestamp()) << "still open";
      EXPECT_FALSE(service->installationConversionService()->isMatching());
    });

    // The next fetch starts a new run, its steps counting retries afresh.
    std::size_t before = server.requests().size();
    service->fetchMeasurementInfoForInteraction(0, nullptr);
    ASSERT_TRUE(eventually([&] { return server.requests().size() > before; }));
    EXPECT_EQ(queryValue(server.requests()[before].target, "retry_count"), "0");
    ASSERT_TRUE(retryPending(service, step, 1));
  }
}

TEST_F(ODCServiceTest, EveryConfigAttemptCountsInTheStore) {
  server.answer("GET", "/odm/config", {503, {}, ""});
  auto service = makeService();
  auto fetcher = service->installationConversionService()->configFetcher();
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  ASSERT_TRUE(retryPending(service, fetcher, 1));
  clock->advance(60);
  ASSERT_TRUE(retryPending(service, fetcher, 2));
  clock->advance(120);
  ASSERT_TRUE(retryPending(service, fetcher, 3));
  auto config = requestsTo("/odm/config");
  ASSERT_EQ(config.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(queryValue(config[i].target, "odm2_count"), std::to_string(i));
    EXPECT_EQ(queryValue(config[i].target, "retry_count"), std::to_string(i));
  }
}

TEST_F(ODCServiceTest, ARequestTheNetworkRefusesIsAFailedAttempt) {
  utilities::Endpoints::setOverride(utilities::kEndpointOnDeviceConversion, "http://127.0.0.1:9");
  auto service = makeService();
  auto fetcher = service->installationConversionService()->configFetcher();
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  runRetries(service, fetcher);
  ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
  ASSERT_TRUE(answers.received[0].error);
  EXPECT_EQ(answers.received[0].error->code, kODCErrorRequestNotAccepted);
  onQueue(service->serialQueue(), [&] { EXPECT_FALSE(service->installationConversionService()->isMatching()); });
}

TEST_F(ODCServiceTest, ASilentServerTimesOutAndTheAttemptIsRetried) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  utilities::Endpoints::setOverride(utilities::kEndpointOnDeviceConversion,
                                    "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));

  auto service = makeService();
  service->installationConversionService()->context()->network()->setTimeoutInterval(0.2);
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  ASSERT_TRUE(retryPending(service, service->installationConversionService()->configFetcher(), 1));
  onQueue(service->serialQueue(), [&] {
    EXPECT_TRUE(service->installationConversionService()->isMatching());
    EXPECT_EQ(service->installationConversionService()->configFetcher()->retryCount(), 1);
  });
  EXPECT_EQ(answers.count(), 0u);
  service.reset();
  ::close(listener);
}

TEST_F(ODCServiceTest, TheLookupWindowAndTheResultLifetime) {
  // Eight days after the first launch, nothing is asked and the lookup closes.
  {
    auto service = makeService();
    service->setFirstLaunchTime(Date{clock->now() - 8 * kDay});
    service->fetchMeasurementInfoForInteraction(0, answers.completion("late"));
    ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
    EXPECT_FALSE(answers.received[0].info);
    EXPECT_FALSE(answers.received[0].error);
    EXPECT_TRUE(logged(8004, "Skipping aggregate fetch. First launch timestamp is too old."));
    EXPECT_TRUE(server.requests().empty());
    onQueue(service->serialQueue(), [&] { EXPECT_TRUE(service->conversionStore()->matchFoundTimestamp()); });
  }
  (void)foundation::removeItem(ODCConversionStorePath());

  // Results last 90 days after the lookup.
  answerMatch();
  auto service = makeService();
  service->fetchAggregateConversionInfoForInteraction(0, answers.completion("fresh"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 2; }));
  EXPECT_EQ(answers.received[1].info, "aggregate-1");
  clock->advance(90 * kDay);
  service->fetchMeasurementInfoForInteraction(0, answers.completion("day 90"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 3; }));
  EXPECT_EQ(answers.received[2].info, "measurement-1");
  clock->advance(kDay);
  service->fetchMeasurementInfoForInteraction(0, answers.completion("day 91"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 4; }));
  EXPECT_FALSE(answers.received[3].info);
  onQueue(service->serialQueue(), [&] {
    EXPECT_FALSE(service->conversionStore()->aggregateConversionInfo());
    EXPECT_TRUE(service->conversionStore()->matchFoundTimestamp()) << "the lookup stays closed";
  });
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(ODCServiceTest, TheFirstLaunchComesFromTheProcessStartUnlessTheCallerGivesOne) {
  auto service = makeService();
  onQueue(service->serialQueue(), [&] {
    EXPECT_EQ(service->conversionStore()->firstLaunchTimestamp(), ODCConversionService::processStartDate());
  });
  service->setFirstLaunchTime(std::nullopt);
  onQueue(service->serialQueue(), [&] {
    EXPECT_EQ(service->conversionStore()->firstLaunchTimestamp(), ODCConversionService::processStartDate());
  });
  service->setFirstLaunchTime(Date{1.6e9});
  onQueue(service->serialQueue(), [&] { EXPECT_EQ(service->conversionStore()->firstLaunchTimestamp(), Date{1.6e9}); });

  // A later launch keeps the stored date.
  service.reset();
  home.relaunch();
  clock->advance(kDay);
  ODCConversionService::load();
  service = makeService();
  onQueue(service->serialQueue(), [&] { EXPECT_EQ(service->conversionStore()->firstLaunchTimestamp(), Date{1.6e9}); });
}

TEST_F(ODCServiceTest, ADamagedStoreIsSetAsideAndTheLookupStartsAfresh) {
  ASSERT_TRUE(foundation::writeFileAtomically(ODCConversionStorePath(), "<plist><dict><key>").ok());
  answerMatch();
  auto service = makeService();
  ASSERT_TRUE(service->conversionStore());
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
  EXPECT_EQ(answers.received[0].info, "measurement-1");
  EXPECT_TRUE(foundation::fileExists(ODCConversionStorePath() + ".damaged"));
  auto stored = foundation::readPropertyListDictionary(ODCConversionStorePath());
  ASSERT_TRUE(stored.ok());
  EXPECT_EQ(stored->count("MeasurementInfo"), 1u);
}

TEST_F(ODCServiceTest, WithoutAStoreEveryCallerIsAnsweredWithNothing) {
  // A file where the library folder should be: the store cannot be made.
  ASSERT_TRUE(foundation::writeFileAtomically(foundation::Paths::libraryDirectory(), "x").ok());
  answerMatch();
  auto service = makeService();
  EXPECT_FALSE(service->conversionStore());
  service->setFirstLaunchTime(Date{clock->now()});
  service->fetchMeasurementInfoForInteraction(0, answers.completion("measurement"));
  service->fetchAggregateConversionInfoForInteraction(0, answers.completion("aggregate"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 2; }));
  for (auto& a : answers.received) {
    EXPECT_FALSE(a.info);
    EXPECT_FALSE(a.error);
  }
  EXPECT_TRUE(logged(8003, "Skipping aggregate fetch. No first launch timestamp found."));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ODCServiceTest, AnUnknownInteractionIsAnsweredWithAnError) {
  answerMatch();
  auto service = makeService();
  service->fetchAggregateConversionInfoForInteraction(1, answers.completion("aggregate"));
  service->fetchMeasurementInfoForInteraction(-3, answers.completion("measurement"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 2; }));
  std::map<std::string, Answers::Answer> byCaller;
  for (auto& a : answers.received) byCaller[a.who] = a;
  ASSERT_TRUE(byCaller["aggregate"].error);
  EXPECT_EQ(byCaller["aggregate"].error->code, 8000);
  ASSERT_TRUE(byCaller["measurement"].error);
  EXPECT_EQ(byCaller["measurement"].error->code, 8001);
  EXPECT_TRUE(logged(8000, "Skipping aggregate fetch. Unknown ODCInteractionType value 1."));
  EXPECT_TRUE(logged(8001, "Skipping measurement fetch. Unknown ODCInteractionType value -3."));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ODCServiceTest, TheManagerReachesTheSharedServiceForAggregatesOnly) {
  answerMatch();
  auto service = makeService();
  ODCConversionService::setSharedInstance(service);
  EXPECT_EQ(ODCConversionManager::sharedInstance()->versionString(), "2.0.0");
  EXPECT_EQ(ODCConversionService::sharedInstance()->versionNumber(), 20000);
  ODCConversionManager::sharedInstance()->fetchAggregateConversionInfoForInteraction(0, answers.completion("ads"));
  ASSERT_TRUE(eventually([&] { return answers.count() == 1; }));
  EXPECT_EQ(answers.received[0].info, "aggregate-1");
  EXPECT_EQ(queryValue(requestsTo("/odm/config")[0].target, "source"), "aaps");
  ODCConversionService::setSharedInstance(nullptr);
}

}  // namespace
