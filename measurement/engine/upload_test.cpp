// Uploads against an HTTPS server on 127.0.0.1: what a batch holds, how
// each kind of answer is handled (no bundle lost, none sent again after the
// server took it), which bundles may travel together, and the suspension
// after sent bundles could not be deleted.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

namespace {

using testkit::Answer;
using testkit::Bundle;
using testkit::Metadata;
using testkit::RecordedRequest;

class Upload : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    startServer();
    start();
    // A configuration fetched just now: uploads do not stop for a fetch.
    applyConfiguration(*testkit::configuration({}));
    server->answer("POST", "/a", Answer{204});
  }

  void upload() {
    onWorkerQueue([&] { engine()->uploadData(); });
    waitForNetwork();
  }

  std::vector<RecordedRequest> posts() {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : server->requests()) {
      if (request.method == "POST" && request.path == "/a") found.push_back(request);
    }
    return found;
  }

  static std::vector<std::shared_ptr<Bundle>> bundlesOf(const RecordedRequest& request) {
    auto batch = QZMPBMeasurementBatch::initWithBuffer(
        std::span(reinterpret_cast<const std::uint8_t*>(request.body.data()), request.body.size()));
    EXPECT_TRUE(batch) << "the body is no batch";
    if (!batch) return {};
    return NANOGetArray<Bundle>(batch.get(), QZMPBMeasurementBatch::kBundles).value_or(std::vector<std::shared_ptr<Bundle>>());
  }

  // How many posted bundles carry an event of the name.
  int timesSent(const std::string& name) {
    int count = 0;
    for (const RecordedRequest& request : posts()) {
      for (const auto& bundle : bundlesOf(request)) {
        auto names = testkit::eventNames(*bundle);
        count += static_cast<int>(std::count(names.begin(), names.end(), name));
      }
    }
    return count;
  }
};

TEST_F(Upload, EveryAnswerKeepsOrDeletesTheBundlesAndSetsTheRetryTimes) {
  struct Case {
    const char* title;
    Answer answer;
    bool accepted;
    bool backsOff;
  };
  Answer retryAfter{503};
  retryAfter.headers.emplace("Retry-After", "120");
  Answer dropped{200};
  dropped.dropConnection = true;
  Answer silent;
  silent.neverAnswer = true;
  const std::vector<Case> cases = {
      {"204", Answer{204}, true, false},
      {"200", Answer{200}, true, false},
      {"500", Answer{500}, false, false},
      {"503 with Retry-After", retryAfter, false, true},
      {"429", Answer{429}, false, true},
      {"a connection dropped after a 200 status line", dropped, false, false},
      {"a server that never answers", silent, false, false},
  };
  // A silent server is given up on after this long.
  engine()->network()->setMaximumTimeoutInterval(1);
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::string name = "case_" + std::to_string(index++);
    applyConfiguration(*testkit::configuration({}));
    persistedConfig()->setLastSuccessfulUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    persistedConfig()->setLastFailedUploadTimestamp(0);
    storeEvent(storeMetadata(), name, clock->now());
    server->answerInTurn("POST", "/a", {c.answer, Answer{204}});
    double sentAt = clock->now();

    upload();
    EXPECT_EQ(timesSent(name), 1);
    std::vector<QZMQueuedBundle> queued = queuedBundles();
    if (c.accepted) {
      EXPECT_TRUE(queued.empty());
      EXPECT_EQ(persistedConfig()->lastSuccessfulUploadTimestamp(), sentAt);
      EXPECT_EQ(persistedConfig()->lastFailedUploadTimestamp(), 0);
    } else {
      ASSERT_EQ(queued.size(), 1u);
      EXPECT_EQ(NANOGetInt32(queued[0].bundle.get(), Bundle::kRetryCount), 1);
      EXPECT_EQ(persistedConfig()->lastFailedUploadTimestamp(), sentAt);
      EXPECT_EQ(persistedConfig()->lastBackoffTimestamp(), c.backsOff ? sentAt : 0);
      auto scheduled = engine()->alarm()->scheduledTimestamp();
      ASSERT_TRUE(scheduled);
      // The retry time, and for a back-off the whole period after it.
      EXPECT_DOUBLE_EQ(scheduled->secondsSince1970, c.backsOff ? sentAt + 43200 : sentAt + 15 + 1800);

      // The retry fires and the server takes the bundle this time.
      clock->setNow(scheduled->secondsSince1970);
      settleEngine();
      waitForNetwork();
      EXPECT_EQ(timesSent(name), 2);
      EXPECT_TRUE(queuedBundles().empty());
    }
    // Once taken, a bundle is never sent again.
    upload();
    EXPECT_EQ(timesSent(name), c.accepted ? 1 : 2);
  }
}

