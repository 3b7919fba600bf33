#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Semaphore.h"
#include "platform/utilities/DRKNetwork.h"
#include "platform/utilities/Endpoints.h"
#include "platform/utilities/Gzip.h"
#include "testing/TemporaryHome.h"
#include "testing/TlsServer.h"

namespace {

using foundation::Data;

struct Outcome {
  int calls = 0;
  std::string queueLabel;
  DRKHTTPURLResponse response;
  Data body;
  std::optional<foundation::Error> error;
};

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    utilities::Endpoints::reset();
    utilities::Endpoints::setCABundleOverride(server.caBundlePath());
  }
  void TearDown() override { utilities::Endpoints::reset(); }

  using Start = std::function<std::string(DRKNetwork&, std::shared_ptr<dispatch::Queue>, DRKNetworkCompletionHandler)>;

  // Starts one request, waits for its completion, then destroys the client
  // (which joins its transfers) and drains the queue, so a second completion
  // would have been seen.
  Outcome perform(const Start& start, std::string* sessionID = nullptr) {
    auto queue = dispatch::Queue::create("com.tolv.test.network");
    auto outcome = std::make_shared<Outcome>();
    dispatch::Semaphore done;
    std::string id;
    {
      DRKNetwork network;
      network.setTimeoutInterval(20);
      id = start(network, queue, [outcome, &done](const DRKHTTPURLResponse& r, const Data& b,
                                                  const std::optional<foundation::Error>& e) {
        ++outcome->calls;
        outcome->queueLabel = dispatch::currentQueueLabel();
        outcome->response = r;
        outcome->body = b;
        outcome->error = e;
        done.signal();
      });
      if (!id.empty()) {
        EXPECT_TRUE(done.wait(foundation::Deadline::afterSeconds(30)));
      }
    }
    EXPECT_TRUE(queue->sync([] {}).ok());
    if (sessionID) *sessionID = id;
    return *outcome;
  }

  Outcome get(const std::string& path) {
    return perform([&](DRKNetwork& n, auto q, auto h) { return n.getURL(server.baseURL() + path, {}, q, false, h); });
  }

  testkit::TemporaryHome home;
  testkit::TlsServer server;
};

TEST_F(NetworkTest, CompletionRunsOnceOnItsQueueForEveryOutcome) {
  struct Case {
    const char* name;
    testkit::Answer answer;
    std::int64_t status;
    std::string body;
    bool failed;
  } cases[] = {
      {"ok", {200, {{"X-Answer", "yes"}}, "hello"}, 200, "hello", false},
      {"no content", {204, {}, ""}, 204, "", false},
      {"not found", {404, {}, "missing"}, 404, "missing", false},
      {"too many", {429, {}, ""}, 429, "", false},
      {"unavailable", {503, {}, "later"}, 503, "later", false},
      {"dropped connection", {200, {}, "never sent", true}, 0, "", true},
  };
  for (const auto& c : cases) {
    std::string path = std::string("/case/") + std::to_string(&c - cases);
    server.answer("GET", path, c.answer);
    Outcome o = get(path);
    EXPECT_EQ(o.calls, 1) << c.name;
    EXPECT_EQ(o.queueLabel, "com.tolv.test.network") << c.name;
    EXPECT_EQ(o.response.statusCode, c.status) << c.name;
    EXPECT_EQ(std::string(o.body.begin(), o.body.end()), c.body) << c.name;
    EXPECT_EQ(o.error.has_value(), c.failed) << c.name;
    if (c.status == 200) {
      EXPECT_EQ(*o.response.allHeaderFields.at("X-Answer").string(), "yes");
      EXPECT_EQ(o.response.expectedContentLength, 5);
    }
  }
}

TEST_F(NetworkTest, HeadersAreFoundByNameWhateverTheirCase) {
  server.answer("GET", "/config", {200, {{"etag", "\"v1\""}, {"LAST-MODIFIED", "Tue, 01 Jul 2025 10:00:00 GMT"}}, "c"});
  Outcome o = get("/config");
  ASSERT_EQ(o.response.statusCode, 200);
  EXPECT_EQ(o.response.valueForHTTPHeaderField("ETag"), "\"v1\"");
  EXPECT_EQ(o.response.valueForHTTPHeaderField("Last-Modified"), "Tue, 01 Jul 2025 10:00:00 GMT");
  EXPECT_EQ(o.response.valueForHTTPHeaderField("Age"), std::nullopt);
}

