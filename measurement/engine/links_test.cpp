// Links that open the app: the campaign parameters a link names, the launch
// link kept for the start-up report, the tagging debug switch, links
// measured by the running engine, and the deferred deep link asked of the
// ad services over TLS.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/QZMStoredDeepLink.h"
#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/store/AdSupport.h"
#include "platform/ui/Application.h"
#include "measurement/engine/SeenEventsTestKit.h"
#include "testing/MeasurementHost.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

// ---- What a link names ----

TEST(CampaignParameters, ALinkNamesACampaignByItsQuery) {
  struct Case {
    const char* url;  // nullptr: no URL at all
    std::map<std::string, std::string> extra;
    bool allowClickID;
    std::optional<Dictionary> expected;
  } cases[] = {
      {"tolv://open?utm_source=news&utm_medium=mail&utm_campaign=spring&utm_term=t&utm_content=c",
       {},
       true,
       Dictionary{{"source", "news"}, {"medium", "mail"}, {"campaign", "spring"}, {"term", "t"}, {"content", "c"}}},
      // Neither is a key that makes a campaign.
      {"tolv://open?utm_content=c&cp1=x", {}, true, std::nullopt},
      {"tolv://open?dxd_slot=3", {}, true, Dictionary{{"dxd_slot", "3"}}},
      {"tolv://open?gclid=G&utm_source=", {}, true, Dictionary{{"gclid", "G"}}},
      {"tolv://open?gclid=G&dclid=D&srsltid=S&utm_id=7", {}, false, Dictionary{{"campaign_id", "7"}}},
      {"tolv://open?utm_source=a&cis=x&unknown=y&DXD_upper=z", {}, true,
       Dictionary{{"source", "a"}, {"_cis", "x"}}},
      {"tolv://open", {}, true, std::nullopt},
      {nullptr, {{"utm_source", "(not set)"}, {"utm_medium", "(not set)"}}, true,
       Dictionary{{"source", "(not set)"}, {"medium", "(not set)"}}},
      // The query wins over the extra parameters.
      {"tolv://open?utm_source=query", {{"utm_source", "extra"}, {"cis", "ddp"}}, true,
       Dictionary{{"source", "query"}, {"_cis", "ddp"}}},
      // Hostile and odd queries: escaped separators stay inside their value,
      // the first of a repeated key wins, a "+" is a blank, a fragment is no
      // query, an escaped key is decoded, a value that is no UTF-8 is empty.
      {"tolv://open?utm_source=a%26utm_medium%3Dx", {}, true, Dictionary{{"source", "a&utm_medium=x"}}},
      {"tolv://open?utm_source=first&utm_source=second", {}, true, Dictionary{{"source", "first"}}},
      {"tolv://open?utm_source=a+b", {}, true, Dictionary{{"source", "a b"}}},
      {"tolv://open?utm_source=a#utm_medium=b", {}, true, Dictionary{{"source", "a"}}},
      {"tolv://open?utm%5Fsource=x", {}, true, Dictionary{{"source", "x"}}},
      {"tolv://open?utm_source=%C3%28", {}, true, std::nullopt},
      {"tolv://open?=&&=x&utm_medium=m", {}, true, Dictionary{{"medium", "m"}}},
  };
  for (const auto& c : cases) {
    std::optional<foundation::URL> url;
    if (c.url) {
      url = foundation::URL::withString(c.url);
      ASSERT_TRUE(url) << c.url;
    }
    EXPECT_EQ(QZMMeasurement::campaignParametersFromURL(url, c.extra, c.allowClickID), c.expected)
        << (c.url ? c.url : "(no URL)");
  }
}

// ---- The launch link and the tagging debug switch ----

class LaunchLink : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    foundation::Device::setSystemVersion("17.0");
    QZMMeasurementBase::setKRPXPreviewHeaders(std::nullopt);
  }
  void TearDown() override {
    foundation::Device::setSystemVersion(std::nullopt);
    QZMMeasurementBase::setKRPXPreviewHeaders(std::nullopt);
    FoundationTest::TearDown();
  }
  static foundation::Notification launch(Dictionary options) {
    return {kQZMApplicationDidFinishLaunchingNotification, nullptr, std::move(options)};
  }
  static Object activityOptions(const std::string& type, const std::string& url) {
    return Dictionary{{ui::kLaunchOptionsUserActivityKey, DRKUserActivity{type, url}.asObject()}};
  }
  std::optional<std::string> storedLink() {
    return QZMUserDefaults::sharedUserDefaults()->stringForKey(kQZMStoredDeepLinkKey);
  }
};