TEST_F(Upload, ABatchCarriesStampedBundlesWithAChecksumOverTheRest) {
  applyConfiguration(*testkit::configuration({{"measurement.quality.checksum", "1"}}));
  storeEvent(storeMetadata(), "level_up", clock->now() - 30);
  upload();
  ASSERT_EQ(posts().size(), 1u);
  auto bundles = bundlesOf(posts()[0]);
  ASSERT_EQ(bundles.size(), 1u);
  Bundle& bundle = *bundles[0];
  EXPECT_EQ(testkit::eventNames(bundle), std::vector<std::string>{"level_up"});
  EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kUploadTimestampMillis), static_cast<std::int64_t>(clock->now() * 1000));
  EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kUploadLibraryVersion), QZMIdentity::kestrometerLibraryVersion());
  ASSERT_TRUE(NANOHasField(&bundle, Bundle::kChecksum));
  std::int64_t checksum = NANOGetInt64(&bundle, Bundle::kChecksum);
  NANOClearField(&bundle, Bundle::kChecksum);
  EXPECT_EQ(qzm_64LSBMD5(*bundle.protoBuffer()), checksum);
  EXPECT_EQ(persistedConfig()->lastUploadedEventTimestampMillis(),
            static_cast<std::int64_t>((clock->now() - 30) * 1000));
}

