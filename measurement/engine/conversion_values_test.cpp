// Conversion values against an HTTPS server on 127.0.0.1: what the request
// carries, which answers reach the ad network and log "_skan", which are
// retried and which end the attempt, and when fetches are scheduled.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/store/StoreKit.h"
#include "platform/utilities/Gzip.h"

namespace {

using Response = QZMPBSkAdNetworkConversionValueResponse;
using Request = QZMPBSkAdNetworkConversionValueRequest;
using testkit::Answer;

bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

Answer withStatus(int status, std::string body = {}, std::multimap<std::string, std::string> headers = {}) {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.headers = std::move(headers);
  return answer;
}

struct Fields {
  std::optional<std::int32_t> status = 1;
  std::optional<std::string> message;
  std::optional<std::int32_t> fine = 5;
  std::optional<std::int32_t> coarse;
  std::optional<bool> lockWindow;
  std::optional<std::int64_t> resultTimeMillis;  // default: an hour ahead
  std::optional<std::int64_t> eventTimeMillis;   // default: now
  std::optional<std::int64_t> backoffMillis;
};

Fields with(const std::function<void(Fields&)>& change) {
  Fields fields;
  change(fields);
  return fields;
}

class ConversionValues : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    foundation::Device::setSystemVersion("17.2");
    store::SKAdNetwork::resetForTests();
    startServer();
    start();
    listener = QZMAnalytics::addLogEventListener([this](const QZMEvent& event) {
      if (event.name() != "_skan") return;
      QZMDictionary parameters;
      for (const auto& [name, value] : event.parameters()) {
        if (name.starts_with("_skan")) parameters.emplace(name, QZMObject(value).plainObject());
      }
      std::lock_guard lock(mutex);
      skan.push_back(parameters);
    });
    setSettings({{"measurement.skan.update_conversion_value_enabled", "1"}});
    // Opened 47 hours ago: inside the first window.
    firstOpenHoursAgo(47);
    persistedConfig()->setLastUploadedEventTimestampMillis(nowMillis() - 60'000);
  }
  void TearDown() override {
    QZMAnalytics::removeLogEventListener(listener);
    foundation::Device::setSystemVersion(std::nullopt);
    store::SKAdNetwork::resetForTests();
    EngineTest::TearDown();
  }

  std::int64_t nowMillis() const { return static_cast<std::int64_t>(clock->now() * 1000); }
  void firstOpenHoursAgo(double hours) {
    persistedConfig()->setFirstOpenTimestampMilliseconds(nowMillis() - static_cast<std::int64_t>(hours * 3'600'000));
  }

  foundation::Data encoded(const Fields& f) const {
    auto message = Response::initWithMessageInfo(nullptr);
    if (f.status) NANOSetInt32(message.get(), Response::kStatus, *f.status);
    if (f.message) NANOSetString(message.get(), Response::kMessage, *f.message);
    if (f.fine) NANOSetInt32(message.get(), Response::kFineConversionValue, *f.fine);
    if (f.coarse) NANOSetInt32(message.get(), Response::kCoarseConversionValue, *f.coarse);
    if (f.lockWindow) NANOSetBool(message.get(), Response::kLockWindow, *f.lockWindow);
    NANOSetInt64(message.get(), Response::kResultTimeMillis, f.resultTimeMillis.value_or(nowMillis() + 3'600'000));
    if (f.resultTimeMillis == -1) NANOClearField(message.get(), Response::kResultTimeMillis);
    NANOSetInt64(message.get(), Response::kEvaluationEventTimeMillis, f.eventTimeMillis.value_or(nowMillis()));
    if (f.eventTimeMillis == -1) NANOClearField(message.get(), Response::kEvaluationEventTimeMillis);
    if (f.backoffMillis) NANOSetInt64(message.get(), Response::kEvaluationUpdateBackoffMillis, *f.backoffMillis);
    return message->protoBuffer().value_or(foundation::Data());
  }
  Answer answerWith(const Fields& fields) const {
    foundation::Data body = encoded(fields);
    return withStatus(200, std::string(body.begin(), body.end()));
  }

  void fetch() {
    onWorkerQueue([&] { engine()->fetchSKANCV(); });
    waitForNetwork();
  }
  std::size_t requestCount() const { return server->requests().size(); }

