#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "measurement/experiments/ExperimentsTestKit.h"
#include "platform/utilities/Gzip.h"
#include "testing/TlsServer.h"

namespace {

using experimentskit::eventually;
using experimentskit::ExperimentsTest;
using experimentskit::RecordingObserver;
using experimentskit::responseBytes;
using experimentskit::snapshot;
using foundation::Object;

std::string gzipped(const foundation::Data& bytes) {
  auto packed = drk_dataByGzippingData(bytes);
  EXPECT_TRUE(packed);
  return std::string(packed->begin(), packed->end());
}

class ExperimentsFetch : public ExperimentsTest {
 protected:
  void SetUp() override {
    ExperimentsTest::SetUp();
    utilities::Endpoints::setOverride(utilities::kEndpointExperiments, server.baseURL());
    utilities::Endpoints::setCABundleOverride(server.caBundlePath());
  }

  std::size_t linesCount(std::int64_t code) const { return linesWithCode(code).size(); }

  testkit::TlsServer server;
};

TEST_F(ExperimentsFetch, AFetchBringsSnapshotsThatTheClientActivates) {
  QZMESDKProperty::setIdentityDiversionKeyProvider([] { return std::string("qrstu"); });
  startManager();
  auto observer = std::make_shared<RecordingObserver>();
  auto client = manager->registerSDKProperty(property("kestro_meter", std::nullopt), {{"customer_type_enabled", 1}});
  ASSERT_TRUE(client);
  client->setDelegate(observer);
  flush();
  server.answer("POST", kQZMEFetchPath,
                {200,
                 {},
                 gzipped(responseBytes(
                     {snapshot("kestro_meter", {{0, {{"launched", "yes"}}}, {7, {{"customer_type_enabled", 0}}}})}))});

  clock->advance(kQZMEFirstFetchDelay);
  ASSERT_TRUE(eventually([&] { return !observer->received().empty(); }));
  flush();

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  // The server inflates a body sent as gzip before it records it.
  EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
  auto request =
      QZMPBExperimentRequest::initWithBuffer(foundation::Data(requests[0].body.begin(), requests[0].body.end()));
  ASSERT_TRUE(request);
  auto app = NANOGetMessage<QZMPBAppProperty>(request.get(), QZMPBExperimentRequest::kAppProperty);
  EXPECT_EQ(NANOGetString(app.get(), QZMPBAppProperty::kPlatform), "ios");
  auto clients = NANOGetArray<QZMPBClientProperty>(request.get(), QZMPBExperimentRequest::kClientProperties);
  ASSERT_TRUE(clients);
  ASSERT_EQ(clients->size(), 1u);
  EXPECT_EQ(NANOGetString((*clients)[0].get(), QZMPBClientProperty::kDiversionKey), "qrstu-kestro_meter");

  EXPECT_EQ(suite->doubleForKey(kQZMEFetchSuccessTimestampKey), clock->now());
  EXPECT_EQ(alarmTime(), clock->now() + kQZMEFetchInterval);
  EXPECT_EQ(client->valueForFlag("customer_type_enabled"), Object(1)) << "not in force before activation";
  ASSERT_TRUE(*client->activateLatestSnapshot());
  EXPECT_EQ(client->valueForFlag("customer_type_enabled"), Object(0));
  EXPECT_EQ(client->valueForFlag("launched"), Object("yes"));

  // After a restart the activation is still in force.
  flush();
  manager.reset();
  makeTaskManager();
  startManager();
  client = manager->registerSDKProperty(property("kestro_meter", std::nullopt), {{"customer_type_enabled", 1}});
  EXPECT_EQ(client->valueForFlag("customer_type_enabled"), Object(0));
}

TEST_F(ExperimentsFetch, EveryAnswerIsRecordedAndTheNextFetchScheduled) {
  enum Outcome { success, failure, backoff };
  struct Case {
    const char* name;
    testkit::Answer answer;
    Outcome outcome;
  } cases[] = {
      {"not modified", {304, {}, ""}, failure},      {"not found", {404, {}, "missing"}, failure},
      {"server error", {500, {}, "oops"}, failure},  {"unavailable", {503, {}, ""}, backoff},
      {"too many requests", {429, {}, ""}, backoff}, {"dropped connection", {200, {}, "never sent", true}, failure},
      {"no content", {204, {}, ""}, success},        {"body not gzip", {200, {}, "plain"}, success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeTaskManager();
    suite->clearAllData();
    server.answer("POST", kQZMEFetchPath, c.answer);
    std::size_t handled = linesCount(820002) + linesCount(820003);
    const double now = clock->now();
    onWorker([&] {
      (void)taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0);
      taskManager->fetchExperiments();
    });
    ASSERT_TRUE(eventually([&] { return linesCount(820002) + linesCount(820003) > handled; }));
    testkit::settle(taskManager->workerQueue());

    EXPECT_EQ(suite->objectForKey(kQZMEFetchSuccessTimestampKey).has_value(), c.outcome == success);
    EXPECT_EQ(suite->objectForKey(kQZMEFetchFailureTimestampKey).has_value(), c.outcome != success);
    EXPECT_EQ(suite->objectForKey(kQZMEFetchBackoffTimestampKey).has_value(), c.outcome == backoff);
    double expected = c.outcome == success   ? now + kQZMEFetchInterval
                      : c.outcome == backoff ? now + kQZMEBackoffInterval
                                             : now + kQZMEFirstRetryInterval;
    EXPECT_EQ(alarmTime(), expected);
    clock->advance(1);
  }
  EXPECT_EQ(linesCount(820023), 3u) << "every body that is not gzip, whatever its status";
  EXPECT_EQ(server.requests().size(), std::size(cases));
}

// A server that takes connections and never says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd_, 8), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { close(fd_); }
  std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(ExperimentsFetch, AFetchThatNeverAnswersEndsAtTheTimeOutAndIsRetried) {
  SilentServer silent;
  utilities::Endpoints::setOverride(utilities::kEndpointExperiments, silent.baseURL());
  const double start = clock->now();
  onWorker([&] {
    (void)taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0);
    taskManager->fetchExperiments();
  });
  EXPECT_EQ(alarmTime(), 0) << "waiting for the answer";

  clock->advance(kQZMEFetchTimeout);
  testkit::settle(taskManager->workerQueue());
  EXPECT_EQ(suite->doubleForKey(kQZMEFetchFailureTimestampKey), start + kQZMEFetchTimeout);
  ASSERT_EQ(linesWithCode(820002).size(), 1u);
  EXPECT_EQ(alarmTime(), start + kQZMEFirstRetryInterval);

  // The retry fetches again and gives up again.
  clock->advance(alarmTime() - clock->now());
  testkit::settle(taskManager->workerQueue());
  clock->advance(kQZMEFetchTimeout);
  testkit::settle(taskManager->workerQueue());
  EXPECT_EQ(linesWithCode(820002).size(), 2u);
  EXPECT_EQ(alarmTime(), start + kQZMEFirstRetryInterval + 3600);
}

}  // namespace
