// The deferred deep link asked of the ad services over HTTPS on 127.0.0.1:
// what the request carries, and what each kind of answer leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/EngineTestKit.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/store/AdSupport.h"
#include "platform/ui/Application.h"

namespace {

using foundation::Dictionary;
using foundation::Object;
using testkit::Answer;
using testkit::RecordedRequest;

constexpr const char* kPath = "/pagead/conversion/app/deeplink";
constexpr const char* kAdvertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
// Separators in a value must not make keys of their own.
constexpr const char* kBundleID = "com.example.tolv&retry=9";

struct Advertising : store::AdvertisingIdentifierManager {
  std::optional<bool> isAdvertisingTrackingEnabled() const override { return true; }
  std::optional<std::string> advertisingIdentifier() const override { return kAdvertisingID; }
};

// An app delegate that opens every link it is given and remembers them.
struct OpeningDelegate : ui::ApplicationDelegate {
  bool didFinishLaunchingWithOptions() override { return true; }
  ui::InterfaceOrientationMask supportedInterfaceOrientationsForWindow(ui::Window*) override { return {}; }
  bool respondsToOpenURL() const override { return true; }
  bool openURL(const std::string& url, const Dictionary& options) override {
    std::lock_guard lock(mutex);
    opened.emplace_back(url, options);
    return true;
  }
  std::vector<std::pair<std::string, Dictionary>> seen() {
    std::lock_guard lock(mutex);
    return opened;
  }
  std::mutex mutex;
  std::vector<std::pair<std::string, Dictionary>> opened;
};

Answer jsonAnswer(int status, std::string body) {
  Answer answer{status};
  answer.headers.emplace("Content-Type", "application/json");
  answer.body = std::move(body);
  return answer;
}

class DeferredDeepLink : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    home->setInfoPlist({{"CFBundleIdentifier", kBundleID}, {"DRALIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    QZMDefaultIdentitySupport::setSharedInstance(QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(
        std::make_shared<QZMPlatformIdentitySupport>(nullptr, std::make_shared<Advertising>())));
    ui::Application::shared().setDelegate(&delegate);
    startServer();
    start();
    // A silent server is given up on after this long.
    engine()->network()->setMaximumTimeoutInterval(1);
    // The start may have asked; each test asks again from a fresh install.
    waitForNetwork();
    startRequests = sentToPath();
    persistedConfig()->setDeferredDeepLinkRetrievalComplete(std::nullopt);
    persistedConfig()->setDeferredDeepLinkRetryCount(0);
    clearMonitorLines();
  }
  void TearDown() override {
    ui::Application::shared().setDelegate(nullptr);
    EngineTest::TearDown();
    QZMDefaultIdentitySupport::setSharedInstance(nullptr);
  }

  bool allowed() {
    bool answer = false;
    onWorkerQueue([&] { answer = engine()->shouldAllowRequestDeferredDeepLink(); });
    return answer;
  }
  // Asks once and lets the answer, the app delegate and the measuring step
  // run; the requests the server saw to the path.
  std::vector<RecordedRequest> request() {
    onWorkerQueue([&] { engine()->requestDeferredDeepLink(); });
    waitForNetwork();
    dispatch::drainMainQueue();
    onWorkerQueue([] {});
    std::vector<RecordedRequest> sent = sentToPath();
    sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(std::min(startRequests.size(), sent.size())));
    startRequests = sentToPath();
    return sent;
  }
  std::vector<RecordedRequest> sentToPath() {
    std::vector<RecordedRequest> sent;
    for (const RecordedRequest& recorded : server->requests()) {
      if (recorded.path == kPath) sent.push_back(recorded);
    }
    return sent;
  }
  std::shared_ptr<QZMPBAdCampaignInfo> storedCampaignRecord() {
    std::optional<Object> buffer = persistedConfig()->adCampaignInfoBuffer();
    if (!buffer || !buffer->isData()) return nullptr;
    return QZMPBAdCampaignInfo::initWithBuffer(*buffer->data());
  }

  OpeningDelegate delegate;
  std::vector<RecordedRequest> startRequests;
};

TEST_F(DeferredDeepLink, TheStartWaitsForAFreshConfigurationBeforeAsking) {
  EXPECT_TRUE(startRequests.empty()) << "no configuration was ever fetched";
  onWorkerQueue([&] { engine()->fetchRemoteConfig(); });
  waitForNetwork();
  std::vector<RecordedRequest> all = server->requests();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].path.rfind("/config/", 0), 0u) << all[0].path;
  EXPECT_EQ(all[1].path, kPath);
  // Asked once: the next fetch asks nothing more.
  onWorkerQueue([&] { engine()->fetchRemoteConfig(); });
  waitForNetwork();
  EXPECT_EQ(sentToPath().size(), 1u);
}