  // The "_skan" events the engine handled, with their own parameters.
  std::vector<QZMDictionary> skanEvents() {
    std::lock_guard lock(mutex);
    return skan;
  }

  // Seconds until the alarm fires; -1 when it is not armed.
  static double pending(const std::shared_ptr<QZMAlarm>& alarm, double now) {
    if (!alarm || !alarm->scheduledTimestamp()) return -1;
    return alarm->scheduledTimestamp()->secondsSince1970 - now;
  }

  std::optional<QZMLogEventListenerToken> listener;
  std::mutex mutex;
  std::vector<QZMDictionary> skan;
};

TEST_F(ConversionValues, AnAcceptedAnswerReachesTheAdNetworkAndIsLogged) {
  std::int64_t eventTime = nowMillis() - 1000;
  foundation::Data body = encoded(with([&](Fields& f) {
    f.message = "cv-model-7";
    f.fine = 17;
    f.coarse = 3;
    f.lockWindow = true;
    f.eventTimeMillis = eventTime;
    f.backoffMillis = 5000;
  }));
  foundation::Data zipped = *drk_dataByGzippingData(body);
  server->answer("POST", "/skan",
                 withStatus(200, std::string(zipped.begin(), zipped.end()), {{"Content-Encoding", "GZIP"}}));
  fetch();

  auto sent = server->requests().at(0);
  EXPECT_EQ(sent.header("Accept-Encoding"), "gzip");
  auto request =
      Request::initWithBuffer(std::span(reinterpret_cast<const std::uint8_t*>(sent.body.data()), sent.body.size()));
  ASSERT_TRUE(request);
  EXPECT_EQ(NANOGetInt64(request.get(), Request::kLibraryVersion), QZMIdentity::kestrometerLibraryVersion());
  EXPECT_EQ(NANOGetString(request.get(), Request::kAppId), engine()->identity()->appID());
  EXPECT_EQ(NANOGetString(request.get(), Request::kAppInstanceId), engine()->identity()->appInstanceID());
  EXPECT_EQ(NANOGetString(request.get(), Request::kSkanVersion), "4.0");
  EXPECT_EQ(NANOGetInt64(request.get(), Request::kLastUploadedEventTimestampMillis), nowMillis() - 60'000);

  ASSERT_TRUE(eventually([&] { return !skanEvents().empty(); }));
  auto updates = store::SKAdNetwork::postbackUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].fineValue, 17);
  EXPECT_EQ(updates[0].coarseValue, store::SKAdNetworkCoarseConversionValueHigh);
  EXPECT_TRUE(updates[0].lockWindow);
  EXPECT_EQ(skanEvents()[0], (QZMDictionary{{"_skanm", "cv-model-7"},
                                            {"_skanf", std::int64_t{17}},
                                            {"_skanc", std::int64_t{3}},
                                            {"_skanl", std::int64_t{1}},
                                            {"_skane", eventTime}}));
  EXPECT_EQ(persistedConfig()->SKANEvaluationEventTimeMillis(), eventTime);
  EXPECT_EQ(persistedConfig()->SKANEvaluationUpdateBackoffMillis(), 5000);
  EXPECT_EQ(engine()->SKANRetryCount(), 0);
  EXPECT_FALSE(engine()->isNetworkRequestPending());
}