TEST_F(NetworkTest, ServerWithAnUntrustedCertificateIsRefused) {
  testkit::CertificateAuthority stranger("some other CA");
  utilities::Endpoints::setCABundleOverride(stranger.bundlePath());
  server.answer("GET", "/secret", {200, {}, "must not arrive"});
  Outcome o = get("/secret");
  EXPECT_EQ(o.calls, 1);
  EXPECT_EQ(o.response.statusCode, 0);
  ASSERT_TRUE(o.error.has_value());
  EXPECT_EQ(o.error->domain, kDRKNetworkErrorDomain);
  EXPECT_TRUE(o.body.empty());
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(NetworkTest, PostSendsPayloadAndHeadersUnchangedAndBodiesComeBackAsSent) {
  Data payload{0, 1, 2, 0xFF, 0, 'x'};
  Data gzipped = *drk_dataByGzippingData(Data{'z', 'i', 'p'});
  server.answer("POST", "/a", {200, {{"Content-Encoding", "gzip"}}, std::string(gzipped.begin(), gzipped.end())});
  std::string id;
  Outcome o = perform(
      [&](DRKNetwork& n, auto q, auto h) {
        return n.postURL(server.baseURL() + "/a?x=1", {{"Content-Type", "application/x-protobuf"}, {"X-Key", "v"}},
                         payload, q, true, h);
      },
      &id);
  EXPECT_FALSE(id.empty());
  ASSERT_EQ(o.calls, 1);
  EXPECT_EQ(o.response.statusCode, 200);
  EXPECT_EQ(o.body, gzipped);  // nothing inflated on the way
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/a");
  EXPECT_EQ(requests[0].body, std::string(payload.begin(), payload.end()));
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(requests[0].header("X-Key"), "v");
}

TEST_F(NetworkTest, RequestsThatAreNotHTTPSAreNotAccepted) {
  for (std::string url : {"http://127.0.0.1:" + std::to_string(server.port()) + "/a", std::string("ftp://x/y"),
                          std::string("not a url"), std::string("https://")}) {
    std::string id = "unset";
    Outcome o = perform([&](DRKNetwork& n, auto q, auto h) { return n.getURL(url, {}, q, false, h); }, &id);
    EXPECT_EQ(id, "") << url;
    EXPECT_EQ(o.calls, 0) << url;
  }
  EXPECT_TRUE(server.requests().empty());
}

class CapturingNetworkLogger : public DRKNetworkLoggerDelegate {
 public:
  void DRKNetwork_logWithLevel(int, std::int64_t, const std::string& message) override {
    std::lock_guard lock(mutex);
    lines.push_back(message);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

// A loopback port nothing listens on: connecting to it is refused at once.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A logger that owns the client may be let go of while the client logs a
// failed transfer on the transfer's own thread: the client then ends there,
// without waiting for the thread it is on.
TEST_F(NetworkTest, AClientWhoseLastOwnerLetsGoOnItsTransferThreadEndsThere) {
  struct Owner : DRKNetworkLoggerDelegate {
    std::shared_ptr<DRKNetwork> network = std::make_shared<DRKNetwork>();
    std::thread::id testThread = std::this_thread::get_id();
    dispatch::Semaphore logging;
    dispatch::Semaphore letGo;
    std::shared_ptr<dispatch::Semaphore> ended;
    void DRKNetwork_logWithLevel(int, std::int64_t, const std::string&) override {
      if (std::this_thread::get_id() == testThread) return;
      logging.signal();
      letGo.wait(30.0);
    }
    ~Owner() override { ended->signal(); }
  };
  auto ended = std::make_shared<dispatch::Semaphore>();
  auto owner = std::make_shared<Owner>();
  owner->ended = ended;
  owner->network->setLoggerDelegate(owner);
  const std::string url = "https://127.0.0.1:" + std::to_string(closedPort()) + "/";
  ASSERT_FALSE(owner->network->getURL(url, {}, nullptr, false, [](auto&, auto&, auto&) {}).empty());
  ASSERT_TRUE(owner->logging.wait(30.0));
  // From here the transfer thread holds the only reference.
  Owner* held = owner.get();
  owner.reset();
  held->letGo.signal();
  EXPECT_TRUE(ended->wait(30.0));
}

TEST_F(NetworkTest, HeadersThatWouldSplitTheRequestAreRefusedAndNothingIsSent) {
  server.answer("POST", "/a", {204, {}, ""});
  const DRKHTTPHeaders refused[] = {
      {{"x-krpx-server-info", "srv-1\r\nX-Injected: yes"}},
      {{"X-Qrl-Server-Preview", "key\nX-Injected: yes"}},
      {{"X-Key", "cut\rshort"}},
      {{"X-Key", std::string("cut\0short", 9)}},
      {{"X-Injected: yes\r\nX-Key", "v"}},
      {{std::string("X-\0Key", 6), "v"}},
  };
  auto logger = std::make_shared<CapturingNetworkLogger>();
  for (const DRKHTTPHeaders& headers : refused) {
    std::string id = "unset";
    Outcome o = perform(
        [&](DRKNetwork& n, auto q, auto h) {
          n.setLoggerDelegate(logger);
          return n.postURL(server.baseURL() + "/a?psm_request=secret", headers, Data{1}, q, false, h);
        },
        &id);
    EXPECT_EQ(id, "") << headers.begin()->first;
    EXPECT_EQ(o.calls, 0) << headers.begin()->first;
  }
  EXPECT_TRUE(server.requests().empty());
  // Each refusal says why, naming the endpoint without its query.
  ASSERT_EQ(logger->lines.size(), std::size(refused));
  for (const std::string& line : logger->lines) {
    EXPECT_NE(line.find("line break or NUL"), std::string::npos) << line;
    EXPECT_NE(line.find(server.baseURL() + "/a"), std::string::npos) << line;
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
  }

  // The same value without the line break goes out as one header.
  Outcome sent = perform([&](DRKNetwork& n, auto q, auto h) {
    return n.postURL(server.baseURL() + "/a", {{"x-krpx-server-info", "srv-1 X-Injected: yes"}}, Data{1}, q, false,
                     h);
  });
  EXPECT_EQ(sent.calls, 1);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("x-krpx-server-info"), "srv-1 X-Injected: yes");
  EXPECT_EQ(requests[0].header("X-Injected"), "");
}

TEST_F(NetworkTest, UploadFlagIsDownBeforeTheCompletionRuns) {
  server.answer("POST", "/a", {204, {}, ""});
  auto seenInCompletion = std::make_shared<std::atomic<int>>(-1);
  DRKNetwork* client = nullptr;
  Outcome o = perform([&](DRKNetwork& n, auto q, DRKNetworkCompletionHandler h) {
    client = &n;
    return n.postURL(server.baseURL() + "/a", {}, Data{1}, q, false, [&, h](auto& r, auto& b, auto& e) {
      *seenInCompletion = client->hasUploadInProgress() ? 1 : 0;
      h(r, b, e);
    });
  });
  EXPECT_EQ(o.calls, 1);
  EXPECT_EQ(*seenInCompletion, 0);
}

// Between the end of the transfer and its completion on the caller's queue
// the upload still counts as in progress, as the caller's own pending flag
// does.
TEST_F(NetworkTest, UploadFlagStaysUpUntilTheCompletionRunsOnItsQueue) {
  struct FailureWatch : DRKNetworkLoggerDelegate {
    dispatch::Semaphore failed;
    void DRKNetwork_logWithLevel(int level, std::int64_t, const std::string&) override {
      if (level == 4) failed.signal();
    }
  };
  server.answer("POST", "/a", {200, {}, "never sent", true});
  auto watch = std::make_shared<FailureWatch>();
  auto queue = dispatch::Queue::create("com.tolv.test.network");
  dispatch::Semaphore release;
  dispatch::Semaphore completed;
  std::atomic<int> seenInCompletion{-1};
  {
    DRKNetwork network;
    network.setLoggerDelegate(watch);
    queue->async([&] { release.wait(30); });
    ASSERT_FALSE(network.postURL(server.baseURL() + "/a", {}, Data{1}, queue, false, [&](auto&, auto&, auto&) {
                          seenInCompletion = network.hasUploadInProgress() ? 1 : 0;
                          completed.signal();
                        })
                     .empty());
    ASSERT_TRUE(watch->failed.wait(30));
    EXPECT_TRUE(network.hasUploadInProgress());
    release.signal();
    ASSERT_TRUE(completed.wait(30));
    EXPECT_EQ(seenInCompletion, 0);
    EXPECT_FALSE(network.hasUploadInProgress());
  }
  EXPECT_TRUE(queue->sync([] {}).ok());
}

}  // namespace