TEST_F(DeferredDeepLink, TheRequestNamesTheInstallWithEveryValueEscaped) {
  utilities->setLaunchArguments({"tolv", "-DebugDeferredDeepLink"});
  server->answer("GET", kPath, jsonAnswer(200, "{}"));
  ASSERT_TRUE(allowed());
  std::vector<RecordedRequest> sent = request();
  ASSERT_EQ(sent.size(), 1u);

  std::string target = sent[0].target;
  std::string query = target.substr(target.find('?') + 1);
  std::string expectedStart = "sdk_version=" + std::to_string(QZMIdentity::kestrometerLibraryVersion()) +
                              "&rdid=" + kAdvertisingID +
                              "&id_type=idfa&bundleid=com.example.tolv%26retry%3D9&retry=0&ddl_test=1";
  EXPECT_EQ(query.substr(0, expectedStart.size()), expectedStart) << target;
  std::map<std::string, std::string> items = qzm_dictionaryWithHttpArgumentsString(query);
  EXPECT_EQ(items["bundleid"], kBundleID);
  EXPECT_EQ(items["retry"], "0") << "the bundle identifier smuggled in no retry count";
  EXPECT_EQ(items.count("dma"), 1u);
  EXPECT_EQ(items.count("npa"), 0u) << "ad personalisation is unknown";
}

TEST_F(DeferredDeepLink, ALinkInTheAnswerIsOpenedByTheAppAndMeasured) {
  server->answer("GET", kPath,
                 jsonAnswer(200, R"({"deeplink":"tolv://open?utm_source=ads","gclid":"G7","timestamp":"1700000000"})"));
  ASSERT_TRUE(allowed());
  ASSERT_EQ(request().size(), 1u);

  std::vector<std::pair<std::string, Dictionary>> opened = delegate.seen();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].first, "tolv://open?utm_source=ads");
  EXPECT_EQ(opened[0].second, (Dictionary{{"timestamp", "1700000000"}}));

  auto record = storedCampaignRecord();
  ASSERT_TRUE(record) << "the answer's click identifier makes a campaign record";
  EXPECT_EQ(NANOGetString(record.get(), QZMPBAdCampaignInfo::kClickId), "G7");
  EXPECT_EQ(persistedConfig()->deferredDeepLinkRetrievalComplete(), Object(0));
  EXPECT_FALSE(allowed()) << "asked once per installation";
  EXPECT_EQ(linesWithCode(23194).size(), 1u);
}

TEST_F(DeferredDeepLink, EachAnswerWithoutALinkSettlesOrCountsTheAttempt) {
  Answer silent;
  silent.neverAnswer = true;
  struct Case {
    const char* title;
    Answer answer;
    bool retrieved;       // asked never again
    std::int64_t retries;  // the stored count afterwards
  } cases[] = {
      {"an empty object", jsonAnswer(200, "{}"), true, 0},
      {"no content", Answer{204}, true, 0},
      {"a link that is no URL", jsonAnswer(200, R"({"deeplink":"not a link"})"), true, 0},
      {"a link that is no text", jsonAnswer(200, R"({"deeplink":7})"), true, 0},
      {"a body that is no JSON", jsonAnswer(200, "{\"deeplink\":"), true, 0},
      {"a server error", jsonAnswer(500, R"({"deeplink":"tolv://open?utm_source=x"})"), false, 1},
      {"a server that never answers", silent, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    persistedConfig()->setDeferredDeepLinkRetrievalComplete(std::nullopt);
    persistedConfig()->setDeferredDeepLinkRetryCount(0);
    server->answer("GET", kPath, c.answer);
    ASSERT_TRUE(allowed());
    request();
    EXPECT_TRUE(delegate.seen().empty());
    EXPECT_EQ(persistedConfig()->deferredDeepLinkRetrievalComplete().has_value(), c.retrieved);
    EXPECT_EQ(persistedConfig()->deferredDeepLinkRetryCount(), c.retries);
    EXPECT_EQ(allowed(), !c.retrieved);
  }
  EXPECT_FALSE(storedCampaignRecord());
}

TEST_F(DeferredDeepLink, FailedLaunchesGiveUpAtTheRetryLimit) {
  persistedConfig()->setDeferredDeepLinkRetryCount(4);
  server->answer("GET", kPath, Answer{503});
  ASSERT_TRUE(allowed());
  std::vector<RecordedRequest> sent = request();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].target.find("&retry=4"), std::string::npos) << sent[0].target;
  EXPECT_EQ(linesWithCode(23199).size(), 1u);
  EXPECT_FALSE(allowed());
  EXPECT_EQ(linesWithCode(23195).size(), 1u);
  EXPECT_EQ(persistedConfig()->deferredDeepLinkRetrievalComplete(), Object(1));
}

TEST_F(DeferredDeepLink, WhatTheAppOrTheUserWithholdsStopsTheRequest) {
  struct Case {
    const char* title;
    std::function<void()> arrange;
    std::int64_t code;  // 0: no line
  } cases[] = {
      {"the app does not opt in", [&] { home->setInfoPlist({{"CFBundleIdentifier", kBundleID}}); }, 0},
      {"the opt-in is no number",
       [&] { home->setInfoPlist({{"DRALIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", "YES"}}); }, 0},
      {"ad storage is denied",
       [&] { QZMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}); }, 23252},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    clearMonitorLines();
    c.arrange();
    EXPECT_FALSE(allowed());
    if (c.code) {
      EXPECT_EQ(linesWithCode(c.code).size(), 1u);
    }
    home->setInfoPlist({{"CFBundleIdentifier", kBundleID}, {"DRALIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    QZMConsentSettingsUtil::clearAllSettings();
  }
  EXPECT_TRUE(allowed());
}

}  // namespace