TEST_F(LaunchLink, TheActivityLinkIsKeptBeforeTheURL) {
  struct Case {
    Dictionary options;
    std::optional<std::string> stored;
  } cases[] = {
      {{{ui::kLaunchOptionsUserActivityDictionaryKey,
         activityOptions(kDRKUserActivityTypeBrowsingWeb, "https://tolv.example/a?utm_source=web")},
        {ui::kLaunchOptionsURLKey, "tolv://open?utm_source=url"}},
       "https://tolv.example/a?utm_source=web"},
      {{{ui::kLaunchOptionsURLKey, "tolv://open?utm_source=url"}}, "tolv://open?utm_source=url"},
      // An activity that continues no web page leaves the place to the URL.
      {{{ui::kLaunchOptionsUserActivityDictionaryKey, activityOptions("com.tolv.handoff", "https://x.example/")},
        {ui::kLaunchOptionsURLKey, "tolv://open?utm_source=url"}},
       "tolv://open?utm_source=url"},
      {{{ui::kLaunchOptionsUserActivityDictionaryKey, Dictionary{}}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    QZMClearStoredDeepLink(*QZMUserDefaults::sharedUserDefaults());
    clock->advance(1);
    QZMMeasurement::handleStoredURLAfterAppLaunchWithNotification(launch(c.options));
    EXPECT_EQ(storedLink(), c.stored);
    if (c.stored) {
      EXPECT_EQ(QZMUserDefaults::sharedUserDefaults()->doubleForKey(kQZMStoredDeepLinkTimestampKey), clock->now());
    }
  }
}

TEST_F(LaunchLink, OnAnOlderSystemNoActivityCarriesALink) {
  foundation::Device::setSystemVersion("8.4");
  QZMMeasurement::handleStoredURLAfterAppLaunchWithNotification(
      launch({{ui::kLaunchOptionsUserActivityDictionaryKey,
               activityOptions(kDRKUserActivityTypeBrowsingWeb, "https://tolv.example/a?utm_source=web")}}));
  EXPECT_EQ(storedLink(), std::nullopt);
  EXPECT_EQ(linesWithCode(23004).size(), 1u);
}

TEST_F(LaunchLink, TheTaggingDebugSwitchFollowsTheLink) {
  using Headers = std::optional<Dictionary>;
  const Headers preview = Dictionary{{"X-Qrl-Server-Preview", "key 1"}};
  struct Case {
    const char* url;
    Headers headers;
    std::optional<std::int64_t> switchCode;  // the monitor's line, when it switched
  } cases[] = {
      {"tolv://open?krpx_debug_enable=1&krpx_preview_key=key%201", preview, 24006},
      {"tolv://open?krpx_debug_enable=2", preview, std::nullopt},
      {"tolv://open?utm_source=a", preview, std::nullopt},
      {"not a link?krpx_debug_enable=0", preview, std::nullopt},
      {"tolv://open?krpx_debug_enable=1", std::nullopt, 24006},
      {"tolv://open?krpx_debug_enable=1&krpx_preview_key=key%201", preview, 24006},
      {"tolv://open?krpx_debug_enable=0&krpx_preview_key=other", std::nullopt, 24007},
      // A key that would split the upload's headers is no key.
      {"tolv://open?krpx_debug_enable=1&krpx_preview_key=key%0D%0AX-Injected:%20yes", std::nullopt, 24006},
      {"tolv://open?krpx_debug_enable=1&krpx_preview_key=key%0A", std::nullopt, 24006},
      {"tolv://open?krpx_debug_enable=1&krpx_preview_key=key%00", std::nullopt, 24006},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    QZMMeasurement::handleKRPXDebugModeWithURL(c.url);
    EXPECT_EQ(QZMMeasurementBase::KRPXPreviewHeaders(), c.headers) << c.url;
    std::vector<std::int64_t> switched;
    for (std::int64_t code : {24006, 24007}) {
      if (!linesWithCode(code).empty()) switched.push_back(code);
    }
    EXPECT_EQ(switched, c.switchCode ? std::vector<std::int64_t>{*c.switchCode} : std::vector<std::int64_t>{})
        << c.url;
    EXPECT_EQ(linesWithCode(23148).size(), std::string_view(c.url).find("%0") != std::string_view::npos ? 1u : 0u)
        << c.url;
  }
}

// ---- Links measured by the running engine ----

class EngineLinks : public testkit::SeenEventsHost {
 protected:
  void SetUp() override {
    SeenEventsHost::SetUp();
    // Below the tracking-permission systems: click identifiers are kept.
    foundation::Device::setSystemVersion("13.0");
  }
  void TearDown() override {
    foundation::Device::setSystemVersion(std::nullopt);
    SeenEventsHost::TearDown();
  }
  std::shared_ptr<QZMPBAdCampaignInfo> storedCampaignRecord() {
    std::optional<Object> buffer = engine()->persistedConfig()->adCampaignInfoBuffer();
    if (!buffer || !buffer->isData()) return nullptr;
    return QZMPBAdCampaignInfo::initWithBuffer(*buffer->data());
  }
};

TEST_F(EngineLinks, AnOpeningLinkBecomesACampaignEventRecordAndProperty) {
  ASSERT_TRUE(configure().ok());
  clock->advance(60);
  QZMAnalytics::handleOpenURL(
      "tolv://open?utm_source=news&gclid=G1&gbraid=B1&dxd_source=feed&dxd_slot=3&unknown=x&cp1=");
  settle();

  auto campaigns = eventsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].parameters, (Dictionary{{"source", "news"}, {"gclid", "G1"}, {"gbraid", "B1"},
                                                 {"dxd_source", "feed"}, {"dxd_slot", "3"}}));
  EXPECT_EQ(campaigns[0].timestamp, clock->now());

  auto record = storedCampaignRecord();
  ASSERT_TRUE(record);
  EXPECT_EQ(NANOGetString(record.get(), QZMPBAdCampaignInfo::kClickId), "G1");
  EXPECT_EQ(NANOGetString(record.get(), QZMPBAdCampaignInfo::kBraidId), "B1");
  EXPECT_EQ(NANOGetString(record.get(), QZMPBAdCampaignInfo::kDxdSource), "feed");
  EXPECT_EQ(NANOGetInt64(record.get(), QZMPBAdCampaignInfo::kClickTimestampMillis),
            static_cast<std::int64_t>(clock->now() * 1000));
  auto entries = NANOGetArray<QZMPBDeepLinkDxdParamsEntry>(record.get(), QZMPBAdCampaignInfo::kDeepLinkDxdParams);
  ASSERT_TRUE(entries);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& entry : *entries) {
    pairs.emplace_back(NANOGetString(entry.get(), QZMPBDeepLinkDxdParamsEntry::kKey).value_or(""),
                       NANOGetString(entry.get(), QZMPBDeepLinkDxdParamsEntry::kValue).value_or(""));
  }
  EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{{"dxd_slot", "3"}, {"dxd_source", "feed"}}));

  auto gbraid = engine()->database()->userAttributeWithName("_gbraid");
  ASSERT_TRUE(gbraid.ok() && *gbraid);
  EXPECT_EQ((*gbraid)->value, Object("B1"));
  EXPECT_EQ((*gbraid)->origin, "auto");
}