TEST_F(Upload, PreviewHeadersSendTheBatchToTheTaggingServerWithThem) {
  foundation::Bundle::setMain(std::make_shared<foundation::Bundle>(
      "/nowhere", foundation::Dictionary{{"DRALIX_ANALYTICS_KRPX_UPLOAD_ENABLED", foundation::Object(true)}}));
  // No instance is in the tagging server's share: only preview headers
  // send a batch there.
  auto tagged = testkit::configuration({});
  auto setting = QZMPBKrpxSetting::initWithMessageInfo(nullptr);
  NANOSetString(setting.get(), QZMPBKrpxSetting::kUploadUrl, server->baseURL() + "/tagging/a");
  NANOSetString(setting.get(), QZMPBKrpxSetting::kServerInfo, std::string("server-7"));
  NANOSetInt32(setting.get(), QZMPBKrpxSetting::kUploadPercentage, 0);
  NANOSetMessage(tagged.get(), QZMPBMeasurementConfig::kKrpxSetting, setting.get());
  NANOSetString(tagged.get(), QZMPBMeasurementConfig::kUploadSubdomain, std::string("eu"));
  applyConfiguration(*tagged);
  server->answer("POST", "/tagging/a", Answer{204});

  struct Case {
    const char* title;
    std::optional<foundation::Dictionary> previewHeaders;
    const char* path;
    const char* event;
  };
  const std::vector<Case> cases = {
      {"with preview headers", foundation::Dictionary{{"X-Qrl-Server-Preview", "key-1"}}, "/tagging/a", "tagged"},
      {"without them", std::nullopt, "/a", "untagged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    // Without preview headers the subdomain would name another host.
    if (!c.previewHeaders) NANOClearField(tagged.get(), QZMPBMeasurementConfig::kUploadSubdomain);
    applyConfiguration(*tagged);
    QZMMeasurementBase::setKRPXPreviewHeaders(c.previewHeaders);
    std::size_t before = server->requests().size();
    storeEvent(storeMetadata(), c.event, clock->now());
    upload();
    std::vector<RecordedRequest> requests = server->requests();
    ASSERT_EQ(requests.size(), before + 1);
    const RecordedRequest& sent = requests.back();
    EXPECT_EQ(sent.path, c.path);
    bool tagging = c.previewHeaders.has_value();
    EXPECT_EQ(sent.header("X-Qrl-Server-Preview"), tagging ? "key-1" : "");
    EXPECT_EQ(sent.header("x-krpx-server-info"), tagging ? "server-7" : "");
    auto batch = QZMPBMeasurementBatch::initWithBuffer(
        std::span(reinterpret_cast<const std::uint8_t*>(sent.body.data()), sent.body.size()));
    ASSERT_TRUE(batch);
    EXPECT_EQ(NANOGetString(batch.get(), QZMPBMeasurementBatch::kUploadSubdomain),
              tagging ? std::optional<std::string>("eu") : std::nullopt);
    EXPECT_TRUE(queuedBundles().empty());
  }
  QZMMeasurementBase::setKRPXPreviewHeaders(std::nullopt);
}

TEST_F(Upload, OnlyBundlesThatMayTravelTogetherShareABatch) {
  struct Case {
    const char* title;
    Metadata first;
    Metadata second;
    bool together;
  };
  const std::vector<Case> cases = {
      {"same app and consent", {.osVersion = "17.0"}, {.osVersion = "17.1"}, true},
      {"another app", {.appID = "com.example.one"}, {.appID = "com.example.two"}, false},
      {"another consent", {.consentSignals = "G111"}, {.consentSignals = "G101"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::size_t before = posts().size();
    storeEvent(storeMetadata(c.first), "first", clock->now());
    storeEvent(storeMetadata(c.second), "second", clock->now() + 1);
    // One upload call: the second bundle follows at once when it has to
    // wait for its own batch.
    upload();
    std::vector<RecordedRequest> sent = posts();
    ASSERT_EQ(sent.size() - before, c.together ? 1u : 2u);
    EXPECT_EQ(bundlesOf(sent[before]).size(), c.together ? 2u : 1u);
    EXPECT_TRUE(queuedBundles().empty());
  }
}

TEST_F(Upload, BatchesStayWithinTheirLimitsAndTheOldestBundleAlwaysGoes) {
  struct Case {
    const char* title;
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::size_t> batchSizes;
  };
  const std::vector<Case> cases = {
      {"defaults", {}, {3}},
      {"two bundles made per upload", {{"measurement.upload.max_bundles_created_per_iteration", "2000"}}, {2, 1}},
      {"one bundle per batch", {{"measurement.upload.max_bundles", "1"}}, {1, 1, 1}},
      {"every bundle over the size limit", {{"measurement.upload.max_batch_size", "1"}}, {1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    applyConfiguration(*testkit::configuration(c.settings));
    std::size_t before = posts().size();
    for (const char* group : {"one", "two", "three"}) {
      storeEvent(storeMetadata({.osVersion = group}), group, clock->now());
    }
    upload();
    std::vector<std::size_t> sizes;
    std::vector<RecordedRequest> sent = posts();
    for (std::size_t i = before; i < sent.size(); ++i) sizes.push_back(bundlesOf(sent[i]).size());
    EXPECT_EQ(sizes, c.batchSizes);
    EXPECT_TRUE(queuedBundles().empty());
    EXPECT_EQ(rawEventCount(), 0);
  }
}

TEST_F(Upload, TheCompatibilityFilterKeepsTheLeadingRun) {
  auto bundle = [](const std::string& appID, const std::string& resettable, const std::string& vendor) {
    std::shared_ptr<Bundle> made = Bundle::initWithMessageInfo(nullptr);
    NANOSetString(made.get(), Bundle::kAppId, appID);
    if (!resettable.empty()) NANOSetString(made.get(), Bundle::kResettableDeviceId, resettable);
    if (!vendor.empty()) NANOSetString(made.get(), Bundle::kIdentifierForVendor, vendor);
    return made;
  };
  std::vector<QZMQueuedBundle> queued = {{bundle("app", "", ""), 1},
                                         {bundle("app", "ad-1", ""), 2},
                                         {bundle("app", "ad-1", "vendor"), 3},
                                         {bundle("app", "ad-2", ""), 4},
                                         {bundle("app", "ad-1", ""), 5}};
  struct Case {
    const char* title;
    std::string appID, resettable, vendor;
    std::vector<std::int64_t> expected;
  };
  const std::vector<Case> cases = {
      {"by advertising ID", "app", "ad-1", "", {1, 2, 3}},
      {"by vendor ID: bundles without one pass", "app", "", "vendor", {1, 2, 3, 4, 5}},
      {"another app stops at once", "other", "ad-1", "", {}},
      {"both IDs cannot be asked for", "app", "ad-1", "vendor", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::vector<std::int64_t> kept;
    for (const auto& entry : engine()->filteredBundlesWithCompatibleAppID(c.appID, c.resettable, c.vendor, queued)) {
      kept.push_back(entry.rowID);
    }
    EXPECT_EQ(kept, c.expected);
  }
  EXPECT_EQ(linesWithCode(23042).size(), 1u);
}

TEST_F(Upload, ResigningActiveUploadsAndThenGivesTheBackgroundTimeBack) {
  storeEvent(storeMetadata(), "before_background", clock->now());
  foundation::NotificationCenter::defaultCenter().postNotificationName(
      ui::notificationName(ui::Notification::applicationWillResignActive));
  EXPECT_EQ(ui::Application::shared().backgroundTaskNames().size(), 1u);
  settleEngine();
  waitForNetwork();
  EXPECT_EQ(timesSent("before_background"), 1);
  // Nothing is left to send: the schedule lets the time go.
  EXPECT_TRUE(ui::Application::shared().backgroundTaskNames().empty());
  EXPECT_EQ(engine()->backgroundUpdateTask(), kQZMBackgroundTaskInvalid);
}

TEST_F(Upload, BundlesThatCannotBeDeletedSuspendUploadsForAnHourOfUptime) {
  storeEvent(storeMetadata(), "kept", clock->now());
  onWorkerQueue([&] {
    ASSERT_TRUE(database()
                    ->sqliteStore()
                    ->executeSQL("CREATE TRIGGER keep_queue BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END")
                    .ok());
  });
  upload();
  EXPECT_EQ(timesSent("kept"), 1);
  EXPECT_EQ(linesWithCode(23045).size(), 1u);
  EXPECT_FALSE(linesWithCode(23023).empty());
  EXPECT_FALSE(engine()->alarm()->scheduledTimestamp());

  // Nothing leaves while suspended, not even on request.
  onWorkerQueue([&] { ASSERT_TRUE(database()->sqliteStore()->executeSQL("DROP TRIGGER keep_queue").ok()); });
  clock->advance(1800);
  upload();
  EXPECT_EQ(timesSent("kept"), 1);

  // The hour is over: the schedule runs the upload at once.
  clock->advance(1800);
  upload();
  settleEngine();
  waitForNetwork();
  EXPECT_EQ(timesSent("kept"), 2);
  EXPECT_TRUE(queuedBundles().empty());
}

}  // namespace