TEST_F(ConversionValues, EachAnswerIsAcceptedRetriedOrEndsTheAttempt) {
  enum Outcome { accepted, retried, ended };
  struct Case {
    const char* what;
    std::function<Answer()> answer;
    Outcome outcome;
    std::int64_t code;  // the line logged, 0 for none
  };
  std::int64_t now = nowMillis();
  const Case cases[] = {
      {"server error", [] { return withStatus(500); }, retried, 23241},
      {"not modified", [] { return withStatus(304); }, ended, 0},
      {"empty body", [] { return withStatus(200); }, ended, 23242},
      {"not a message", [] { return withStatus(200, "\xff\xff\xff"); }, ended, 23243},
      {"nothing to do", [&] { return answerWith(with([&](Fields& f) { f.status = 2; })); }, ended, 0},
      {"no status", [&] { return answerWith(with([&](Fields& f) { f.status = std::nullopt; })); }, retried, 0},
      {"unknown status", [&] { return answerWith(with([&](Fields& f) { f.status = 9; })); }, retried, 0},
      {"no event time", [&] { return answerWith(with([&](Fields& f) { f.eventTimeMillis = -1; })); }, retried, 23244},
      {"no values", [&] { return answerWith(with([&](Fields& f) { f.fine = std::nullopt; })); }, ended, 23251},
      {"fine value 64", [&] { return answerWith(with([&](Fields& f) { f.fine = 64; })); }, ended, 23245},
      {"fine value -1", [&] { return answerWith(with([&](Fields& f) { f.fine = -1; })); }, ended, 23245},
      {"no result time", [&] { return answerWith(with([&](Fields& f) { f.resultTimeMillis = -1; })); }, retried, 23255},
      {"expired", [&] { return answerWith(with([&](Fields& f) { f.resultTimeMillis = now - 1000; })); }, retried,
       23246},
      {"older than the last upload",
       [&] { return answerWith(with([&](Fields& f) { f.eventTimeMillis = now - 120'000; })); }, retried, 23247},
      {"coarse only",
       [&] {
         return answerWith(with([&](Fields& f) {
           f.fine = std::nullopt;
           f.coarse = 2;
         }));
       },
       accepted, 23248},
      // Valid beyond 2038: the result time is not cut to 32 bits.
      {"valid until 2100", [&] { return answerWith(with([&](Fields& f) { f.resultTimeMillis = 4'102'444'800'000; })); },
       accepted, 23248},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    onWorkerQueue([&] {
      engine()->setSKANRetryCount(0);
      for (auto alarm : {engine()->SKANRetryAlarm(), engine()->SKANDelayAlarm()}) {
        if (alarm) alarm->cancel();
      }
    });
    store::SKAdNetwork::resetForTests();
    clearMonitorLines();
    server->answer("POST", "/skan", c.answer());
    fetch();
    if (c.code) {
      EXPECT_EQ(linesWithCode(c.code).size(), 1u);
    }
    double retryIn = pending(engine()->SKANRetryAlarm(), clock->now());
    switch (c.outcome) {
      case accepted:
        EXPECT_TRUE(eventually([] { return store::SKAdNetwork::postbackUpdates().size() == 1; }));
        EXPECT_EQ(engine()->SKANRetryCount(), 0);
        break;
      case retried:
        EXPECT_EQ(engine()->SKANRetryCount(), 1);
        // Inside the first window: its retry interval, 120 s by default.
        EXPECT_DOUBLE_EQ(retryIn, 120);
        EXPECT_TRUE(store::SKAdNetwork::postbackUpdates().empty());
        break;
      case ended:
        EXPECT_EQ(engine()->SKANRetryCount(), 0);
        EXPECT_LT(retryIn, 0);
        EXPECT_TRUE(store::SKAdNetwork::postbackUpdates().empty());
        break;
    }
  }
}

TEST_F(ConversionValues, ARetryFiresAndTheLimitEndsThem) {
  // The service asked for a pause that lasts: one retry only.
  persistedConfig()->setSKANEvaluationEventTimeMillis(nowMillis() - 1000);
  persistedConfig()->setSKANEvaluationUpdateBackoffMillis(3'600'000);
  server->answer("POST", "/skan", withStatus(503));
  fetch();
  EXPECT_EQ(engine()->SKANRetryCount(), 1);
  EXPECT_DOUBLE_EQ(pending(engine()->SKANRetryAlarm(), clock->now()), 120);

  clock->advance(120);
  ASSERT_TRUE(eventually([&] { return requestCount() == 2; }));
  waitForNetwork();
  EXPECT_EQ(linesWithCode(23250).size(), 1u);
  EXPECT_EQ(engine()->SKANRetryCount(), 2);
  EXPECT_LT(pending(engine()->SKANRetryAlarm(), clock->now()), 0);

  // Without the pause the window's limit holds: four retries.
  persistedConfig()->setSKANEvaluationUpdateBackoffMillis(0);
  onWorkerQueue([&] { EXPECT_EQ(engine()->SKANFetchRetryLimit(), 4); });
}

TEST_F(ConversionValues, FetchesWaitForTheirWindowsDelaysAndTheRequestSlot) {
  struct Case {
    const char* what;
    double hoursSinceFirstOpen;
    const char* system;
    bool enabled;
    double delay;  // -1: nothing scheduled
  };
  const Case cases[] = {
      {"first window", 47, "17.2", true, 20},
      {"after the first window", 49, "17.2", true, 120},
      {"after every window", 24 * 35 + 1, "17.2", true, -1},
      {"switched off", 47, "17.2", false, -1},
      {"a system before 16.1", 47, "16.0", true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    firstOpenHoursAgo(c.hoursSinceFirstOpen);
    foundation::Device::setSystemVersion(c.system);
    setSettings({{"measurement.skan.update_conversion_value_enabled", c.enabled ? "1" : "0"}});
    onWorkerQueue([&] {
      if (auto alarm = engine()->SKANDelayAlarm()) alarm->cancel();
      engine()->scheduleSKANCVFetchAfterDataUpload();
    });
    EXPECT_DOUBLE_EQ(pending(engine()->SKANDelayAlarm(), clock->now()), c.delay);
  }

  // The delayed fetch waits while another request holds the slot.
  foundation::Device::setSystemVersion("17.2");
  firstOpenHoursAgo(47);
  setSettings({{"measurement.skan.update_conversion_value_enabled", "1"}});
  engine()->setNetworkRequestPending(true);
  onWorkerQueue([&] { engine()->fetchSKANCV(); });
  EXPECT_EQ(linesWithCode(23240).size(), 1u);
  EXPECT_EQ(requestCount(), 0u);
  engine()->setNetworkRequestPending(false);
}

TEST_F(ConversionValues, TheAdNetworkVersionFollowsTheSystem) {
  const std::pair<const char*, const char*> cases[] = {
      {"17.0", "4.0"}, {"16.1", "4.0"}, {"16.0", "3.0"}, {"14.6", "3.0"}, {"14.5", "2.2"},
      {"14.0", "2.1"}, {"13.7", "1.0"}, {"13.6", "0"},   {"6.1.0", "0"},  {"", "0"},
  };
  for (const auto& [system, version] : cases) {
    foundation::Device::setSystemVersion(system);
    EXPECT_EQ(engine()->SKANVersion(), version) << system;
  }
}

TEST_F(ConversionValues, TheAdNetworkRefusingTheValueLogsNoEvent) {
  server->answer("POST", "/skan", answerWith(Fields()));
  store::SKAdNetwork::failNextUpdateWithError(foundation::Error(store::kSKANErrorDomain, 3, "refused"));
  fetch();
  ASSERT_TRUE(eventually([&] { return !linesWithCode(23249).empty(); }));
  settleEngine();
  EXPECT_TRUE(skanEvents().empty());

  // Told a value it already has, it has the value: the event is logged.
  store::SKAdNetwork::failNextUpdateWithError(foundation::Error(store::kSKANErrorDomain, 10, "same value"));
  fetch();
  ASSERT_TRUE(eventually([&] { return !skanEvents().empty(); }));
  EXPECT_EQ(linesWithCode(23249).size(), 1u);
}

TEST_F(ConversionValues, ASuccessfulUploadClearsTheRetriesAndSchedulesAFetch) {
  // A configuration fetched just now, so the upload does not wait for one.
  applyConfiguration(*testkit::configuration({{"measurement.skan.update_conversion_value_enabled", "1"}}));
  server->answer("POST", "/a", withStatus(204));
  engine()->setSKANRetryCount(3);
  storeEvent(storeMetadata(), "level_up", clock->now() - 30);
  onWorkerQueue([&] { engine()->uploadData(); });
  waitForNetwork();
  ASSERT_EQ(server->requests().size(), 1u);
  EXPECT_EQ(engine()->SKANRetryCount(), 0);
  // Inside the first window the fetch follows after 20 s.
  EXPECT_DOUBLE_EQ(pending(engine()->SKANDelayAlarm(), clock->now()), 20);
  // The first window also shortens the upload interval to 30 minutes.
  storeEvent(storeMetadata(), "level_up", clock->now());
  double next = 0;
  onWorkerQueue([&] { next = engine()->nextUploadingTime(); });
  EXPECT_DOUBLE_EQ(next, clock->now() + 1800);
}

}  // namespace