TEST_F(EngineLinks, WithoutTrackingPermissionClickIdentifiersStayOut) {
  foundation::Device::setSystemVersion("17.0");
  ASSERT_TRUE(configure().ok());
  engine()->persistedConfig()->setAdCampaignInfoBuffer(std::nullopt);
  QZMAnalytics::handleOpenURL("tolv://open?gclid=G1&utm_source=");
  settle();
  auto campaigns = eventsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].parameters, Dictionary{});
  EXPECT_FALSE(storedCampaignRecord()) << "nothing but a withheld click identifier qualified";
}

TEST_F(EngineLinks, ACampaignIsNeverTimedBeforeTheFirstOpen) {
  ASSERT_TRUE(configure().ok());
  double firstOpen = static_cast<double>(engine()->persistedConfig()->firstOpenTimestampMilliseconds()) / 1000;
  ASSERT_GT(firstOpen, 0);
  engine()->handleOpenURL("tolv://open?utm_source=old", std::nullopt, firstOpen - 3600);
  engine()->handleOpenURL("tolv://open?utm_source=new", 42, firstOpen + 10);
  settle();
  auto campaigns = eventsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(campaigns[0].timestamp, firstOpen);
  EXPECT_EQ(campaigns[1].timestamp, firstOpen + 10);
  EXPECT_EQ(campaigns[1].parameters, (Dictionary{{"source", "new"}, {"click_timestamp", 42}}));
}

TEST_F(EngineLinks, TheWorkerQueueMayNotHandAnOpeningLinkToItself) {
  ASSERT_TRUE(configure().ok());
  onWorkerQueue([&] { engine()->handleNonFirstOpenEventURL("tolv://open?utm_source=a", clock->now()); });
  settle();
  EXPECT_EQ(linesWithCode(23163).size(), 1u);
  EXPECT_TRUE(eventsNamed("_cmp").empty());
}

}  // namespace
